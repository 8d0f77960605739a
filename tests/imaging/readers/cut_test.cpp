#include "imaging/readers/cut.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "imaging/ImageFormats.h"
#include "platform/errors.h"
#include "platform/picture.h"
#include "tests/support/bytes.h"
#include "tests/support/files.h"
#include "tests/support/read_graphic.h"

namespace quillet {
namespace {

using test::AllRows;
using test::Bytes;
using test::PaletteEntries;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

using Rows = std::vector<std::vector<uint8_t>>;

// One coded line: its 2-byte length, runs of three or more equal bytes as run packets
// (0x80 | count, value), the rest as literal packets (count, bytes), and the end byte 0.
Bytes CodeLine(const std::vector<uint8_t>& row)
{
    Bytes packets;
    for (size_t i = 0; i < row.size();) {
        size_t run = 1;
        while (i + run < row.size() && run < 127 && row[i + run] == row[i]) ++run;
        if (run >= 3) {
            packets.u8(0x80 | unsigned(run)).u8(row[i]);
            i += run;
            continue;
        }
        size_t n = 0;
        while (i + n < row.size() && n < 127 &&
               !(i + n + 2 < row.size() && row[i + n] == row[i + n + 1] && row[i + n] == row[i + n + 2]))
            ++n;
        packets.u8(unsigned(n)).bytes(std::vector<uint8_t>(row.begin() + long(i), row.begin() + long(i + n)));
        i += n;
    }
    packets.u8(0);
    return Bytes{}.le16(unsigned(packets.size())).bytes(packets);
}

Bytes CutFile(unsigned width, const Rows& rows)
{
    Bytes file = Bytes{}.le16(width).le16(unsigned(rows.size())).le16(0);
    for (const auto& row : rows) file.bytes(CodeLine(row));
    return file;
}

// A palette file: entry i is (i, 2i, 255 - i) with a high byte that must not count.
// Entries are placed by the block rule; those beyond the file's blocks are left out.
Bytes PaletteFile(unsigned highestIndex, int entries, int blocks)
{
    Bytes file;
    file.resize(size_t(512 * blocks), 0);
    file[12] = uint8_t(highestIndex);
    file[13] = uint8_t(highestIndex >> 8);
    size_t block = 0, at = 40;
    for (int i = 0; i < entries; ++i) {
        if (at > 506) {
            ++block;
            at = 0;
        }
        if (block >= size_t(blocks)) break;
        uint8_t* e = file.data() + block * 512 + at;
        const uint8_t rgb[3] = {uint8_t(i), uint8_t(2 * i), uint8_t(255 - i)};
        for (int c = 0; c < 3; ++c) {
            e[2 * c] = rgb[c];
            e[2 * c + 1] = 0x01;
        }
        at += 6;
    }
    return file;
}

TPaletteEntry Entry(int i) { return {uint8_t(i), uint8_t(2 * i), uint8_t(255 - i), 0}; }

const Rows kRows = {{1, 2, 3, 4, 5, 6, 7}, {9, 9, 9, 9, 9, 9, 9}, {0, 0, 8, 8, 8, 1, 2}};

// Writes name.cut (and name.pal when a palette is given) into dir and loads the image
// through the file operation.
std::unique_ptr<TCUTGraphic> LoadFile(const test::TempDir& dir, const Bytes& image, const Bytes* palette = nullptr)
{
    test::WriteFile(dir / "photo.cut", image);
    if (palette != nullptr) test::WriteFile(dir / "photo.pal", *palette);
    auto graphic = std::make_unique<TCUTGraphic>();
    graphic->ReadImageFile(dir / "photo.cut");
    return graphic;
}

TEST(CUTGraphic, LinesDecodeIntoRowsTopFirst)
{
    const auto image = test::ReadGraphic<TCUTGraphic>(CutFile(7, kRows));
    EXPECT_EQ(image->PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(image->Width(), 7);
    EXPECT_EQ(image->Height(), 3);
    EXPECT_EQ(AllRows(*image), kRows);
}

TEST(CUTGraphic, PaletteFileBesideTheImageGivesTheColours)
{
    test::TempDir dir;
    const Bytes palette = PaletteFile(15, 16, 1);
    const auto image = LoadFile(dir, CutFile(7, kRows), &palette);
    EXPECT_EQ(image->PalettePath(), dir / "photo.pal");
    EXPECT_EQ(AllRows(*image), kRows);
    const auto entries = PaletteEntries(*image);
    ASSERT_EQ(entries.size(), 16u);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(entries[size_t(i)], Entry(i)) << i;
}

TEST(CUTGraphic, WithoutAPaletteFileTheColoursAreAGreyRamp)
{
    test::TempDir dir;
    const Bytes palette = PaletteFile(15, 16, 1);
    test::WriteFile(dir / "other.pal", palette);
    const auto fromFile = LoadFile(dir, CutFile(7, kRows));
    EXPECT_EQ(fromFile->PalettePath(), dir / "photo.pal");
    // A load from a stream alone knows no file name, even with a .pal file about.
    const auto fromStream = test::ReadGraphic<TCUTGraphic>(CutFile(7, kRows));
    EXPECT_EQ(fromStream->PalettePath(), "");
    for (const TCUTGraphic* image : {fromFile.get(), fromStream.get()}) {
        const auto entries = PaletteEntries(*image);
        ASSERT_EQ(entries.size(), 256u);
        for (int i = 0; i < 256; ++i) EXPECT_EQ(entries[size_t(i)], (TPaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i), 0}));
    }
}

TEST(CUTGraphic, PaletteEntriesFollowTheBlockRule)
{
    test::TempDir dir;
    const struct { const char* name; unsigned highest; int entries, blocks; size_t want; } kCases[] = {
        {"256 entries over four blocks", 255, 256, 4, 256},
        {"78 entries fill block 0", 77, 78, 1, 78},
        {"79 entries need block 1", 78, 79, 2, 79},
        // A palette holds 256 colours at most: the rest are not read.
        {"highest index 300", 300, 256, 4, 256},
        {"highest index 0xFFFF", 0xFFFF, 256, 4, 256},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Bytes palette = PaletteFile(c.highest, c.entries, c.blocks);
        const auto entries = PaletteEntries(*LoadFile(dir, CutFile(7, kRows), &palette));
        ASSERT_EQ(entries.size(), c.want);
        for (size_t i = 0; i < c.want; ++i) EXPECT_EQ(entries[i], Entry(int(i))) << i;
    }
    // Where the entries sit: 77 ends block 0, 78 starts block 1, 248 starts block 3.
    const Bytes palette = PaletteFile(255, 256, 4);
    EXPECT_EQ(palette[502], 77);
    EXPECT_EQ(palette[512], 78);
    EXPECT_EQ(palette[512 + 504], 162);
    EXPECT_EQ(palette[1024], 163);
    EXPECT_EQ(palette[1536], 248);
}

TEST(CUTGraphic, OnlyTheLowByteOfAPaletteWordCountsAndIsNotRescaled)
{
    test::TempDir dir;
    Bytes palette = Bytes{}.fill(512, 0);
    palette[12] = 1;  // two entries
    const unsigned words[] = {0x00FF, 0x01FF, 0x003F, 0x1020, 0xFF00, 0x0001};
    for (int k = 0; k < 6; ++k) {
        palette[size_t(40 + 2 * k)] = uint8_t(words[k]);
        palette[size_t(41 + 2 * k)] = uint8_t(words[k] >> 8);
    }
    EXPECT_THAT(PaletteEntries(*LoadFile(dir, CutFile(7, kRows), &palette)),
                ElementsAre(TPaletteEntry{255, 255, 63, 0}, TPaletteEntry{32, 0, 1, 0}));
}

TEST(CUTGraphic, PaletteFileShorterThanItsEntriesNeedFails)
{
    test::TempDir dir;
    const Bytes palette = PaletteFile(255, 256, 3);
    EXPECT_THAT([&] { LoadFile(dir, CutFile(7, kRows), &palette); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
    const Bytes halfBlock(std::vector<uint8_t>(300, 0));
    EXPECT_THAT([&] { LoadFile(dir, CutFile(7, kRows), &halfBlock); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
}

TEST(CUTGraphic, LaterStreamLoadReusesThePalettePath)
{
    test::TempDir dir;
    const Bytes palette = PaletteFile(3, 4, 1);
    const auto image = LoadFile(dir, CutFile(7, kRows), &palette);
    const Bytes again = CutFile(2, {{3, 2}});
    TMemoryViewStream stream(again.data(), again.size());
    image->ReadImage(stream);
    EXPECT_EQ(PaletteEntries(*image).size(), 4u);
    EXPECT_EQ(AllRows(*image), Rows({{3, 2}}));
}

TEST(CUTGraphic, DataThatEndsEarlyLeavesTheRestIndexZero)
{
    const Bytes whole = CutFile(7, kRows);
    // Every prefix: shorter than the header is a read error; anything longer loads, each
    // row holding what its line supplied and zeros after.
    for (size_t n = 0; n <= whole.size(); ++n) {
        SCOPED_TRACE(n);
        const Bytes prefix(std::vector<uint8_t>(whole.begin(), whole.begin() + long(n)));
        if (n < 6) {
            EXPECT_THAT([&] { test::ReadGraphic<TCUTGraphic>(prefix); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
            continue;
        }
        const auto image = test::ReadGraphic<TCUTGraphic>(prefix);
        ASSERT_EQ(image->Height(), 3);
        for (int y = 0; y < 3; ++y) {
            const auto row = test::RowBytes(*image, y);
            for (size_t x = 0; x < 7; ++x) EXPECT_TRUE(row[x] == kRows[size_t(y)][x] || row[x] == 0) << y << " " << x;
        }
    }
    const Bytes headerOnly(std::vector<uint8_t>(whole.begin(), whole.begin() + 6));
    EXPECT_EQ(AllRows(*test::ReadGraphic<TCUTGraphic>(headerOnly)), Rows(3, std::vector<uint8_t>(7, 0)));
}

TEST(CUTGraphic, LinesLongerThanTheRowOrTheDataStayInside)
{
    const struct { const char* name; Bytes data; Rows rows; } kCases[] = {
        {"run past the row", Bytes{}.le16(3).le16(2).le16(0).le16(3).u8(0x85).u8(7).u8(0).le16(3).u8(0x82).u8(5).u8(0),
         {{7, 7, 7}, {5, 5, 0}}},
        {"literal past the data", Bytes{}.le16(4).le16(2).le16(0).le16(9).u8(0x09).u8(1).u8(2), {{1, 2, 0, 0}, {0, 0, 0, 0}}},
        {"no end byte", Bytes{}.le16(2).le16(2).le16(0).le16(3).u8(0x02).u8(4).u8(6), {{4, 6}, {0, 0}}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AllRows(*test::ReadGraphic<TCUTGraphic>(c.data)), c.rows);
    }
}

TEST(CUTGraphic, SidesAreUnsigned)
{
    const auto image = test::ReadGraphic<TCUTGraphic>(Bytes{}.le16(0x8000).le16(1).le16(0).le16(4).u8(0x81).u8(3).u8(0));
    EXPECT_EQ(image->Width(), 32768);
    EXPECT_EQ(image->ScanLine(0)[0], 3);
    EXPECT_THAT([] { test::ReadGraphic<TCUTGraphic>(Bytes{}.le16(0xFFFF).le16(0xFFFF).le16(0)); },
                ThrowsMessage<Exception>(StrEq("Image too large: 65535 x 65535 pixels")));
}

TEST(CUTGraphic, LoadsThroughThePictureWithItsPalette)
{
    static const bool registered = (RegisterImageFormats(), true);
    (void)registered;
    test::TempDir dir;
    test::WriteFile(dir / "photo.CUT", CutFile(7, kRows));
    test::WriteFile(dir / "photo.pal", PaletteFile(15, 16, 1));
    TPicture picture;
    picture.Load(dir / "photo.CUT");
    const auto* image = dynamic_cast<TCUTGraphic*>(picture.Graphic());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(PaletteEntries(*image).size(), 16u);
}

}  // namespace
}  // namespace quillet
