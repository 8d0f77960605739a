// A small Wavefront RLA writer for fixtures: the 740-byte header, the row offset table and
// run-length coded channels, 8-bit or (as two byte planes) up to 16-bit.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/signed_runs.h"

namespace quillet::test {

/// Runs of 2 to 128 equal bytes as (n - 1, byte); literal packets of up to 128 bytes as
/// (-n, bytes).
inline std::vector<uint8_t> RlaRunLength(const uint8_t* data, size_t size) { return EncodeSignedRuns(data, size, true); }

struct RlaImage {
    int16_t Left = 0;
    int16_t Right = 0;
    int16_t Bottom = 0;
    int16_t Top = 0;
    int16_t ColourChannels = 3;
    int16_t MatteChannels = 0;
    int16_t ColourBits = 8;
    int16_t MatteBits = 8;
    /// Stored channels in file order (red, green, blue, then the rest), each rows x width
    /// samples with the rows in file order.
    std::vector<std::vector<uint16_t>> Channels;
    /// Writes the rows' data last row first (the offset table still lists them in order).
    bool ReverseRowData = false;

    int Width() const { return Right - Left + 1; }
    int Rows() const { return (Bottom < Top ? Top - Bottom : Bottom - Top) + 1; }
};

inline Bytes WriteRla(const RlaImage& image)
{
    Bytes out;
    out.be16(uint16_t(image.Left)).be16(uint16_t(image.Right)).be16(uint16_t(image.Bottom)).be16(uint16_t(image.Top));
    out.be16(uint16_t(image.Left)).be16(uint16_t(image.Right)).be16(uint16_t(image.Bottom)).be16(uint16_t(image.Top));
    out.be16(0).be16(0).be16(uint16_t(image.ColourChannels)).be16(uint16_t(image.MatteChannels)).be16(0).be16(0xFFFE);
    out.fill(658 - out.size(), 0);
    out.be16(uint16_t(image.ColourBits)).be16(0).be16(uint16_t(image.MatteBits));
    out.fill(740 - out.size(), 0);

    const int width = image.Width();
    const int rows = image.Rows();
    std::vector<Bytes> rowData(static_cast<size_t>(rows));
    for (int y = 0; y < rows; ++y)
        for (size_t c = 0; c < image.Channels.size(); ++c) {
            const int bits = c < size_t(image.ColourChannels) ? image.ColourBits : image.MatteBits;
            const uint16_t* samples = image.Channels[c].data() + size_t(y) * size_t(width);
            std::vector<uint8_t> raw;
            if (bits > 8) {  // high bytes, then low bytes
                for (int x = 0; x < width; ++x) raw.push_back(uint8_t(samples[x] >> 8));
                for (int x = 0; x < width; ++x) raw.push_back(uint8_t(samples[x]));
            } else {
                for (int x = 0; x < width; ++x) raw.push_back(uint8_t(samples[x]));
            }
            const std::vector<uint8_t> packed = RlaRunLength(raw.data(), raw.size());
            rowData[size_t(y)].be16(uint16_t(packed.size())).bytes(packed);
        }
    std::vector<uint32_t> offsets(static_cast<size_t>(rows));
    uint32_t offset = uint32_t(out.size() + 4 * size_t(rows));
    for (int k = 0; k < rows; ++k) {
        const int y = image.ReverseRowData ? rows - 1 - k : k;
        offsets[size_t(y)] = offset;
        offset += uint32_t(rowData[size_t(y)].size());
    }
    for (uint32_t o : offsets) out.be32(o);
    for (int k = 0; k < rows; ++k) out.bytes(rowData[size_t(image.ReverseRowData ? rows - 1 - k : k)]);
    return out;
}

}  // namespace quillet::test
