#include "imaging/readers/autodesk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "platform/errors.h"
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

constexpr char kOldStyleOnly[] = "Cannot load image. Only old style Autodesk images are supported.";

// Header of an old-style image: magic, width, height, 26 bytes not used.
Bytes Header(unsigned width, unsigned height) { return Bytes{}.le16(0x9119).le16(width).le16(height).fill(26, 0xEE); }

std::unique_ptr<TAutodeskGraphic> Load(const Bytes& data) { return test::ReadGraphic<TAutodeskGraphic>(data); }

TEST(AutodeskGraphic, SixBitPaletteIsShiftedLeftByTwoAndWraps)
{
    // Entry 0: 63, 32, 0; entry 1: 64, 65, 255; the rest 1, 2, 3.
    Bytes file = Header(1, 1).u8(63).u8(32).u8(0).u8(64).u8(65).u8(255);
    for (int i = 2; i < 256; ++i) file.u8(1).u8(2).u8(3);
    file.u8(1);
    const auto image = Load(file);
    EXPECT_EQ(image->PixelFormat(), TPixelFormat::pf8bit);
    const auto entries = PaletteEntries(*image);
    ASSERT_EQ(entries.size(), 256u);
    EXPECT_EQ(entries[0], (TPaletteEntry{252, 128, 0, 0}));
    EXPECT_EQ(entries[1], (TPaletteEntry{0, 4, 252, 0}));
    EXPECT_EQ(entries[255], (TPaletteEntry{4, 8, 12, 0}));
}

TEST(AutodeskGraphic, RowsAreWidthBytesWithoutPaddingTopRowFirst)
{
    const auto image = Load(Header(3, 2).fill(768, 0).bytes({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(image->Width(), 3);
    EXPECT_EQ(image->Height(), 2);
    EXPECT_THAT(AllRows(*image), ElementsAre(ElementsAre(1, 2, 3), ElementsAre(4, 5, 6)));
}

TEST(AutodeskGraphic, ShortFileLeavesTheRestBlack)
{
    const struct { const char* name; Bytes data; std::vector<std::vector<uint8_t>> rows; uint8_t lastRed; } kCases[] = {
        {"pixels end in the second row", Header(3, 3).fill(768, 10).bytes({1, 2, 3, 4}), {{1, 2, 3}, {4, 0, 0}, {0, 0, 0}}, 40},
        {"no pixels", Header(2, 2).fill(768, 10), {{0, 0}, {0, 0}}, 40},
        {"palette ends in entry 100", Header(2, 1).fill(301, 10), {{0, 0}}, 0},
        {"header ends early", Bytes{}.le16(0x9119).le16(2).u8(0), {}, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto image = Load(c.data);
        EXPECT_EQ(AllRows(*image), c.rows);
        EXPECT_EQ(PaletteEntries(*image)[255].peRed, c.lastRed);
    }
    const auto cut = PaletteEntries(*Load(Header(2, 1).fill(301, 10)));
    EXPECT_EQ(cut[99], (TPaletteEntry{40, 40, 40, 0}));
    EXPECT_EQ(cut[100], (TPaletteEntry{40, 0, 0, 0}));
}

TEST(AutodeskGraphic, OtherFilesAreRefusedBeforeAnythingChanges)
{
    const Bytes good = Header(2, 1).fill(768, 5).bytes({7, 8});
    const Bytes kBad[] = {
        Bytes{}.u8(0x91).u8(0x19).le16(2).le16(1).fill(800, 0),  // the magic in the other byte order
        Bytes{}.u8(0x19),
        Bytes{},
        Bytes{}.le32(0x5380F634).str("PICT"),
    };
    for (const Bytes& bad : kBad) {
        TAutodeskGraphic image;
        TMemoryViewStream first(good.data(), good.size());
        image.ReadImage(first);
        TMemoryViewStream second(bad.data(), bad.size());
        EXPECT_THAT([&] { image.ReadImage(second); }, ThrowsMessage<Exception>(StrEq(kOldStyleOnly)));
        EXPECT_THAT(AllRows(image), ElementsAre(ElementsAre(7, 8)));
    }
}

TEST(AutodeskGraphic, CorpusFilesLoadOrFailWithTheMessage)
{
    QUILLET_REQUIRE_CORPUS();
    // The old-style files; the others are newer Autodesk files or other formats named .pic.
    const std::map<std::string, std::pair<int, int>> kOldStyle = {
        {"anim_CRSHAIR.CEL", {314, 146}}, {"anim_ZIN.CEL", {6, 6}}, {"anim_ZOUT.CEL", {6, 5}}};
    for (const char* folder : {"pic", "hostile/pic"})
        for (const std::string& path : test::CorpusFiles(folder)) {
            SCOPED_TRACE(path);
            const Bytes data(test::ReadFile(path));
            const auto old = kOldStyle.find(path.substr(path.rfind('/') + 1));
            if (old != kOldStyle.end()) {
                const auto image = Load(data);
                EXPECT_EQ(image->Width(), old->second.first);
                EXPECT_EQ(image->Height(), old->second.second);
            } else {
                EXPECT_THAT([&] { Load(data); }, ThrowsMessage<Exception>(StrEq(kOldStyleOnly)));
            }
        }
}

}  // namespace
}  // namespace quillet
