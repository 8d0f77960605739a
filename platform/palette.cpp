#include "platform/palette.h"

#include <algorithm>

namespace quillet {

int TPalette::GetEntries(int start, int count, TPaletteEntry* out) const
{
    if (start < 0 || count <= 0 || start >= Count()) return 0;
    const int n = std::min(count, Count() - start);
    std::copy_n(FEntries.begin() + start, n, out);
    return n;
}

TPaletteRef TPalette::System16()
{
    static const TPaletteRef palette = std::make_shared<const TPalette>(std::vector<TPaletteEntry>{
        {0, 0, 0, 0}, {128, 0, 0, 0}, {0, 128, 0, 0}, {128, 128, 0, 0},
        {0, 0, 128, 0}, {128, 0, 128, 0}, {0, 128, 128, 0}, {128, 128, 128, 0},
        {192, 192, 192, 0}, {255, 0, 0, 0}, {0, 255, 0, 0}, {255, 255, 0, 0},
        {0, 0, 255, 0}, {255, 0, 255, 0}, {0, 255, 255, 0}, {255, 255, 255, 0},
    });
    return palette;
}

TPaletteRef TPalette::GreyRamp(int count)
{
    count = std::clamp(count, 2, kMaxPaletteEntries);
    std::vector<TPaletteEntry> entries(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto v = uint8_t((i * 255 + (count - 1) / 2) / (count - 1));
        entries[size_t(i)] = {v, v, v, 0};
    }
    return std::make_shared<const TPalette>(std::move(entries));
}

TPaletteRef CreatePalette(const TMaxLogPalette& logPalette)
{
    if (logPalette.palVersion != kPaletteVersion || logPalette.palNumEntries == 0 ||
        logPalette.palNumEntries > kMaxPaletteEntries)
        return nullptr;
    return std::make_shared<const TPalette>(
        std::vector<TPaletteEntry>(logPalette.palPalEntry, logPalette.palPalEntry + logPalette.palNumEntries));
}

}  // namespace quillet
