// A Windows bitmap file written field by field, for fixtures: set what the case is about,
// keep the rest, call Build().
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "tests/support/bytes.h"

namespace quillet::test {

struct BmpFixture {
    uint32_t HeaderSize = 40;  ///< 12 core, 16-64 OS/2 2.x, 40, 52, 56, 108, 124
    int32_t Width = 1;
    int32_t Height = 1;  ///< negative: top-down
    uint16_t Planes = 1;
    uint16_t BitCount = 24;
    uint32_t Compression = 0;
    uint32_t ColorsUsed = 0;
    /// Colour masks: inside headers of 52 bytes and more (not the OS/2 64-byte one), after a
    /// 40-byte header otherwise.
    std::vector<uint32_t> Masks;
    std::vector<uint32_t> Palette;  ///< 0xRRGGBB, stored B, G, R (and 0 unless core)
    Bytes Pixels;                   ///< the rows exactly as stored
    std::optional<uint32_t> OffBits;  ///< default: right after the palette

    Bytes Build() const
    {
        Bytes info;
        if (HeaderSize == 12) {
            info.le32(12).le16(uint16_t(Width)).le16(uint16_t(Height)).le16(Planes).le16(BitCount);
        } else {
            info.le32(HeaderSize).le32(uint32_t(Width)).le32(uint32_t(Height)).le16(Planes).le16(BitCount);
            info.le32(Compression).le32(uint32_t(Pixels.size())).le32(2835).le32(2835).le32(ColorsUsed).le32(0);
            const bool inHeader = HeaderSize >= 52 && HeaderSize != 64;
            if (inHeader)
                for (uint32_t m : Masks) info.le32(m);
            info.resize(HeaderSize, 0);
            if (!inHeader)
                for (uint32_t m : Masks) info.le32(m);
        }
        for (uint32_t c : Palette) {
            info.u8(c & 0xFF).u8((c >> 8) & 0xFF).u8((c >> 16) & 0xFF);
            if (HeaderSize != 12) info.u8(0);
        }
        const uint32_t at = OffBits.value_or(uint32_t(14 + info.size()));
        Bytes file;
        file.str("BM").le32(uint32_t(14 + std::max<size_t>(info.size(), at - 14) + Pixels.size())).le32(0).le32(at);
        file.bytes(info);
        if (at > file.size() && at - file.size() < (1u << 20)) file.fill(at - file.size(), 0);  // else a mere claim
        return file.bytes(Pixels);
    }
};

/// A 24-bit bitmap file whose pixels vary smoothly along both directions (so that a JPEG
/// of it stays close to it).
inline Bytes GradientBmp(int width, int height)
{
    BmpFixture bmp;
    bmp.Width = width;
    bmp.Height = height;
    const int stride = (width * 3 + 3) & ~3;
    bmp.Pixels.resize(size_t(stride) * size_t(height), 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = bmp.Pixels.data() + size_t(y) * size_t(stride) + size_t(x) * 3;
            p[0] = uint8_t(x * 255 / std::max(1, width - 1));
            p[1] = uint8_t(y * 255 / std::max(1, height - 1));
            p[2] = uint8_t(128 + (x - y) / 8);
        }
    return bmp.Build();
}

}  // namespace quillet::test
