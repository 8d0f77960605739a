// LZW coders for fixtures: GIF codes (least significant bit first) and TIFF codes (most
// significant bit first, the width growing one code early), and packers for hand-written
// code sequences.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/bytes.h"

namespace quillet::test {

/// What the coder does once its table holds 4096 strings.
enum class TFullTable {
    Clear,  ///< sends a clear code and starts a new table (what most writers do)
    Defer,  ///< keeps sending codes of the full table without a clear code
};

struct TLZWOptions {
    TFullTable FullTable = TFullTable::Clear;
    bool ClearFirst = true;  ///< start with a clear code
    bool EndCode = true;     ///< finish with the end code
};

/// GIF LZW codes of the bytes (each below 2^minCodeSize), packed least significant bit
/// first; the widths follow the decoder's rule exactly.
Bytes EncodeGIFLZW(const std::vector<uint8_t>& data, unsigned minCodeSize, TLZWOptions options = {});
/// TIFF LZW codes of the bytes, packed most significant bit first.
Bytes EncodeTIFFLZW(const std::vector<uint8_t>& data, TLZWOptions options = {});

/// One code and the number of bits it takes.
struct TCode {
    uint32_t Value;
    unsigned Width;
};
/// Packs codes most significant bit first (TIFF), the last byte padded with zero bits.
Bytes PackMsbFirst(const std::vector<TCode>& codes);
/// Packs codes least significant bit first (GIF).
Bytes PackLsbFirst(const std::vector<TCode>& codes);
/// The same width for every code.
std::vector<TCode> Codes(std::initializer_list<uint32_t> values, unsigned width);

}  // namespace quillet::test
