// Kodak Photo-CD image packs: uncompressed PhotoYCC luma and half-resolution chroma at
// fixed offsets, decoded to 24-bit pixels with the pack's rotation.
#pragma once

#include <cstdint>
#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TPCDGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Decodes the stored image that FResolution names, turned by the pack's rotation.
    void ReadImage(TStream& Stream) override;
    /// Writes nothing: Photo-CD packs are read only.
    void WriteImage(TStream& Stream) override;

    /// The stored image to decode: 0 (192 x 128), 1 (384 x 256) or 2 (768 x 512, the one
    /// the system uses); other values are refused by ReadImage.
    uint8_t FResolution = 2;

private:
    int64_t FBaseOffset = 0;  ///< stream position of the pack; its offsets count from here
};

}  // namespace quillet
