#include "tests/support/gif_writer.h"

#include <algorithm>
#include <stdexcept>

namespace quillet::test {

namespace {

// The 3-bit size field of a colour table of count entries (2 << field == count).
unsigned TableSizeField(size_t count)
{
    for (unsigned field = 0; field < 8; ++field)
        if ((size_t(2) << field) == count) return field;
    throw std::invalid_argument("GIF fixture: colour table size must be a power of two from 2 to 256");
}

void PutTable(Bytes& out, const std::vector<TRGB>& table)
{
    for (const TRGB& c : table) out.u8(c[0]).u8(c[1]).u8(c[2]);
}

}  // namespace

Bytes GifSubBlocks(const Bytes& data, size_t blockSize)
{
    Bytes out;
    for (size_t i = 0; i < data.size(); i += blockSize) {
        const size_t n = std::min(blockSize, data.size() - i);
        out.u8(unsigned(n));
        out.insert(out.end(), data.begin() + std::ptrdiff_t(i), data.begin() + std::ptrdiff_t(i + n));
    }
    return out.u8(0);
}

Bytes GifExtension(uint8_t label, const std::vector<Bytes>& subBlocks)
{
    Bytes out;
    out.u8(0x21).u8(label);
    for (const Bytes& block : subBlocks) out.u8(unsigned(block.size())).bytes(block);
    return out.u8(0);
}

std::vector<uint8_t> InterlaceRows(const std::vector<uint8_t>& pixels, int width, int height)
{
    std::vector<uint8_t> out;
    static constexpr int kPasses[4][2] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
    for (const auto& pass : kPasses)
        for (int y = pass[0]; y < height; y += pass[1])
            out.insert(out.end(), pixels.begin() + std::ptrdiff_t(y) * width,
                       pixels.begin() + std::ptrdiff_t(y + 1) * width);
    return out;
}

std::vector<TRGB> GreyTable(int count)
{
    std::vector<TRGB> table;
    for (int i = 0; i < count; ++i) {
        const auto v = uint8_t(count > 1 ? i * 255 / (count - 1) : 0);
        table.push_back({v, v, v});
    }
    return table;
}

Bytes GifFile(const TGif& gif)
{
    Bytes out;
    out.str(gif.Signature);
    unsigned flags = 0;
    if (!gif.GlobalTable.empty()) flags = 0x80 | TableSizeField(gif.GlobalTable.size());
    out.le16(unsigned(gif.ScreenWidth)).le16(unsigned(gif.ScreenHeight)).u8(flags).u8(0).u8(0);
    PutTable(out, gif.GlobalTable);
    for (const Bytes& block : gif.Blocks) out.bytes(block);
    for (const TGifImage& image : gif.Images) {
        unsigned imageFlags = image.Interlaced ? 0x40 : 0;
        if (!image.LocalTable.empty()) imageFlags |= 0x80 | TableSizeField(image.LocalTable.size());
        out.u8(0x2C).le16(unsigned(image.Left)).le16(unsigned(image.Top));
        out.le16(unsigned(image.Width)).le16(unsigned(image.Height)).u8(imageFlags);
        PutTable(out, image.LocalTable);
        out.u8(image.MinCodeSize);
        Bytes codes;
        if (image.Codes) {
            codes = *image.Codes;
        } else {
            const std::vector<uint8_t> stored =
                image.Interlaced ? InterlaceRows(image.Pixels, image.Width, image.Height) : image.Pixels;
            codes = EncodeGIFLZW(stored, image.MinCodeSize, image.Coding);
        }
        out.bytes(GifSubBlocks(codes, image.SubBlockSize));
    }
    if (gif.Trailer) out.u8(0x3B);
    return out;
}

}  // namespace quillet::test
