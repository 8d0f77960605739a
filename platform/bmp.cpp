// Windows bitmap files, little-endian. A 14-byte file header ("BM", file size, offset of
// the pixels) is followed by an info header whose size tells its kind: 12 bytes for the
// OS/2 1.x core header (16-bit sizes, 3-byte colours, no colour count), 40, 52, 56, 108 or
// 124 bytes for the Windows headers (from 52 bytes on they carry the colour masks), other
// even sizes from 16 to 64 bytes for the OS/2 2.x header. Then come the three masks of a
// 40-byte BI_BITFIELDS header, the colour table and the pixel rows, each padded to 4 bytes,
// the bottom row first unless the height is negative.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/bitmap.h"
#include "platform/bytes.h"
#include "platform/errors.h"
#include "platform/stream.h"

namespace quillet {

namespace {

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiRle8 = 1;
constexpr uint32_t kBiRle4 = 2;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiJpeg = 4;
constexpr uint32_t kBiPng = 5;
constexpr uint32_t kBiAlphaBitfields = 6;

constexpr int64_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kMaxHeaderSize = 124;  // BITMAPV5HEADER

// The masks the writer gives its 16-bit formats and the reader copies without conversion.
constexpr uint32_t kMasks555[3] = {0x7C00, 0x03E0, 0x001F};
constexpr uint32_t kMasks565[3] = {0xF800, 0x07E0, 0x001F};
constexpr uint32_t kMasks888[3] = {0x00FF0000, 0x0000FF00, 0x000000FF};

[[noreturn]] void NotValid() { throw Exception(kBitmapInvalid); }

struct TBmpHeader {
    uint32_t HeaderSize = 0;
    int64_t Width = 0;
    int64_t Height = 0;  // number of rows, positive
    bool TopDown = false;
    unsigned Planes = 0;
    unsigned BitCount = 0;
    uint32_t Compression = kBiRgb;
    uint32_t ColorsUsed = 0;
    uint32_t Masks[4] = {};  // red, green, blue, alpha
    bool Core = false;       // 3-byte colour table entries, 2^BitCount of them
    bool Os2 = false;        // compressions 3 and 4 are Huffman 1D and RLE24
};

bool KnownHeaderSize(uint32_t size)
{
    return size == kCoreHeaderSize || (size >= 16 && size <= 64 && size % 2 == 0) || size == 108 ||
           size == kMaxHeaderSize;
}

TBmpHeader ParseHeader(const uint8_t* info, uint32_t size)
{
    TBmpHeader h;
    h.HeaderSize = size;
    if (size == kCoreHeaderSize) {
        h.Core = true;
        h.Width = GetLE16(info + 4);
        h.Height = GetLE16(info + 6);
        h.Planes = GetLE16(info + 8);
        h.BitCount = GetLE16(info + 10);
        return h;
    }
    h.Os2 = size != kInfoHeaderSize && size != 52 && size != 56 && size <= 64;
    h.Width = int32_t(GetLE32(info + 4));
    const int64_t height = int32_t(GetLE32(info + 8));
    h.TopDown = height < 0;
    h.Height = height < 0 ? -height : height;
    h.Planes = GetLE16(info + 12);
    h.BitCount = GetLE16(info + 14);
    h.Compression = GetLE32(info + 16);  // fields past a short OS/2 header read as zero
    h.ColorsUsed = GetLE32(info + 32);
    if (!h.Os2 && size >= 52)
        for (int i = 0; i < (size >= 56 ? 4 : 3); ++i) h.Masks[i] = GetLE32(info + 40 + 4 * i);
    return h;
}

// Refuses what this reader does not decode, with the reason.
void CheckEncoding(const TBmpHeader& h)
{
    if (h.Os2 && (h.Compression == 3 || h.Compression == 4))
        throw Exception(Fmt(kBitmapCompression, h.Compression == 3 ? "OS/2 Huffman 1D" : "OS/2 RLE24"));
    switch (h.Compression) {
    case kBiRgb:
        if (h.BitCount != 1 && h.BitCount != 4 && h.BitCount != 8 && h.BitCount != 16 && h.BitCount != 24 &&
            h.BitCount != 32)
            throw Exception(Fmt(kBitmapBitCount, int(h.BitCount)));
        break;
    case kBiRle8:
        if (h.BitCount != 8) NotValid();
        break;
    case kBiRle4:
        if (h.BitCount != 4) NotValid();
        break;
    case kBiBitfields:
        if (h.BitCount != 16 && h.BitCount != 32) NotValid();
        break;
    case kBiJpeg: throw Exception(Fmt(kBitmapCompression, "BI_JPEG"));
    case kBiPng: throw Exception(Fmt(kBitmapCompression, "BI_PNG"));
    case kBiAlphaBitfields: throw Exception(Fmt(kBitmapCompression, "BI_ALPHABITFIELDS"));
    default: throw Exception(Fmt(kBitmapCompression, std::to_string(h.Compression).c_str()));
    }
}

bool SameMasks(const uint32_t* masks, const uint32_t (&want)[3])
{
    return masks[0] == want[0] && masks[1] == want[1] && masks[2] == want[2];
}

// One colour channel given by a bit mask: its bits are shifted down and scaled to 8 bits.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;

    explicit TChannel(uint32_t mask) : Mask(mask)
    {
        if (mask == 0) return;
        Shift = __builtin_ctz(mask);
        const uint32_t field = mask >> Shift;
        if ((field & (field + 1)) != 0) NotValid();  // the bits of a channel are contiguous
        Bits = __builtin_popcount(field);
    }
    uint8_t Get(uint32_t pixel) const
    {
        if (Bits == 0) return 0;
        const uint32_t v = (pixel & Mask) >> Shift;
        if (Bits >= 8) return uint8_t(v >> (Bits - 8));
        const uint32_t max = (1u << Bits) - 1;
        return uint8_t((v * 255 + max / 2) / max);
    }
};

// Reads the rows of a bitmap whose pixels need the masks to become B, G, R (and A).
void ReadMaskedRows(TStream& stream, const TBmpHeader& h, int64_t fileStride, int64_t rowBytes, TBitmap& bitmap)
{
    const uint32_t used = h.BitCount == 32 ? ~0u : (1u << h.BitCount) - 1;
    const TChannel red(h.Masks[0] & used), green(h.Masks[1] & used), blue(h.Masks[2] & used),
        alpha(h.Masks[3] & used);
    const bool withAlpha = bitmap.PixelFormat() == TPixelFormat::pf32bit;
    const int out = withAlpha ? 4 : 3;
    const int in = int(h.BitCount / 8);
    std::vector<uint8_t> line(static_cast<size_t>(fileStride));
    for (int64_t i = 0; i < h.Height; ++i) {
        stream.ReadBuffer(line.data(), i + 1 < h.Height ? fileStride : rowBytes);
        uint8_t* row = bitmap.ScanLine(int(h.TopDown ? i : h.Height - 1 - i));
        const uint8_t* src = line.data();
        for (int64_t x = 0; x < h.Width; ++x, src += in, row += out) {
            const uint32_t pixel = in == 2 ? GetLE16(src) : GetLE32(src);
            row[0] = blue.Get(pixel);
            row[1] = green.Get(pixel);
            row[2] = red.Get(pixel);
            if (withAlpha) row[3] = alpha.Get(pixel);
        }
    }
}

// Indexed pixels must name an entry of the colour table.
void CheckIndices(const TBitmap& bitmap, int colors)
{
    const int bits = BitsPerPixel(bitmap.PixelFormat());
    if (colors >= (1 << bits)) return;
    for (int y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x) {
            const int index = bits == 8 ? row[x]
                              : bits == 4 ? (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F
                                          : (row[x >> 3] >> (7 - (x & 7))) & 1;
            if (index >= colors) NotValid();
        }
    }
}

// Run-length coded rows (BI_RLE8, BI_RLE4), bottom-up. A count byte above 0 repeats the
// next byte (for RLE4 its two nibbles in turn); after a 0 comes 0 (end of row), 1 (end of
// picture), 2 with a right and an up step, or a count of literal pixels padded to 2 bytes.
// Runs that leave their row or the picture, steps outside it and indices outside the
// colour table make the file invalid. Data that ends before the end-of-picture code leaves
// the rest of the pixels at 0. Returns the number of bytes used.
size_t DecodeRle(const uint8_t* data, size_t size, bool nibbles, int colors, TBitmap& bitmap)
{
    const int64_t width = bitmap.Width(), height = bitmap.Height();
    auto put = [&](uint8_t* row, int64_t x, unsigned value) {
        if (int(value) >= colors) NotValid();
        if (!nibbles) row[x] = uint8_t(value);
        else if (x & 1) row[x >> 1] = uint8_t((row[x >> 1] & 0xF0) | value);
        else row[x >> 1] = uint8_t((row[x >> 1] & 0x0F) | (value << 4));
    };
    size_t p = 0;
    int64_t x = 0, y = 0;  // y counts rows from the bottom
    while (size - p >= 2) {
        const unsigned count = data[p], code = data[p + 1];
        p += 2;
        if (count > 0) {
            if (y >= height || x + count > width) NotValid();
            uint8_t* row = bitmap.ScanLine(int(height - 1 - y));
            for (unsigned k = 0; k < count; ++k) put(row, x + k, nibbles ? ((k & 1) ? code & 0x0F : code >> 4) : code);
            x += count;
        } else if (code == 0) {
            x = 0;
            ++y;
        } else if (code == 1) {
            break;
        } else if (code == 2) {
            if (size - p < 2) break;
            x += data[p];
            y += data[p + 1];
            p += 2;
            if (x > width || y > height) NotValid();
        } else {
            const size_t bytes = nibbles ? (code + 1) / 2 : code;
            if (y >= height || x + code > width) NotValid();
            if (size - p < bytes) break;
            uint8_t* row = bitmap.ScanLine(int(height - 1 - y));
            for (unsigned k = 0; k < code; ++k)
                put(row, x + k, nibbles ? ((k & 1) ? data[p + k / 2] & 0x0F : data[p + k / 2] >> 4) : data[p + k]);
            x += code;
            p = std::min(size, p + bytes + (bytes & 1));
        }
    }
    return p;
}

}  // namespace

void TBitmap::ReadImage(TStream& stream)
{
    SetHandle(nullptr);
    const int64_t start = stream.Position();
    const int64_t end = stream.Size();
    if (end <= start) return;  // an empty file is an empty picture

    uint8_t file[kFileHeaderSize];
    if (end - start < 2) NotValid();
    stream.ReadBuffer(file, 2);
    if (file[0] != 'B' || file[1] != 'M') NotValid();
    stream.ReadBuffer(file + 2, kFileHeaderSize - 2);
    const uint32_t offBits = GetLE32(file + 10);

    uint8_t info[kMaxHeaderSize] = {};
    stream.ReadBuffer(info, 4);
    const uint32_t headerSize = GetLE32(info);
    if (!KnownHeaderSize(headerSize)) NotValid();
    stream.ReadBuffer(info + 4, headerSize - 4);
    TBmpHeader h = ParseHeader(info, headerSize);
    CheckEncoding(h);
    if (h.Planes != 1 || h.Width <= 0 || h.Height == 0) NotValid();
    const bool rle = h.Compression == kBiRle8 || h.Compression == kBiRle4;
    if (rle && h.TopDown) NotValid();  // run-length data is always stored bottom-up
    CheckSize(h.Width, h.Height);

    int64_t headerEnd = start + kFileHeaderSize + headerSize;
    if (h.Compression == kBiBitfields && headerSize == kInfoHeaderSize) {
        uint8_t masks[12];
        stream.ReadBuffer(masks, sizeof masks);
        for (int i = 0; i < 3; ++i) h.Masks[i] = GetLE32(masks + 4 * i);
        headerEnd += sizeof masks;
    }

    // The pixel format, and whether rows are taken as they are or through the masks.
    TPixelFormat format = TPixelFormat::pf24bit;
    bool masked = false;
    switch (h.BitCount) {
    case 1: format = TPixelFormat::pf1bit; break;
    case 4: format = TPixelFormat::pf4bit; break;
    case 8: format = TPixelFormat::pf8bit; break;
    case 16:
        if (h.Compression == kBiRgb || SameMasks(h.Masks, kMasks555)) format = TPixelFormat::pf15bit;
        else if (SameMasks(h.Masks, kMasks565)) format = TPixelFormat::pf16bit;
        else masked = true;
        break;
    case 24: format = TPixelFormat::pf24bit; break;
    case 32:
        if (h.Compression == kBiRgb ||
            (SameMasks(h.Masks, kMasks888) && (h.Masks[3] == 0 || h.Masks[3] == 0xFF000000)))
            format = TPixelFormat::pf32bit;
        else masked = true;
        break;
    }
    if (masked) {
        if ((h.Masks[0] | h.Masks[1] | h.Masks[2]) == 0) NotValid();
        format = h.Masks[3] != 0 ? TPixelFormat::pf32bit : TPixelFormat::pf24bit;
    }

    // The colour table: the declared number of entries must be in the file; at most one
    // entry per index value is kept.
    const int64_t entrySize = h.Core ? 3 : 4;
    int64_t pixelsAt = offBits != 0 ? start + int64_t(offBits) : headerEnd;
    TMaxLogPalette logPalette;
    const bool indexed = h.BitCount <= 8;
    if (indexed) {
        const int64_t maxColors = int64_t(1) << h.BitCount;
        int64_t count = h.ColorsUsed;
        if (h.Core || count == 0) {
            count = maxColors;
            // A table without a stated size ends where the pixels begin.
            if (offBits != 0 && pixelsAt >= headerEnd) count = std::min(count, (pixelsAt - headerEnd) / entrySize);
        }
        if (count == 0 || count * entrySize > end - headerEnd) NotValid();
        const int kept = int(std::min(count, maxColors));
        uint8_t table[kMaxPaletteEntries * 4];
        stream.ReadBuffer(table, kept * entrySize);
        logPalette.palNumEntries = uint16_t(kept);
        for (int i = 0; i < kept; ++i) {
            const uint8_t* e = table + i * entrySize;
            logPalette.palPalEntry[i] = {e[2], e[1], e[0], 0};
        }
        if (offBits == 0) pixelsAt = headerEnd + count * entrySize;
    } else if (offBits == 0 && !h.Core) {
        pixelsAt = headerEnd + int64_t(h.ColorsUsed) * 4;  // an optional table to skip
    }
    if (pixelsAt < headerEnd || pixelsAt > end) NotValid();

    const int64_t fileStride = ((h.Width * h.BitCount + 31) / 32) * 4;
    const int64_t rowBytes = (h.Width * h.BitCount + 7) / 8;
    int64_t need = 0;  // up to the last pixel: the last row's padding may be missing
    if (!rle && (__builtin_mul_overflow(fileStride, h.Height - 1, &need) ||
                 __builtin_add_overflow(need, rowBytes, &need) || need > end - pixelsAt))
        throw Exception(kStreamReadError);  // checked before the pixels are allocated

    SetPixelFormat(format);
    SetSize(int(h.Width), int(h.Height));
    if (indexed) SetPalette(CreatePalette(logPalette));
    stream.SetPosition(pixelsAt);

    if (rle) {
        std::vector<uint8_t> data(size_t(end - pixelsAt));
        stream.ReadBuffer(data.data(), int64_t(data.size()));
        const size_t used =
            DecodeRle(data.data(), data.size(), h.Compression == kBiRle4, logPalette.palNumEntries, *this);
        stream.SetPosition(pixelsAt + int64_t(used));
    } else if (masked) {
        ReadMaskedRows(stream, h, fileStride, rowBytes, *this);
    } else {
        // Same bits per pixel as the file, so the bitmap's rows have the file's stride.
        const int64_t lastRow = std::min(fileStride, end - pixelsAt - need + rowBytes);
        for (int64_t i = 0; i < h.Height; ++i) {
            uint8_t* row = ScanLine(int(h.TopDown ? i : h.Height - 1 - i));
            stream.ReadBuffer(row, i + 1 < h.Height ? fileStride : lastRow);
            std::memset(row + rowBytes, 0, size_t(fileStride - rowBytes));
        }
        if (indexed) CheckIndices(*this, logPalette.palNumEntries);
    }
}

void TBitmap::WriteImage(TStream& stream)
{
    if (!FBits) return;  // nothing to write: reading an empty file gives an empty bitmap again
    const int bits = FPixelFormat == TPixelFormat::pf15bit ? 16 : BitsPerPixel(FPixelFormat);
    const uint32_t* masks = FPixelFormat == TPixelFormat::pf15bit   ? kMasks555
                            : FPixelFormat == TPixelFormat::pf16bit ? kMasks565
                                                                    : nullptr;
    TPaletteEntry table[256];
    int colors = 0;
    if (IsIndexed(FPixelFormat)) {
        ColorTable(table);
        colors = 1 << bits;
        if (FPalette && FPalette->Count() > 0) colors = std::min(colors, FPalette->Count());
    }
    const uint32_t offBits = uint32_t(kFileHeaderSize) + kInfoHeaderSize + (masks ? 12 : 0) + uint32_t(colors) * 4;
    const uint64_t imageSize = uint64_t(FStride) * uint64_t(FHeight);
    // Sizes that do not fit the 32-bit fields are written as 0, which readers accept for
    // uncompressed rows.
    const uint64_t fileSize = offBits + imageSize;

    std::vector<uint8_t> header(offBits, 0);
    uint8_t* p = header.data();
    p[0] = 'B';
    p[1] = 'M';
    PutLE32(p + 2, fileSize > UINT32_MAX ? 0 : uint32_t(fileSize));
    PutLE32(p + 10, offBits);
    p += kFileHeaderSize;
    PutLE32(p, kInfoHeaderSize);
    PutLE32(p + 4, uint32_t(FWidth));
    PutLE32(p + 8, uint32_t(FHeight));  // positive: bottom-up
    PutLE16(p + 12, 1);
    PutLE16(p + 14, uint16_t(bits));
    PutLE32(p + 16, masks ? kBiBitfields : kBiRgb);
    PutLE32(p + 20, imageSize > UINT32_MAX ? 0 : uint32_t(imageSize));
    PutLE32(p + 32, uint32_t(colors));
    p += kInfoHeaderSize;
    if (masks) {
        for (int i = 0; i < 3; ++i) PutLE32(p + 4 * i, masks[i]);
        p += 12;
    }
    for (int i = 0; i < colors; ++i, p += 4) {
        p[0] = table[i].peBlue;
        p[1] = table[i].peGreen;
        p[2] = table[i].peRed;
    }
    stream.WriteBuffer(header.data(), int64_t(header.size()));
    for (int y = FHeight - 1; y >= 0; --y) stream.WriteBuffer(FBits.get() + size_t(y) * FStride, int64_t(FStride));
}

}  // namespace quillet
