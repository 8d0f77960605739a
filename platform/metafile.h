// Windows metafiles (WMF) and enhanced metafiles (EMF): held as the bytes that were loaded
// and written back unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/graphic.h"

namespace quillet {

class TMetafile : public TGraphic {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    int Width() const override { return FWidth; }
    int Height() const override { return FHeight; }
    void ReadImage(TStream& stream) override;
    void WriteImage(TStream& stream) override;
    void WriteImageFile(const std::string& fileName) override;

    bool Enhanced() const { return FEnhanced; }
    const std::vector<uint8_t>& Data() const { return FData; }

private:
    std::vector<uint8_t> FData;
    bool FEnhanced = false;
    int FWidth = 0;
    int FHeight = 0;
};

}  // namespace quillet
