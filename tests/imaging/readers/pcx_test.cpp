#include "imaging/readers/pcx.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/stream.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"

namespace quillet {
namespace {

using test::Bytes;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// A PCX header, built field by field: Header().Bits(8).Planes(3).Window(0, 0, 9, 1).
struct Header {
    uint8_t manufacturer = 10;
    uint8_t version = 5;
    uint8_t encoding = 1;
    uint8_t bits = 8;
    uint16_t xMin = 0, yMin = 0, xMax = 1, yMax = 1;
    Bytes palette = Bytes{}.fill(48, 0);
    uint8_t planes = 1;
    uint16_t bytesPerLine = 2;
    uint16_t paletteInfo = 1;

    Header& Manufacturer(uint8_t v) { manufacturer = v; return *this; }
    Header& Version(uint8_t v) { version = v; return *this; }
    Header& Encoding(uint8_t v) { encoding = v; return *this; }
    Header& Bits(uint8_t v) { bits = v; return *this; }
    Header& Window(uint16_t x0, uint16_t y0, uint16_t x1, uint16_t y1)
    {
        xMin = x0, yMin = y0, xMax = x1, yMax = y1;
        return *this;
    }
    Header& Palette(Bytes v) { palette = std::move(v); return *this; }
    Header& Planes(uint8_t v) { planes = v; return *this; }
    Header& BytesPerLine(uint16_t v) { bytesPerLine = v; return *this; }
    Header& PaletteInfo(uint16_t v) { paletteInfo = v; return *this; }

    Bytes Build() const
    {
        return Bytes{}
            .u8(manufacturer).u8(version).u8(encoding).u8(bits)
            .le16(xMin).le16(yMin).le16(xMax).le16(yMax).le16(72).le16(72)
            .bytes(palette).u8(0).u8(planes).le16(bytesPerLine).le16(paletteInfo)
            .fill(58, 0);
    }
};

// PCX run-length coding of the whole pixel data, runs crossing rows where they fall.
Bytes Pack(const Bytes& data)
{
    Bytes out;
    for (size_t i = 0; i < data.size();) {
        size_t n = 1;
        while (i + n < data.size() && n < 63 && data[i + n] == data[i]) ++n;
        if (n > 1 || data[i] >= 0xC0) out.u8(0xC0 | unsigned(n));
        out.u8(data[i]);
        i += n;
    }
    return out;
}

Bytes TrailingPalette(uint8_t marker = 12)
{
    Bytes p{marker};
    for (int i = 0; i < 256; ++i) p.u8(unsigned(i)).u8(unsigned(255 - i)).u8(7);
    return p;
}

Bytes File(const Header& header, const Bytes& data, const Bytes& trailer = {})
{
    return header.Build().bytes(header.encoding == 1 ? Pack(data) : data).bytes(trailer);
}

std::unique_ptr<TPCXGraphic> Load(const Bytes& file)
{
    auto graphic = std::make_unique<TPCXGraphic>();
    TMemoryViewStream stream(file.data(), file.size());
    graphic->ReadImage(stream);
    return graphic;
}

std::vector<Bytes> Rows(const TBitmap& bitmap)
{
    const size_t bytes = (size_t(bitmap.Width()) * size_t(BitsPerPixel(bitmap.PixelFormat())) + 7) / 8;
    std::vector<Bytes> rows;
    for (int y = 0; y < bitmap.Height(); ++y)
        rows.emplace_back(std::vector<uint8_t>(bitmap.ScanLine(y), bitmap.ScanLine(y) + bytes));
    return rows;
}

Bytes HeaderPalette()
{
    Bytes p;
    for (int i = 0; i < 16; ++i) p.u8(unsigned(i * 3)).u8(unsigned(i * 3 + 1)).u8(unsigned(i * 3 + 2));
    return p;
}

TEST(PCXReader, LoadsEachPixelFormatCodedOrNot)
{
    using E = TPaletteEntry;
    const struct {
        const char* name;
        Header header;
        Bytes data;  // the unpacked rows
        Bytes trailer;
        TPixelFormat format;
        std::vector<Bytes> rows;
        int paletteCount;  // 0: no palette
        std::vector<std::pair<int, E>> entries;
    } kCases[] = {
        {"mono, black and white whatever the header says",
         Header().Bits(1).Window(0, 0, 9, 1).Palette(Bytes{}.fill(48, 0x77)),
         {0xA5, 0xC0, 0xFF, 0xFF}, {}, TPixelFormat::pf1bit, {{0xA5, 0xC0}, {0xFF, 0xFF}}, 2,
         {{0, {0, 0, 0}}, {1, {255, 255, 255}}}},
        {"16 colours from four bit planes", Header().Bits(1).Planes(4).Window(0, 0, 2, 0).Palette(HeaderPalette()),
         {0xA0, 0, 0x60, 0, 0xA0, 0, 0x60, 0}, {}, TPixelFormat::pf4bit, {{0x5A, 0xF0}}, 16,
         {{0, {0, 1, 2}}, {15, {45, 46, 47}}}},
        {"16 greys", Header().Bits(1).Planes(4).Window(0, 0, 0, 0).PaletteInfo(2).Palette(HeaderPalette()),
         {0x80, 0, 0, 0, 0, 0, 0x80, 0}, {}, TPixelFormat::pf4bit, {{0x90}}, 16,
         {{1, {16, 16, 16}}, {15, {240, 240, 240}}}},
        {"256 colours from the end of the file", Header().Window(0, 0, 2, 1).BytesPerLine(4),
         {1, 2, 3, 0, 200, 201, 202, 0}, TrailingPalette(), TPixelFormat::pf8bit, {{1, 2, 3}, {200, 201, 202}}, 256,
         {{0, {0, 255, 7}}, {255, {255, 0, 7}}}},
        {"256 greys without the trailing palette", Header().Window(0, 0, 0, 0).PaletteInfo(2), {9, 0},
         Bytes{}.fill(769, 0), TPixelFormat::pf8bit, {{9}}, 256, {{9, {9, 9, 9}}, {255, {255, 255, 255}}}},
        {"no marker and no grey flag also shows greys", Header().Window(0, 0, 0, 0), {9, 0}, TrailingPalette(11),
         TPixelFormat::pf8bit, {{9}}, 256, {{9, {9, 9, 9}}}},
        {"24 bits from red, green and blue planes", Header().Planes(3).Window(0, 0, 1, 0),
         {10, 11, 20, 21, 30, 31}, {}, TPixelFormat::pf24bit, {{30, 20, 10, 31, 21, 11}}, 0, {}},
        {"version 3 takes the system colours", Header().Version(3).Bits(1).Planes(4).Window(0, 0, 0, 0).Palette(HeaderPalette()),
         {0, 0, 0, 0, 0, 0, 0, 0}, {}, TPixelFormat::pf4bit, {{0x00}}, 16, {{1, {128, 0, 0}}, {8, {192, 192, 192}}}},
        {"version 3 at 256 colours too", Header().Version(3).Window(0, 0, 0, 0), {5, 0}, TrailingPalette(),
         TPixelFormat::pf8bit, {{5}}, 16, {{15, {255, 255, 255}}}},
        {"version 3 mono stays black and white", Header().Version(3).Bits(1).Window(0, 0, 7, 0), {0x0F, 0}, {},
         TPixelFormat::pf1bit, {{0x0F}}, 2, {{1, {255, 255, 255}}}},
        {"screen capture", Header().Manufacturer(205).Planes(3).Window(0, 0, 0, 0), {1, 0, 2, 0, 3, 0}, {},
         TPixelFormat::pf24bit, {{3, 2, 1}}, 0, {}},
        {"window not at the origin", Header().Bits(1).Window(10, 5, 19, 6), {0xFF, 0xC0, 0x00, 0x40}, {},
         TPixelFormat::pf1bit, {{0xFF, 0xC0}, {0x00, 0x40}}, 2, {}},
        {"a run crossing rows", Header().Bits(1).Window(0, 0, 15, 1), {0xFF, 0xFF, 0xFF, 0xFF}, {},
         TPixelFormat::pf1bit, {{0xFF, 0xFF}, {0xFF, 0xFF}}, 2, {}},
    };
    for (const auto& c : kCases) {
        for (const uint8_t encoding : {uint8_t(1), uint8_t(0)}) {
            SCOPED_TRACE(std::string(c.name) + (encoding == 1 ? ", coded" : ", uncoded"));
            Header header = c.header;
            header.Encoding(encoding);
            const auto g = Load(File(header, c.data, c.trailer));
            EXPECT_EQ(g->PixelFormat(), c.format);
            EXPECT_EQ(Rows(*g), c.rows);
            if (c.paletteCount == 0) {
                EXPECT_FALSE(g->Palette());
                continue;
            }
            ASSERT_TRUE(g->Palette());
            EXPECT_EQ(g->Palette()->Count(), c.paletteCount);
            for (const auto& [index, entry] : c.entries) EXPECT_EQ(g->Palette()->Entry(index), entry) << index;
        }
    }
}

// Pixels the file does not supply are zero, and nothing is read past the data: rows of
// uncoded data that is too short, coded data that ends early, and lines shorter than the
// width (their planes are bytes-per-line apart, so a longer read would take the next
// plane's bytes).
TEST(PCXReader, PixelsTheFileDoesNotSupplyAreZero)
{
    const Header rgb = Header().Planes(3).Window(0, 0, 1, 1);
    const struct {
        const char* name;
        Bytes file;
        std::vector<Bytes> rows;
    } kCases[] = {
        {"uncoded data short by a row and a half", rgb.Build().bytes({1, 2, 3, 4, 5, 6, 7, 8}),
         {{5, 3, 1, 6, 4, 2}, {0, 0, 7, 0, 0, 8}}},
        {"coded data that ends early", rgb.Build().bytes({0xC5, 9}), {{9, 9, 9, 0, 9, 9}, {0, 0, 0, 0, 0, 0}}},
        {"run without its byte", rgb.Build().bytes({4, 0xC5}), {{0, 0, 4, 0, 0, 0}, {0, 0, 0, 0, 0, 0}}},
        {"lines shorter than the width", Header().Planes(3).Window(0, 0, 3, 0).BytesPerLine(1).Encoding(0).Build().bytes({1, 2, 3}),
         {{3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}}},
        {"lines far longer than the width", Header().Planes(3).Window(0, 0, 0, 1).BytesPerLine(65535).Build().bytes({0xC5, 9}),
         {{0, 0, 9}, {0, 0, 0}}},
        {"no line bytes at all", Header().Bits(1).Window(0, 0, 7, 0).BytesPerLine(0).Build().bytes({0xC3, 0xFF}), {{0}}},
        {"256 colours, the palette is not pixel data",
         Header().Window(0, 0, 1, 1).Encoding(0).Build().bytes({1, 2}).bytes(TrailingPalette()), {{1, 2}, {0, 0}}},
        {"256 colours, a file shorter than its palette", Header().Window(0, 0, 1, 0).Build().bytes({0xC2, 5}), {{0, 0}}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Rows(*Load(c.file)), c.rows);
    }
}

TEST(PCXReader, BadFilesAreRefusedWithTheirMessage)
{
    const struct {
        const char* name;
        Bytes file;
        const char* message;
    } kCases[] = {
        {"manufacturer", Header().Manufacturer(11).Build(), "Not a PCX or SCR file."},
        {"header cut short", Bytes(std::vector<uint8_t>(127, 10)), "Not a PCX or SCR file."},
        {"empty file", {}, "Not a PCX or SCR file."},
        {"2 bits, 1 plane", Header().Bits(2).Build(), "PCX: wrong pixel format"},
        {"8 bits, 2 planes", Header().Planes(2).Build(), "PCX: wrong pixel format"},
        {"8 bits, 4 planes", Header().Planes(4).Build(), "PCX: wrong pixel format"},
        {"1 bit, 3 planes", Header().Bits(1).Planes(3).Build(), "PCX: wrong pixel format"},
        {"4 bits, 1 plane", Header().Bits(4).Build(), "PCX: wrong pixel format"},
        {"x max below x min", Header().Window(5, 0, 3, 0).Build(), "Invalid image size: -1 x 0"},
        {"y max below y min", Header().Window(0, 9, 0, 0).Build(), "Invalid image size: 1 x -8"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_THAT([&] { Load(c.file); }, ThrowsMessage<Exception>(StrEq(c.message)));
    }
}

TEST(PCXReader, EveryPrefixLoadsOrIsRefused)
{
    const Bytes file = File(Header().Window(0, 0, 2, 1).BytesPerLine(4), {1, 2, 3, 0, 200, 201, 202, 0}, TrailingPalette());
    for (size_t n = 0; n <= file.size(); ++n) {
        SCOPED_TRACE(n);
        const Bytes prefix(std::vector<uint8_t>(file.begin(), file.begin() + long(n)));
        if (n < 128) {
            EXPECT_THAT([&] { Load(prefix); }, ThrowsMessage<Exception>(StrEq("Not a PCX or SCR file.")));
        } else {
            const auto g = Load(prefix);
            EXPECT_EQ(g->Width(), 3);
            EXPECT_EQ(g->Height(), 2);
        }
    }
}

// Coded data longer than the reader's window, from a file and from memory: the same rows,
// with runs that go on across rows and pairs of bytes that the window's end splits (one
// plain byte, then only runs and escaped bytes, so that every pair starts at an odd offset).
TEST(PCXReader, FilesAndMemoryLoadAlike)
{
    const int width = 400, height = 400;
    Bytes data{0x01};
    uint32_t noise = 5;
    while (data.size() < size_t(width) * height * 3) {
        noise = noise * 1103515245u + 12345u;
        data.fill(1 + (noise >> 31), uint8_t(0xC0 | ((noise >> 16) & 0x3F)));
    }
    data.resize(size_t(width) * height * 3);
    const Bytes file = File(Header().Planes(3).Window(0, 0, width - 1, height - 1).BytesPerLine(width), data);
    ASSERT_GT(file.size(), 520000u);  // more than two windows
    test::TempDir folder;
    test::WriteFile(folder / "in.pcx", file);
    TPCXGraphic fromFile;
    TFileStream stream(folder / "in.pcx", TFileStream::fmOpenRead);
    fromFile.ReadImage(stream);
    const auto fromMemory = Load(file);
    EXPECT_EQ(Rows(fromFile), Rows(*fromMemory));
    // The first pixel: blue, green, red from the third, second and first plane.
    EXPECT_EQ(fromFile.ScanLine(0)[0], data[size_t(2 * width)]);
    EXPECT_EQ(fromFile.ScanLine(height - 1)[3 * (width - 1) + 2], data[size_t((height - 1) * 3 * width + width - 1)]);
}

TEST(PCXReader, SavingWritesNothing)
{
    auto g = Load(File(Header().Planes(3), Bytes{}.fill(12, 5)));
    TMemoryStream out;
    g->WriteImage(out);
    EXPECT_EQ(out.Size(), 0);
}

TEST(PCXReader, EveryCorpusFileLoadsOrFailsWithAMessage)
{
    QUILLET_REQUIRE_CORPUS();
    for (const char* folder : {"pcx", "hostile/pcx"}) {
        for (const std::string& path : test::CorpusFiles(folder)) {
            SCOPED_TRACE(path);
            const Bytes file(test::ReadFile(path));
            try {
                Load(file);
            } catch (const Exception& e) {
                EXPECT_FALSE(std::string(e.what()).empty());
            }
        }
    }
}

}  // namespace
}  // namespace quillet
