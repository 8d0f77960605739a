#include "imaging/readers/psd.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "imaging/ImageFormats.h"
#include "imaging/readers/sgi.h"
#include "platform/errors.h"
#include "platform/picture.h"
#include "platform/stream.h"
#include "tests/support/files.h"
#include "tests/support/psd_writer.h"
#include "tests/support/reader_fixture.h"

namespace quillet {
namespace {

using test::Bytes;
using test::LoadFrom;
using test::PixelBytes;
using test::PsdImage;
using test::WritePsd;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

enum : uint16_t { kBitmap = 0, kGrey = 1, kIndexed = 2, kRGB = 3, kCMYK = 4, kMultichannel = 7, kDuotone = 8, kLab = 9 };

// An 8-bit sample with runs (the left columns) and busy parts, different in every plane.
uint8_t Sample8(uint32_t x, uint32_t y, int c)
{
    if (x < 3) return uint8_t(40 * c + y);
    return uint8_t((x * 37 + y * 91 + uint32_t(c) * 53) ^ (x * y));
}

// A document of the given mode and depth, 11 x 5 (the width is not a multiple of 8),
// with `channels` planes. 16-bit samples carry the 8-bit picture in their high byte and
// noise in the low byte; 1-bit samples form a pattern.
PsdImage MakePsd(uint16_t mode, uint16_t depth, int channels, uint16_t compression = 0)
{
    PsdImage image;
    image.Width = 11;
    image.Height = 5;
    image.Mode = mode;
    image.Depth = depth;
    image.Compression = compression;
    for (int c = 0; c < channels; ++c) {
        std::vector<uint16_t> plane;
        for (uint32_t y = 0; y < image.Height; ++y)
            for (uint32_t x = 0; x < image.Width; ++x) {
                const uint8_t v = Sample8(x, y, c);
                plane.push_back(depth == 1 ? uint16_t((x + 2 * y) % 3 == 0) : depth == 16 ? uint16_t(v << 8 | ((x * 7 + y) & 0xFF)) : v);
            }
        image.Planes.push_back(plane);
    }
    if (mode == kIndexed)
        for (int i = 0; i < 768; ++i) image.ColorModeData.push_back(uint8_t(i * 5 + 1));
    if (mode == kDuotone) image.ColorModeData.assign(524, 0xAB);  // duotone specification, skipped
    image.Resources.assign(13, 0x38);
    image.LayerInfo.assign(7, 0x42);
    return image;
}

int PlanesOf(uint16_t mode) { return mode == kRGB || mode == kLab ? 3 : mode == kCMYK ? 4 : 1; }

TEST(PSDGraphic, EveryModeGivesItsPixelFormatAndPalette)
{
    const struct {
        const char* name;
        uint16_t mode;
        uint16_t depth;
        TPixelFormat format;
        int paletteCount;
    } kCases[] = {
        {"bitmap", kBitmap, 1, TPixelFormat::pf1bit, 2},     {"grey 8", kGrey, 8, TPixelFormat::pf8bit, 256},
        {"grey 16", kGrey, 16, TPixelFormat::pf8bit, 256},   {"indexed", kIndexed, 8, TPixelFormat::pf8bit, 256},
        {"duotone", kDuotone, 8, TPixelFormat::pf8bit, 256}, {"rgb 8", kRGB, 8, TPixelFormat::pf24bit, 0},
        {"rgb 16", kRGB, 16, TPixelFormat::pf24bit, 0},      {"cmyk 8", kCMYK, 8, TPixelFormat::pf24bit, 0},
        {"cmyk 16", kCMYK, 16, TPixelFormat::pf24bit, 0},    {"lab 8", kLab, 8, TPixelFormat::pf24bit, 0},
        {"lab 16", kLab, 16, TPixelFormat::pf24bit, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto g = LoadFrom<TPSDGraphic>(WritePsd(MakePsd(c.mode, c.depth, PlanesOf(c.mode))));
        EXPECT_EQ(g->Width(), 11);
        EXPECT_EQ(g->Height(), 5);
        EXPECT_EQ(g->PixelFormat(), c.format);
        EXPECT_EQ(test::PaletteEntries(*g).size(), size_t(c.paletteCount));
    }
}

// The strongest check of the coded paths: for every mode and depth, PackBits and raw data
// of the same picture, with and without an extra (alpha or spot) channel, load the same.
TEST(PSDGraphic, PackBitsRawAndExtraChannelsAllGiveTheSameBitmap)
{
    const struct { uint16_t mode; uint16_t depth; } kCases[] = {
        {kBitmap, 1}, {kGrey, 1}, {kGrey, 8}, {kGrey, 16}, {kIndexed, 8}, {kDuotone, 8}, {kDuotone, 16},
        {kRGB, 8},    {kRGB, 16}, {kCMYK, 8}, {kCMYK, 16}, {kLab, 8},     {kLab, 16},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " depth " << c.depth);
        const int planes = PlanesOf(c.mode);
        const auto reference = LoadFrom<TPSDGraphic>(WritePsd(MakePsd(c.mode, c.depth, planes, 0)));
        const std::vector<uint8_t> want = PixelBytes(*reference);
        EXPECT_NE(want, std::vector<uint8_t>(want.size(), 0));
        for (int extra = 0; extra <= 2; ++extra)
            for (uint16_t compression : {0, 1}) {
                const auto g = LoadFrom<TPSDGraphic>(WritePsd(MakePsd(c.mode, c.depth, planes + extra, compression)));
                EXPECT_EQ(PixelBytes(*g), want) << "extra " << extra << " compression " << compression;
                EXPECT_EQ(test::PaletteEntries(*g), test::PaletteEntries(*reference));
            }
    }
}

TEST(PSDGraphic, SixteenBitSamplesGiveTheBitmapOfTheirHighBytes)
{
    for (uint16_t mode : {kGrey, kDuotone, kRGB, kLab}) {
        SCOPED_TRACE(mode);
        const auto eight = LoadFrom<TPSDGraphic>(WritePsd(MakePsd(mode, 8, PlanesOf(mode))));
        const auto sixteen = LoadFrom<TPSDGraphic>(WritePsd(MakePsd(mode, 16, PlanesOf(mode), 1)));
        EXPECT_EQ(PixelBytes(*sixteen), PixelBytes(*eight));
    }
}

TEST(PSDGraphic, RGBPixelsAreBlueGreenRedFromTheThreePlanes)
{
    const PsdImage image = MakePsd(kRGB, 8, 3);
    const auto g = LoadFrom<TPSDGraphic>(WritePsd(image));
    for (uint32_t y = 0; y < image.Height; ++y) {
        const uint8_t* row = g->ScanLine(int(y));
        for (uint32_t x = 0; x < image.Width; ++x) {
            SCOPED_TRACE(testing::Message() << x << "," << y);
            const size_t i = y * image.Width + x;
            EXPECT_EQ(row[3 * x], image.Planes[2][i]);
            EXPECT_EQ(row[3 * x + 1], image.Planes[1][i]);
            EXPECT_EQ(row[3 * x + 2], image.Planes[0][i]);
        }
    }
}

TEST(PSDGraphic, OnePlaneModesKeepTheSamplesAsIndices)
{
    for (uint16_t mode : {kGrey, kDuotone, kIndexed}) {
        SCOPED_TRACE(mode);
        const PsdImage image = MakePsd(mode, 8, 1, 1);
        const auto g = LoadFrom<TPSDGraphic>(WritePsd(image));
        for (uint32_t y = 0; y < image.Height; ++y)
            for (uint32_t x = 0; x < image.Width; ++x)
                EXPECT_EQ(g->ScanLine(int(y))[x], image.Planes[0][y * image.Width + x]) << x << "," << y;
        const std::vector<TPaletteEntry> palette = test::PaletteEntries(*g);
        ASSERT_EQ(palette.size(), 256u);
        for (int i = 0; i < 256; ++i) {
            const TPaletteEntry want = mode == kIndexed
                                           ? TPaletteEntry{image.ColorModeData[size_t(i)], image.ColorModeData[size_t(256 + i)],
                                                           image.ColorModeData[size_t(512 + i)], 0}
                                           : TPaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i), 0};
            EXPECT_EQ(palette[size_t(i)], want) << i;
        }
    }
}

TEST(PSDGraphic, BitmapModeIsOneBitWithWhiteZeroAndBlackOne)
{
    const PsdImage image = MakePsd(kBitmap, 1, 1);
    const auto g = LoadFrom<TPSDGraphic>(WritePsd(image));
    ASSERT_EQ(g->PixelFormat(), TPixelFormat::pf1bit);
    EXPECT_EQ(test::PaletteEntries(*g), (std::vector<TPaletteEntry>{{255, 255, 255, 0}, {0, 0, 0, 0}}));
    for (uint32_t y = 0; y < image.Height; ++y)
        for (uint32_t x = 0; x < image.Width; ++x) {
            const int bit = (g->ScanLine(int(y))[x / 8] >> (7 - x % 8)) & 1;
            EXPECT_EQ(bit, image.Planes[0][y * image.Width + x]) << x << "," << y;
        }
    // The same pattern in a grey document of depth 1 becomes indices 0 and 1 of the same
    // two-entry palette.
    PsdImage grey = image;
    grey.Mode = kGrey;
    const auto expanded = LoadFrom<TPSDGraphic>(WritePsd(grey));
    ASSERT_EQ(expanded->PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(test::PaletteEntries(*expanded), test::PaletteEntries(*g));
    for (uint32_t y = 0; y < image.Height; ++y)
        for (uint32_t x = 0; x < image.Width; ++x)
            EXPECT_EQ(expanded->ScanLine(int(y))[x], image.Planes[0][y * image.Width + x]) << x << "," << y;
}

// One pixel of stored CMYK or Lab values (as in the file) and the colour it must show.
TEST(PSDGraphic, CMYKInkIsStoredInvertedAndLabIsOffsetBy128)
{
    const struct {
        const char* name;
        uint16_t mode;
        uint16_t depth;
        std::vector<uint16_t> stored;
        uint8_t blue, green, red;
    } kCases[] = {
        {"no ink", kCMYK, 8, {255, 255, 255, 255}, 255, 255, 255},
        {"full black ink", kCMYK, 8, {255, 255, 255, 0}, 0, 0, 0},
        {"full cyan ink", kCMYK, 8, {0, 255, 255, 255}, 255, 255, 0},
        {"full yellow ink", kCMYK, 8, {255, 255, 0, 255}, 0, 255, 255},
        {"no ink 16", kCMYK, 16, {65535, 65535, 65535, 65535}, 255, 255, 255},
        {"full black ink 16", kCMYK, 16, {65535, 65535, 65535, 0}, 0, 0, 0},
        {"full cyan ink 16", kCMYK, 16, {0, 65535, 65535, 65535}, 255, 255, 0},
        {"lab black", kLab, 8, {0, 128, 128}, 0, 0, 0},
        {"lab white", kLab, 8, {255, 128, 128}, 255, 255, 255},
        {"lab black 16", kLab, 16, {0, 0x8000, 0x8000}, 0, 0, 0},
        {"lab white 16", kLab, 16, {0xFFFF, 0x8000, 0x8000}, 255, 255, 255},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        for (uint16_t compression : {0, 1}) {
            PsdImage image;
            image.Width = 3;
            image.Height = 2;
            image.Mode = c.mode;
            image.Depth = c.depth;
            image.Compression = compression;
            for (uint16_t v : c.stored) image.Planes.push_back(std::vector<uint16_t>(6, v));
            const auto g = LoadFrom<TPSDGraphic>(WritePsd(image));
            for (int y = 0; y < 2; ++y)
                EXPECT_EQ(test::RowBytes(*g, y), (std::vector<uint8_t>{c.blue, c.green, c.red, c.blue, c.green, c.red,
                                                                       c.blue, c.green, c.red}));
        }
    }
}

TEST(PSDGraphic, UnsupportedModesAndDepthsKeepTheSizeAndWriteNoPixels)
{
    const struct {
        const char* name;
        uint16_t mode;
        uint16_t depth;
        int channels;
        TPixelFormat format;
    } kCases[] = {
        {"multichannel", kMultichannel, 8, 2, TPixelFormat::pfDevice},
        {"mode 5", 5, 8, 3, TPixelFormat::pfDevice},
        {"mode 20", 20, 8, 3, TPixelFormat::pfDevice},
        {"32-bit rgb", kRGB, 32, 3, TPixelFormat::pf24bit},
        {"4-bit grey", kGrey, 4, 1, TPixelFormat::pf8bit},
        {"8-bit bitmap mode", kBitmap, 8, 1, TPixelFormat::pf1bit},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        PsdImage image = MakePsd(kRGB, 8, c.channels, 1);
        image.Mode = c.mode;
        image.Depth = c.depth;
        const auto g = LoadFrom<TPSDGraphic>(WritePsd(image));
        EXPECT_EQ(g->Width(), 11);
        EXPECT_EQ(g->Height(), 5);
        EXPECT_EQ(g->PixelFormat(), c.format);
        const std::vector<uint8_t> pixels = PixelBytes(*g);
        EXPECT_EQ(pixels, std::vector<uint8_t>(pixels.size(), 0));
    }
    // A 4-bit grey document's palette is the unscaled 16-entry ramp.
    PsdImage grey4 = MakePsd(kGrey, 4, 1);
    const auto g = LoadFrom<TPSDGraphic>(WritePsd(grey4));
    const std::vector<TPaletteEntry> palette = test::PaletteEntries(*g);
    ASSERT_EQ(palette.size(), 16u);
    EXPECT_EQ(palette[15], (TPaletteEntry{15, 15, 15, 0}));
}

TEST(PSDGraphic, ASignatureThatDiffersInAnyCharacterIsRefused)
{
    for (const char* signature : {"8bps", "8BPs", "7BPS", "8BPT", "PS8B", "\0BPS"}) {
        SCOPED_TRACE(signature);
        PsdImage image = MakePsd(kRGB, 8, 3);
        image.Signature = std::string(signature, 4);
        const Bytes file = WritePsd(image);
        TPSDGraphic g;
        TMemoryViewStream stream(file.data(), file.size());
        EXPECT_THAT([&] { g.ReadImage(stream); }, ThrowsMessage<Exception>(StrEq("Not a valid psd file.")));
        EXPECT_EQ(g.Width(), 0);
        EXPECT_EQ(g.PixelFormat(), TPixelFormat::pfDevice);
    }
}

TEST(PSDGraphic, FewerChannelsThanTheModeNeedsAreRefused)
{
    const struct { uint16_t mode; int channels; } kCases[] = {
        {kGrey, 0}, {kBitmap, 0}, {kIndexed, 0}, {kRGB, 2}, {kLab, 1}, {kCMYK, 3},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " channels " << c.channels);
        for (uint16_t compression : {0, 1}) {
            const Bytes file = WritePsd(MakePsd(c.mode, c.mode == kBitmap ? 1 : 8, c.channels, compression));
            EXPECT_THAT([&] { LoadFrom<TPSDGraphic>(file); }, ThrowsMessage<Exception>(StrEq("Not a valid psd file.")));
        }
    }
}

TEST(PSDGraphic, ColourTablesLongerOrShorterThan768BytesStayInTheTable)
{
    PsdImage image = MakePsd(kIndexed, 8, 1, 1);
    const auto reference = LoadFrom<TPSDGraphic>(WritePsd(image));

    // A longer block: its first 768 bytes are the table, the rest is skipped.
    PsdImage longer = image;
    longer.ColorModeData.resize(1000, 0xEE);
    const auto g = LoadFrom<TPSDGraphic>(WritePsd(longer));
    EXPECT_EQ(test::PaletteEntries(*g), test::PaletteEntries(*reference));
    EXPECT_EQ(PixelBytes(*g), PixelBytes(*reference));

    // A shorter block fills the table's start; the rest of the table is black.
    PsdImage shorter = image;
    shorter.ColorModeData.resize(300);
    const auto s = LoadFrom<TPSDGraphic>(WritePsd(shorter));
    EXPECT_EQ(PixelBytes(*s), PixelBytes(*reference));
    const std::vector<TPaletteEntry> palette = test::PaletteEntries(*s);
    ASSERT_EQ(palette.size(), 256u);
    EXPECT_EQ(palette[0], (TPaletteEntry{image.ColorModeData[0], image.ColorModeData[256], 0, 0}));
    EXPECT_EQ(palette[50], (TPaletteEntry{image.ColorModeData[50], 0, 0, 0}));
}

TEST(PSDGraphic, AnIndexedLoadDoesNotKeepColoursOfAnEarlierOne)
{
    PsdImage image = MakePsd(kIndexed, 8, 1);
    TPSDGraphic g;
    {
        const Bytes file = WritePsd(image);
        TMemoryViewStream stream(file.data(), file.size());
        g.ReadImage(stream);
    }
    image.ColorModeData.resize(3);
    const Bytes file = WritePsd(image);
    TMemoryViewStream stream(file.data(), file.size());
    g.ReadImage(stream);
    EXPECT_EQ(test::PaletteEntries(g)[255], (TPaletteEntry{0, 0, 0, 0}));
}

TEST(PSDGraphic, EveryTruncationIsAStreamReadError)
{
    for (uint16_t mode : {kGrey, kRGB}) {
        for (uint16_t compression : {0, 1}) {
            const Bytes file = WritePsd(MakePsd(mode, 8, PlanesOf(mode), compression));
            for (size_t size = 0; size < file.size(); ++size) {
                SCOPED_TRACE(testing::Message() << "mode " << mode << " compression " << compression << " size " << size);
                const std::vector<uint8_t> prefix(file.begin(), file.begin() + long(size));
                EXPECT_THAT([&] { LoadFrom<TPSDGraphic>(prefix); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
            }
            EXPECT_NO_THROW(LoadFrom<TPSDGraphic>(file));
        }
    }
}

TEST(PSDGraphic, DataOfAnUnusedChannelMustBeThereInPlanarModes)
{
    // The composite is one block: an RGB file that ends inside its alpha plane is short.
    for (uint16_t compression : {0, 1}) {
        const Bytes file = WritePsd(MakePsd(kRGB, 8, 4, compression));
        const std::vector<uint8_t> prefix(file.begin(), file.end() - 1);
        EXPECT_THAT([&] { LoadFrom<TPSDGraphic>(prefix); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
    }
}

TEST(PSDGraphic, ClaimedSizesAreCheckedBeforeAnythingIsAllocated)
{
    const struct {
        const char* name;
        uint32_t columns, rows;
        uint16_t channels, compression;
        const char* message;
    } kCases[] = {
        {"pixel limit", 30000, 30000, 3, 0, "Image too large: 30000 x 30000 pixels"},
        {"negative as int", 0x80000000u, 1, 3, 0, "Invalid image size: 2147483647 x 1"},
        {"raw data missing", 9000, 9000, 3, 0, "Stream read error"},
        {"count table missing", 9000, 9000, 3, 1, "Stream read error"},
        {"huge channel count", 100, 100, 65535, 1, "Stream read error"},
        {"tall and narrow", 1, 100000000, 3, 1, "Stream read error"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Bytes file = Bytes{}.str("8BPS").be16(1).fill(6, 0).be16(c.channels).be32(c.rows).be32(c.columns)
                               .be16(8).be16(kRGB).be32(0).be32(0).be32(0).be16(c.compression).fill(64, 0);
        EXPECT_THAT([&] { LoadFrom<TPSDGraphic>(file); }, ThrowsMessage<Exception>(StrEq(c.message)));
    }
}

TEST(PSDGraphic, EmptyPicturesLoadWithoutPixelData)
{
    for (auto [columns, rows] : {std::pair{0u, 4u}, std::pair{4u, 0u}})
        for (uint16_t compression : {0, 1}) {
            const Bytes file = Bytes{}.str("8BPS").be16(1).fill(6, 0).be16(3).be32(rows).be32(columns)
                                   .be16(8).be16(kRGB).be32(0).be32(0).be32(0).be16(compression);
            const auto g = LoadFrom<TPSDGraphic>(file);
            EXPECT_EQ(g->Width(), int(columns));
            EXPECT_EQ(g->Height(), int(rows));
        }
}

TEST(PSDGraphic, PackedRowsThatClaimTooLittleOrTooMuchStayInTheirRow)
{
    // An 11 x 2 RGB document whose row 0 in every plane is one run of 3 bytes, and whose
    // row 1 is a run of 128 bytes, longer than the 11-byte row.
    Bytes file = Bytes{}.str("8BPS").be16(1).fill(6, 0).be16(3).be32(2).be32(11).be16(8).be16(kRGB)
                     .be32(0).be32(0).be32(0).be16(1);
    for (int c = 0; c < 3; ++c) file.be16(2).be16(2);
    for (int c = 0; c < 3; ++c) file.u8(0xFE).u8(0x10 + c).u8(0x81).u8(0x20 + c);
    const auto g = LoadFrom<TPSDGraphic>(file);
    std::vector<uint8_t> row0(33, 0);
    for (int x = 0; x < 3; ++x) {
        row0[size_t(3 * x)] = 0x12;
        row0[size_t(3 * x + 1)] = 0x11;
        row0[size_t(3 * x + 2)] = 0x10;
    }
    EXPECT_EQ(test::RowBytes(*g, 0), row0);
    // The long run ends at the row's end (or is dropped whole); either way each plane keeps
    // its own value.
    const std::vector<uint8_t> row1 = test::RowBytes(*g, 1);
    for (size_t x = 0; x < 11; ++x) {
        const std::vector<uint8_t> pixel(row1.begin() + long(3 * x), row1.begin() + long(3 * x + 3));
        EXPECT_THAT(pixel, testing::AnyOf(testing::ElementsAre(0x22, 0x21, 0x20), testing::ElementsAre(0, 0, 0))) << x;
    }
}

TEST(PSDGraphic, BothExtensionsLoadThroughThePicture)
{
    test::ExpectLoadsThroughPicture(WritePsd(MakePsd(kRGB, 8, 3, 1)), {"doc.psd", "doc.PDD"}, "TPSDGraphic", 11);
}

TEST(PSDGraphic, CorpusFilesLoadOrFailWithAMessage)
{
    QUILLET_REQUIRE_CORPUS();
    test::ExpectCorpusLoadsOrFails<TPSDGraphic>({"psd", "hostile/psd"});
}

// Pictures that other programs wrote both as a Photoshop document and as an SGI image.
TEST(PSDGraphic, CorpusDocumentsMatchTheSamePictureWrittenAsSGI)
{
    QUILLET_REQUIRE_CORPUS();
    const std::string root = test::CorpusDir();
    const struct { const char* psd; const char* sgi; } kPairs[] = {
        {"/psd/kde_rgb-gimp-2.8.10.psd", "/sgi/kde_rgb-gimp-2.8.10-uncompressed.rgb"},
        {"/psd/im_input.psd", "/sgi/im_input.sgi"},
    };
    for (const auto& pair : kPairs) {
        SCOPED_TRACE(pair.psd);
        const auto psd = LoadFrom<TPSDGraphic>(test::ReadFile(root + pair.psd));
        const auto sgi = LoadFrom<TSGIGraphic>(test::ReadFile(root + pair.sgi));
        ASSERT_EQ(psd->PixelFormat(), TPixelFormat::pf24bit);
        ASSERT_EQ(psd->Width(), sgi->Width());
        ASSERT_EQ(psd->Height(), sgi->Height());
        EXPECT_EQ(PixelBytes(*psd), PixelBytes(*sgi));
    }
}

}  // namespace
}  // namespace quillet
