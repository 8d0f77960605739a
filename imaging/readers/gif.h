// CompuServe GIF images (little-endian): the first image of the file as an 8-bit indexed
// bitmap with the image's colour table as its palette.
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TGIFGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Reads the first image; extensions are skipped, a file that holds only a trailer
    /// gives an empty bitmap. Raises "Not a valid GIF file." for another signature.
    void ReadImage(TStream& Stream) override;

private:
    void ReadColorTable(TStream& Stream, int Count, TMaxLogPalette& LogPalette);
    void CopyRows(const uint8_t* Pixels, size_t DecodedSize, bool Interlaced);
};

}  // namespace quillet
