// Dr. Halo CUT images and their palette files (little-endian).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

struct TMaxLogPalette;

class TCUTGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Reads an 8-bit image with the colours of the palette file at PalettePath(), or a
    /// grey ramp when there is none.
    void ReadImage(TStream& Stream) override;
    /// Takes the palette file beside the image (its name with the extension ".pal"), then
    /// reads the image.
    void ReadImageFile(const std::string& FileName) override;

    /// The palette file that ReadImage uses; empty until ReadImageFile sets it.
    const std::string& PalettePath() const { return FPalettePath; }

private:
    void ReadPaletteFile(TMaxLogPalette& Palette) const;

    std::string FPalettePath;
};

}  // namespace quillet
