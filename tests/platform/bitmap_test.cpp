#include "platform/bitmap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include <cstring>

#include "platform/errors.h"

namespace quillet {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

TPaletteRef Palette(std::initializer_list<TPaletteEntry> entries)
{
    TMaxLogPalette lp;
    lp.palNumEntries = uint16_t(entries.size());
    std::copy(entries.begin(), entries.end(), lp.palPalEntry);
    return CreatePalette(lp);
}

TEST(Bitmap, RowsArePaddedToFourBytesAndRowZeroIsTheTop)
{
    const struct { TPixelFormat format; int width; size_t stride; } kCases[] = {
        {TPixelFormat::pf1bit, 33, 8}, {TPixelFormat::pf4bit, 9, 8},    {TPixelFormat::pf8bit, 5, 8},
        {TPixelFormat::pf15bit, 3, 8}, {TPixelFormat::pf16bit, 2, 4},   {TPixelFormat::pf24bit, 3, 12},
        {TPixelFormat::pf32bit, 3, 12}, {TPixelFormat::pfDevice, 1, 4},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(BitsPerPixel(c.format));
        TBitmap b;
        b.SetPixelFormat(c.format);
        b.SetSize(c.width, 2);
        EXPECT_EQ(b.Stride(), c.stride);
        EXPECT_EQ(b.ScanLine(1) - b.ScanLine(0), ptrdiff_t(c.stride));
    }
}

TEST(Bitmap, ScanLineOutsideThePictureIsRefused)
{
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_THAT([&] { b.ScanLine(0); }, ThrowsMessage<Exception>(StrEq("Scan line index out of range")));
    b.SetSize(2, 2);
    EXPECT_THAT([&] { b.ScanLine(2); }, ThrowsMessage<Exception>(StrEq("Scan line index out of range")));
    EXPECT_THAT([&] { b.ScanLine(-1); }, ThrowsMessage<Exception>(StrEq("Scan line index out of range")));
}

TEST(Bitmap, SizesAreCheckedAgainstTheLimitBeforeAllocation)
{
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf24bit);
    EXPECT_THAT([&] { b.SetSize(100000, 100000); },
                ThrowsMessage<Exception>(StrEq("Image too large: 100000 x 100000 pixels")));
    EXPECT_THAT([&] { b.SetSize(-3, 4); }, ThrowsMessage<Exception>(StrEq("Invalid image size: -3 x 4")));
    const int64_t old = TBitmap::PixelLimit();
    TBitmap::SetPixelLimit(99);
    EXPECT_THAT([&] { b.SetSize(10, 10); }, ThrowsMessage<Exception>(StrEq("Image too large: 10 x 10 pixels")));
    b.SetSize(9, 11);
    TBitmap::SetPixelLimit(old);
    EXPECT_EQ(b.Width(), 9);
}

TEST(Bitmap, NewSizeKeepsFormatPaletteAndOverlappingPixels)
{
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf8bit);
    b.SetPalette(Palette({{1, 2, 3, 0}, {4, 5, 6, 0}}));
    b.SetSize(3, 2);
    b.ScanLine(1)[1] = 1;
    b.SetSize(5, 4);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pf8bit);
    ASSERT_TRUE(b.Palette());
    EXPECT_EQ(b.Palette()->Count(), 2);
    EXPECT_EQ(b.ScanLine(1)[1], 1);
    EXPECT_EQ(b.ScanLine(3)[4], 0);
}

TEST(Bitmap, ReleaseImageEmptiesEverything)
{
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf8bit);
    b.SetPalette(TPalette::System16());
    b.SetSize(4, 4);
    b.ReleaseImage();
    EXPECT_EQ(b.Width(), 0);
    EXPECT_EQ(b.Height(), 0);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pfDevice);
    EXPECT_FALSE(b.Palette());
    EXPECT_TRUE(b.Empty());
}

TEST(Palette, LogicalPalettesNeedVersion300AndAtMost256Entries)
{
    TMaxLogPalette lp;
    lp.palNumEntries = 2;
    lp.palPalEntry[1] = {9, 8, 7, 0};
    TPaletteRef p = CreatePalette(lp);
    ASSERT_TRUE(p);
    TPaletteEntry back[2];
    EXPECT_EQ(p->GetEntries(0, 5, back), 2);
    EXPECT_EQ(back[1], (TPaletteEntry{9, 8, 7, 0}));
    lp.palNumEntries = 257;
    EXPECT_FALSE(CreatePalette(lp));
    lp.palNumEntries = 2;
    lp.palVersion = 0x200;
    EXPECT_FALSE(CreatePalette(lp));
    EXPECT_EQ(TPalette::System16()->Count(), 16);
    EXPECT_EQ(TPalette::System16()->Entry(8), (TPaletteEntry{192, 192, 192, 0}));
}

// A 4 x 1 picture in every format, converted to every other: colours that the target can
// hold exactly come back unchanged.
TEST(Bitmap, EveryPairOfFormatsConvertsThePixelsHeld)
{
    const TPaletteEntry colours[4] = {{0, 0, 0, 0}, {255, 255, 255, 0}, {255, 0, 0, 0}, {0, 0, 255, 0}};
    const TPixelFormat kFormats[] = {TPixelFormat::pf1bit,  TPixelFormat::pf4bit,  TPixelFormat::pf8bit,
                                     TPixelFormat::pf15bit, TPixelFormat::pf16bit, TPixelFormat::pf24bit,
                                     TPixelFormat::pf32bit, TPixelFormat::pfDevice};
    auto fill24 = [&](TBitmap& b) {
        b.SetPixelFormat(TPixelFormat::pf24bit);
        b.SetSize(4, 1);
        for (int x = 0; x < 4; ++x) {
            b.ScanLine(0)[3 * x] = colours[x].peBlue;
            b.ScanLine(0)[3 * x + 1] = colours[x].peGreen;
            b.ScanLine(0)[3 * x + 2] = colours[x].peRed;
        }
    };
    for (TPixelFormat from : kFormats)
        for (TPixelFormat to : kFormats) {
            SCOPED_TRACE(testing::Message() << BitsPerPixel(from) << " -> " << BitsPerPixel(to));
            TBitmap b;
            fill24(b);
            if (IsIndexed(from)) b.SetPalette(TPalette::System16());
            b.SetPixelFormat(from);
            b.SetPixelFormat(to);
            b.SetPixelFormat(TPixelFormat::pf24bit);
            // 1-bit pictures keep only black and white; everything else keeps all four.
            const int exact = (from == TPixelFormat::pf1bit || to == TPixelFormat::pf1bit) ? 2 : 4;
            for (int x = 0; x < exact; ++x) {
                const uint8_t* p = b.ScanLine(0) + 3 * x;
                EXPECT_EQ(p[0], colours[x].peBlue) << x;
                EXPECT_EQ(p[1], colours[x].peGreen) << x;
                EXPECT_EQ(p[2], colours[x].peRed) << x;
            }
        }
}

TEST(Bitmap, IndexedTo24BitsGivesEachPixelItsColourAndLeavesThePaddingZero)
{
    std::mt19937 random(11);
    TMaxLogPalette logPalette;
    logPalette.palNumEntries = 256;
    for (auto& e : logPalette.palPalEntry) e = {uint8_t(random()), uint8_t(random()), uint8_t(random()), 0};
    const TPaletteRef palette = CreatePalette(logPalette);
    for (const TPixelFormat format : {TPixelFormat::pf1bit, TPixelFormat::pf4bit, TPixelFormat::pf8bit})
        for (int width = 1; width <= 9; ++width) {
            SCOPED_TRACE(testing::Message() << BitsPerPixel(format) << " bits, " << width << " wide");
            TBitmap b;
            b.SetPixelFormat(format);
            b.SetSize(width, 2);
            b.SetPalette(palette);
            std::vector<int> index(size_t(width) * 2);
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < width; ++x) {
                    const int v = int(random() % (1u << BitsPerPixel(format)));
                    index[size_t(y) * width + x] = v;
                    uint8_t* row = b.ScanLine(y);
                    if (format == TPixelFormat::pf8bit) row[x] = uint8_t(v);
                    else if (format == TPixelFormat::pf4bit) row[x / 2] |= uint8_t(v << (x % 2 ? 0 : 4));
                    else row[x / 8] |= uint8_t(v << (7 - x % 8));
                }
            b.SetPixelFormat(TPixelFormat::pf24bit);
            for (int y = 0; y < 2; ++y) {
                const uint8_t* row = b.ScanLine(y);
                for (int x = 0; x < width; ++x) {
                    const TPaletteEntry& e = logPalette.palPalEntry[index[size_t(y) * width + x]];
                    EXPECT_EQ(row[3 * x], e.peBlue);
                    EXPECT_EQ(row[3 * x + 1], e.peGreen);
                    EXPECT_EQ(row[3 * x + 2], e.peRed);
                }
                for (size_t i = 3 * size_t(width); i < b.Stride(); ++i) EXPECT_EQ(row[i], 0) << "padding byte " << i;
            }
        }
}

TEST(Bitmap, IndexedToIndexedKeepsIndicesAndPaletteWhenTheyFit)
{
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf4bit);
    b.SetPalette(Palette({{10, 0, 0, 0}, {20, 0, 0, 0}, {30, 0, 0, 0}}));
    b.SetSize(3, 1);
    b.ScanLine(0)[0] = 0x12;  // pixels 1, 2
    b.ScanLine(0)[1] = 0x00;
    b.SetPixelFormat(TPixelFormat::pf8bit);
    EXPECT_EQ(b.ScanLine(0)[0], 1);
    EXPECT_EQ(b.ScanLine(0)[1], 2);
    EXPECT_EQ(b.Palette()->Count(), 3);
}

TEST(Bitmap, CopyFromIsIndependent)
{
    TBitmap a;
    a.SetPixelFormat(TPixelFormat::pf24bit);
    a.SetSize(2, 2);
    a.ScanLine(1)[5] = 77;
    TBitmap b;
    b.CopyFrom(a);
    a.ScanLine(1)[5] = 1;
    EXPECT_EQ(b.ScanLine(1)[5], 77);
    EXPECT_EQ(b.PixelFormat(), TPixelFormat::pf24bit);
}

}  // namespace
}  // namespace quillet
