// ZSoft PCX, PCC and SCR images (little-endian).
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TPCXGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Loads a 1-bit, 16-colour (4 planes), 256-colour or 24-bit (3 planes) image, run-length
    /// coded or not. Raises "Not a PCX or SCR file." and "PCX: wrong pixel format".
    void ReadImage(TStream& Stream) override;
    /// Writes nothing: saving a PCX picture yields an empty stream.
    void WriteImage(TStream& Stream) override;

private:
    void ReadPalette(TStream& Stream, const uint8_t* Header, int64_t PaletteOffset);
};

}  // namespace quillet
