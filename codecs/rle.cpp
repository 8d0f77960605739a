// Run-length decoders of the PackBits, Wavefront RLA, ZSoft PCX, SGI and Dr. Halo CUT
// schemes, and the Targa packet decoder and encoder.
//
// Every decoder works straight into the caller's buffer and allocates nothing. It stops at
// whichever comes first: its scheme's end rule, UnpackedSize bytes of Dest, or PackedSize
// coded bytes. A packet that reaches past one of those bounds is cut to what fits and the
// decode ends there (CUT lines are the exception, see TCUTRLE). Negative sizes count as 0.
#include <algorithm>
#include <cstring>

#include "codecs/ImageCodecs.h"

namespace quillet {

namespace {

inline size_t SizeOf(int32_t size) { return size > 0 ? size_t(size) : 0; }

// Writes n copies of value; short runs are common in PCX and CUT data, where a call to
// memset costs more than the run.
inline uint8_t* FillBytes(uint8_t* dst, uint8_t value, size_t n)
{
    if (n <= 8) {
        for (size_t i = 0; i < n; ++i) dst[i] = value;
    } else {
        std::memset(dst, value, n);
    }
    return dst + n;
}

// PackBits and RLA share the layout of a signed control byte followed by literal bytes or
// by one repeated byte; they differ in which sign means a literal.
template <bool kNegativeIsLiteral>
void DecodeSignedRuns(const uint8_t* src, uint8_t* dst, size_t packed, size_t unpacked)
{
    const uint8_t* const srcEnd = src + packed;
    uint8_t* const dstEnd = dst + unpacked;
    while (src < srcEnd) {
        const int c = int8_t(*src++);
        bool literal;
        size_t n;
        if constexpr (kNegativeIsLiteral) {
            literal = c < 0;
            n = literal ? size_t(-c) : size_t(c) + 1;  // -128 gives 128 literal bytes
        } else {
            if (c == -128) continue;  // a no-op byte
            literal = c >= 0;
            n = literal ? size_t(c) + 1 : size_t(1 - c);
        }
        const size_t room = size_t(dstEnd - dst);
        if (literal) {
            const size_t held = size_t(srcEnd - src);
            const size_t k = std::min({n, held, room});
            std::memcpy(dst, src, k);
            if (k < n) return;  // cut by the coded bytes or by Dest
            src += n;
            dst += n;
        } else {
            if (src == srcEnd) return;  // the run's byte is missing
            const size_t k = std::min(n, room);
            dst = FillBytes(dst, *src++, k);
            if (k < n) return;
        }
    }
}

}  // namespace

void TPackbitsRLE::Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize)
{
    DecodeSignedRuns<false>(Source, Dest, SizeOf(PackedSize), SizeOf(UnpackedSize));
}

void TRLADecoder::Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize)
{
    DecodeSignedRuns<true>(Source, Dest, SizeOf(PackedSize), SizeOf(UnpackedSize));
}

void TPCXRLE::Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize)
{
    const uint8_t* src = Source;
    const uint8_t* const srcEnd = src + SizeOf(PackedSize);
    uint8_t* dst = Dest;
    uint8_t* const dstEnd = dst + SizeOf(UnpackedSize);
    while (dst < dstEnd && src < srcEnd) {
        const uint8_t b = *src++;
        if (b < 0xC0) {  // a data byte of its own
            *dst++ = b;
            continue;
        }
        if (src == srcEnd) return;  // the run's byte is missing
        // 0xC0 has a count of zero: nothing written, both bytes used. A run never writes
        // more than remains to be produced.
        const size_t n = std::min(size_t(b & 0x3F), size_t(dstEnd - dst));
        dst = FillBytes(dst, *src++, n);
    }
}

void TSGIRLE::Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize)
{
    const uint8_t* src = Source;
    const uint8_t* const srcEnd = src + SizeOf(PackedSize);
    uint8_t* dst = Dest;
    uint8_t* const dstEnd = dst + SizeOf(UnpackedSize);
    const size_t sample = FBytesPerSample == 1 ? 1 : 2;
    // A 16-bit control word's high byte is ignored; only its low byte counts.
    while (size_t(srcEnd - src) >= sample) {
        const uint8_t control = src[sample - 1];
        src += sample;
        const size_t n = control & 0x7F;
        if (n == 0) return;
        const size_t room = size_t(dstEnd - dst);
        const size_t held = size_t(srcEnd - src) / sample;
        if (control & 0x80) {  // n samples follow; of 16-bit ones the high byte is kept
            const size_t k = std::min({n, held, room});
            if (sample == 1) {
                std::memcpy(dst, src, k);
            } else {
                for (size_t i = 0; i < k; ++i) dst[i] = src[2 * i];
            }
            if (k < n) return;
            src += n * sample;
            dst += n;
        } else {  // one sample follows, written n times
            if (held == 0) return;
            const size_t k = std::min(n, room);
            dst = FillBytes(dst, *src, k);
            src += sample;
            if (k < n) return;
        }
    }
}

void TCUTRLE::Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize)
{
    const uint8_t* src = Source;
    const uint8_t* const srcEnd = src + SizeOf(PackedSize);
    uint8_t* dst = Dest;
    uint8_t* const dstEnd = dst + SizeOf(UnpackedSize);
    // The line's 2-byte length field; its value is not needed.
    src += std::min<size_t>(2, size_t(srcEnd - src));
    while (src < srcEnd) {
        const uint8_t b = *src++;
        if (b == 0) break;  // end of the line
        const size_t n = b & 0x7F;
        const size_t room = size_t(dstEnd - dst);
        if (b & 0x80) {  // one byte follows, written n times
            if (src == srcEnd) break;
            dst = FillBytes(dst, *src++, std::min(n, room));
        } else {  // n bytes follow, copied
            const size_t k = std::min(n, size_t(srcEnd - src));
            std::memcpy(dst, src, std::min(k, room));
            dst += std::min(k, room);
            src += k;
        }
    }
    Source = src;
}

// ---- Targa packets ----------------------------------------------------------------------

namespace {

inline uint32_t TargaBytesPerPixel(uint8_t pixelBits)
{
    switch (pixelBits) {
    case 8: return 1;
    case 15:
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 0;
    }
}

// Writes n copies of a p-byte pixel.
inline void FillPixels(uint8_t* dst, const uint8_t* pixel, size_t n, uint32_t p)
{
    switch (p) {
    case 1: FillBytes(dst, pixel[0], n); break;
    case 2:
        for (size_t i = 0; i < n; ++i, dst += 2) std::memcpy(dst, pixel, 2);
        break;
    case 3:
        for (size_t i = 0; i < n; ++i, dst += 3) {
            dst[0] = pixel[0];
            dst[1] = pixel[1];
            dst[2] = pixel[2];
        }
        break;
    default:
        for (size_t i = 0; i < n; ++i, dst += 4) std::memcpy(dst, pixel, 4);
        break;
    }
}

// Writes bytes [from, from + k) of a packet's output, the whole of which is n pixels.
inline void PacketBytes(uint8_t* dst, bool run, const uint8_t* data, uint32_t p, size_t from, size_t k)
{
    if (!run) {
        std::memcpy(dst, data + from, k);
        return;
    }
    // A run's output repeats with period p; start at the right byte within the pixel.
    for (size_t i = 0; i < k; ++i) dst[i] = data[(from + i) % p];
}

}  // namespace

int32_t DecodeTargaRLE(const uint8_t* Source, uint32_t SourceSize, uint8_t* Dest, uint32_t Count, uint8_t PixelBits,
                       TTargaCarry* Carry)
{
    const uint32_t p = TargaBytesPerPixel(PixelBits);
    if (p == 0) return 0;
    size_t produced = 0;
    if (Carry != nullptr && Carry->End > Carry->Start) {
        const size_t k = std::min<size_t>(Carry->End - Carry->Start, Count);
        std::memcpy(Dest, Carry->Bytes + Carry->Start, k);
        Carry->Start += uint32_t(k);
        produced = k;
        if (Carry->Start < Carry->End) return 0;  // a row narrower than the carried packet
    }
    if (Carry != nullptr) Carry->Start = Carry->End = 0;

    size_t used = 0;
    while (produced < Count) {
        if (used >= SourceSize) break;
        const uint8_t h = Source[used];
        const size_t n = size_t(h & 0x7F) + 1;
        const bool run = h >= 0x80;
        const size_t dataSize = run ? p : n * p;
        if (dataSize > SourceSize - used - 1) break;  // the packet's pixels are not all there
        const uint8_t* data = Source + used + 1;
        const size_t bytes = n * p;
        const size_t k = std::min<size_t>(bytes, Count - produced);
        if (run && k == bytes) {
            FillPixels(Dest + produced, data, n, p);
        } else {
            PacketBytes(Dest + produced, run, data, p, 0, k);
        }
        if (k < bytes && Carry != nullptr) {  // the packet crosses the row's end
            PacketBytes(Carry->Bytes, run, data, p, k, bytes - k);
            Carry->End = uint32_t(bytes - k);
        }
        produced += k;
        used += 1 + dataSize;
    }
    return int32_t(used);
}

namespace {

// A pixel's bytes as one number, first byte most significant: two pixels compare equal
// exactly when all their bytes are equal.
inline uint32_t PixelKey(const uint8_t* Pixel, int32_t BytesPerPixel)
{
    uint32_t key = 0;
    for (int32_t i = 0; i < BytesPerPixel; ++i) key = (key << 8) | Pixel[i];
    return key;
}

constexpr int32_t kMaxPacketPixels = 128;

// Pixels from the current one on that differ from their successor; the last remaining pixel
// counts too when no equal pair comes before it. 0 when the current pixel equals the next.
// Measured no further than one packet holds.
int32_t CountRawPixels(const uint8_t* Pixel, int32_t Remaining, int32_t BytesPerPixel)
{
    if (Remaining == 1) return 1;
    int32_t i = 0;
    while (i + 1 < Remaining && i < kMaxPacketPixels &&
           PixelKey(Pixel + i * BytesPerPixel, BytesPerPixel) != PixelKey(Pixel + (i + 1) * BytesPerPixel, BytesPerPixel))
        ++i;
    return i + 1 == Remaining ? Remaining : i;
}

// Pixels from the current one on that equal it: at least 1, at most one packet's worth.
int32_t CountRunPixels(const uint8_t* Pixel, int32_t Remaining, int32_t BytesPerPixel)
{
    const uint32_t key = PixelKey(Pixel, BytesPerPixel);
    int32_t u = 1;
    while (u < Remaining && u < kMaxPacketPixels && PixelKey(Pixel + u * BytesPerPixel, BytesPerPixel) == key) ++u;
    return u;
}

}  // namespace

int32_t EncodeTargaRLE(const uint8_t* Source, uint8_t* Dest, int32_t PixelCount, int32_t BytesPerPixel)
{
    if (BytesPerPixel < 1 || BytesPerPixel > 4) return 0;
    int32_t written = 0;
    int32_t remaining = PixelCount;
    while (remaining > 0) {
        const int32_t r = std::min(CountRawPixels(Source, remaining, BytesPerPixel), kMaxPacketPixels);
        const int32_t u = std::min(CountRunPixels(Source, remaining, BytesPerPixel), kMaxPacketPixels);
        if (r > 0) {
            const size_t bytes = size_t(r) * size_t(BytesPerPixel);
            *Dest++ = uint8_t(r - 1);
            std::memcpy(Dest, Source, bytes);
            Dest += bytes;
            Source += bytes;
            written += 1 + int32_t(bytes);
            remaining -= r;
        }
        // Whenever r > 0 the current pixel differed from its successor, so u is 1 then:
        // each step writes exactly one packet.
        if (u > 1) {
            *Dest++ = uint8_t((u - 1) | 0x80);
            std::memcpy(Dest, Source, size_t(BytesPerPixel));
            Dest += BytesPerPixel;
            Source += size_t(u) * size_t(BytesPerPixel);
            written += 1 + BytesPerPixel;
            remaining -= u;
        }
    }
    return written;
}

}  // namespace quillet
