#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/bitmap.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "tests/support/bmp.h"

namespace quillet {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;
using test::BmpFixture;
using test::Bytes;

using Row = std::vector<uint8_t>;

constexpr uint32_t kRle8 = 1, kRle4 = 2, kBitfields = 3;

void Load(TBitmap& bitmap, const Bytes& file)
{
    TMemoryViewStream stream(file.data(), file.size());
    bitmap.ReadImage(stream);
}

// The index values of row y, one per pixel.
Row Indices(const TBitmap& bitmap, int y)
{
    const int bits = BitsPerPixel(bitmap.PixelFormat());
    const uint8_t* row = bitmap.ScanLine(y);
    Row out;
    for (int x = 0; x < bitmap.Width(); ++x)
        out.push_back(bits == 8 ? row[x] : bits == 4 ? (row[x / 2] >> (x % 2 ? 0 : 4)) & 15 : (row[x / 8] >> (7 - x % 8)) & 1);
    return out;
}

Row Bytes0(const TBitmap& bitmap, int y, size_t n) { return Row(bitmap.ScanLine(y), bitmap.ScanLine(y) + n); }

std::vector<uint32_t> Colors(const TBitmap& bitmap)
{
    std::vector<uint32_t> out;
    for (const TPaletteEntry& e : bitmap.Palette()->Entries())
        out.push_back(uint32_t(e.peRed) << 16 | uint32_t(e.peGreen) << 8 | e.peBlue);
    return out;
}

// 3 x 2 pixels, 8 bits, three colours; stored bottom row first: {0,1,2} then {2,1,0}.
BmpFixture ThreeByTwo()
{
    BmpFixture f;
    f.Width = 3;
    f.Height = 2;
    f.BitCount = 8;
    f.Palette = {0xFF0000, 0x00FF00, 0x0000FF};
    f.ColorsUsed = 3;
    f.Pixels = Bytes{0, 1, 2, 0, 2, 1, 0, 0};
    return f;
}

TEST(BitmapReader, EveryHeaderKindAndColourTableGiveTheSamePicture)
{
    const struct {
        const char* name;
        std::function<void(BmpFixture&)> change;
        int colors;
    } kCases[] = {
        {"BITMAPINFOHEADER", [](BmpFixture&) {}, 3},
        {"OS/2 1.x core header: 3-byte colours, table ends at the pixels", [](BmpFixture& f) { f.HeaderSize = 12; },
         3},
        {"OS/2 2.x 16-byte header", [](BmpFixture& f) { f.HeaderSize = 16; f.ColorsUsed = 0; }, 3},
        {"OS/2 2.x 64-byte header", [](BmpFixture& f) { f.HeaderSize = 64; }, 3},
        {"BITMAPV4HEADER", [](BmpFixture& f) { f.HeaderSize = 108; }, 3},
        {"BITMAPV5HEADER", [](BmpFixture& f) { f.HeaderSize = 124; }, 3},
        {"top-down rows", [](BmpFixture& f) { f.Height = -2; f.Pixels = Bytes{2, 1, 0, 0, 0, 1, 2, 0}; }, 3},
        {"gap before the pixels", [](BmpFixture& f) { f.OffBits = 200; }, 3},
        {"no pixel offset: pixels follow the table", [](BmpFixture& f) { f.OffBits = 0; }, 3},
        {"colours used", [](BmpFixture& f) { f.Palette.resize(5); f.ColorsUsed = 5; }, 5},
        {"no colour count: one per index value", [](BmpFixture& f) { f.Palette.resize(256); f.ColorsUsed = 0; }, 256},
        {"more than 256: the first 256 are kept", [](BmpFixture& f) { f.Palette.resize(300); f.ColorsUsed = 300; },
         256},
        {"no colour count: the table ends at the pixels",
         [](BmpFixture& f) { f.Palette.resize(7); f.ColorsUsed = 0; }, 7},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        BmpFixture f = ThreeByTwo();
        c.change(f);
        TBitmap b;
        Load(b, f.Build());
        ASSERT_EQ(b.PixelFormat(), TPixelFormat::pf8bit);
        ASSERT_EQ(b.Width(), 3);
        ASSERT_EQ(b.Height(), 2);
        EXPECT_EQ(Indices(b, 0), (Row{2, 1, 0}));
        EXPECT_EQ(Indices(b, 1), (Row{0, 1, 2}));
        std::vector<uint32_t> want = {0xFF0000, 0x00FF00, 0x0000FF};
        want.resize(size_t(c.colors), 0);
        EXPECT_EQ(Colors(b), want);
    }
}

TEST(BitmapReader, DirectPixelsTakeTheFormatTheirMasksDescribe)
{
    const uint32_t kNone = 0;
    const struct {
        const char* name;
        uint16_t bits;
        uint32_t compression;
        std::vector<uint32_t> masks;  // red, green, blue (alpha: V4 header)
        Bytes stored;
        TPixelFormat format;
        Row pixel;
    } kCases[] = {
        {"16 bits BI_RGB is 5-5-5", 16, 0, {}, {0x34, 0x12, 0, 0}, TPixelFormat::pf15bit, {0x34, 0x12}},
        {"5-5-5 masks", 16, kBitfields, {0x7C00, 0x03E0, 0x001F}, {0x34, 0x12, 0, 0}, TPixelFormat::pf15bit, {0x34, 0x12}},
        {"5-6-5 masks", 16, kBitfields, {0xF800, 0x07E0, 0x001F}, {0x34, 0x12, 0, 0}, TPixelFormat::pf16bit, {0x34, 0x12}},
        {"4-4-4 masks scale to full range", 16, kBitfields, {0x0F00, 0x00F0, 0x000F}, {0x80, 0x0F, 0, 0},
         TPixelFormat::pf24bit, {0, 136, 255}},
        {"4-4-4-4 with alpha", 16, kBitfields, {0x0F00, 0x00F0, 0x000F, 0xF000}, {0x0F, 0x8F, 0, 0},
         TPixelFormat::pf32bit, {255, 0, 255, 136}},
        {"1-bit channels", 16, kBitfields, {0x4, 0x2, 0x1}, {0x05, 0, 0, 0}, TPixelFormat::pf24bit, {255, 0, 255}},
        {"24 bits", 24, 0, {}, {1, 2, 3, 0}, TPixelFormat::pf24bit, {1, 2, 3}},
        {"32 bits BI_RGB", 32, 0, {}, {1, 2, 3, 4}, TPixelFormat::pf32bit, {1, 2, 3, 4}},
        {"32 bits, the usual masks", 32, kBitfields, {0xFF0000, 0xFF00, 0xFF}, {1, 2, 3, 4}, TPixelFormat::pf32bit,
         {1, 2, 3, 4}},
        {"32 bits, red in the low byte", 32, kBitfields, {0xFF, 0xFF00, 0xFF0000}, {1, 2, 3, 4},
         TPixelFormat::pf24bit, {3, 2, 1}},
        {"10-10-10 keeps the top 8 bits", 32, kBitfields, {0x3FF00000, 0x000FFC00, 0x000003FF},
         {0x01, 0x00, 0xF8, 0x3F}, TPixelFormat::pf24bit, {0, 128, 255}},
        {"mask bits above the pixel are ignored", 16, kBitfields, {0xFFFF0F00, 0x00F0, 0x000F}, {0x00, 0x0F, 0, 0},
         TPixelFormat::pf24bit, {0, 0, 255}},
        {"a channel without bits is 0", 16, kBitfields, {kNone, 0x00F0, 0x000F}, {0xFF, 0xFF, 0, 0},
         TPixelFormat::pf24bit, {255, 255, 0}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        BmpFixture f;
        f.BitCount = c.bits;
        f.Compression = c.compression;
        f.Masks = c.masks;
        if (c.masks.size() == 4) f.HeaderSize = 108;
        f.Pixels = c.stored;
        TBitmap b;
        Load(b, f.Build());
        EXPECT_EQ(b.PixelFormat(), c.format);
        EXPECT_EQ(Bytes0(b, 0, c.pixel.size()), c.pixel);
    }
}

TEST(BitmapReader, IndexedRowsAreTakenAsStored)
{
    BmpFixture f;
    f.Width = 11;
    f.Height = 2;
    f.BitCount = 1;
    f.Palette = {0x000000, 0xFFFFFF};
    f.Pixels = Bytes{0xA5, 0x5F, 0, 0, 0x00, 0x20, 0xFF, 0xFF};  // padding bits set in the top row
    TBitmap b;
    Load(b, f.Build());
    ASSERT_EQ(b.PixelFormat(), TPixelFormat::pf1bit);
    EXPECT_EQ(Indices(b, 0), (Row{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(Indices(b, 1), (Row{1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(b.ScanLine(0)[2], 0);  // row padding is not carried over

    f.Width = 3;
    f.BitCount = 4;
    f.Palette = {0x000000, 0x111111, 0x222222, 0x333333};
    f.Pixels = Bytes{0x12, 0x30, 0, 0, 0x32, 0x10, 0, 0};
    Load(b, f.Build());
    ASSERT_EQ(b.PixelFormat(), TPixelFormat::pf4bit);
    EXPECT_EQ(Indices(b, 0), (Row{3, 2, 1}));
    EXPECT_EQ(Indices(b, 1), (Row{1, 2, 3}));
    EXPECT_EQ(b.Palette()->Count(), 4);
}

TEST(BitmapReader, RunLengthRows)
{
    const struct {
        const char* name;
        uint32_t compression;
        int width;
        Bytes data;
        std::vector<Row> rows;  // top first
        int64_t unread;         // bytes after what the decoder used
    } kCases[] = {
        {"runs, end of row, end of picture", kRle8, 4, {2, 1, 2, 2, 0, 0, 4, 3, 0, 0, 1, 1, 0, 1},
         {{1, 0, 0, 0}, {3, 3, 3, 3}, {1, 1, 2, 2}}, 0},
        {"a literal run is padded to a word", kRle8, 4, {0, 3, 1, 2, 3, 0, 1, 1, 0, 1},
         {{0, 0, 0, 0}, {0, 0, 0, 0}, {1, 2, 3, 1}}, 0},
        {"a step leaves the pixels it skips at 0", kRle8, 4, {0, 2, 1, 1, 2, 3, 0, 1},
         {{0, 0, 0, 0}, {0, 3, 3, 0}, {0, 0, 0, 0}}, 0},
        {"data that ends early leaves the rest at 0", kRle8, 4, {4, 1}, {{0, 0, 0, 0}, {0, 0, 0, 0}, {1, 1, 1, 1}}, 0},
        {"a literal run cut short is dropped", kRle8, 4, {4, 2, 0, 0, 0, 4, 1, 2},
         {{0, 0, 0, 0}, {0, 0, 0, 0}, {2, 2, 2, 2}}, 2},
        {"a step cut short ends the picture", kRle8, 4, {4, 2, 0, 2, 1}, {{0, 0, 0, 0}, {0, 0, 0, 0}, {2, 2, 2, 2}}, 1},
        {"bytes after the end of picture are not read", kRle8, 4, {1, 1, 0, 1, 9, 9},
         {{0, 0, 0, 0}, {0, 0, 0, 0}, {1, 0, 0, 0}}, 2},
        {"RLE4 runs alternate the two nibbles", kRle4, 6, {6, 0x12, 0, 0, 3, 0x30, 0, 1},
         {{0, 0, 0, 0, 0, 0}, {3, 0, 3, 0, 0, 0}, {1, 2, 1, 2, 1, 2}}, 0},
        {"RLE4 literal of 5 nibbles takes 3 bytes and a pad", kRle4, 6, {0, 5, 0x12, 0x31, 0x20, 0, 1, 0x30, 0, 1},
         {{0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, {1, 2, 3, 1, 2, 3}}, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        BmpFixture f;
        f.Width = c.width;
        f.Height = 3;
        f.BitCount = c.compression == kRle8 ? 8 : 4;
        f.Compression = c.compression;
        f.Palette = {0, 0x111111, 0x222222, 0x333333};
        f.ColorsUsed = 4;
        f.Pixels = c.data;
        TBitmap b;
        const Bytes file = f.Build();
        TMemoryViewStream stream(file.data(), file.size());
        b.ReadImage(stream);
        for (int y = 0; y < 3; ++y) EXPECT_EQ(Indices(b, y), c.rows[size_t(y)]) << "row " << y;
        EXPECT_EQ(stream.Position(), int64_t(file.size()) - c.unread);
    }
}

TEST(BitmapReader, BrokenFilesAreRefusedWithTheReason)
{
    const char* kNotValid = "Bitmap image is not valid";
    auto rle8 = [](Bytes data) {
        return [data](BmpFixture& f) {
            f.BitCount = 8;
            f.Width = 4;
            f.Height = 3;
            f.Compression = kRle8;
            f.Palette.resize(4);
            f.ColorsUsed = 4;
            f.Pixels = data;
        };
    };
    const struct {
        const char* name;
        std::function<void(BmpFixture&)> change;
        std::string message;
    } kCases[] = {
        {"header size 66", [](BmpFixture& f) { f.HeaderSize = 66; }, kNotValid},
        {"header size 8", [](BmpFixture& f) { f.HeaderSize = 8; }, kNotValid},
        {"two planes", [](BmpFixture& f) { f.Planes = 2; }, kNotValid},
        {"width 0", [](BmpFixture& f) { f.Width = 0; }, kNotValid},
        {"negative width", [](BmpFixture& f) { f.Width = -3; }, kNotValid},
        {"height 0", [](BmpFixture& f) { f.Height = 0; }, kNotValid},
        {"2 bits per pixel", [](BmpFixture& f) { f.BitCount = 2; }, "Unsupported bitmap bit count (2)"},
        {"64 bits per pixel", [](BmpFixture& f) { f.BitCount = 64; }, "Unsupported bitmap bit count (64)"},
        {"BI_JPEG", [](BmpFixture& f) { f.BitCount = 0; f.Compression = 4; }, "Unsupported bitmap compression (BI_JPEG)"},
        {"BI_PNG", [](BmpFixture& f) { f.BitCount = 0; f.Compression = 5; }, "Unsupported bitmap compression (BI_PNG)"},
        {"BI_ALPHABITFIELDS", [](BmpFixture& f) { f.BitCount = 32; f.Compression = 6; },
         "Unsupported bitmap compression (BI_ALPHABITFIELDS)"},
        {"compression 7", [](BmpFixture& f) { f.Compression = 7; }, "Unsupported bitmap compression (7)"},
        {"OS/2 RLE24", [](BmpFixture& f) { f.HeaderSize = 64; f.Compression = 4; },
         "Unsupported bitmap compression (OS/2 RLE24)"},
        {"OS/2 Huffman", [](BmpFixture& f) { f.HeaderSize = 64; f.BitCount = 1; f.Compression = 3; },
         "Unsupported bitmap compression (OS/2 Huffman 1D)"},
        {"RLE8 of 4 bits", [](BmpFixture& f) { f.BitCount = 4; f.Compression = kRle8; }, kNotValid},
        {"RLE4 of 8 bits", [](BmpFixture& f) { f.BitCount = 8; f.Compression = kRle4; }, kNotValid},
        {"RLE of 32 bits", [](BmpFixture& f) { f.BitCount = 32; f.Compression = kRle8; }, kNotValid},
        {"bit fields of 24 bits", [](BmpFixture& f) { f.Compression = kBitfields; f.Masks = {1, 2, 4}; }, kNotValid},
        {"a mask with a hole", [](BmpFixture& f) { f.BitCount = 16; f.Compression = kBitfields; f.Masks = {0x0F0F, 0x00F0, 0}; },
         kNotValid},
        {"no mask bits at all", [](BmpFixture& f) { f.BitCount = 16; f.Compression = kBitfields; f.Masks = {0, 0, 0}; },
         kNotValid},
        {"more colours than the file holds",
         [](BmpFixture& f) { f.BitCount = 8; f.ColorsUsed = 305402420; f.Palette.resize(4); }, kNotValid},
        {"an indexed picture without colours", [](BmpFixture& f) { f.BitCount = 8; f.OffBits = 54; }, kNotValid},
        {"pixels beyond the end of the file", [](BmpFixture& f) { f.OffBits = 0xFFFF0088; }, kNotValid},
        {"pixels inside the header", [](BmpFixture& f) { f.OffBits = 20; }, kNotValid},
        {"an index outside the colour table",
         [](BmpFixture& f) { f.BitCount = 8; f.Palette.resize(3); f.ColorsUsed = 3; f.Pixels = Bytes{3, 0, 0, 0}; },
         kNotValid},
        {"a 1-bit index outside a 1-colour table",
         [](BmpFixture& f) { f.BitCount = 1; f.Palette.resize(1); f.ColorsUsed = 1; f.Pixels = Bytes{0x80, 0, 0, 0}; },
         kNotValid},
        {"RLE run past the end of its row", rle8({5, 1}), kNotValid},
        {"RLE literal past the end of its row", rle8({0, 5, 1, 1, 1, 1, 1, 0}), kNotValid},
        {"RLE step past the right edge", rle8({0, 2, 5, 0}), kNotValid},
        {"RLE step above the top", rle8({0, 2, 0, 4}), kNotValid},
        {"RLE pixels above the top row", rle8({0, 0, 0, 0, 0, 0, 1, 1}), kNotValid},
        {"RLE index outside the colour table", rle8({1, 4}), kNotValid},
        {"RLE stored top-down", [&](BmpFixture& f) { rle8({1, 1})(f); f.Height = -3; }, kNotValid},
        {"pixels cut short", [](BmpFixture& f) { f.Height = 2; }, "Stream read error"},
        {"more pixels than the limit", [](BmpFixture& f) { f.Width = 20000; f.Height = 20000; },
         "Image too large: 20000 x 20000 pixels"},
        {"2^31 rows top-down", [](BmpFixture& f) { f.Height = INT32_MIN; }, "Invalid image size: 1 x 2147483647"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        BmpFixture f;
        f.Pixels = Bytes{1, 2, 3, 0};
        c.change(f);
        TBitmap b;
        EXPECT_THAT([&] { Load(b, f.Build()); }, ThrowsMessage<Exception>(StrEq(c.message)));
    }

    TBitmap b;
    Bytes notBm = BmpFixture{}.Build();
    notBm[1] = 'A';
    EXPECT_THAT([&] { Load(b, notBm); }, ThrowsMessage<Exception>(StrEq(kNotValid)));
    EXPECT_THAT([&] { Load(b, Bytes{'B'}); }, ThrowsMessage<Exception>(StrEq(kNotValid)));
}

TEST(BitmapReader, EveryPrefixLoadsOrRaisesABitmapError)
{
    BmpFixture rle;
    rle.Width = 4;
    rle.Height = 3;
    rle.BitCount = 8;
    rle.Compression = kRle8;
    rle.Palette = {0, 0x111111, 0x222222, 0x333333};
    rle.Pixels = Bytes{2, 1, 2, 2, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1};
    const Bytes rleFile = rle.Build(), plainFile = ThreeByTwo().Build();
    const struct {
        Bytes file;
        size_t loadsFrom;
    } kFiles[] = {
        {plainFile, plainFile.size() - 1},              // the last row's padding may be missing
        {rleFile, rleFile.size() - rle.Pixels.size()},  // cut run-length data leaves the rest at 0
    };
    for (const auto& f : kFiles) {
        for (size_t n = 0; n < f.file.size(); ++n) {
            SCOPED_TRACE(n);
            const Bytes prefix(std::vector<uint8_t>(f.file.begin(), f.file.begin() + long(n)));
            TBitmap b;
            if (n == 0 || n >= f.loadsFrom) {
                Load(b, prefix);
                EXPECT_EQ(b.Empty(), n == 0);
                continue;
            }
            EXPECT_THAT([&] { Load(b, prefix); },
                        ::testing::Throws<Exception>(::testing::Property(
                            &Exception::Message, ::testing::AnyOf("Bitmap image is not valid", "Stream read error"))));
        }
    }
}

TEST(BitmapReader, EmptyFileIsAnEmptyBitmap)
{
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetSize(5, 5);
    Load(b, Bytes{});
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(b.Bits(), nullptr);
    EXPECT_EQ(b.Palette(), nullptr);
    TMemoryStream out;
    b.WriteImage(out);
    EXPECT_EQ(out.Size(), 0);  // and writes nothing, which reads back as the same
}

TEST(BitmapReader, ReadsFromInsideALargerStream)
{
    const Bytes file = ThreeByTwo().Build();
    Bytes wrapped;
    wrapped.fill(5, 'x').bytes(file).str("tail");
    TMemoryViewStream stream(wrapped.data(), wrapped.size());
    stream.SetPosition(5);
    TBitmap b;
    b.ReadImage(stream);
    EXPECT_EQ(Indices(b, 0), (Row{2, 1, 0}));
    EXPECT_EQ(stream.Position(), 5 + int64_t(file.size()));
}

TEST(BitmapReader, LastRowMayLackItsPadding)
{
    BmpFixture f;
    f.Width = 1;
    f.Height = 2;
    f.Pixels = Bytes{1, 2, 3, 0, 4, 5, 6};
    TBitmap b;
    Load(b, f.Build());
    EXPECT_EQ(Bytes0(b, 0, 3), (Row{4, 5, 6}));
    EXPECT_EQ(Bytes0(b, 1, 3), (Row{1, 2, 3}));
}

// --- Writer --------------------------------------------------------------------

TPaletteRef Ramp(int count)
{
    TMaxLogPalette lp;
    lp.palNumEntries = uint16_t(count);
    for (int i = 0; i < count; ++i) lp.palPalEntry[i] = {uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 3), 0};
    return CreatePalette(lp);
}

void Pattern(TBitmap& b, TPixelFormat format, TPaletteRef palette)
{
    b.SetPixelFormat(format);
    b.SetSize(5, 3);
    const size_t used = (5 * size_t(BitsPerPixel(format) == 15 ? 16 : BitsPerPixel(format)) + 7) / 8;
    const int mask = format == TPixelFormat::pf8bit ? 0x3F : 0xFF;  // indices inside the smallest table
    for (int y = 0; y < 3; ++y)
        for (size_t i = 0; i < used; ++i) b.ScanLine(y)[i] = uint8_t((y * 31 + int(i) * 11 + 5) & mask);
    if (palette) b.SetPalette(std::move(palette));
}

TEST(BitmapWriter, WritesItsOwnFormatAndPaletteAndReadsBack)
{
    const struct {
        TPixelFormat format;
        TPaletteRef palette;
        TPixelFormat readBack;
        int colors;
    } kCases[] = {
        {TPixelFormat::pf1bit, Ramp(2), TPixelFormat::pf1bit, 2},
        {TPixelFormat::pf4bit, Ramp(16), TPixelFormat::pf4bit, 16},
        {TPixelFormat::pf4bit, nullptr, TPixelFormat::pf4bit, 16},  // the system colours
        {TPixelFormat::pf8bit, Ramp(64), TPixelFormat::pf8bit, 64},
        {TPixelFormat::pf8bit, Ramp(200), TPixelFormat::pf8bit, 200},
        {TPixelFormat::pf15bit, nullptr, TPixelFormat::pf15bit, 0},
        {TPixelFormat::pf16bit, nullptr, TPixelFormat::pf16bit, 0},
        {TPixelFormat::pf24bit, nullptr, TPixelFormat::pf24bit, 0},
        {TPixelFormat::pf32bit, nullptr, TPixelFormat::pf32bit, 0},
        {TPixelFormat::pfDevice, nullptr, TPixelFormat::pf32bit, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(BitsPerPixel(c.format));
        TBitmap original;
        Pattern(original, c.format, c.palette);
        TMemoryStream stream;
        original.WriteImage(stream);
        stream.SetPosition(0);
        TBitmap copy;
        copy.ReadImage(stream);
        ASSERT_EQ(copy.PixelFormat(), c.readBack);
        ASSERT_EQ(copy.Width(), 5);
        ASSERT_EQ(copy.Height(), 3);
        for (int y = 0; y < 3; ++y)
            EXPECT_EQ(Bytes0(copy, y, original.Stride()), Bytes0(original, y, original.Stride())) << "row " << y;
        if (c.colors == 0) {
            EXPECT_EQ(copy.Palette(), nullptr);
            continue;
        }
        TPaletteEntry want[256], got[256];
        original.ColorTable(want);
        copy.ColorTable(got);
        EXPECT_EQ(copy.Palette()->Count(), c.colors);
        EXPECT_TRUE(std::equal(want, want + c.colors, got));
    }
}

TEST(BitmapWriter, HeaderFields)
{
    const struct {
        TPixelFormat format;
        TPaletteRef palette;
        uint16_t bits;
        uint32_t compression, offBits, colors;
        std::vector<uint32_t> masks;
    } kCases[] = {
        {TPixelFormat::pf8bit, Ramp(7), 8, 0, 14 + 40 + 28, 7, {}},
        {TPixelFormat::pf1bit, nullptr, 1, 0, 14 + 40 + 8, 2, {}},
        {TPixelFormat::pf15bit, nullptr, 16, kBitfields, 14 + 40 + 12, 0, {0x7C00, 0x03E0, 0x001F}},
        {TPixelFormat::pf16bit, nullptr, 16, kBitfields, 14 + 40 + 12, 0, {0xF800, 0x07E0, 0x001F}},
        {TPixelFormat::pf24bit, nullptr, 24, 0, 14 + 40, 0, {}},
        {TPixelFormat::pfDevice, nullptr, 32, 0, 14 + 40, 0, {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.bits);
        TBitmap b;
        Pattern(b, c.format, c.palette);
        TMemoryStream stream;
        b.WriteImage(stream);
        const uint8_t* p = stream.Memory();
        auto le32 = [&](size_t at) { return uint32_t(p[at] | p[at + 1] << 8 | p[at + 2] << 16 | uint32_t(p[at + 3]) << 24); };
        EXPECT_EQ(p[0], 'B');
        EXPECT_EQ(p[1], 'M');
        EXPECT_EQ(le32(2), uint32_t(stream.Size()));
        EXPECT_EQ(le32(10), c.offBits);
        EXPECT_EQ(le32(14), 40u);
        EXPECT_EQ(le32(18), 5u);
        EXPECT_EQ(le32(22), 3u);  // positive: bottom-up
        EXPECT_EQ(p[28], c.bits);
        EXPECT_EQ(le32(30), c.compression);
        EXPECT_EQ(le32(34), uint32_t(b.Stride() * 3));
        EXPECT_EQ(le32(46), c.colors);
        for (size_t i = 0; i < c.masks.size(); ++i) EXPECT_EQ(le32(54 + 4 * i), c.masks[i]);
        // The first row stored is the bottom one.
        EXPECT_EQ(0, std::memcmp(p + c.offBits, b.ScanLine(2), b.Stride()));
    }
}

}  // namespace
}  // namespace quillet
