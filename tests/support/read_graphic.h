// Helpers for reader tests: load a graphic from bytes, read back a bitmap's rows and
// palette.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/bitmap.h"
#include "platform/stream.h"

namespace quillet::test {

/// A new graphic of class T that has read data from a memory stream.
template <class T>
std::unique_ptr<T> ReadGraphic(const std::vector<uint8_t>& data)
{
    auto graphic = std::make_unique<T>();
    TMemoryViewStream stream(data.data(), data.size());
    graphic->ReadImage(stream);
    return graphic;
}

/// The bytes of row y that hold pixels (without the padding to 4 bytes).
inline std::vector<uint8_t> RowBytes(const TBitmap& bitmap, int y)
{
    const size_t used = (size_t(bitmap.Width()) * size_t(BitsPerPixel(bitmap.PixelFormat())) + 7) / 8;
    const uint8_t* row = bitmap.ScanLine(y);
    return std::vector<uint8_t>(row, row + used);
}

/// Every row's pixel bytes, top row first.
inline std::vector<std::vector<uint8_t>> AllRows(const TBitmap& bitmap)
{
    std::vector<std::vector<uint8_t>> rows;
    for (int y = 0; y < bitmap.Height(); ++y) rows.push_back(RowBytes(bitmap, y));
    return rows;
}

/// The palette's entries, empty when there is none.
inline std::vector<TPaletteEntry> PaletteEntries(const TBitmap& bitmap)
{
    return bitmap.Palette() ? bitmap.Palette()->Entries() : std::vector<TPaletteEntry>{};
}

}  // namespace quillet::test
