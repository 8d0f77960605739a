// A small Photoshop document writer for fixtures and benchmarks: the header, the three
// length-prefixed sections (any bytes) and the composite image, raw or PackBits coded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/signed_runs.h"

namespace quillet::test {

/// PackBits: runs of 2 to 128 equal bytes as (1 - n, byte), everything else as literal
/// packets of up to 128 bytes behind n - 1.
inline std::vector<uint8_t> PackBits(const uint8_t* data, size_t size) { return EncodeSignedRuns(data, size, false); }

struct PsdImage {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint16_t Depth = 8;
    uint16_t Mode = 3;
    /// Channel planes, Width x Height samples each, top row first; at depth 1 each sample
    /// is one pixel's bit.
    std::vector<std::vector<uint16_t>> Planes;
    std::vector<uint8_t> ColorModeData;
    std::vector<uint8_t> Resources;
    std::vector<uint8_t> LayerInfo;
    uint16_t Compression = 0;  ///< 1: PackBits; anything else is written raw
    std::string Signature = "8BPS";
};

/// One stored row of a plane at the image's depth: packed bits, bytes or big-endian words.
inline std::vector<uint8_t> PsdRow(const PsdImage& image, const std::vector<uint16_t>& plane, uint32_t y)
{
    std::vector<uint8_t> row;
    const uint16_t* samples = plane.data() + size_t(y) * image.Width;
    if (image.Depth == 1) {
        row.assign((image.Width + 7) / 8, 0);
        for (uint32_t x = 0; x < image.Width; ++x)
            if (samples[x] != 0) row[x / 8] |= uint8_t(0x80 >> (x % 8));
    } else if (image.Depth == 16) {
        for (uint32_t x = 0; x < image.Width; ++x) {
            row.push_back(uint8_t(samples[x] >> 8));
            row.push_back(uint8_t(samples[x]));
        }
    } else {
        for (uint32_t x = 0; x < image.Width; ++x) row.push_back(uint8_t(samples[x]));
    }
    return row;
}

inline Bytes WritePsd(const PsdImage& image)
{
    Bytes out;
    out.str(image.Signature).be16(1).fill(6, 0);
    out.be16(uint16_t(image.Planes.size())).be32(image.Height).be32(image.Width).be16(image.Depth).be16(image.Mode);
    out.be32(uint32_t(image.ColorModeData.size())).bytes(image.ColorModeData);
    out.be32(uint32_t(image.Resources.size())).bytes(image.Resources);
    out.be32(uint32_t(image.LayerInfo.size())).bytes(image.LayerInfo);
    out.be16(image.Compression);
    if (image.Compression == 1) {
        std::vector<std::vector<uint8_t>> packed;
        for (const auto& plane : image.Planes)
            for (uint32_t y = 0; y < image.Height; ++y) {
                const std::vector<uint8_t> row = PsdRow(image, plane, y);
                packed.push_back(PackBits(row.data(), row.size()));
            }
        for (const auto& p : packed) out.be16(uint16_t(p.size()));
        for (const auto& p : packed) out.bytes(p);
    } else {
        for (const auto& plane : image.Planes)
            for (uint32_t y = 0; y < image.Height; ++y) out.bytes(PsdRow(image, plane, y));
    }
    return out;
}

}  // namespace quillet::test
