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

// Short packets dominate the coded rows of photographs (a few bytes each), where a call to
// memset or memcpy, or a string instruction, costs more than the packet. Packets of up to
// 128 bytes are moved with fixed-size stores, the last of which may overlap the one before,
// so that exactly n bytes are written and nothing beyond them.

// Writes n copies of value.
inline uint8_t* FillBytes(uint8_t* dst, uint8_t value, size_t n)
{
    if (n >= 8 && n <= 16) {
        const uint64_t v = 0x0101010101010101ull * value;
        std::memcpy(dst, &v, 8);
        std::memcpy(dst + n - 8, &v, 8);
    } else if (n >= 4 && n < 8) {
        const uint32_t v = 0x01010101u * value;
        std::memcpy(dst, &v, 4);
        std::memcpy(dst + n - 4, &v, 4);
    } else if (n > 0 && n < 4) {
        dst[0] = value;
        dst[n / 2] = value;
        dst[n - 1] = value;
    } else if (n > 16 && n <= 128) {
        uint8_t v[16];
        std::memset(v, value, 16);
        for (size_t i = 0; i + 16 < n; i += 16) std::memcpy(dst + i, v, 16);
        std::memcpy(dst + n - 16, v, 16);
    } else if (n > 128) {
        std::memset(dst, value, n);
    }
    return dst + n;
}

// Copies n bytes; source and destination do not overlap.
inline void CopyBytes(uint8_t* dst, const uint8_t* src, size_t n)
{
    if (n >= 8 && n <= 16) {
        uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else if (n > 0 && n < 4) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    } else if (n > 16 && n <= 128) {
        // Whole 16-byte blocks, then the last 16 bytes (overlapping the block before).
        for (size_t i = 0; i + 16 < n; i += 16) std::memcpy(dst + i, src + i, 16);
        std::memcpy(dst + n - 16, src + n - 16, 16);
    } else if (n > 128) {
        std::memcpy(dst, src, n);
    }
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
            CopyBytes(dst, src, k);
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

// SGI rows of 8-bit samples (kSample 1) or 16-bit ones (kSample 2, each counted by a
// 16-bit control word whose high byte is ignored and reduced to its high byte); the sample
// size is a constant of each form, as this loop runs once per packet.
template <size_t kSample>
void DecodeSGIRuns(const uint8_t* src, uint8_t* dst, size_t packed, size_t unpacked)
{
    const uint8_t* const srcEnd = src + packed;
    uint8_t* const dstEnd = dst + unpacked;
    while (size_t(srcEnd - src) >= kSample) {
        const uint8_t control = src[kSample - 1];
        src += kSample;
        const size_t n = control & 0x7F;
        if (n == 0) return;
        const size_t room = size_t(dstEnd - dst);
        const size_t held = size_t(srcEnd - src) / kSample;
        if (control & 0x80) {  // n samples follow; of 16-bit ones the high byte is kept
            const size_t k = std::min({n, held, room});
            if constexpr (kSample == 1) {
                CopyBytes(dst, src, k);
            } else {
                for (size_t i = 0; i < k; ++i) dst[i] = src[2 * i];
            }
            if (k < n) return;
            src += n * kSample;
            dst += n;
        } else {  // one sample follows, written n times
            if (held == 0) return;
            const size_t k = std::min(n, room);
            dst = FillBytes(dst, *src, k);
            src += kSample;
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
    TPCXRun pending;
    DecodePCXRLE(src, src + SizeOf(PackedSize), Dest, SizeOf(UnpackedSize), pending);
}

size_t DecodePCXRLE(const uint8_t*& Source, const uint8_t* SourceEnd, uint8_t* Dest, size_t Count, TPCXRun& Pending)
{
    uint8_t* dst = Dest;
    uint8_t* const dstEnd = Dest + Count;
    const size_t carried = std::min<size_t>(Pending.Count, Count);
    dst = FillBytes(dst, Pending.Value, carried);
    Pending.Count -= uint32_t(carried);
    const uint8_t* src = Source;
    // A byte below 0xC0 is a data byte of its own; 0xC0 and above is a count (its low six
    // bits) followed by the byte to repeat. In photo data both kinds mix at random, so the
    // fast loop takes the data bytes eight at a time up to the next count, then that run,
    // writing whole 8-byte words where it can. Those stores may write a little past the
    // output, never past Dest: later output overwrites those bytes, unless the coded bytes
    // end first. The fast loop keeps room for the longest run.
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    while (dstEnd - dst >= 72 && SourceEnd - src >= 16) {
        uint64_t word;
        std::memcpy(&word, src, 8);
        std::memcpy(dst, &word, 8);
        const uint64_t counts = word & (word << 1) & kHighBits;  // bytes of 0xC0 and above
        if (counts == 0) {
            src += 8;
            dst += 8;
            continue;
        }
        const unsigned k = unsigned(__builtin_ctzll(counts)) / 8;
        src += k;
        dst += k;
        const size_t n = src[0] & 0x3F;
        const uint64_t pattern = 0x0101010101010101ull * src[1];
        src += 2;
        size_t i = 0;
        do {
            std::memcpy(dst + i, &pattern, 8);
        } while ((i += 8) < n);
        dst += n;  // 0xC0 has a count of zero: nothing written, both bytes used
    }
    // The rest one packet at a time, telling the two kinds apart without a branch.
    while (dst < dstEnd && SourceEnd - src >= 2) {
        const uint8_t b = src[0];
        const bool run = b >= 0xC0;
        const uint8_t value = run ? src[1] : b;
        const size_t n = run ? size_t(b & 0x3F) : 1;
        src += 1 + size_t(run);
        if (n == 1) {
            *dst++ = value;
            continue;
        }
        // A run never writes past Count; what is left of it goes on in the next call.
        const size_t room = size_t(dstEnd - dst);
        dst = FillBytes(dst, value, std::min(n, room));
        if (n > room) Pending = {uint32_t(n - room), value};
    }
    // The last coded byte: a data byte, or a count whose byte is missing.
    if (dst < dstEnd && src < SourceEnd && *src < 0xC0) *dst++ = *src++;
    Source = src;
    return size_t(dst - Dest);
}

void TSGIRLE::Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize)
{
    if (FBytesPerSample == 1)
        DecodeSGIRuns<1>(Source, Dest, SizeOf(PackedSize), SizeOf(UnpackedSize));
    else
        DecodeSGIRuns<2>(Source, Dest, SizeOf(PackedSize), SizeOf(UnpackedSize));
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
