// Photoshop PSD and PDD images (big-endian). Only the merged composite image at the end of
// the file is read; image resources and the layer and mask section are passed over.
#pragma once

#include <cstdint>
#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TDecoder;

class TPSDGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Bitmap mode gives 1 bit per pixel, grey, indexed and duotone 8 bits with a palette,
    /// RGB, CMYK and Lab 24 bits; other colour modes keep the size and write no pixels.
    void ReadImage(TStream& Stream) override;

private:
    struct THeader;

    void MakePSDPalette(uint8_t Depth, uint16_t Mode);
    void ReadOnePlane(TStream& Stream, const THeader& Header, TDecoder* Decoder, const uint8_t* Counts);
    void ReadPlanes(TStream& Stream, const THeader& Header, TDecoder* Decoder, const uint8_t* Counts);

    /// Indexed colour table: 256 reds, then 256 greens, then 256 blues.
    uint8_t FColorMap[768] = {};
};

}  // namespace quillet
