// Portable bitmap, graymap and pixmap images. A magic line "P1".."P6", then width, height
// and (but for bitmaps) the maximum sample value as decimal text with "#" comments, then
// the pixels from the top row down: as decimal text (P1-P3) or as bytes (P4-P6). Samples
// are taken as bytes; the maximum value only matters where it needs two bytes.
#include "imaging/readers/ppm.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"
#include "platform/stream.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quillet {

QUILLET_GRAPHIC_CLASS(TPPMGraphic, &TBitmap::Class)

namespace {

constexpr char kNotPpm[] = "Not a valid ppm file.";
constexpr char kPpmReadError[] = "PPM: Stream read error.";

// The largest maximum value of the format; samples above 255 take two bytes, high first.
constexpr uint32_t kMaxSampleValue = 65535;
// Two-byte samples are reduced through a fixed buffer of this many samples.
constexpr size_t kWideChunk = 3 * 1024;

// Red, green, blue to blue, green, red; source and dest may be the same row.
void SwapCopyScalar(uint8_t* dest, const uint8_t* source, size_t pixels)
{
    for (size_t i = 0; i < pixels; ++i, source += 3, dest += 3) {
        const uint8_t red = source[0], green = source[1], blue = source[2];
        dest[0] = blue;
        dest[1] = green;
        dest[2] = red;
    }
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("ssse3"))) void SwapCopySsse3(uint8_t* dest, const uint8_t* source, size_t pixels)
{
    // Five pixels per step through 16-byte loads and stores (at least six pixels, so that
    // both stay inside the rows); the sixteenth byte is stored as it was loaded. Each load
    // runs one step ahead of the store before it, which keeps the conversion in place from
    // waiting for stores to land and never reads a byte that a store has changed.
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t left = pixels;
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source));
    for (; left >= 11; left -= 5, source += 15, dest += 15) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 15));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dest), _mm_shuffle_epi8(v, order));
        v = next;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dest), _mm_shuffle_epi8(v, order));
    SwapCopyScalar(dest + 15, source + 15, left - 5);
}

void SwapCopy(uint8_t* dest, const uint8_t* source, size_t pixels)
{
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3 && pixels >= 6)
        SwapCopySsse3(dest, source, pixels);
    else
        SwapCopyScalar(dest, source, pixels);
}
#else
void SwapCopy(uint8_t* dest, const uint8_t* source, size_t pixels) { SwapCopyScalar(dest, source, pixels); }
#endif

}  // namespace

uint8_t TPPMGraphic::Refill()
{
    FIndex = 0;
    FCount = int32_t(std::max<int64_t>(FStream->Read(FBuffer, kBufferSize), 0));
    if (FCount == 0) throw Exception(kPpmReadError);
    return FBuffer[FIndex++];
}

void TPPMGraphic::ReadLine(std::string& Line)
{
    Line.clear();
    uint8_t c = ReadChar();
    while (c != '\n' && c != '\r') {
        Line.push_back(char(c));
        c = ReadChar();
    }
    // A line feed after a carriage return belongs to the same line end, as far as the
    // buffer shows; one in the next block is left to be read as a separator.
    if (c == '\r' && PeekChar() == '\n') ++FIndex;
    const size_t comment = Line.find('#');
    if (comment != std::string::npos) Line.erase(comment);
}

uint32_t TPPMGraphic::ReadNumber()
{
    uint8_t c = ReadChar();
    std::string comment;
    while (c < '0' || c > '9') {
        if (c == '#') ReadLine(comment);
        c = ReadChar();
    }
    // The value is kept modulo 2^32, which keeps every sample's low byte exact; sizes
    // learn from FNumberOverflow that the number did not fit.
    uint64_t value = 0;
    FNumberOverflow = false;
    for (;;) {
        value = value * 10 + uint64_t(c - '0');
        if (value > UINT32_MAX) {
            FNumberOverflow = true;
            value &= UINT32_MAX;
        }
        if (FIndex >= FCount) {
            // A number that ends with the data (the last sample of a text file without a
            // final line end) is complete.
            FIndex = 0;
            FCount = int32_t(std::max<int64_t>(FStream->Read(FBuffer, kBufferSize), 0));
            if (FCount == 0) break;
        }
        c = FBuffer[FIndex++];
        if (c < '0' || c > '9') break;
    }
    return uint32_t(value);
}

int TPPMGraphic::ReadSize()
{
    // A size beyond 32 bits is taken as the largest one, which the pixel limit refuses
    // as soon as the other side is known.
    const uint32_t value = ReadNumber();
    return FNumberOverflow || value > uint32_t(INT32_MAX) ? INT32_MAX : int(value);
}

void TPPMGraphic::ReadBytes(uint8_t* dest, size_t count)
{
    while (count > 0) {
        if (FIndex >= FCount) {
            if (count >= size_t(kBufferSize)) {
                // Large pieces go straight from the stream to their place.
                const int64_t got = FStream->Read(dest, int64_t(count));
                if (got <= 0) throw Exception(kPpmReadError);
                dest += got;
                count -= size_t(got);
                continue;
            }
            Refill();
            --FIndex;
        }
        const size_t n = std::min(count, size_t(FCount - FIndex));
        std::memcpy(dest, FBuffer + FIndex, n);
        FIndex += int32_t(n);
        dest += n;
        count -= n;
    }
}

void TPPMGraphic::ReadPixmapRow(uint8_t* row, size_t pixels)
{
    const size_t bytes = 3 * pixels;
    const size_t buffered = std::min(bytes, size_t(FCount - FIndex));
    std::memcpy(row, FBuffer + FIndex, buffered);
    FIndex += int32_t(buffered);
    int64_t available = 0;
    const uint8_t* direct = buffered < bytes ? FStream->MemoryAtPosition(available) : nullptr;
    if (direct == nullptr) {
        ReadBytes(row + buffered, bytes - buffered);
        SwapCopy(row, row, pixels);
        return;
    }
    // A stream in memory: complete the pixel that the buffer split, then convert the
    // rest on its way from the stream into the row.
    const size_t rest = bytes - buffered;
    const size_t take = size_t(std::min<int64_t>(available, int64_t(rest)));
    const size_t head = std::min(take, (3 - buffered % 3) % 3);
    std::memcpy(row + buffered, direct, head);
    const size_t whole = (take - head) / 3;
    SwapCopy(row + buffered + head, direct + head, whole);
    std::memcpy(row + buffered + head + 3 * whole, direct + head + 3 * whole, take - head - 3 * whole);
    FStream->Seek(int64_t(take), TSeekOrigin::soCurrent);
    SwapCopy(row, row, (buffered + head) / 3);
    if (take < rest) throw Exception(kPpmReadError);
}

void TPPMGraphic::MakeGrayPalette(bool Monochrome)
{
    TMaxLogPalette logPalette;
    if (Monochrome) {
        logPalette.palNumEntries = 2;
        logPalette.palPalEntry[0] = {255, 255, 255, 0};
        logPalette.palPalEntry[1] = {0, 0, 0, 0};
    } else {
        logPalette.palNumEntries = 256;
        for (int i = 0; i < 256; ++i) logPalette.palPalEntry[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    }
    SetPalette(CreatePalette(logPalette));
}

void TPPMGraphic::ReadTextPixels(int variant)
{
    const int width = Width();
    if (width == 0) return;  // rows without pixels hold no numbers
    for (int y = 0; y < Height(); ++y) {
        uint8_t* row = ScanLine(y);
        switch (variant) {
        case 1: {
            // Eight pixels to a byte, the first in the top bit; 1 is black.
            uint8_t bits = 0;
            for (int x = 1; x <= width; ++x) {
                bits = uint8_t(bits * 2 + (ReadNumber() & 1));
                if (x % 8 == 0) {
                    row[x / 8 - 1] = bits;
                    bits = 0;
                }
            }
            if (width % 8 != 0) row[width / 8] = uint8_t(bits << (8 - width % 8));
            break;
        }
        case 2:
            for (int x = 0; x < width; ++x) row[x] = uint8_t(ReadNumber());
            break;
        default:
            for (int x = 0; x < width; ++x) {
                row[3 * x + 2] = uint8_t(ReadNumber());
                row[3 * x + 1] = uint8_t(ReadNumber());
                row[3 * x] = uint8_t(ReadNumber());
            }
            break;
        }
    }
}

void TPPMGraphic::ReadBinaryPixels(int variant, uint32_t maxValue, int& rowsDone)
{
    const size_t width = size_t(Width());
    const size_t channels = variant == 6 ? 3 : 1;
    const size_t rowBytes = variant == 4 ? (width + 7) / 8 : width * channels;
    uint8_t wide[2 * kWideChunk];
    const uint32_t half = maxValue / 2;
    if (width == 0) return;  // rows without pixels hold no bytes
    for (; rowsDone < Height(); ++rowsDone) {
        uint8_t* row = ScanLine(rowsDone);
        if (variant == 4 || maxValue <= 255) {
            if (variant == 6)
                ReadPixmapRow(row, width);
            else
                ReadBytes(row, rowBytes);
        } else {
            // Two bytes per sample, most significant first, scaled from 0..maxValue to
            // 0..255.
            uint8_t* out = row;
            for (size_t left = rowBytes; left > 0;) {
                const size_t n = std::min(left, kWideChunk);
                ReadBytes(wide, 2 * n);
                for (size_t i = 0; i < n; ++i) {
                    const uint32_t v = std::min<uint32_t>(uint32_t(wide[2 * i] << 8 | wide[2 * i + 1]), maxValue);
                    *out++ = uint8_t((v * 255 + half) / maxValue);
                }
                left -= n;
            }
            if (variant == 6) SwapCopy(row, row, width);
        }
        std::memset(row + rowBytes, 0, Stride() - rowBytes);
    }
}

void TPPMGraphic::ReadImage(TStream& Stream)
{
    SetHandle(nullptr);
    FStream = &Stream;
    FIndex = kBufferSize;
    FCount = 0;
    struct Forget {
        TStream*& stream;
        ~Forget() { stream = nullptr; }
    } forget{FStream};

    std::string line;
    ReadLine(line);
    if (line.empty() || line[0] != 'P') throw Exception(kNotPpm);
    // The variant digit goes through the platform's integer conversion, whose message
    // quotes the text it refused.
    const std::string digit = line.substr(1, 1);
    if (digit.empty() || digit[0] < '0' || digit[0] > '9')
        throw Exception(Fmt(kInvalidInteger, digit.c_str()));
    const int variant = digit[0] - '0';
    if (variant < 1 || variant > 6) return;  // other variants: an empty bitmap, no error

    SetPixelFormat(variant == 1 || variant == 4   ? TPixelFormat::pf1bit
                   : variant == 2 || variant == 5 ? TPixelFormat::pf8bit
                                                  : TPixelFormat::pf24bit);
    SetWidth(ReadSize());
    const int height = ReadSize();
    if (variant <= 3) {
        SetHeight(height);
        if (variant != 1) ReadNumber();  // the maximum: text samples are taken modulo 256
        if (variant != 3) MakeGrayPalette(variant == 1);
        ReadTextPixels(variant);
        return;
    }

    // Binary rows are written whole as they are read, so their memory is not cleared
    // first; a file that ends early gets cleared rows back below the rows it filled.
    SetSizeForOverwrite(Width(), height);
    int rowsDone = 0;
    try {
        uint32_t maxValue = 255;
        if (variant != 4) {
            maxValue = ReadNumber();
            if (FNumberOverflow || maxValue > kMaxSampleValue) maxValue = kMaxSampleValue;
        }
        if (variant != 6) MakeGrayPalette(variant == 4);
        ReadBinaryPixels(variant, maxValue, rowsDone);
    } catch (...) {
        SetHeight(rowsDone);
        SetHeight(height);
        throw;
    }
}

}  // namespace quillet
