// Helpers for reader tests: load a reader class from bytes (optionally behind other bytes)
// and look at what it holds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/bitmap.h"
#include "platform/stream.h"

namespace quillet::test {

/// A new G loaded from data, the stream positioned at offset.
template <class G>
std::unique_ptr<G> LoadFrom(const std::vector<uint8_t>& data, size_t offset = 0)
{
    TMemoryViewStream stream(data.data(), data.size());
    stream.SetPosition(int64_t(offset));
    auto graphic = std::make_unique<G>();
    graphic->ReadImage(stream);
    return graphic;
}

/// The bytes of row y that hold pixels (without the row padding).
inline std::vector<uint8_t> RowBytes(const TBitmap& bitmap, int y)
{
    const size_t used = (size_t(bitmap.Width()) * size_t(BitsPerPixel(bitmap.PixelFormat())) + 7) / 8;
    const uint8_t* row = bitmap.ScanLine(y);
    return std::vector<uint8_t>(row, row + used);
}

/// Every row's pixel bytes, top row first.
inline std::vector<uint8_t> PixelBytes(const TBitmap& bitmap)
{
    std::vector<uint8_t> all;
    if (bitmap.Bits() == nullptr) return all;
    for (int y = 0; y < bitmap.Height(); ++y) {
        const std::vector<uint8_t> row = RowBytes(bitmap, y);
        all.insert(all.end(), row.begin(), row.end());
    }
    return all;
}

/// The palette's entries, or none.
inline std::vector<TPaletteEntry> PaletteEntries(const TBitmap& bitmap)
{
    return bitmap.Palette() ? bitmap.Palette()->Entries() : std::vector<TPaletteEntry>{};
}

}  // namespace quillet::test
