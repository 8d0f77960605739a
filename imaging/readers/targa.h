// Truevision Targa images (little-endian): reader and run-length writer.
#pragma once

#include <string>

#include "platform/bitmap.h"

namespace quillet {

class TTargaGraphic : public TBitmap {
public:
    static const TGraphicClass Class;
    const TGraphicClass& ClassType() const override;

    /// Loads an uncompressed or run-length Targa image: 8-bit (colour-mapped or grey),
    /// 15-bit, 24-bit or 32-bit. Raises "Targa: invalid image" when the file is cut short.
    void ReadImage(TStream& Stream) override;
    /// Writes a run-length Targa file (type 9 for 8-bit pictures, else 10) with ImageID.
    void WriteImage(TStream& Stream) override;

    /// The image identification field of the last file read; the writer writes it back.
    std::string ImageID;

private:
    void ReadPalette(TStream& Stream, const uint8_t* Header);
    void ReadRawRows(TStream& Stream, uint32_t RowBytes, bool TopFirst);
    void ReadPackedRows(TStream& Stream, uint32_t RowBytes, uint8_t PixelBits, bool TopFirst);
    void MirrorRows();
};

}  // namespace quillet
