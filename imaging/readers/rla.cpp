// Wavefront RLA and RPF images, big-endian: a 740-byte header, a table of one 32-bit
// offset per stored row, and at each offset the row's channels one after another, each a
// 16-bit byte count and that many bytes of run-length data. Offsets count from where the
// image starts in the stream.
#include "imaging/readers/rla.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/ImageCodecs.h"
#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TRLAGraphic, &TBitmap::Class)

namespace {

constexpr char kNotRGB[] = "RLA: image must be RGB(A).";
constexpr size_t kHeaderSize = 740;
// A channel's byte count is 16 bits wide, so this buffer takes any channel whole.
constexpr size_t kPackedBufferSize = 65535;

int16_t SignedBE16(const uint8_t* p) { return int16_t(GetBE16(p)); }

// Samples of 9 to 16 bits are stored as two byte planes, the high bytes of the row and
// then the low bytes; they are reduced to 8 bits. Other depths are taken as bytes.
size_t SampleBytes(int bits) { return bits > 8 && bits <= 16 ? 2 : 1; }

}  // namespace

void TRLAGraphic::ReadImage(TStream& Stream)
{
    SetHandle(nullptr);
    const int64_t base = Stream.Position();
    uint8_t header[kHeaderSize];
    Stream.ReadBuffer(header, sizeof header);
    const int left = SignedBE16(header + 8);
    const int right = SignedBE16(header + 10);
    const int bottom = SignedBE16(header + 12);
    const int top = SignedBE16(header + 14);
    const int colourChannels = SignedBE16(header + 20);
    const int matteChannels = SignedBE16(header + 22);
    const int colourBits = SignedBE16(header + 658);
    const int matteBits = SignedBE16(header + 662);
    if (colourChannels != 3 && colourChannels != 4) throw Exception(kNotRGB);

    const bool withMatte = matteChannels != 0;
    SetPixelFormat(withMatte ? TPixelFormat::pf32bit : TPixelFormat::pf24bit);
    const int width = right - left + 1;  // a negative width is refused by the bitmap
    const int height = std::abs(bottom - top) + 1;
    const bool bottomUp = bottom < top;  // the first stored row is the bottom one
    CheckSize(width, height);
    SetWidth(width);
    SetHeight(height);
    if (width == 0) return;

    const int64_t tableBytes = int64_t(height) * 4;
    if (Stream.Size() - Stream.Position() < tableBytes) throw Exception(kStreamReadError);
    std::vector<uint8_t> table(static_cast<size_t>(tableBytes));
    Stream.ReadBuffer(table.data(), tableBytes);

    // Red, green, blue and the fourth channel: a fourth colour channel, else the matte.
    const int channels = withMatte ? 4 : 3;
    size_t sampleBytes[4];
    int sampleBits[4];
    for (int c = 0; c < 4; ++c) {
        sampleBits[c] = c < 3 || colourChannels == 4 ? colourBits : matteBits;
        sampleBytes[c] = SampleBytes(sampleBits[c]);
    }
    TRLADecoder decoder;
    std::vector<uint8_t> packed(kPackedBufferSize);
    std::vector<uint8_t> channelRows(8 * size_t(width));
    uint8_t* channel[4];
    for (int c = 0; c < 4; ++c) channel[c] = channelRows.data() + 2 * size_t(width) * size_t(c);

    for (int y = 0; y < height; ++y) {
        Stream.SetPosition(base + int64_t(GetBE32(table.data() + 4 * size_t(y))));
        uint8_t* row = ScanLine(bottomUp ? height - 1 - y : y);
        for (int c = 0; c < channels; ++c) {
            uint8_t count[2];
            Stream.ReadBuffer(count, sizeof count);
            const uint16_t length = GetBE16(count);
            Stream.ReadBuffer(packed.data(), length);
            const size_t unpacked = sampleBytes[c] * size_t(width);
            std::memset(channel[c], 0, unpacked);
            const uint8_t* source = packed.data();
            decoder.Decode(source, channel[c], length, int32_t(unpacked));
            if (sampleBytes[c] == 2) {
                const uint8_t* high = channel[c];
                const uint8_t* low = channel[c] + width;
                const int shift = sampleBits[c] - 8;
                for (int x = 0; x < width; ++x)
                    channel[c][x] = uint8_t(std::min(((high[x] << 8) | low[x]) >> shift, 255));
            }
        }
        if (withMatte) {
            for (int x = 0; x < width; ++x) {
                row[4 * x] = channel[2][x];
                row[4 * x + 1] = channel[1][x];
                row[4 * x + 2] = channel[0][x];
                row[4 * x + 3] = channel[3][x];
            }
        } else {
            for (int x = 0; x < width; ++x) {
                row[3 * x] = channel[2][x];
                row[3 * x + 1] = channel[1][x];
                row[3 * x + 2] = channel[0][x];
            }
        }
    }
}

}  // namespace quillet
