#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "imaging/readers/gif.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"
#include "tests/support/gif_writer.h"
#include "tests/support/pillow.h"

namespace quillet {
namespace {

using test::Bytes;
using test::GifExtension;
using test::GifFile;
using test::TGif;
using test::TGifImage;
using test::TRGB;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

std::unique_ptr<TGIFGraphic> Load(const Bytes& file)
{
    auto gif = std::make_unique<TGIFGraphic>();
    TMemoryViewStream stream(file.data(), file.size());
    gif->ReadImage(stream);
    return gif;
}

// The indices of every row, without the rows' padding.
std::vector<uint8_t> Indices(const TBitmap& bitmap)
{
    std::vector<uint8_t> out;
    for (int y = 0; y < bitmap.Height(); ++y)
        out.insert(out.end(), bitmap.ScanLine(y), bitmap.ScanLine(y) + bitmap.Width());
    return out;
}

std::vector<TRGB> Colours(const TBitmap& bitmap)
{
    std::vector<TRGB> out;
    if (bitmap.Palette())
        for (const TPaletteEntry& e : bitmap.Palette()->Entries()) out.push_back({e.peRed, e.peGreen, e.peBlue});
    return out;
}

std::vector<uint8_t> Pattern(int width, int height, int colours)
{
    std::vector<uint8_t> pixels(size_t(width) * size_t(height));
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t((i * 7 + i / size_t(width) * 3) % size_t(colours));
    return pixels;
}

std::vector<TRGB> Table(int count, uint8_t base)
{
    std::vector<TRGB> table;
    for (int i = 0; i < count; ++i) table.push_back({uint8_t(base + i), uint8_t(2 * i), uint8_t(255 - i)});
    return table;
}

TGif OneImage(int width, int height, int colours, bool interlaced = false)
{
    TGif gif;
    gif.ScreenWidth = width;
    gif.ScreenHeight = height;
    gif.GlobalTable = Table(colours, 10);
    TGifImage image;
    image.Width = width;
    image.Height = height;
    image.Pixels = Pattern(width, height, colours);
    image.Interlaced = interlaced;
    image.MinCodeSize = colours <= 4 ? 2 : colours <= 16 ? 4 : 8;
    gif.Images.push_back(image);
    return gif;
}

TEST(GIFReader, LoadsTheIndicesAndTheColourTable)
{
    const struct {
        const char* name;
        int width, height, colours;
        bool interlaced;
    } kCases[] = {
        {"4 colours, rows without padding", 8, 5, 4, false},
        {"256 colours, padded rows", 13, 7, 256, false},
        {"16 colours, one pixel", 1, 1, 16, false},
        {"interlaced, padded rows", 13, 17, 256, true},
        {"interlaced, one row", 5, 1, 4, true},
        {"interlaced, rows a multiple of 8", 8, 16, 16, true},
        {"wide rows, long strings", 640, 3, 256, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const TGif gif = OneImage(c.width, c.height, c.colours, c.interlaced);
        const auto bitmap = Load(GifFile(gif));
        ASSERT_EQ(bitmap->PixelFormat(), TPixelFormat::pf8bit);
        ASSERT_EQ(bitmap->Width(), c.width);
        ASSERT_EQ(bitmap->Height(), c.height);
        EXPECT_EQ(Indices(*bitmap), gif.Images[0].Pixels);
        EXPECT_EQ(Colours(*bitmap), gif.GlobalTable);
    }
}

// Stored rows 0..9 of an interlaced image of 10 rows land on rows 0, 8, 4, 2, 6, 1, 3,
// 5, 7, 9.
TEST(GIFReader, InterlacedRowsTakeTheirPassOrder)
{
    TGif gif = OneImage(3, 10, 16, true);
    std::vector<uint8_t> stored;
    for (uint8_t k = 0; k < 10; ++k) stored.insert(stored.end(), 3, k);
    gif.Images[0].Codes = test::EncodeGIFLZW(stored, 4);
    const auto bitmap = Load(GifFile(gif));
    const int rowOf[10] = {0, 8, 4, 2, 6, 1, 3, 5, 7, 9};
    for (int k = 0; k < 10; ++k) EXPECT_EQ(bitmap->ScanLine(rowOf[k])[0], k) << "stored row " << k;
}

TEST(GIFReader, ImageDescriptorAndColourTables)
{
    const auto image = [](int width, int height, std::vector<TRGB> local = {}) {
        TGifImage i;
        i.Left = 7;
        i.Top = 9;
        i.Width = width;
        i.Height = height;
        i.Pixels = Pattern(width == 0 ? 320 : width, height == 0 ? 200 : height, 4);
        i.LocalTable = std::move(local);
        i.MinCodeSize = 2;
        return i;
    };
    const struct {
        const char* name;
        std::vector<TRGB> global;
        TGifImage image;
        int wantWidth, wantHeight;
        std::vector<TRGB> wantColours;
    } kCases[] = {
        {"an image inside a larger screen, offsets ignored", Table(4, 1), image(100, 50), 100, 50, Table(4, 1)},
        {"width 0 takes the screen width", Table(4, 1), image(0, 50), 320, 50, Table(4, 1)},
        {"height 0 takes the screen height", Table(4, 1), image(100, 0), 100, 200, Table(4, 1)},
        {"a local table replaces the global one", Table(4, 1), image(10, 10, Table(8, 50)), 10, 10, Table(8, 50)},
        {"a local table without a global one", {}, image(10, 10, Table(2, 90)), 10, 10, Table(2, 90)},
        {"neither table: no palette of its own", {}, image(10, 10), 10, 10, {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TGif gif;
        gif.ScreenWidth = 320;
        gif.ScreenHeight = 200;
        gif.GlobalTable = c.global;
        gif.Images = {c.image};
        const auto bitmap = Load(GifFile(gif));
        EXPECT_EQ(bitmap->Width(), c.wantWidth);
        EXPECT_EQ(bitmap->Height(), c.wantHeight);
        EXPECT_EQ(Colours(*bitmap), c.wantColours);
        EXPECT_EQ(Indices(*bitmap), c.image.Pixels);
    }
}

TEST(GIFReader, BlocksBeforeTheImageArePassedOver)
{
    const std::vector<std::pair<const char*, std::vector<Bytes>>> kCases = {
        {"graphic control", {GifExtension(0xF9, {{0x01, 0x0A, 0x00, 0x03}})}},
        // Sub-blocks holding the introducer bytes must not be taken for blocks.
        {"comment holding ',' and ';'", {GifExtension(0xFE, {Bytes{}.str(",;!,,;"), Bytes{}.fill(255, 0x2C)})}},
        {"application and plain text",
         {GifExtension(0xFF, {Bytes{}.str("NETSCAPE2.0"), {0x01, 0x00, 0x00}}),
          GifExtension(0x01, {Bytes{}.fill(12, 0x3B), Bytes{}.str("text")})}},
        {"an extension without sub-blocks", {GifExtension(0xFE, {})}},
        {"stray bytes between blocks", {{0x00, 0x42, 0xFF}, GifExtension(0xF9, {{0, 0, 0, 0}}), {0x13}}},
    };
    for (const auto& [name, blocks] : kCases) {
        SCOPED_TRACE(name);
        TGif gif = OneImage(9, 4, 4);
        gif.Blocks = blocks;
        const auto bitmap = Load(GifFile(gif));
        EXPECT_EQ(Indices(*bitmap), gif.Images[0].Pixels);
    }
}

TEST(GIFReader, OnlyTheFirstImageIsRead)
{
    TGif gif = OneImage(6, 6, 4);
    TGifImage second = gif.Images[0];
    second.Width = 3;
    second.Pixels = Pattern(3, 6, 2);
    gif.Images.push_back(second);
    const auto bitmap = Load(GifFile(gif));
    EXPECT_EQ(bitmap->Width(), 6);
    EXPECT_EQ(Indices(*bitmap), gif.Images[0].Pixels);
}

TEST(GIFReader, ATrailerBeforeAnyImageGivesAnEmptyBitmap)
{
    TGif gif;
    gif.ScreenWidth = 40;
    gif.ScreenHeight = 30;
    gif.GlobalTable = Table(4, 3);
    gif.Blocks = {GifExtension(0xFE, {Bytes{}.str("nothing here")})};
    const auto bitmap = Load(GifFile(gif));
    EXPECT_EQ(bitmap->Width(), 0);
    EXPECT_EQ(bitmap->Height(), 0);
    EXPECT_EQ(bitmap->PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(Colours(*bitmap), Table(4, 3));
}

TEST(GIFReader, SignatureIsComparedUpperCasedAndTheVersionIsNotExamined)
{
    const struct {
        const char* signature;
        bool loads;
    } kCases[] = {
        {"GIF87a", true},  {"GIF89a", true},  {"gif89a", true},   {"GiF90z", true},
        {"GIX89a", false}, {"BIF89a", false}, {"\0IF89a", false}, {"GI 89a", false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.signature);
        TGif gif = OneImage(4, 4, 4);
        gif.Signature = std::string(c.signature, 6);
        const Bytes file = GifFile(gif);
        if (c.loads) {
            EXPECT_EQ(Indices(*Load(file)), gif.Images[0].Pixels);
        } else {
            EXPECT_THAT([&] { Load(file); }, ThrowsMessage<Exception>(StrEq("Not a valid GIF file.")));
        }
    }
}

// A file cut anywhere before the image data raises the stream's read error; cut inside
// the image data it loads what was there, and the rows that were not decoded are 0.
TEST(GIFReader, EveryPrefixLoadsOrRaisesTheReadError)
{
    TGif gif = OneImage(16, 16, 16, false);
    gif.Blocks = {GifExtension(0xF9, {{0x01, 0x0A, 0x00, 0x03}})};
    gif.Images[0].SubBlockSize = 20;
    const Bytes file = GifFile(gif);
    // Header 13, table 48, extension 8, descriptor 10, code size 1.
    const size_t dataStart = 13 + 48 + 8 + 10 + 1;
    for (size_t n = 0; n < file.size(); ++n) {
        SCOPED_TRACE(n);
        const Bytes prefix(std::vector<uint8_t>(file.begin(), file.begin() + std::ptrdiff_t(n)));
        if (n < dataStart) {
            EXPECT_THAT([&] { Load(prefix); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
            continue;
        }
        const auto bitmap = Load(prefix);
        ASSERT_EQ(bitmap->Width(), 16);
        const std::vector<uint8_t> got = Indices(*bitmap);
        const std::vector<uint8_t>& want = gif.Images[0].Pixels;
        // What was decoded is the start of the image; the rest of it is index 0.
        size_t same = 0;
        while (same < got.size() && got[same] == want[same]) ++same;
        EXPECT_TRUE(std::all_of(got.begin() + std::ptrdiff_t(same), got.end(), [](uint8_t v) { return v == 0; }));
    }
}

TEST(GIFReader, BadImageDataRaisesTheDecodersMessage)
{
    const struct {
        const char* name;
        unsigned minCodeSize;
        Bytes codes;
    } kCases[] = {
        {"code above the next free code", 2, test::PackLsbFirst(test::Codes({4, 1, 7}, 3))},
        // Codes of a minimum code size above 11 would not fit the decoder's tables.
        {"minimum code size 12", 12, test::PackLsbFirst(test::Codes({4096, 1, 4097}, 13))},
        {"minimum code size 143", 143, Bytes{0, 0, 0, 0}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TGif gif = OneImage(4, 4, 4);
        gif.Images[0].MinCodeSize = c.minCodeSize;
        gif.Images[0].Codes = c.codes;
        EXPECT_THAT([&] { Load(GifFile(gif)); }, ThrowsMessage<Exception>(StrEq("GIF LZW: invalid opcode.")));
    }
}

// A few bytes claiming a huge canvas are refused by the pixel limit before anything of
// that size is allocated.
TEST(GIFReader, HugeCanvasFailsFastWithThePixelLimit)
{
    const struct {
        int width, height;
        const char* message;
    } kCases[] = {
        {65535, 65535, "Image too large: 65535 x 65535 pixels"},
        {20000, 5001, "Image too large: 20000 x 5001 pixels"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.message);
        TGif gif = OneImage(2, 2, 4);
        gif.Images[0].Width = c.width;
        gif.Images[0].Height = c.height;
        gif.Images[0].Codes = Bytes{0x04};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THAT([&] { Load(GifFile(gif)); }, ThrowsMessage<Exception>(StrEq(c.message)));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
}

// Indices past a short colour table are kept; turning them into colours goes through a
// table of 256 entries padded with black.
TEST(GIFReader, IndicesPastTheColourTableStaySafe)
{
    TGif gif = OneImage(4, 1, 2);
    gif.Images[0].MinCodeSize = 8;
    gif.Images[0].Pixels = {0, 1, 200, 255};
    auto bitmap = Load(GifFile(gif));
    EXPECT_EQ(Indices(*bitmap), (std::vector<uint8_t>{0, 1, 200, 255}));
    bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    const uint8_t* row = bitmap->ScanLine(0);
    const TRGB first = Table(2, 10)[0];
    EXPECT_EQ((std::vector<uint8_t>(row, row + 12)),
              (std::vector<uint8_t>{first[2], first[1], first[0], 254, 2, 11, 0, 0, 0, 0, 0, 0}));
}

// Real files from other writers, checked against Pillow's indices where it gives them:
// every one loads or fails with a message.
TEST(GIFReader, CorpusFilesLoadLikePillowOrFailWithAMessage)
{
    QUILLET_REQUIRE_CORPUS();
    size_t compared = 0;
    for (const std::string folder : {"gif", "hostile/gif"}) {
        const std::vector<std::string> paths = test::CorpusFiles(folder);
        const auto references = folder == "gif" ? test::PillowIndices(paths) : decltype(test::PillowIndices(paths)){};
        for (size_t i = 0; i < paths.size(); ++i) {
            SCOPED_TRACE(paths[i]);
            const Bytes file(test::ReadFile(paths[i]));
            std::unique_ptr<TGIFGraphic> bitmap;
            try {
                bitmap = Load(file);
            } catch (const Exception& e) {
                EXPECT_NE(std::string(e.what()), "");
                EXPECT_EQ(folder, "hostile/gif") << "valid file refused: " << e.what();
                continue;
            }
            if (i >= references.size() || !references[i]) continue;
            const auto& reference = *references[i];
            // Pillow puts a frame smaller than the screen onto the screen; compare the rest.
            if (reference.Width == bitmap->Width() && reference.Height == bitmap->Height()) {
                EXPECT_EQ(Indices(*bitmap), reference.Pixels);
                ++compared;
            }
        }
    }
    std::cout << "compared with Pillow: " << compared << " files\n";
}

}  // namespace
}  // namespace quillet
