#include "imaging/readers/targa.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "codecs/ImageCodecs.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"

namespace quillet {
namespace {

using test::Bytes;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr char kInvalid[] = "Targa: invalid image";

// A Targa header, built field by field: Header().Type(10).Width(3).Bits(8).
struct Header {
    uint8_t type = 2;
    int width = 2;
    int height = 2;
    uint8_t bits = 24;
    uint8_t descriptor = 0;
    uint8_t mapType = 0;
    uint16_t mapFirst = 0;
    uint16_t mapLength = 0;
    uint8_t entryBits = 0;
    std::string id;

    Header& Type(uint8_t v) { type = v; return *this; }
    Header& Width(int v) { width = v; return *this; }
    Header& Height(int v) { height = v; return *this; }
    Header& Bits(uint8_t v) { bits = v; return *this; }
    Header& Descriptor(uint8_t v) { descriptor = v; return *this; }
    Header& MapType(uint8_t v) { mapType = v; return *this; }
    Header& MapFirst(uint16_t v) { mapFirst = v; return *this; }
    Header& MapLength(uint16_t v) { mapLength = v; return *this; }
    Header& EntryBits(uint8_t v) { entryBits = v; return *this; }
    Header& Id(std::string v) { id = std::move(v); return *this; }

    Bytes Build() const
    {
        return Bytes{}
            .u8(unsigned(id.size()))
            .u8(mapType)
            .u8(type)
            .le16(mapFirst)
            .le16(mapLength)
            .u8(entryBits)
            .le16(0)
            .le16(0)
            .le16(unsigned(width))
            .le16(unsigned(height))
            .u8(bits)
            .u8(descriptor)
            .str(id);
    }
};

Bytes Prefix(const Bytes& file, size_t n) { return Bytes(std::vector<uint8_t>(file.begin(), file.begin() + long(n))); }

std::unique_ptr<TTargaGraphic> Load(const Bytes& file, int64_t* endPosition = nullptr)
{
    auto graphic = std::make_unique<TTargaGraphic>();
    TMemoryViewStream stream(file.data(), file.size());
    graphic->ReadImage(stream);
    if (endPosition != nullptr) *endPosition = stream.Position();
    return graphic;
}

// The same through a file stream, which has no memory to decode from in place.
std::unique_ptr<TTargaGraphic> LoadFromFile(const Bytes& file, int64_t* endPosition = nullptr)
{
    test::TempDir folder;
    test::WriteFile(folder / "in.tga", file);
    auto graphic = std::make_unique<TTargaGraphic>();
    TFileStream stream(folder / "in.tga", TFileStream::fmOpenRead);
    graphic->ReadImage(stream);
    if (endPosition != nullptr) *endPosition = stream.Position();
    return graphic;
}

size_t RowBytes(const TBitmap& bitmap)
{
    const int bits = BitsPerPixel(bitmap.PixelFormat());
    return (size_t(bitmap.Width()) * size_t(bits == 15 ? 16 : bits) + 7) / 8;
}

// The bitmap's rows, top first, without their padding.
std::vector<Bytes> Rows(const TBitmap& bitmap)
{
    std::vector<Bytes> rows;
    for (int y = 0; y < bitmap.Height(); ++y)
        rows.emplace_back(std::vector<uint8_t>(bitmap.ScanLine(y), bitmap.ScanLine(y) + RowBytes(bitmap)));
    return rows;
}

TEST(TargaReader, LoadsEveryImageTypeAndPixelSizeInEitherOrder)
{
    const struct {
        const char* name;
        Header header;
        Bytes data;  // colour map and pixels, file order
        TPixelFormat format;
        std::vector<Bytes> rows;  // top first
    } kCases[] = {
        {"24-bit, bottom row first", Header().Type(2), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, TPixelFormat::pf24bit,
         {{7, 8, 9, 10, 11, 12}, {1, 2, 3, 4, 5, 6}}},
        {"24-bit, top row first", Header().Type(2).Descriptor(0x20), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
         TPixelFormat::pf24bit, {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}},
        {"pixels right to left", Header().Type(2).Descriptor(0x30), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
         TPixelFormat::pf24bit, {{4, 5, 6, 1, 2, 3}, {10, 11, 12, 7, 8, 9}}},
        {"32-bit keeps the fourth byte", Header().Type(2).Width(1).Bits(32), {1, 2, 3, 4, 5, 6, 7, 8},
         TPixelFormat::pf32bit, {{5, 6, 7, 8}, {1, 2, 3, 4}}},
        {"16-bit stored as it is, attribute bit too", Header().Type(2).Width(1).Bits(16).Descriptor(0x20),
         {0xFF, 0xFF, 0x1F, 0x00}, TPixelFormat::pf15bit, {{0xFF, 0xFF}, {0x1F, 0x00}}},
        {"15-bit", Header().Type(2).Width(1).Bits(15).Descriptor(0x20), {0x00, 0x7C, 0xE0, 0x03},
         TPixelFormat::pf15bit, {{0x00, 0x7C}, {0xE0, 0x03}}},
        {"grey", Header().Type(3).Bits(8).Descriptor(0x20), {0, 1, 254, 255}, TPixelFormat::pf8bit, {{0, 1}, {254, 255}}},
        {"colour-mapped", Header().Type(1).Width(1).Bits(8).MapType(1).MapLength(2).EntryBits(24),
         {10, 20, 30, 40, 50, 60, 1, 0}, TPixelFormat::pf8bit, {{0}, {1}}},
        {"run-length 24-bit", Header().Type(10), {0x81, 1, 2, 3, 0x00, 4, 5, 6, 0x00, 7, 8, 9}, TPixelFormat::pf24bit,
         {{4, 5, 6, 7, 8, 9}, {1, 2, 3, 1, 2, 3}}},
        {"run-length 32-bit", Header().Type(10).Width(1).Bits(32).Descriptor(0x20), {0x81, 1, 2, 3, 4},
         TPixelFormat::pf32bit, {{1, 2, 3, 4}, {1, 2, 3, 4}}},
        {"run-length 15-bit", Header().Type(10).Bits(15).Descriptor(0x20), {0x01, 1, 2, 3, 4, 0x81, 5, 6},
         TPixelFormat::pf15bit, {{1, 2, 3, 4}, {5, 6, 5, 6}}},
        {"run-length 16-bit", Header().Type(10).Width(1).Bits(16), {0x00, 1, 0x80, 0x00, 2, 0x80},
         TPixelFormat::pf15bit, {{2, 0x80}, {1, 0x80}}},
        {"run-length grey", Header().Type(11).Bits(8).Descriptor(0x20), {0x81, 9, 0x01, 3, 4}, TPixelFormat::pf8bit,
         {{9, 9}, {3, 4}}},
        {"run-length colour-mapped", Header().Type(9).Width(3).Height(1).Bits(8).MapType(1).MapLength(1).EntryBits(24),
         {1, 2, 3, 0x82, 0}, TPixelFormat::pf8bit, {{0, 0, 0}}},
        {"run-length right to left", Header().Type(10).Height(1).Descriptor(0x10), {0x01, 1, 2, 3, 4, 5, 6},
         TPixelFormat::pf24bit, {{4, 5, 6, 1, 2, 3}}},
        {"image type 0 reads no pixels", Header().Type(0).Width(1).Height(1), {9, 9, 9}, TPixelFormat::pf24bit,
         {{0, 0, 0}}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto g = Load(c.header.Build().bytes(c.data));
        EXPECT_EQ(g->PixelFormat(), c.format);
        EXPECT_EQ(g->Width(), c.header.width);
        EXPECT_EQ(Rows(*g), c.rows);
    }
}

TEST(TargaReader, ColourMapsAndGreyImagesBecomeThePalette)
{
    using E = TPaletteEntry;
    const struct {
        const char* name;
        Header header;
        Bytes data;  // colour map, then the one pixel
        int count;
        std::vector<std::pair<int, E>> entries;  // index, entry
        uint8_t pixel;
    } kCases[] = {
        {"24-bit entries are blue, green, red", Header().Type(1).MapType(1).MapLength(2).EntryBits(24),
         {10, 20, 30, 40, 50, 60, 1}, 2, {{0, {30, 20, 10}}, {1, {60, 50, 40}}}, 1},
        {"32-bit entries drop their fourth byte", Header().Type(1).MapType(1).MapLength(1).EntryBits(32),
         {10, 20, 30, 99, 0}, 1, {{0, {30, 20, 10}}}, 0},
        {"16-bit entries have the low bits clear", Header().Type(1).MapType(1).MapLength(3).EntryBits(16),
         Bytes{}.le16(0x7FFF).le16(0x001F).le16(0x7C00).u8(2), 3, {{0, {248, 248, 248}}, {1, {0, 0, 248}}, {2, {248, 0, 0}}}, 2},
        {"other entry sizes are read as 2 bytes", Header().Type(1).MapType(1).MapLength(1).EntryBits(8),
         Bytes{}.le16(0x03E0).u8(0), 1, {{0, {0, 248, 0}}}, 0},
        {"the map starts at its first index", Header().Type(1).MapType(1).MapFirst(2).MapLength(1).EntryBits(24),
         {10, 20, 30, 2}, 3, {{0, {0, 0, 0}}, {2, {30, 20, 10}}}, 2},
        {"entries past 256 are read past", Header().Type(1).MapType(1).MapLength(300).EntryBits(24),
         Bytes{}.fill(255 * 3, 0).u8(1).u8(2).u8(3).fill(44 * 3, 7).u8(255), 256, {{255, {3, 2, 1}}}, 255},
        {"a map of no entries shows indices as greys", Header().Type(1).MapType(1).MapLength(0).EntryBits(24),
         {77}, 256, {{77, {77, 77, 77}}}, 77},
        {"grey images get the ramp and skip a map", Header().Type(3).MapType(1).MapLength(2).EntryBits(24),
         {1, 2, 3, 4, 5, 6, 200}, 256, {{0, {0, 0, 0}}, {200, {200, 200, 200}}, {255, {255, 255, 255}}}, 200},
        {"a true-colour image with a map reads its pixels after it",
         Header().Type(2).Bits(24).MapType(1).MapLength(1).EntryBits(24), {1, 2, 3, 4, 5, 6}, 1,
         {{0, {3, 2, 1}}}, 4},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Header header = c.header;
        header.Width(1).Height(1);
        if (header.type == 1 || header.type == 3) header.Bits(8);
        const auto g = Load(header.Build().bytes(c.data));
        ASSERT_TRUE(g->Palette());
        EXPECT_EQ(g->Palette()->Count(), c.count);
        for (const auto& [index, entry] : c.entries) EXPECT_EQ(g->Palette()->Entry(index), entry) << index;
        EXPECT_EQ(g->ScanLine(0)[0], c.pixel);
    }
}

// Older writers let packets run on into the next row; the rest of such a packet starts the
// next row, and the stream ends right after the last packet used.
TEST(TargaReader, PacketsThatRunOnIntoTheNextRowCarryOver)
{
    const Header header = Header().Type(11).Width(3).Height(3).Bits(8).Descriptor(0x20);
    const struct {
        const char* name;
        Bytes packets;
        std::vector<Bytes> rows;
    } kCases[] = {
        {"run across rows", {0x84, 7, 0x00, 9, 0x82, 5}, {{7, 7, 7}, {7, 7, 9}, {5, 5, 5}}},
        {"raw across rows", {0x03, 1, 2, 3, 4, 0x81, 5, 0x82, 6}, {{1, 2, 3}, {4, 5, 5}, {6, 6, 6}}},
        {"one run for the whole image", {0x88, 3}, {{3, 3, 3}, {3, 3, 3}, {3, 3, 3}}},
        {"packets that end at row ends", {0x82, 1, 0x02, 2, 3, 4, 0x00, 5, 0x81, 6}, {{1, 1, 1}, {2, 3, 4}, {5, 6, 6}}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Bytes file = header.Build().bytes(c.packets).str("TRAILER");
        for (const auto load : {Load, LoadFromFile}) {
            int64_t end = 0;
            const auto g = load(file, &end);
            EXPECT_EQ(Rows(*g), c.rows);
            EXPECT_EQ(end, int64_t(file.size() - 7));
        }
    }
}

TEST(TargaReader, WideImagesDecodeAcrossTheReadAhead)
{
    // Rows of 3000 24-bit pixels in raw packets of 128, from a file longer than the
    // read-ahead and from memory: each row starts where the previous one's packets ended.
    const int width = 3000, height = 40;
    Bytes pixels, coded;
    for (int i = 0; i < width * height * 3; ++i) pixels.u8(unsigned(i * 7 + i / 5));
    for (int y = 0; y < height; ++y) {
        std::vector<uint8_t> packed(size_t(width) * 6);
        const int32_t n = EncodeTargaRLE(pixels.data() + size_t(y) * width * 3, packed.data(), width, 3);
        coded.insert(coded.end(), packed.begin(), packed.begin() + n);
    }
    const Bytes file = Header().Type(10).Width(width).Height(height).Descriptor(0x20).Build().bytes(coded);
    for (const auto load : {Load, LoadFromFile}) {
        int64_t end = 0;
        const auto g = load(file, &end);
        for (int y = 0; y < height; ++y)
            ASSERT_EQ(0, std::memcmp(g->ScanLine(y), pixels.data() + size_t(y) * width * 3, size_t(width) * 3)) << y;
        EXPECT_EQ(end, int64_t(file.size()));
    }
}

TEST(TargaReader, CutShortFilesAndHugeSizesAreRefused)
{
    const struct {
        const char* name;
        Bytes file;
        std::string message;
    } kCases[] = {
        {"empty file", {}, kInvalid},
        {"header cut short", Prefix(Header().Build(), 10), kInvalid},
        {"image id cut short", Prefix(Header().Id("abcdef").Build(), 20), kInvalid},
        {"colour map cut short", Header().Type(1).Bits(8).MapType(1).MapLength(4).EntryBits(24).Build().fill(5, 0),
         kInvalid},
        {"uncompressed rows cut short", Header().Build().fill(11, 0), kInvalid},
        {"too large", Header().Type(10).Width(65535).Height(65535).Build(), "Image too large: 65535 x 65535 pixels"},
        {"too large and too short", Header().Width(65535).Height(65535).Build(), kInvalid},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_THAT([&] { Load(c.file); }, ThrowsMessage<Exception>(StrEq(c.message)));
    }
}

// Every prefix of a valid file loads (run-length data that ends early leaves the rows it
// does not reach black) or is refused as cut short.
TEST(TargaReader, EveryPrefixLoadsOrIsRefusedAsCutShort)
{
    const Bytes raw = Header().Type(1).Bits(8).MapType(1).MapLength(2).EntryBits(24).Id("id")
                          .Build()
                          .bytes({1, 2, 3, 4, 5, 6, 0, 1, 1, 0});
    const Bytes packed =
        Header().Type(10).Width(3).Id("x").Build().bytes({0x82, 1, 2, 3, 0x01, 4, 5, 6, 7, 8, 9, 0x80, 9, 9, 9});
    for (size_t n = 0; n < raw.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_THAT([&] { Load(Prefix(raw, n)); },
                    ThrowsMessage<Exception>(StrEq(kInvalid)));
    }
    EXPECT_NO_THROW(Load(raw));
    const size_t headerAndId = 19;
    for (size_t n = 0; n <= packed.size(); ++n) {
        SCOPED_TRACE(n);
        const Bytes prefix = Prefix(packed, n);
        if (n < headerAndId) {
            EXPECT_THAT([&] { Load(prefix); }, ThrowsMessage<Exception>(StrEq(kInvalid)));
        } else {
            const auto g = Load(prefix);
            EXPECT_EQ(g->Width(), 3);
        }
    }
}

// ---- writing ----------------------------------------------------------------------------

Bytes Write(TTargaGraphic& graphic)
{
    TMemoryStream stream;
    graphic.WriteImage(stream);
    return Bytes(std::vector<uint8_t>(stream.Memory(), stream.Memory() + stream.Size()));
}

void Fill(TBitmap& bitmap, TPixelFormat format, int width, int height)
{
    bitmap.SetPixelFormat(format);
    bitmap.SetSize(width, height);
    for (int y = 0; y < height; ++y)
        for (size_t i = 0; i < RowBytes(bitmap); ++i) bitmap.ScanLine(y)[i] = uint8_t(i / 3 + y * 5 + 1);
}

TEST(TargaWriter, WritesARunLengthFileWithTheFixedHeader)
{
    TTargaGraphic g;
    g.SetPixelFormat(TPixelFormat::pf24bit);
    g.SetSize(2, 2);
    const uint8_t top[] = {1, 2, 3, 1, 2, 3}, bottom[] = {4, 5, 6, 7, 8, 9};
    std::memcpy(g.ScanLine(0), top, 6);
    std::memcpy(g.ScanLine(1), bottom, 6);
    g.ImageID = "hi";
    const Bytes want = Bytes{2, 0, 10}.le16(0).le16(256).u8(24).le16(0).le16(0).le16(2).le16(2).u8(24).u8(0x20)
                           .str("hi").bytes({0x81, 1, 2, 3, 0x01, 4, 5, 6, 7, 8, 9});
    EXPECT_EQ(Write(g), want);
}

TEST(TargaWriter, EightBitPicturesCarryA256EntryColourMap)
{
    TTargaGraphic g;
    g.SetPixelFormat(TPixelFormat::pf8bit);
    TMaxLogPalette lp;
    lp.palNumEntries = 2;
    lp.palPalEntry[0] = {10, 20, 30, 0};
    lp.palPalEntry[1] = {40, 50, 60, 0};
    g.SetPalette(CreatePalette(lp));
    g.SetSize(1, 1);
    g.ScanLine(0)[0] = 1;
    const Bytes file = Write(g);
    ASSERT_EQ(file.size(), 18u + 768 + 2);
    EXPECT_EQ(Bytes(std::vector<uint8_t>(file.begin(), file.begin() + 18)),
              (Bytes{0, 1, 9}.le16(0).le16(256).u8(24).le16(0).le16(0).le16(1).le16(1).u8(8).u8(0x20)));
    EXPECT_EQ(Bytes(std::vector<uint8_t>(file.begin() + 18, file.begin() + 24)), (Bytes{30, 20, 10, 60, 50, 40}));
    EXPECT_EQ(Bytes(std::vector<uint8_t>(file.begin() + 24, file.begin() + 18 + 768)), Bytes{}.fill(768 - 6, 0));
    EXPECT_EQ(Bytes(std::vector<uint8_t>(file.end() - 2, file.end())), (Bytes{0x00, 1}));
}

// Whatever format a copied bitmap has, the file written reads back as the same picture:
// formats Targa has no pixels for are converted first (1 and 4 bits to 8, 5-6-5 to 5-5-5).
TEST(TargaWriter, EveryBitmapFormatWritesAFileThatReadsBack)
{
    const TPixelFormat kFormats[] = {TPixelFormat::pf1bit,  TPixelFormat::pf4bit,  TPixelFormat::pf8bit,
                                     TPixelFormat::pf15bit, TPixelFormat::pf16bit, TPixelFormat::pf24bit,
                                     TPixelFormat::pf32bit, TPixelFormat::pfDevice};
    for (const TPixelFormat format : kFormats) {
        for (const auto& [width, height] : {std::pair{1, 1}, {5, 1}, {300, 3}}) {
            SCOPED_TRACE(std::to_string(BitsPerPixel(format)) + " bits, " + std::to_string(width) + " x " +
                         std::to_string(height));
            TBitmap source;
            Fill(source, format, width, height);
            TTargaGraphic g;
            g.CopyFrom(source);
            g.ImageID = "q";
            const Bytes file = Write(g);
            const auto back = Load(file);
            EXPECT_EQ(back->ImageID, "q");
            // Compare what the pixels look like.
            TBitmap want, got;
            want.CopyFrom(source);
            if (format == TPixelFormat::pf16bit) want.SetPixelFormat(TPixelFormat::pf15bit);
            want.SetPixelFormat(TPixelFormat::pf24bit);
            got.CopyFrom(*back);
            got.SetPixelFormat(TPixelFormat::pf24bit);
            EXPECT_EQ(Rows(got), Rows(want));
        }
    }
}

TEST(TargaWriter, EmptyPicturesWriteNothingAndRefusalsAreReported)
{
    TTargaGraphic empty;
    EXPECT_TRUE(Write(empty).empty());

    TTargaGraphic g;
    Fill(g, TPixelFormat::pf24bit, 4, 2);
    uint8_t none[1];
    TMemoryViewStream readOnly(none, 0);  // takes no bytes
    EXPECT_THAT([&] { g.WriteImage(readOnly); }, ThrowsMessage<Exception>(StrEq("Targa: could not write image data")));

    TTargaGraphic wide;
    Fill(wide, TPixelFormat::pf8bit, 65536, 1);
    EXPECT_THAT([&] { Write(wide); }, ThrowsMessage<Exception>(StrEq("Image too large: 65536 x 1 pixels")));
}

// ---- the shared corpus ----------------------------------------------------------------

TEST(TargaReader, CrossScanLineFileLoadsAsOtherReadersSeeIt)
{
    QUILLET_REQUIRE_CORPUS();
    const Bytes file(test::ReadFile(test::CorpusDir() + "/tga/pil_cross_scan_line.tga"));
    const auto g = Load(file);
    // Pillow reads this 2 x 2 grey picture as 255 0 / 0 255, top row first.
    EXPECT_EQ(Rows(*g), (std::vector<Bytes>{{255, 0}, {0, 255}}));
}

TEST(TargaReader, EveryCorpusFileLoadsOrFailsWithAMessage)
{
    QUILLET_REQUIRE_CORPUS();
    for (const char* folder : {"tga", "hostile/tga"}) {
        for (const std::string& path : test::CorpusFiles(folder)) {
            SCOPED_TRACE(path);
            const Bytes file(test::ReadFile(path));
            try {
                const auto g = Load(file);
                if (std::string(folder) == "tga") {
                    EXPECT_GT(g->Width() * g->Height(), 0);
                }
                TMemoryStream written;
                g->WriteImage(written);
            } catch (const Exception& e) {
                EXPECT_NE(std::string(folder), "tga") << e.what();
                EXPECT_FALSE(std::string(e.what()).empty());
            }
        }
    }
}

}  // namespace
}  // namespace quillet
