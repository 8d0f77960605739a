// Byte-order swaps, row conversions of foreign samples into bitmap pixels, and the undo
// routines of the TIFF horizontal predictor.
//
// 16-bit samples are little-endian words (readers of big-endian data swap them first) and
// are reduced to 8 bits by keeping the high byte. Every conversion writes blue, green, red
// (and a fourth byte for 32-bit pixels); the pixel count is SampleCount divided by the
// channel count, a remainder is ignored. A BitsPerSample other than 8 or 16 makes the RGB,
// RGBA and CMYK conversions write nothing.
#include "imaging/convert.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUILLET_CONVERT_SSSE3 1
#endif

namespace quillet {

namespace {

inline uint8_t ClampToByte(long v) { return uint8_t(std::clamp<long>(v, 0, 255)); }

// The 8-bit value of sample i of a row: the sample itself, or the high byte of a
// little-endian 16-bit sample.
template <unsigned kBytes>
inline uint8_t Sample(const uint8_t* row, size_t i)
{
    return row[i * kBytes + (kBytes - 1)];
}

// R, G, B (and A) per pixel to blue, green, red (and alpha).
template <unsigned kBytes, size_t kChannels>
void InterleavedRow(const uint8_t* src, uint8_t* dst, size_t pixels)
{
    for (size_t x = 0; x < pixels; ++x, dst += kChannels) {
        dst[0] = Sample<kBytes>(src, kChannels * x + 2);
        dst[1] = Sample<kBytes>(src, kChannels * x + 1);
        dst[2] = Sample<kBytes>(src, kChannels * x);
        if constexpr (kChannels == 4) dst[3] = Sample<kBytes>(src, 4 * x + 3);
    }
}

template <unsigned kBytes>
void PlanarRGBRow(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* dst, size_t pixels)
{
    for (size_t x = 0; x < pixels; ++x, dst += 3) {
        dst[0] = Sample<kBytes>(b, x);
        dst[1] = Sample<kBytes>(g, x);
        dst[2] = Sample<kBytes>(r, x);
    }
}

// The 8-bit RGB rows of TIFF and PSD files are most of their loading time after the
// decoding: SSSE3's byte shuffle swaps red and blue sixteen bytes at a time. The plain
// loops above finish each row and serve processors without it.
#ifdef QUILLET_CONVERT_SSSE3
bool HaveSsse3()
{
    static const bool present = __builtin_cpu_supports("ssse3");
    return present;
}

// Rows that share bytes go the plain way, which defines what an overlap gives.
bool Apart(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes)
{
    return a + aBytes <= b || b + bBytes <= a;
}

// Five pixels per step: sixteen bytes are loaded and stored, of which the sixteenth is
// written again by the next step or by the plain loop. Returns the pixels done.
__attribute__((target("ssse3"))) size_t SwapRedBlueSsse3(const uint8_t* src, uint8_t* dst, size_t pixels)
{
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t x = 0;
    for (; pixels - x >= 6; x += 5) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x), _mm_shuffle_epi8(v, order));
    }
    return x;
}

// Sixteen pixels per step: each 16-byte part of the 48 output bytes gathers its bytes from
// the three planes (a shuffle index of -1 gives a zero to combine with).
__attribute__((target("ssse3"))) size_t PlanarRGBSsse3(const uint8_t* r, const uint8_t* g, const uint8_t* b,
                                                       uint8_t* dst, size_t pixels)
{
    const __m128i b0 = _mm_setr_epi8(0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5);
    const __m128i g0 = _mm_setr_epi8(-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1);
    const __m128i r0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
    const __m128i b1 = _mm_setr_epi8(-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1);
    const __m128i g1 = _mm_setr_epi8(5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10);
    const __m128i r1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1);
    const __m128i b2 = _mm_setr_epi8(-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1);
    const __m128i g2 = _mm_setr_epi8(-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1);
    const __m128i r2 = _mm_setr_epi8(10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15);
    size_t x = 0;
    for (; pixels - x >= 16; x += 16) {
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
        const __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x));
        const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x));
        auto* out = reinterpret_cast<__m128i*>(dst + 3 * x);
        _mm_storeu_si128(out, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(vb, b0), _mm_shuffle_epi8(vg, g0)),
                                           _mm_shuffle_epi8(vr, r0)));
        _mm_storeu_si128(out + 1, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(vb, b1), _mm_shuffle_epi8(vg, g1)),
                                               _mm_shuffle_epi8(vr, r1)));
        _mm_storeu_si128(out + 2, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(vb, b2), _mm_shuffle_epi8(vg, g2)),
                                               _mm_shuffle_epi8(vr, r2)));
    }
    return x;
}
#endif

void InterleavedRGB8Row(const uint8_t* src, uint8_t* dst, size_t pixels)
{
    size_t done = 0;
#ifdef QUILLET_CONVERT_SSSE3
    if (HaveSsse3() && Apart(src, 3 * pixels, dst, 3 * pixels)) done = SwapRedBlueSsse3(src, dst, pixels);
#endif
    InterleavedRow<1, 3>(src + 3 * done, dst + 3 * done, pixels - done);
}

void PlanarRGB8Row(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* dst, size_t pixels)
{
    size_t done = 0;
#ifdef QUILLET_CONVERT_SSSE3
    if (HaveSsse3() && Apart(r, pixels, dst, 3 * pixels) && Apart(g, pixels, dst, 3 * pixels) &&
        Apart(b, pixels, dst, 3 * pixels))
        done = PlanarRGBSsse3(r, g, b, dst, pixels);
#endif
    PlanarRGBRow<1>(r + done, g + done, b + done, dst + 3 * done, pixels - done);
}

// One colour channel from a CMY value and K: 255 - (c + k - round(c * k / max)), the
// 16-bit form reduced by 8 bits before it is taken from 255.
inline uint8_t Cmyk8(unsigned c, unsigned k) { return ClampToByte(255 - long(c + k - (c * k + 127) / 255)); }
inline uint8_t Cmyk16(uint64_t c, uint64_t k)
{
    return ClampToByte(255 - long((c + k - (c * k + 32767) / 65535) >> 8));
}

inline unsigned Word(const uint8_t* p) { return unsigned(p[0]) | (unsigned(p[1]) << 8); }

// One L*a*b* pixel (L as 0..255, a and b signed) to blue, green, red; no reference white.
inline void LabPixel(uint8_t lb, uint8_t ab, uint8_t bb, uint8_t* dst)
{
    const double l = lb / 2.55;
    const double a = int8_t(ab);
    const double b = int8_t(bb);
    const double fy = (l + 16) / 116;
    double x, y, z;
    if (l < 7.9996) {
        y = l / 903.3;
        x = a / 3893.5 + y;
        z = y - b / 1557.4;
    } else {
        const double fx = a / 500 + fy;
        const double fz = fy - b / 200;
        x = fx * fx * fx;
        y = fy * fy * fy;
        z = fz * fz * fz;
    }
    // nearbyint rounds halves to the even neighbour in the default rounding mode.
    dst[2] = ClampToByte(long(std::nearbyint(255 * (2.998 * x - 1.458 * y - 0.541 * z))));
    dst[1] = ClampToByte(long(std::nearbyint(255 * (-0.952 * x + 1.893 * y + 0.059 * z))));
    dst[0] = ClampToByte(long(std::nearbyint(255 * (0.099 * x - 0.198 * y + 1.099 * z))));
}

}  // namespace

void ByteSwap16Array(void* Data, uint32_t Count)
{
    auto* p = static_cast<uint8_t*>(Data);
    for (uint32_t i = 0; i < Count; ++i, p += 2) std::swap(p[0], p[1]);
}

void ByteSwap32Array(void* Data, uint32_t Count)
{
    auto* p = static_cast<uint8_t*>(Data);
    for (uint32_t i = 0; i < Count; ++i, p += 4) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        v = ByteSwap32(v);
        std::memcpy(p, &v, 4);
    }
}

uint32_t ByteSwap32(uint32_t Value) { return __builtin_bswap32(Value); }

void ConvertGrey16Row(const void* Source, void* Dest, uint8_t, uint32_t SampleCount)
{
    const auto* src = static_cast<const uint8_t*>(Source);
    auto* dst = static_cast<uint8_t*>(Dest);
    for (uint32_t i = 0; i < SampleCount; ++i) dst[i] = Sample<2>(src, i);
}

void ConvertRGBRow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount)
{
    const auto* src = static_cast<const uint8_t*>(Source);
    auto* dst = static_cast<uint8_t*>(Dest);
    if (BitsPerSample == 8) InterleavedRGB8Row(src, dst, SampleCount / 3);
    else if (BitsPerSample == 16) InterleavedRow<2, 3>(src, dst, SampleCount / 3);
}

void ConvertRGBARow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount)
{
    const auto* src = static_cast<const uint8_t*>(Source);
    auto* dst = static_cast<uint8_t*>(Dest);
    if (BitsPerSample == 8) InterleavedRow<1, 4>(src, dst, SampleCount / 4);
    else if (BitsPerSample == 16) InterleavedRow<2, 4>(src, dst, SampleCount / 4);
}

void ConvertCMYKRow(const void* Source, void* Dest, uint8_t BitsPerSample, uint32_t SampleCount)
{
    const auto* src = static_cast<const uint8_t*>(Source);
    auto* dst = static_cast<uint8_t*>(Dest);
    const uint32_t pixels = SampleCount / 4;
    if (BitsPerSample == 8) {
        for (uint32_t x = 0; x < pixels; ++x, src += 4, dst += 3) {
            dst[0] = Cmyk8(src[2], src[3]);
            dst[1] = Cmyk8(src[1], src[3]);
            dst[2] = Cmyk8(src[0], src[3]);
        }
    } else if (BitsPerSample == 16) {
        for (uint32_t x = 0; x < pixels; ++x, src += 8, dst += 3) {
            const unsigned k = Word(src + 6);
            dst[0] = Cmyk16(Word(src + 4), k);
            dst[1] = Cmyk16(Word(src + 2), k);
            dst[2] = Cmyk16(Word(src), k);
        }
    }
}

void ConvertLabRow(const void* Source, void* Dest, uint8_t, uint32_t SampleCount)
{
    const auto* src = static_cast<const uint8_t*>(Source);
    auto* dst = static_cast<uint8_t*>(Dest);
    const uint32_t pixels = SampleCount / 3;
    for (uint32_t x = 0; x < pixels; ++x, src += 3, dst += 3) LabPixel(src[0], src[1], src[2], dst);
}

void ConvertPlanarRGBRow(const void* R, const void* G, const void* B, void* Dest, uint8_t BitsPerSample,
                         uint32_t SampleCount)
{
    const auto* r = static_cast<const uint8_t*>(R);
    const auto* g = static_cast<const uint8_t*>(G);
    const auto* b = static_cast<const uint8_t*>(B);
    auto* dst = static_cast<uint8_t*>(Dest);
    if (BitsPerSample == 8) PlanarRGB8Row(r, g, b, dst, SampleCount / 3);
    else if (BitsPerSample == 16) PlanarRGBRow<2>(r, g, b, dst, SampleCount / 3);
}

void ConvertPlanarCMYKRow(const void* C, const void* M, const void* Y, const void* K, void* Dest,
                          uint8_t BitsPerSample, uint32_t SampleCount)
{
    const auto* c = static_cast<const uint8_t*>(C);
    const auto* m = static_cast<const uint8_t*>(M);
    const auto* y = static_cast<const uint8_t*>(Y);
    const auto* k = static_cast<const uint8_t*>(K);
    auto* dst = static_cast<uint8_t*>(Dest);
    const uint32_t pixels = SampleCount / 4;
    if (BitsPerSample == 8) {
        for (uint32_t x = 0; x < pixels; ++x, dst += 3) {
            dst[0] = Cmyk8(y[x], k[x]);
            dst[1] = Cmyk8(m[x], k[x]);
            dst[2] = Cmyk8(c[x], k[x]);
        }
    } else if (BitsPerSample == 16) {
        for (uint32_t x = 0; x < pixels; ++x, dst += 3) {
            const unsigned kx = Word(k + 2 * x);
            dst[0] = Cmyk16(Word(y + 2 * x), kx);
            dst[1] = Cmyk16(Word(m + 2 * x), kx);
            dst[2] = Cmyk16(Word(c + 2 * x), kx);
        }
    }
}

void ConvertPlanarLabRow(const void* L, const void* A, const void* B, void* Dest, uint8_t, uint32_t SampleCount)
{
    const auto* l = static_cast<const uint8_t*>(L);
    const auto* a = static_cast<const uint8_t*>(A);
    const auto* b = static_cast<const uint8_t*>(B);
    auto* dst = static_cast<uint8_t*>(Dest);
    const uint32_t pixels = SampleCount / 3;
    for (uint32_t x = 0; x < pixels; ++x, dst += 3) LabPixel(l[x], a[x], b[x], dst);
}

// The predictor undo routines add each byte to the byte one stride further on, from the
// start of the row; bytes are added, not samples. They touch Row[0 .. stride x (PixelPairs
// + 1) - 1], so PixelPairs = 0 touches nothing.
namespace {

template <size_t kStride>
void UndoDifferencing(void* Row, uint32_t PixelPairs)
{
    auto* row = static_cast<uint8_t*>(Row);
    const size_t n = kStride * size_t(PixelPairs);
    for (size_t i = 0; i < n; ++i) row[i + kStride] = uint8_t(row[i + kStride] + row[i]);
}

}  // namespace

void UndoDifferencing1(void* Row, uint32_t PixelPairs) { UndoDifferencing<1>(Row, PixelPairs); }
void UndoDifferencing3(void* Row, uint32_t PixelPairs) { UndoDifferencing<3>(Row, PixelPairs); }
void UndoDifferencing4(void* Row, uint32_t PixelPairs) { UndoDifferencing<4>(Row, PixelPairs); }

}  // namespace quillet
