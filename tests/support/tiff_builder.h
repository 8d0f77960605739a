// A small TIFF writer for fixtures: either byte order, one or several strips, SHORT or
// LONG strip tables, uncompressed, LZW or PackBits strips, the horizontal predictor, and
// any field added, replaced or left out.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/support/bytes.h"

namespace quillet::test {

enum : uint16_t { kTiffByte = 1, kTiffAscii = 2, kTiffShort = 3, kTiffLong = 4, kTiffRational = 5 };

struct TTiffField {
    uint16_t Tag;
    uint16_t Type;
    std::vector<uint32_t> Values;
};

struct TTiff {
    bool BigEndian = false;
    uint32_t Width = 0;
    uint32_t Height = 0;
    std::vector<uint32_t> BitsPerSample = {8};  ///< written as given, one value per entry
    uint32_t SamplesPerPixel = 1;
    uint32_t Photometric = 1;
    uint32_t Compression = 1;  ///< 1, 5 (LZW) and 32773 (PackBits) are coded; others stored raw
    bool Predictor = false;    ///< difference the rows and write Predictor 2
    std::vector<uint32_t> ExtraSamples;
    uint32_t RowsPerStrip = 0;  ///< 0: one strip of every row, without a RowsPerStrip entry
    uint16_t StripTableType = kTiffLong;
    std::vector<uint32_t> ColorMap;  ///< 3 x 2^bits values, reds, greens, blues
    /// The rows as the reader gets them from its strips: ceil(width x bits x samples / 8)
    /// bytes each, 16-bit samples as little-endian words (stored big-endian for "MM").
    std::vector<uint8_t> Pixels;
    std::vector<TTiffField> Fields;  ///< added, or replacing a field of the same tag
    std::vector<uint16_t> Omit;      ///< tags left out
};

/// The file: header, the directory right after it, the values that do not fit in their
/// entries, then the strips.
Bytes TiffFile(const TTiff& tiff);
/// PackBits packets of the bytes.
Bytes EncodePackBits(const std::vector<uint8_t>& data);
/// Bytes of one row of the image.
size_t TiffRowLength(const TTiff& tiff);

}  // namespace quillet::test
