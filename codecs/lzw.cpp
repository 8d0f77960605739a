// LZW decoders: TIFF strips (codes most significant bit first, the width growing one code
// early) and GIF image data (codes least significant bit first).
//
// Both keep a table of 4096 codes: the single-byte codes below the clear code, the clear
// and end codes, and the strings added while decoding. A string added is always the
// previous string followed by the first byte of the current one, and both lie one after
// the other in Dest, so the table holds only where a string starts and how long it is; a
// code's string is copied forward from there straight into the output. Single-byte codes
// point into a constant table of their bytes, so that every code is copied the same way.
#include <algorithm>
#include <array>
#include <cstring>

#include "codecs/ImageCodecs.h"
#include "platform/errors.h"

namespace quillet {

namespace {

constexpr uint32_t kTableSize = 4096;  // codes; the table has one spare entry after them
constexpr unsigned kMaxCodeWidth = 12;
constexpr unsigned kMaxMinimumCodeSize = 11;

// The byte of each single-byte code (its low 8 bits), with room for an 8-byte read from
// the last one.
constexpr auto kLiteralBytes = [] {
    std::array<uint8_t, (1u << kMaxMinimumCodeSize) + 8> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i);
    return bytes;
}();

inline void Copy8(uint8_t* to, const uint8_t* from)
{
    uint64_t word;
    std::memcpy(&word, from, 8);
    std::memcpy(to, &word, 8);
}

// Copies a string in 8-byte words: each word reads only bytes of the string or bytes
// after it, and writes up to 7 bytes past it.
inline uint8_t* CopyWords(uint8_t* out, const uint8_t* from, uint32_t length)
{
    uint8_t* const stop = out + length;
    Copy8(out, from);
    while ((out += 8) < stop) Copy8(out, from += 8);
    return stop;
}

// Copies a string that ends before out, cut at end; in words where the room allows.
inline uint8_t* CopyString(uint8_t* out, const uint8_t* from, uint32_t length, uint8_t* end)
{
    if (size_t(length) + 7 <= size_t(end - out)) return CopyWords(out, from, length);
    const size_t n = std::min<size_t>(length, size_t(end - out));
    std::memcpy(out, from, n);
    return out + n;
}

// The code being defined: the previous string (which ends at out) and its own first
// byte, so the copy overlaps its own output. Words are exact from 8 bytes back on;
// otherwise byte by byte.
inline uint8_t* CopyRepeat(uint8_t* out, const uint8_t* from, uint32_t length, uint8_t* end)
{
    if (size_t(out - from) >= 8 && size_t(length) + 7 <= size_t(end - out)) return CopyWords(out, from, length);
    const size_t n = std::min<size_t>(length, size_t(end - out));
    for (size_t i = 0; i < n; ++i) out[i] = from[i];
    return out + n;
}

// The one decoding loop; Tiff selects the TIFF packing and width rule, minCodeSize gives
// the single-byte codes (8 for TIFF). Sets decoded to the bytes written. Raises message
// on a code above the next free code, and on a first code (at the start or after a
// clear) that is not a single byte: such a code would name a string this data never
// added.
template <bool Tiff>
void DecodeLZW(TLZWString* table, const uint8_t* src, int32_t packedSize, uint8_t* dest, int32_t unpackedSize,
               unsigned minCodeSize, const char* message, int32_t& decoded)
{
    const uint8_t* const srcEnd = src + std::max(packedSize, 0);
    uint8_t* out = dest;
    uint8_t* const end = dest + std::max(unpackedSize, 0);

    const uint32_t clearCode = 1u << minCodeSize;
    const uint32_t endCode = clearCode + 1;
    const unsigned initialWidth = minCodeSize + 1;
    for (uint32_t k = 0; k < clearCode; ++k) table[k] = {kLiteralBytes.data() + k, 1};

    // The first code after a clear adds no string. So that the loop need not tell it from
    // the others, nextFree starts one below the first free code: the first code must then
    // be a single byte, and the string it "adds" lands in the end code's unused entry.
    // Once the table is full, strings land in the spare entry 4096 and nextFree stays.
    unsigned width = 0, shift = 0;  // TIFF codes are the top width bits: bits >> shift
    uint32_t mask = 0, nextFree = 0, growAt = 0;
    const auto reset = [&] {
        width = initialWidth;
        shift = 64 - width;
        mask = (1u << width) - 1;
        nextFree = endCode;
        // The width grows when the new next free code (TIFF) or the code just added (GIF)
        // equals the mask; with a minimum code size below 2 the GIF codes start above it.
        growAt = Tiff || mask > endCode ? mask : UINT32_MAX;
    };
    reset();
    // The string the previous code output: from prevStart up to out (a string cut short
    // by the end of Dest ends the decoding).
    uint8_t* prevStart = dest;

    uint64_t bits = 0;  // TIFF: pending bits at the top; GIF: at the bottom
    unsigned count = 0;
    bool failed = false;
    for (;;) {
        if (count < width) {
            // Refill. A word load leaves part of the next byte below (TIFF) or above (GIF)
            // the counted bits; the next refill puts the same bits in the same place.
            if (srcEnd - src >= 8) {
                uint64_t word;
                std::memcpy(&word, src, 8);
                if constexpr (Tiff)
                    bits |= __builtin_bswap64(word) >> count;
                else
                    bits |= word << count;
                src += (63 - count) >> 3;
                count |= 56;
            } else {
                while (count <= 56 && src < srcEnd) {
                    if constexpr (Tiff)
                        bits |= uint64_t(*src++) << (56 - count);
                    else
                        bits |= uint64_t(*src++) << count;
                    count += 8;
                }
                if (count < width) break;  // the coded bytes are used up
            }
        }
        uint32_t code;
        if constexpr (Tiff) {
            code = uint32_t(bits >> shift);
            bits <<= width;
        } else {
            code = uint32_t(bits) & mask;
            bits >>= width;
        }
        count -= width;

        // Per code: the end code, then the output limit, then the code itself.
        if (code - clearCode < 2) {
            if (code == endCode || out == end) break;
            reset();
            continue;
        }
        if (out == end) break;
        uint8_t* const start = out;
        if (code < nextFree) {
            out = CopyString(out, table[code].Data, table[code].Length, end);
        } else if (code == nextFree) {
            // The code being defined: the previous string and its own first byte.
            out = CopyRepeat(out, prevStart, uint32_t(start - prevStart) + 1, end);
        } else {
            failed = true;
            break;
        }
        // The previous string and the first byte of this one, which follows it in Dest.
        table[nextFree] = {prevStart, uint32_t(start - prevStart) + 1};
        if constexpr (Tiff) {
            nextFree += nextFree < kTableSize;
            if (nextFree == growAt) {
                mask = (1u << ++width) - 1;
                shift = 64 - width;
                growAt = width < kMaxCodeWidth ? mask : UINT32_MAX;
            }
        } else {
            if (nextFree == growAt) {
                mask = (1u << ++width) - 1;
                growAt = width < kMaxCodeWidth ? mask : UINT32_MAX;
            }
            nextFree += nextFree < kTableSize;
        }
        prevStart = start;
    }

    // Word copies may have run up to 7 bytes past the output; leave them zero.
    if (out != end) std::memset(out, 0, std::min<size_t>(7, size_t(end - out)));
    decoded = int32_t(out - dest);
    if (failed) throw Exception(message);
}

}  // namespace

void TTIFFLZW::Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize)
{
    FDecodedSize = 0;
    DecodeLZW<true>(FTable, Source, PackedSize, Dest, UnpackedSize, 8, kTIFFLZWInvalid, FDecodedSize);
}

void TGIFLZW::Decode(const uint8_t*& Source, uint8_t* Dest, int32_t PackedSize, int32_t UnpackedSize)
{
    FDecodedSize = 0;
    // Above 11 the single-byte codes alone would fill the table and the first code would
    // be wider than 12 bits.
    if (FMinimumCodeSize > kMaxMinimumCodeSize) throw Exception(kGIFLZWInvalid);
    DecodeLZW<false>(FTable, Source, PackedSize, Dest, UnpackedSize, FMinimumCodeSize, kGIFLZWInvalid, FDecodedSize);
}

}  // namespace quillet
