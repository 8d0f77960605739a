#include "imaging/readers/rla.h"

#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "imaging/ImageFormats.h"
#include "platform/errors.h"
#include "platform/picture.h"
#include "platform/stream.h"
#include "tests/support/files.h"
#include "tests/support/reader_fixture.h"
#include "tests/support/rla_writer.h"

namespace quillet {
namespace {

using test::Bytes;
using test::LoadFrom;
using test::PixelBytes;
using test::RlaImage;
using test::WriteRla;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// The 8-bit value of stored channel c at (x, file row y).
uint8_t Sample8(int x, int y, int c)
{
    if (x < 3) return uint8_t(50 * c + 20 * y + 5);
    return uint8_t((x * 59 + y * 23 + c * 97) ^ (x * y));
}

// A 7 x 5 picture whose window starts at (100, -40). Samples deeper than 8 bits hold the
// 8-bit value in their top bits and ones below it.
RlaImage MakeRla(int colour, int matte, bool bottomUp, int colourBits = 8, int matteBits = 8)
{
    RlaImage image;
    image.Left = 100;
    image.Right = 106;
    image.Bottom = bottomUp ? -40 : -36;
    image.Top = bottomUp ? -36 : -40;
    image.ColourChannels = int16_t(colour);
    image.MatteChannels = int16_t(matte);
    image.ColourBits = int16_t(colourBits);
    image.MatteBits = int16_t(matteBits);
    for (int c = 0; c < colour + matte; ++c) {
        const int bits = c < colour ? colourBits : matteBits;
        std::vector<uint16_t> samples;
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x) {
                const int v = Sample8(x, y, c);
                samples.push_back(bits > 8 ? uint16_t((v << (bits - 8)) | ((1 << (bits - 8)) - 1)) : uint16_t(v));
            }
        image.Channels.push_back(samples);
    }
    return image;
}

// The bitmap's bytes: file row y at row 4 - y when stored bottom-up, pixels blue, green,
// red and, with mattes, the fourth stored channel.
std::vector<uint8_t> Expected(bool withMatte, bool bottomUp)
{
    std::vector<uint8_t> want;
    for (int row = 0; row < 5; ++row) {
        const int y = bottomUp ? 4 - row : row;
        for (int x = 0; x < 7; ++x) {
            want.push_back(Sample8(x, y, 2));
            want.push_back(Sample8(x, y, 1));
            want.push_back(Sample8(x, y, 0));
            if (withMatte) want.push_back(Sample8(x, y, 3));
        }
    }
    return want;
}

TEST(RLAGraphic, ChannelCountsMattesAndRowOrderGiveThePicture)
{
    const struct { int colour, matte; TPixelFormat format; } kCases[] = {
        {3, 0, TPixelFormat::pf24bit}, {3, 1, TPixelFormat::pf32bit}, {3, 2, TPixelFormat::pf32bit},
        {4, 0, TPixelFormat::pf24bit}, {4, 1, TPixelFormat::pf32bit},
    };
    for (const auto& c : kCases)
        for (bool bottomUp : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.colour << " colour, " << c.matte << " matte, bottom-up " << bottomUp);
            const auto g = LoadFrom<TRLAGraphic>(WriteRla(MakeRla(c.colour, c.matte, bottomUp)));
            EXPECT_EQ(g->Width(), 7);
            EXPECT_EQ(g->Height(), 5);
            EXPECT_EQ(g->PixelFormat(), c.format);
            EXPECT_EQ(PixelBytes(*g), Expected(c.matte != 0, bottomUp));
        }
}

TEST(RLAGraphic, RowsAreFoundThroughTheOffsetTableWhereverTheyAreStored)
{
    RlaImage image = MakeRla(3, 1, true);
    image.ReverseRowData = true;
    EXPECT_EQ(PixelBytes(*LoadFrom<TRLAGraphic>(WriteRla(image))), Expected(true, true));
}

TEST(RLAGraphic, OffsetsCountFromWhereTheImageStartsInTheStream)
{
    for (bool bottomUp : {true, false}) {
        Bytes stream = Bytes{}.fill(1001, 0x33);
        stream.bytes(WriteRla(MakeRla(3, 0, bottomUp))).fill(50, 0xCC);
        EXPECT_EQ(PixelBytes(*LoadFrom<TRLAGraphic>(stream, 1001)), Expected(false, bottomUp)) << bottomUp;
    }
}

TEST(RLAGraphic, OnlyThreeOrFourColourChannelsLoad)
{
    for (int colour : {0, 1, 2, 5, -3}) {
        SCOPED_TRACE(colour);
        RlaImage image = MakeRla(3, 0, true);
        image.ColourChannels = int16_t(colour);
        const Bytes file = WriteRla(image);
        TRLAGraphic g;
        TMemoryViewStream stream(file.data(), file.size());
        EXPECT_THAT([&] { g.ReadImage(stream); }, ThrowsMessage<Exception>(StrEq("RLA: image must be RGB(A).")));
        EXPECT_EQ(g.Width(), 0);
        EXPECT_EQ(g.PixelFormat(), TPixelFormat::pfDevice);
    }
}

TEST(RLAGraphic, WindowsWithoutPixelsAreRefusedOrEmpty)
{
    RlaImage image = MakeRla(3, 0, true);
    image.Right = 98;  // left 100: width -1
    EXPECT_THAT([&] { LoadFrom<TRLAGraphic>(WriteRla(image)); },
                ThrowsMessage<Exception>(StrEq("Invalid image size: -1 x 5")));
    image.Right = 99;  // width 0: nothing to read
    Bytes header = WriteRla(image);
    header.resize(740);
    const auto g = LoadFrom<TRLAGraphic>(header);
    EXPECT_EQ(g->Width(), 0);
    EXPECT_EQ(g->Height(), 5);
}

// Channels of 9 to 16 bits are two byte planes of the row; they give the same picture as
// the 8-bit file of their top bits.
TEST(RLAGraphic, DeeperChannelsAreReducedToEightBits)
{
    const struct { int colourBits, matteBits; } kCases[] = {{16, 8}, {10, 10}, {12, 16}, {9, 8}};
    for (const auto& c : kCases)
        for (bool bottomUp : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.colourBits << "/" << c.matteBits << " bits, bottom-up " << bottomUp);
            const auto g = LoadFrom<TRLAGraphic>(WriteRla(MakeRla(3, 1, bottomUp, c.colourBits, c.matteBits)));
            EXPECT_EQ(PixelBytes(*g), Expected(true, bottomUp));
        }
}

TEST(RLAGraphic, EveryTruncationIsAStreamReadError)
{
    for (int matte : {0, 1}) {
        const Bytes file = WriteRla(MakeRla(3, matte, true));
        for (size_t size = 0; size < file.size(); ++size) {
            SCOPED_TRACE(testing::Message() << "matte " << matte << " size " << size);
            const std::vector<uint8_t> prefix(file.begin(), file.begin() + long(size));
            EXPECT_THAT([&] { LoadFrom<TRLAGraphic>(prefix); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
        }
    }
}

TEST(RLAGraphic, ChannelCountsLargerThanTheRowNeedsStayInsideTheBuffers)
{
    // One 7-pixel row of three channels, each coded as 300 bytes: two literal packets of
    // 128 bytes and filler, far more than the 7 bytes the row needs.
    Bytes file = WriteRla(MakeRla(3, 0, false));
    file.resize(740);
    file[12] = file[13] = file[14] = file[15] = 0;  // bottom = top = 0: one row
    file.be32(744);
    for (int c = 0; c < 3; ++c) {
        file.be16(300).u8(0x80);
        for (int i = 0; i < 128; ++i) file.u8(uint8_t(10 * c + i));
        file.fill(300 - 129, 0x7F);
    }
    const auto g = LoadFrom<TRLAGraphic>(file);
    const std::vector<uint8_t> row = test::RowBytes(*g, 0);
    for (int x = 0; x < 7; ++x) {
        EXPECT_EQ(row[size_t(3 * x)], 20 + x);
        EXPECT_EQ(row[size_t(3 * x + 2)], x);
    }
    // A count that runs past the end of the file is a short read.
    file.resize(740 + 4 + 2 + 100);
    EXPECT_THAT([&] { LoadFrom<TRLAGraphic>(file); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
}

TEST(RLAGraphic, RowOffsetsOutsideTheFileAreShortReads)
{
    Bytes file = WriteRla(MakeRla(3, 0, true));
    for (size_t i = 740; i < 744; ++i) file[i] = 0xFF;
    EXPECT_THAT([&] { LoadFrom<TRLAGraphic>(file); }, ThrowsMessage<Exception>(StrEq("Stream read error")));
}

TEST(RLAGraphic, BothExtensionsLoadThroughThePicture)
{
    test::ExpectLoadsThroughPicture(WriteRla(MakeRla(3, 1, true)), {"frame.rla", "frame.RPF"}, "TRLAGraphic", 7);
}

TEST(RLAGraphic, CorpusFilesLoadOrFailWithAMessage)
{
    QUILLET_REQUIRE_CORPUS();
    test::ExpectCorpusLoadsOrFails<TRLAGraphic>({"rla", "hostile/rla"});
}

// One rendering stored with 8, 10 and 16 bits per channel: the colours agree to within the
// rounding of the writer's own reductions.
TEST(RLAGraphic, CorpusFramesOfEveryDepthShowTheSameColours)
{
    QUILLET_REQUIRE_CORPUS();
    const std::string root = test::CorpusDir() + "/rla/";
    const auto eight = LoadFrom<TRLAGraphic>(test::ReadFile(root + "oiioimg_ginsu_rgb_nc8.rla"));
    for (const char* name : {"oiioimg_ginsu_rgb_nc16.rla", "oiioimg_ginsu_rgba_nc10.rla"}) {
        SCOPED_TRACE(name);
        const auto deep = LoadFrom<TRLAGraphic>(test::ReadFile(root + name));
        ASSERT_EQ(deep->Width(), eight->Width());
        ASSERT_EQ(deep->Height(), eight->Height());
        const int step = BitsPerPixel(deep->PixelFormat()) / 8;
        int worst = 0;
        for (int y = 0; y < eight->Height(); ++y)
            for (int x = 0; x < eight->Width(); ++x)
                for (int k = 0; k < 3; ++k)
                    worst = std::max(worst, std::abs(deep->ScanLine(y)[step * x + k] - eight->ScanLine(y)[3 * x + k]));
        EXPECT_LE(worst, 1);
    }
}

}  // namespace
}  // namespace quillet
