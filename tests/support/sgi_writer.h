// A small SGI image writer for fixtures and benchmarks: verbatim or run-length, one or two
// bytes per sample, rows given in file order (the first row is the bottom of the picture).
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/bytes.h"

namespace quillet::test {

/// One run-length row: literal packets (count | 0x80, samples) and runs (count, sample) of
/// up to 127 samples, ended by a count of 0. Two-byte samples use two-byte counts.
inline std::vector<uint8_t> SgiRunLength(const uint16_t* samples, size_t count, int bytesPerSample)
{
    Bytes out;
    auto control = [&](unsigned v) { bytesPerSample == 1 ? out.u8(v) : out.be16(v); };
    auto sample = [&](uint16_t v) { bytesPerSample == 1 ? out.u8(v & 0xFF) : out.be16(v); };
    size_t i = 0;
    while (i < count) {
        size_t run = 1;
        while (i + run < count && run < 127 && samples[i + run] == samples[i]) ++run;
        if (run >= 3) {
            control(unsigned(run));
            sample(samples[i]);
            i += run;
            continue;
        }
        size_t literal = 1;
        while (i + literal < count && literal < 127 &&
               !(i + literal + 2 < count && samples[i + literal] == samples[i + literal + 1] &&
                 samples[i + literal] == samples[i + literal + 2]))
            ++literal;
        control(0x80 | unsigned(literal));
        for (size_t k = 0; k < literal; ++k) sample(samples[i + k]);
        i += literal;
    }
    control(0);
    return std::vector<uint8_t>(out.begin(), out.end());
}

struct SgiImage {
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t BytesPerSample = 1;
    bool RunLength = false;
    /// Channels, Width x Height samples each, in file row order.
    std::vector<std::vector<uint16_t>> Channels;
    /// The header's channel count; by default the number of channels.
    int ChannelCount = -1;
};

/// The file; offsets in it count from its first byte, whatever is put before it.
inline Bytes WriteSgi(const SgiImage& image)
{
    const unsigned z = image.ChannelCount >= 0 ? unsigned(image.ChannelCount) : unsigned(image.Channels.size());
    Bytes out;
    out.be16(474).u8(image.RunLength ? 1 : 0).u8(image.BytesPerSample).be16(3);
    out.be16(image.Width).be16(image.Height).be16(z).be32(0).be32(image.BytesPerSample == 1 ? 255 : 65535);
    out.fill(512 - out.size(), 0);
    const size_t rows = image.Channels.size() * image.Height;
    if (!image.RunLength) {
        for (const auto& channel : image.Channels)
            for (uint16_t v : channel) image.BytesPerSample == 1 ? out.u8(v & 0xFF) : out.be16(v);
        return out;
    }
    std::vector<std::vector<uint8_t>> packed;
    for (const auto& channel : image.Channels)
        for (uint16_t y = 0; y < image.Height; ++y)
            packed.push_back(SgiRunLength(channel.data() + size_t(y) * image.Width, image.Width, image.BytesPerSample));
    uint32_t offset = uint32_t(512 + 8 * rows);
    for (const auto& p : packed) {
        out.be32(offset);
        offset += uint32_t(p.size());
    }
    for (const auto& p : packed) out.be32(uint32_t(p.size()));
    for (const auto& p : packed) out.bytes(p);
    return out;
}

}  // namespace quillet::test
