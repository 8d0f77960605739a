// The JPEG image: compressed data decoded into a bitmap on demand, or a bitmap given to it
// and compressed when it is first saved (libjpeg-turbo).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/bitmap.h"
#include "platform/graphic.h"

namespace quillet {

class TJPEGImage : public TGraphic {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    TJPEGImage();
    ~TJPEGImage() override;

    int Width() const override;
    int Height() const override;
    void ReadImage(TStream& stream) override;
    void WriteImage(TStream& stream) override;
    /// Decodes the data into dest ("JPEG error #%d" when libjpeg refuses it).
    void AssignTo(TBitmap& dest) const override;
    /// Keeps a 24-bit copy of the bitmap; the first save compresses it.
    void CopyFrom(const TBitmap& source);

private:
    std::vector<uint8_t> FData;
    std::unique_ptr<TBitmap> FBitmap;
    int FWidth = 0;
    int FHeight = 0;
};

}  // namespace quillet
