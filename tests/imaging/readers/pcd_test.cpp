#include "imaging/readers/pcd.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "platform/errors.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"
#include "tests/support/read_graphic.h"

namespace quillet {
namespace {

using test::Bytes;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

struct Layout {
    int width, height;
    size_t offset;
};
constexpr Layout kLayouts[] = {{192, 128, 8192}, {384, 256, 47104}, {768, 512, 196608}};

using SampleAt = std::function<uint8_t(int, int)>;

// An image pack holding one stored image: luma(x, row), and the chroma samples of each
// block, c1(block, j) and c2(block, j).
Bytes MakePack(int resolution, uint8_t rotationByte, const SampleAt& luma, const SampleAt& c1, const SampleAt& c2)
{
    const Layout& l = kLayouts[resolution];
    Bytes pack;
    pack.resize(std::max<size_t>(l.offset + size_t(3 * l.width * l.height / 2), 194636));
    std::copy_n("PCD_IPI", 7, pack.begin() + 2048);
    pack[194635] = rotationByte;
    for (int k = 0; k < l.height / 2; ++k) {
        uint8_t* block = pack.data() + l.offset + size_t(k) * 3 * size_t(l.width);
        for (int x = 0; x < l.width; ++x) {
            block[x] = luma(x, 2 * k);
            block[l.width + x] = luma(x, 2 * k + 1);
        }
        for (int j = 0; j < l.width / 2; ++j) {
            block[2 * l.width + j] = c1(k, j);
            block[2 * l.width + l.width / 2 + j] = c2(k, j);
        }
    }
    return pack;
}

SampleAt Constant(uint8_t v)
{
    return [v](int, int) { return v; };
}

std::unique_ptr<TPCDGraphic> Load(const Bytes& data, uint8_t resolution = 2)
{
    auto image = std::make_unique<TPCDGraphic>();
    image->FResolution = resolution;
    TMemoryViewStream stream(data.data(), data.size());
    image->ReadImage(stream);
    return image;
}

// Blue, green, red of bitmap pixel (x, y).
std::vector<uint8_t> Pixel(const TBitmap& bitmap, int x, int y)
{
    const uint8_t* p = bitmap.ScanLine(y) + 3 * x;
    return {p[0], p[1], p[2]};
}

TEST(PCDGraphic, YccFormulaRoundsInExtendedPrecisionAndClamps)
{
    const struct { int y, c1, c2; std::vector<uint8_t> bgr; } kCases[] = {
        {100, 156, 137, {136, 136, 136}},
        {255, 156, 137, {255, 255, 255}},
        {0, 0, 0, {0, 194, 0}},
        {170, 156, 145, {231, 224, 246}},  // red 245.5 exactly
        {207, 84, 137, {122, 255, 255}},   // blue 121.5 exactly
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.y << " " << c.c1 << " " << c.c2);
        const auto image = Load(MakePack(0, 0, Constant(uint8_t(c.y)), Constant(uint8_t(c.c1)), Constant(uint8_t(c.c2))), 0);
        EXPECT_EQ(Pixel(*image, 0, 0), c.bgr);
        EXPECT_EQ(Pixel(*image, 191, 127), c.bgr);
    }
}

TEST(PCDGraphic, RotationTurnsThePictureAndIgnoresTheHighBits)
{
    // Neutral chroma: every pixel is the grey 1.3584 * luma, and the luma tells where a
    // file pixel came from.
    const auto luma = [](int x, int r) { return uint8_t((x * 7 + r * 13) % 188); };
    const auto grey = [&](int x, int r) { return uint8_t(std::lround(1.3584 * luma(x, r))); };
    const int w = 768, h = 512;
    const struct { uint8_t byte; int width, height; std::function<std::pair<int, int>(int, int)> place; } kCases[] = {
        {0x00, w, h, [](int x, int r) { return std::pair(x, r); }},
        {0x01, h, w, [](int x, int r) { return std::pair(r, w - 1 - x); }},
        {0x02, w, h, [](int x, int r) { return std::pair(x, h - 1 - r); }},
        {0x03, h, w, [](int x, int r) { return std::pair(r, x); }},
        {0xFD, h, w, [](int x, int r) { return std::pair(r, w - 1 - x); }},
        {0xF8, w, h, [](int x, int r) { return std::pair(x, r); }},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(int(c.byte));
        const auto image = Load(MakePack(2, c.byte, luma, Constant(156), Constant(137)));
        ASSERT_EQ(image->PixelFormat(), TPixelFormat::pf24bit);
        ASSERT_EQ(image->Width(), c.width);
        ASSERT_EQ(image->Height(), c.height);
        for (int r = 0; r < h; ++r)
            for (int x = 0; x < w; ++x) {
                const auto [column, row] = c.place(x, r);
                const uint8_t* p = image->ScanLine(row) + 3 * column;
                ASSERT_TRUE(p[0] == grey(x, r) && p[1] == grey(x, r) && p[2] == grey(x, r))
                    << "file pixel " << x << ", " << r << " at " << column << ", " << row;
            }
    }
    // The file's top-left pixel: bottom-left after a quarter turn, top-left when exchanged.
    EXPECT_EQ(Load(MakePack(2, 1, luma, Constant(156), Constant(137)))->ScanLine(767)[0], grey(0, 0));
    EXPECT_EQ(Load(MakePack(2, 3, luma, Constant(156), Constant(137)))->ScanLine(0)[0], grey(0, 0));
}

TEST(PCDGraphic, ChromaIsSpreadBetweenNeighboursAndBlocks)
{
    // Luma 100 and chroma 1 neutral: red = round(135.84 + 1.8215 * (c2 - 137)) shows the
    // spread chroma 2 of each pixel. Block 0 holds 137, 140, 150, 160, ... and block 1
    // 20 more; the last block holds 137 + 2j.
    const int blocks = 64;
    const auto c2 = [](int k, int j) {
        if (k == blocks - 1) return uint8_t(137 + 2 * j);
        const uint8_t a = j == 0 ? 137 : uint8_t(std::min(130 + 10 * j, 240));
        return uint8_t(k == 0 ? a : a + 20);
    };
    const auto image = Load(MakePack(0, 0, Constant(100), Constant(156), c2), 0);
    const auto red = [&](int x, int y) { return image->ScanLine(y)[3 * x + 2]; };
    const auto expect = [](int chroma) { return uint8_t(std::lround(135.84 + 1.8215 * (chroma - 137))); };
    EXPECT_EQ(red(0, 0), expect(137));
    EXPECT_EQ(red(1, 0), expect(138));                  // (137 + 140) div 2
    EXPECT_EQ(red(0, 1), expect(147));                  // (137 + 157) div 2
    EXPECT_EQ(red(1, 1), expect(148));                  // (137 + 140 + 157 + 160) div 4
    EXPECT_EQ(red(3, 1), expect(155));                  // (140 + 150 + 160 + 170) div 4
    // The spare sample repeats the last one: the last two pixels of a row agree.
    EXPECT_EQ(red(190, 0), red(191, 0));
    EXPECT_EQ(red(190, 1), red(191, 1));
    // The last block spreads its own chroma over both rows.
    for (int x = 0; x < 192; ++x) EXPECT_EQ(red(x, 126), red(x, 127)) << x;
    EXPECT_EQ(red(3, 127), expect(140));                // (139 + 141 + 139 + 141) div 4
}

TEST(PCDGraphic, StoredImageSizesAndStreamOffset)
{
    for (uint8_t resolution = 0; resolution < 3; ++resolution) {
        SCOPED_TRACE(int(resolution));
        const Bytes pack = MakePack(resolution, 1, [](int x, int r) { return uint8_t(x + r); }, Constant(150), Constant(140));
        const auto plain = Load(pack, resolution);
        EXPECT_EQ(plain->Width(), kLayouts[resolution].height);
        EXPECT_EQ(plain->Height(), kLayouts[resolution].width);
        // The same pack after other bytes in one stream.
        Bytes shifted = Bytes{}.fill(1000, 0x5A).bytes(pack);
        TPCDGraphic image;
        image.FResolution = resolution;
        TMemoryViewStream stream(shifted.data(), shifted.size());
        stream.SetPosition(1000);
        image.ReadImage(stream);
        EXPECT_EQ(test::AllRows(image), test::AllRows(*plain));
    }
}

TEST(PCDGraphic, BadPacksRaiseTheirMessages)
{
    const Bytes good = MakePack(0, 0, Constant(100), Constant(156), Constant(137));
    const struct { const char* name; Bytes data; uint8_t resolution; const char* message; } kCases[] = {
        {"signature in lower case", [&] { Bytes b = good; b[2048] = 'p'; return b; }(), 2, "PCD: wrong image format."},
        {"last signature character", [&] { Bytes b = good; b[2054] = 'J'; return b; }(), 2, "PCD: wrong image format."},
        {"no signature at all", Bytes{}.fill(200000, 0), 2, "PCD: wrong image format."},
        {"shorter than the signature", Bytes{}.fill(2050, 0), 2, "Stream read error"},
        {"ends before the rotation byte", Bytes(std::vector<uint8_t>(good.begin(), good.begin() + 194635)), 2, "Stream read error"},
        {"ends before the image", Bytes(std::vector<uint8_t>(good.begin(), good.begin() + 194636)), 2, "Stream read error"},
        {"resolution 3", good, 3, "PCD: image size currently not supported"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TPCDGraphic image;
        image.FResolution = c.resolution;
        TMemoryViewStream stream(c.data.data(), c.data.size());
        EXPECT_THAT([&] { image.ReadImage(stream); }, ThrowsMessage<Exception>(StrEq(c.message)));
        if (std::string(c.message) == "PCD: wrong image format.") {
            EXPECT_TRUE(image.Empty());
        }
    }
}

TEST(PCDGraphic, PackShorterThanItsImageKeepsTheRowsConverted)
{
    Bytes pack = MakePack(2, 0, [](int x, int r) { return uint8_t((x + r) % 180); }, Constant(156), Constant(137));
    const auto whole = Load(pack);
    // Block 20 is cut, so block 19 misses its second chroma: rows 0-37 are converted.
    pack.resize(196608 + 20 * 3 * 768 + 100);
    TPCDGraphic image;
    TMemoryViewStream stream(pack.data(), pack.size());
    EXPECT_THAT([&] { image.ReadImage(stream); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
    EXPECT_EQ(image.Width(), 768);
    EXPECT_EQ(image.Height(), 512);
    for (int y = 0; y < 38; ++y) EXPECT_EQ(test::RowBytes(image, y), test::RowBytes(*whole, y)) << y;
    EXPECT_THAT(test::RowBytes(image, 38), testing::Each(0));
}

TEST(PCDGraphic, WriterWritesNothing)
{
    const auto image = Load(MakePack(0, 0, Constant(100), Constant(156), Constant(137)), 0);
    TMemoryStream out;
    image->WriteImage(out);
    EXPECT_EQ(out.Size(), 0);
}

TEST(PCDGraphic, CorpusPackLoadsAtFullSize)
{
    QUILLET_REQUIRE_CORPUS();
    for (const std::string& path : test::CorpusFiles("pcd")) {
        SCOPED_TRACE(path);
        const auto image = Load(Bytes(test::ReadFile(path)));
        EXPECT_EQ(image->Width(), 768);
        EXPECT_EQ(image->Height(), 512);
    }
}

}  // namespace
}  // namespace quillet
