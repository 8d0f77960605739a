// SGI images: a 512-byte big-endian header, then the channels one after another, each its
// rows from the bottom of the picture up. Verbatim files store the rows in that order;
// run-length files have a table of row offsets and one of row lengths (channel c of row y
// is entry c × y size + y) and code each row on its own. Every read is a plain read: a
// truncated file is not reported, and what it does not supply stays zero.
#include "imaging/readers/sgi.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

QUILLET_GRAPHIC_CLASS(TSGIGraphic, &TBitmap::Class)

namespace {

constexpr char kNotSgi[] = "Not a valid sgi, bw or rgb(a) image.";
constexpr uint16_t kSgiMagic = 474;
constexpr int64_t kHeaderSize = 512;
constexpr uint8_t kRunLength = 1;

// count big-endian 32-bit values at position; those past the end of the stream read as 0.
std::vector<uint32_t> ReadTable(TStream& stream, int64_t position, size_t count)
{
    std::vector<uint8_t> raw(count * 4, 0);
    stream.SetPosition(position);
    stream.Read(raw.data(), int64_t(raw.size()));
    std::vector<uint32_t> table(count);
    for (size_t i = 0; i < count; ++i) table[i] = GetBE32(raw.data() + 4 * i);
    return table;
}

// Channel rows to blue, green, red pixels. With SSE2, 16 pixels at a time: the bytes are
// paired to blue-green-red-zero pixels, and each 64-bit lane of two such pixels is closed
// up to six bytes and the two lanes to twelve; the last 16-byte store of a block spills 4
// bytes, which the next block overwrites, so the vector loop stops while they would fall
// past the row.
void InterleaveBGR(uint8_t* row, const uint8_t* red, const uint8_t* green, const uint8_t* blue, int width)
{
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i firstPixel = _mm_set1_epi64x(0x0000000000FFFFFFll);
    const __m128i secondPixel = _mm_set1_epi64x(0x0000FFFFFF000000ll);
    const __m128i lowLane = _mm_set_epi64x(0, -1);
    for (; x + 18 <= width; x += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blue + x));
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(green + x));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(red + x));
        const __m128i bgLow = _mm_unpacklo_epi8(b, g);
        const __m128i bgHigh = _mm_unpackhi_epi8(b, g);
        const __m128i rLow = _mm_unpacklo_epi8(r, zero);
        const __m128i rHigh = _mm_unpackhi_epi8(r, zero);
        const __m128i quads[4] = {_mm_unpacklo_epi16(bgLow, rLow), _mm_unpackhi_epi16(bgLow, rLow),
                                  _mm_unpacklo_epi16(bgHigh, rHigh), _mm_unpackhi_epi16(bgHigh, rHigh)};
        for (int k = 0; k < 4; ++k) {
            __m128i v = _mm_or_si128(_mm_and_si128(quads[k], firstPixel),
                                     _mm_and_si128(_mm_srli_epi64(quads[k], 8), secondPixel));
            v = _mm_or_si128(_mm_and_si128(v, lowLane), _mm_srli_si128(_mm_andnot_si128(lowLane, v), 2));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 3 * x + 12 * k), v);
        }
    }
#endif
    for (; x < width; ++x) {
        row[3 * x] = blue[x];
        row[3 * x + 1] = green[x];
        row[3 * x + 2] = red[x];
    }
}

// Channel rows to blue, green, red, alpha pixels.
void InterleaveBGRA(uint8_t* row, const uint8_t* red, const uint8_t* green, const uint8_t* blue, const uint8_t* alpha,
                    int width)
{
    int x = 0;
#if defined(__SSE2__)
    for (; x + 16 <= width; x += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blue + x));
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i*>(green + x));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(red + x));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alpha + x));
        const __m128i bgLow = _mm_unpacklo_epi8(b, g);
        const __m128i bgHigh = _mm_unpackhi_epi8(b, g);
        const __m128i raLow = _mm_unpacklo_epi8(r, a);
        const __m128i raHigh = _mm_unpackhi_epi8(r, a);
        __m128i* out = reinterpret_cast<__m128i*>(row + 4 * x);
        _mm_storeu_si128(out, _mm_unpacklo_epi16(bgLow, raLow));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(bgLow, raLow));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(bgHigh, raHigh));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(bgHigh, raHigh));
    }
#endif
    for (; x < width; ++x) {
        row[4 * x] = blue[x];
        row[4 * x + 1] = green[x];
        row[4 * x + 2] = red[x];
        row[4 * x + 3] = alpha[x];
    }
}

TPaletteRef GreyPalette()
{
    TMaxLogPalette logPalette;
    logPalette.palNumEntries = 256;
    for (int i = 0; i < 256; ++i) logPalette.palPalEntry[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    return CreatePalette(logPalette);
}

}  // namespace

void TSGIGraphic::ReadImage(TStream& Stream)
{
    SetHandle(nullptr);
    FStream = &Stream;
    FBaseOffset = Stream.Position();
    // The decoder and the buffers live for this load only, also when it fails.
    struct TLoadEnd {
        TSGIGraphic& Graphic;
        ~TLoadEnd()
        {
            Graphic.FDecoder.reset();
            Graphic.FRowBuffer = {};
            Graphic.FRowStart = {};
            Graphic.FRowSize = {};
            Graphic.FStream = nullptr;
        }
    } loadEnd{*this};

    uint8_t header[kHeaderSize] = {};
    Stream.Read(header, kHeaderSize);
    if (GetBE16(header) != kSgiMagic) throw Exception(kNotSgi);
    const bool runLength = header[2] == kRunLength;
    FBytesPerSample = header[3];
    const int width = GetBE16(header + 6);
    const int height = GetBE16(header + 8);
    const int channels = GetBE16(header + 10);
    // Any value other than 1 is read as two bytes per sample, and the buffer is sized for
    // what is read (a value of 0 or above 2 would otherwise leave it too small).
    const size_t sampleSize = FBytesPerSample == 1 ? 1 : 2;
    FRowBuffer.assign(3 * sampleSize * size_t(width), 0);
    const int used = channels == 3 || channels == 4 ? channels : 1;

    if (runLength) {
        // Only the entries of the channels that the picture uses are read: no other is ever
        // needed, and a channel count of up to 65535 would make whole tables large. A count
        // of 0 is laid out as one channel, so that the length table does not fall onto the
        // start table.
        const int64_t tableBytes = int64_t(4) * height * std::max(channels, 1);
        FRowStart = ReadTable(Stream, FBaseOffset + kHeaderSize, size_t(used) * size_t(height));
        FRowSize = ReadTable(Stream, FBaseOffset + kHeaderSize + tableBytes, size_t(used) * size_t(height));
        FDecoder = std::make_unique<TSGIRLE>();
        FDecoder->FBytesPerSample = FBytesPerSample;
    }

    SetPixelFormat(channels == 3 ? TPixelFormat::pf24bit
                   : channels == 4 ? TPixelFormat::pf32bit
                                   : TPixelFormat::pf8bit);
    // Everything that can fail is done before the size is set: from there on every byte of
    // every row is written below, padding included, so the rows need no clearing first.
    const TPaletteRef grey = used == 1 ? GreyPalette() : nullptr;
    std::vector<uint8_t> channelRows(4 * size_t(width));
    SetSizeForOverwrite(width, height);
    if (grey) SetPalette(grey);
    if (width == 0 || height == 0) return;

    uint8_t* red = channelRows.data();
    uint8_t* green = red + width;
    uint8_t* blue = green + width;
    uint8_t* alpha = blue + width;
    const size_t pixelBytes = size_t(width) * size_t(used);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = ScanLine(height - 1 - y);
        std::memset(row + pixelBytes, 0, Stride() - pixelBytes);
        if (used == 1) {
            std::memset(row, 0, pixelBytes);  // what the file lacks stays 0
            ReadRow(row, nullptr, nullptr, nullptr, y, FBytesPerSample);
            continue;
        }
        std::memset(channelRows.data(), 0, pixelBytes);  // what the file lacks stays 0
        if (used == 3) {
            ReadRow(red, green, blue, nullptr, y, FBytesPerSample);
            InterleaveBGR(row, red, green, blue, width);
        } else {
            ReadRow(red, green, blue, alpha, y, FBytesPerSample);
            InterleaveBGRA(row, red, green, blue, alpha, width);
        }
    }
}

void TSGIGraphic::ReadRow(uint8_t* Red, uint8_t* Green, uint8_t* Blue, uint8_t* Alpha, int Row, uint8_t BytesPerSample)
{
    uint8_t* const dest[4] = {Red, Green, Blue, Alpha};
    const int width = Width();
    const int height = Height();
    for (int c = 0; c < 4; ++c) {
        if (dest[c] == nullptr) continue;
        const size_t index = size_t(c) * size_t(height) + size_t(Row);
        if (FDecoder) {
            // No valid row is longer than the buffer (its worst case is two bytes per sample
            // and the end mark); a length entry that claims more is cut to the buffer.
            const size_t length = std::min<size_t>(FRowSize[index], FRowBuffer.size());
            FStream->SetPosition(FBaseOffset + int64_t(FRowStart[index]));
            // A stream in memory is decoded where it is; others are read into the buffer.
            int64_t available = 0;
            const uint8_t* source = FStream->MemoryAtPosition(available);
            int64_t got = std::min(available, int64_t(length));
            if (source == nullptr) {
                got = FStream->Read(FRowBuffer.data(), int64_t(length));
                source = FRowBuffer.data();
            }
            FDecoder->Decode(source, dest[c], int32_t(got), width);
        } else if (BytesPerSample == 1) {
            FStream->SetPosition(FBaseOffset + kHeaderSize + int64_t(index) * width);
            FStream->Read(dest[c], width);
        } else {
            // The most significant byte of each sample comes first; the low byte is dropped.
            FStream->SetPosition(FBaseOffset + kHeaderSize + int64_t(index) * width * 2);
            const int64_t got = FStream->Read(FRowBuffer.data(), int64_t(width) * 2);
            for (int64_t x = 0; x < got / 2; ++x) dest[c][x] = FRowBuffer[2 * size_t(x)];
        }
    }
}

}  // namespace quillet
