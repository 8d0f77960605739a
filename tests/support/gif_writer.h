// A small GIF writer for fixtures: screen, colour tables, extension blocks, images with
// their own LZW codes (tests/support/lzw_coder.h), interlacing and sub-blocks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/lzw_coder.h"

namespace quillet::test {

using TRGB = std::array<uint8_t, 3>;

struct TGifImage {
    int Left = 0;
    int Top = 0;
    int Width = 0;  ///< written to the descriptor as it is (0 means: the screen's)
    int Height = 0;
    /// Indices in display order, Width x Height of them (rows top first).
    std::vector<uint8_t> Pixels;
    bool Interlaced = false;       ///< rows are stored in the four interlace passes
    std::vector<TRGB> LocalTable;  ///< none when empty; 2 to 256 entries, a power of two
    unsigned MinCodeSize = 8;
    TLZWOptions Coding;
    /// Coded bytes to store instead of coding Pixels.
    std::optional<Bytes> Codes;
    size_t SubBlockSize = 255;
};

struct TGif {
    std::string Signature = "GIF89a";  ///< the first 6 bytes
    int ScreenWidth = 0;
    int ScreenHeight = 0;
    std::vector<TRGB> GlobalTable;  ///< none when empty
    /// Blocks written before the first image as they are (extensions, stray bytes).
    std::vector<Bytes> Blocks;
    std::vector<TGifImage> Images;
    bool Trailer = true;
};

Bytes GifFile(const TGif& gif);

/// An extension block: '!', the label, the data in sub-blocks, the terminator.
Bytes GifExtension(uint8_t label, const std::vector<Bytes>& subBlocks);
/// Data split into sub-blocks of at most blockSize bytes, with the terminating 0.
Bytes GifSubBlocks(const Bytes& data, size_t blockSize = 255);
/// Rows of a display-order image in the order an interlaced GIF stores them.
std::vector<uint8_t> InterlaceRows(const std::vector<uint8_t>& pixels, int width, int height);
/// A table of count greys (count a power of two).
std::vector<TRGB> GreyTable(int count);

}  // namespace quillet::test
