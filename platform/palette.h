// Logical palettes and the palette objects that bitmaps own.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace quillet {

/// One colour of a logical palette: red, green, blue and a flags byte (0).
struct TPaletteEntry {
    uint8_t peRed = 0;
    uint8_t peGreen = 0;
    uint8_t peBlue = 0;
    uint8_t peFlags = 0;
    friend bool operator==(const TPaletteEntry&, const TPaletteEntry&) = default;
};

inline constexpr uint16_t kPaletteVersion = 0x300;
inline constexpr int kMaxPaletteEntries = 256;

/// The form in which readers hand colours over: version 0x300, a count, up to 256 entries.
struct TMaxLogPalette {
    uint16_t palVersion = kPaletteVersion;
    uint16_t palNumEntries = 0;
    TPaletteEntry palPalEntry[kMaxPaletteEntries] = {};
};

/// An immutable palette object; bitmaps share them by reference.
class TPalette {
public:
    explicit TPalette(std::vector<TPaletteEntry> entries) : FEntries(std::move(entries)) {}
    int Count() const { return int(FEntries.size()); }
    const TPaletteEntry& Entry(int index) const { return FEntries[size_t(index)]; }
    const std::vector<TPaletteEntry>& Entries() const { return FEntries; }
    /// Copies up to count entries from start into out; returns how many were copied.
    int GetEntries(int start, int count, TPaletteEntry* out) const;

    /// The standard 16-colour system palette.
    static std::shared_ptr<const TPalette> System16();
    /// A palette of the given number of equally spaced greys from black to white.
    static std::shared_ptr<const TPalette> GreyRamp(int count);

private:
    std::vector<TPaletteEntry> FEntries;
};

using TPaletteRef = std::shared_ptr<const TPalette>;

/// Makes a palette object from a logical palette; null when the version is not 0x300 or
/// the count is 0 or above 256 (creation failed).
TPaletteRef CreatePalette(const TMaxLogPalette& logPalette);

}  // namespace quillet
