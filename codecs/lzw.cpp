// LZW decoders: TIFF strips (codes most significant bit first, the width growing one code
// early) and GIF image data (codes least significant bit first).
//
// Both keep a table of 4096 codes: the single-byte codes below the clear code, the clear
// and end codes, and the strings added while decoding. A string added is always the
// previous string followed by the first byte of the current one, and both lie one after
// the other in Dest, so the table holds only where a string starts in Dest and how long it
// is; a code's string is copied forward from there straight into the output.
#include <algorithm>
#include <cstring>

#include "codecs/ImageCodecs.h"
#include "platform/errors.h"

namespace quillet {

namespace {

constexpr uint32_t kTableSize = 4096;
constexpr unsigned kMaxCodeWidth = 12;

inline void Copy8(uint8_t* to, const uint8_t* from)
{
    uint64_t word;
    std::memcpy(&word, from, 8);
    std::memcpy(to, &word, 8);
}

// Copies a string of Dest to the output position, cut at end. In 8-byte words where the
// room allows; that is exact as long as each word reads bytes written before it, which
// holds when the string ends before out or starts at least 8 bytes before it.
inline uint8_t* CopyString(uint8_t* out, const uint8_t* from, uint32_t length, uint8_t* end)
{
    const size_t room = size_t(end - out);
    const size_t distance = size_t(out - from);
    if (size_t(length) + 7 <= room && distance >= std::min<size_t>(length, 8)) {
        uint8_t* to = out;
        uint8_t* const stop = out + length;
        do {
            Copy8(to, from);
            to += 8;
            from += 8;
        } while (to < stop);
        return stop;
    }
    const size_t n = std::min<size_t>(length, room);
    for (size_t i = 0; i < n; ++i) out[i] = from[i];
    return out + n;
}

// The one decoding loop; Tiff selects the TIFF packing and width rule, minCodeSize gives
// the single-byte codes (8 for TIFF). Sets decoded to the bytes written. Raises message on a code
// above the next free code, and on a first code (at the start or after a clear) that is
// not a single byte: such a code would name a string this data never added.
template <bool Tiff>
void DecodeLZW(TLZWString* table, const uint8_t* src, int32_t packedSize, uint8_t* dest, int32_t unpackedSize,
               unsigned minCodeSize, const char* message, int32_t& decoded)
{
    const uint8_t* const srcEnd = src + std::max(packedSize, 0);
    uint8_t* out = dest;
    uint8_t* const end = dest + std::max(unpackedSize, 0);

    const uint32_t clearCode = 1u << minCodeSize;
    const uint32_t endCode = clearCode + 1;
    const uint32_t firstFree = clearCode + 2;
    const unsigned initialWidth = minCodeSize + 1;
    unsigned width = initialWidth;
    uint32_t mask = (1u << width) - 1;
    uint32_t nextFree = firstFree;
    // The string the previous code output; length 0 means none (the first code after a
    // clear).
    uint32_t prevOffset = 0;
    uint32_t prevLength = 0;

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
            code = uint32_t(bits >> (64 - width));
            bits <<= width;
        } else {
            code = uint32_t(bits) & mask;
            bits >>= width;
        }
        count -= width;

        // Per code: the end code, then the output limit, then the code itself.
        if (code == endCode || out == end) break;
        if (code == clearCode) {
            width = initialWidth;
            mask = (1u << width) - 1;
            nextFree = firstFree;
            prevLength = 0;
            continue;
        }
        if (code > nextFree || (prevLength == 0 && code >= clearCode)) {
            failed = true;
            break;
        }
        uint8_t* const start = out;
        uint32_t length = 1;
        if (code < clearCode) {
            *out++ = uint8_t(code);
        } else if (code < nextFree) {
            length = table[code].Length;
            out = CopyString(out, dest + table[code].Offset, length, end);
        } else {
            // The code being defined: the previous string and its own first byte.
            length = prevLength + 1;
            out = CopyString(out, dest + prevOffset, length, end);
        }
        if (prevLength != 0 && nextFree < kTableSize) {
            // The previous string and the first byte of this one, which follows it in Dest.
            table[nextFree] = {prevOffset, prevLength + 1};
            if constexpr (Tiff) {
                ++nextFree;
                if (nextFree == mask && width < kMaxCodeWidth) mask = (1u << ++width) - 1;
            } else {
                if (nextFree == mask && width < kMaxCodeWidth) mask = (1u << ++width) - 1;
                ++nextFree;
            }
            // With 4096 strings the table is full: later codes add nothing until a clear
            // code, and code 4095 keeps the string it was given.
        }
        prevOffset = uint32_t(start - dest);
        prevLength = length;
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
    if (FMinimumCodeSize > 11) throw Exception(kGIFLZWInvalid);
    DecodeLZW<false>(FTable, Source, PackedSize, Dest, UnpackedSize, FMinimumCodeSize, kGIFLZWInvalid, FDecodedSize);
}

}  // namespace quillet
