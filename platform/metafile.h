// Windows metafiles (WMF) and enhanced metafiles (EMF): held as the bytes that were loaded
// and written back unchanged, under any file name (they are not converted into each other).
#pragma once

#include <cstdint>
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

    /// True for an enhanced metafile (EMF), false for a Windows metafile (WMF).
    bool Enhanced() const { return FEnhanced; }
    const std::vector<uint8_t>& Data() const { return FData; }

private:
    std::vector<uint8_t> FData;
    bool FEnhanced = false;
    int FWidth = 0;
    int FHeight = 0;
};

}  // namespace quillet
