#include "imaging/readers/ppm.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

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
using test::RowBytes;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

std::unique_ptr<TPPMGraphic> Load(const Bytes& data) { return test::ReadGraphic<TPPMGraphic>(data); }
std::unique_ptr<TPPMGraphic> Load(const std::string& text) { return Load(Bytes{}.str(text)); }

// A picture with samples that differ from pixel to pixel: bits for bitmaps, one byte
// per pixel for greymaps, red, green, blue for pixmaps.
struct Sample {
    int width, height, channels;
    std::vector<uint8_t> values;
    Sample(int w, int h, int c, int seed) : width(w), height(h), channels(c)
    {
        uint32_t state = uint32_t(seed) * 2654435761u + 1;
        for (int i = 0; i < w * h * (c == 0 ? 1 : c); ++i) {
            state = state * 1103515245u + 12345u;
            values.push_back(c == 0 ? (state >> 16) & 1 : uint8_t(state >> 16));
        }
    }
    // Text form: P1 (channels 0), P2 (1) or P3 (3), numbers separated by mixed spaces.
    std::string Text() const
    {
        std::string s = channels == 0 ? "P1\n" : channels == 1 ? "P2\n" : "P3\n";
        s.append(std::to_string(width)).append(" ").append(std::to_string(height)).append("\n");
        if (channels != 0) s.append("255\n");
        for (size_t i = 0; i < values.size(); ++i) s.append(std::to_string(values[i])).append(i % 7 == 6 ? "\n" : " \t");
        return s;
    }
    // Binary form: P4, P5 or P6.
    Bytes Binary() const
    {
        Bytes b;
        b.str(channels == 0 ? "P4\n" : channels == 1 ? "P5\n" : "P6\n");
        b.str(std::to_string(width)).str(" ").str(std::to_string(height)).str("\n");
        if (channels != 0) return b.str("255\n").bytes(values);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; x += 8) {
                unsigned byte = 0;
                for (int k = 0; k < 8; ++k)
                    byte = byte << 1 | (x + k < width ? values[size_t(y * width + x + k)] : 0u);
                b.u8(byte);
            }
        return b;
    }
};

TEST(PPMGraphic, SixBytePixmapGivesRedThenBlueStoredBlueGreenRed)
{
    const auto binary = Load(Bytes{}.str("P6\n2 1\n255\n").u8(255).u8(0).u8(0).u8(0).u8(0).u8(255));
    EXPECT_EQ(binary->PixelFormat(), TPixelFormat::pf24bit);
    EXPECT_EQ(binary->Width(), 2);
    EXPECT_EQ(binary->Height(), 1);
    EXPECT_THAT(RowBytes(*binary, 0), ElementsAre(0, 0, 255, 255, 0, 0));
    EXPECT_EQ(binary->Palette(), nullptr);
    EXPECT_EQ(AllRows(*Load("P3\n2 1\n255\n255 0 0 0 0 255\n")), AllRows(*binary));
}

TEST(PPMGraphic, TextAndBinaryFormsGiveTheSameBitmap)
{
    // Widths around the byte, the five-pixel step of the colour swap and the read buffer.
    const int kWidths[] = {1, 2, 5, 6, 7, 8, 9, 10, 11, 15, 16, 17, 31, 33, 1365, 1366, 2000};
    for (const int channels : {0, 1, 3})
        for (const int width : kWidths) {
            SCOPED_TRACE(testing::Message() << "channels " << channels << ", width " << width);
            const Sample sample(width, 3, channels, width);
            const auto text = Load(sample.Text());
            const auto binary = Load(sample.Binary());
            EXPECT_EQ(text->PixelFormat(), channels == 0   ? TPixelFormat::pf1bit
                                           : channels == 1 ? TPixelFormat::pf8bit
                                                           : TPixelFormat::pf24bit);
            EXPECT_EQ(binary->PixelFormat(), text->PixelFormat());
            EXPECT_EQ(binary->Width(), width);
            EXPECT_EQ(binary->Height(), 3);
            EXPECT_EQ(AllRows(*binary), AllRows(*text));
            EXPECT_EQ(PaletteEntries(*binary), PaletteEntries(*text));
            if (channels == 1) {
                EXPECT_EQ(RowBytes(*binary, 2)[size_t(width - 1)], sample.values.back());
            }
            if (channels == 3) {
                EXPECT_EQ(RowBytes(*binary, 0)[0], sample.values[2]);
            }
        }
}

TEST(PPMGraphic, PalettesAreWhiteBlackOrTheGreyRamp)
{
    const auto bits = Load("P4\n1 1\n\x80");
    EXPECT_THAT(PaletteEntries(*bits), ElementsAre(TPaletteEntry{255, 255, 255, 0}, TPaletteEntry{0, 0, 0, 0}));
    const auto grey = Load("P5\n1 1\n255\nA");
    ASSERT_EQ(PaletteEntries(*grey).size(), 256u);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(grey->Palette()->Entry(i), (TPaletteEntry{uint8_t(i), uint8_t(i), uint8_t(i), 0}));
}

TEST(PPMGraphic, TextBitmapPacksEightPixelsToAByteFromTheTopBit)
{
    const auto image = Load("P1\n10 2\n1 0 1 0 1 0 1 0 1 1\n0 0 0 0 0 0 0 0 0 1\n");
    EXPECT_EQ(image->PixelFormat(), TPixelFormat::pf1bit);
    EXPECT_THAT(RowBytes(*image, 0), ElementsAre(0xAA, 0xC0));
    EXPECT_THAT(RowBytes(*image, 1), ElementsAre(0x00, 0x40));
}

TEST(PPMGraphic, TextSamplesAreTakenModulo256AndNotScaled)
{
    const struct { const char* name; std::string text; std::vector<uint8_t> row; } kCases[] = {
        {"maximum 15 is not white", "P2\n3 1\n15\n15 0 7\n", {15, 0, 7}},
        {"256 and 300", "P2\n2 1\n255\n256 300\n", {0, 44}},
        {"beyond 32 bits", "P2\n2 1\n255\n10000000000000000000000007 4294967340\n", {7, 44}},
        {"the last sample may end the file", "P2\n2 1\n255\n1 2", {1, 2}},
        {"digits run together form one number", "P1\n2 1\n0110 1\n", {0x40}},
        {"colour", "P3\n1 1\n255\n300 2 513\n", {1, 2, 44}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RowBytes(*Load(c.text), 0), c.row);
    }
}

TEST(PPMGraphic, HeaderNumbersSkipCommentsAndAnySeparator)
{
    const struct { const char* name; std::string text; } kCases[] = {
        {"two comment lines before the width", "P5\n# one\n# two\n2 1\n255\nAB"},
        {"a comment right after the magic", "P5 # comment\n2 1 255\nAB"},
        {"a comment between the numbers", "P5\n2#x\n1\n#y 7\n255\nAB"},
        {"carriage returns and line feeds", "P5\r\n2\r\n1\r\n255\nAB"},
        {"any non-digit separates", "P5\nw=2,h=1;max=255\nAB"},
        {"numbers on the magic line are lost", "P5 9 9 255\n2 1 255\nAB"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const auto image = Load(c.text);
        EXPECT_EQ(image->Width(), 2);
        EXPECT_EQ(image->Height(), 1);
        EXPECT_THAT(RowBytes(*image, 0), ElementsAre('A', 'B'));
    }
}

TEST(PPMGraphic, ZeroSidesGiveAnEmptyBitmapWithoutReadingPixels)
{
    for (const char* text : {"P5\n0 5\n255\n", "P1\n0 3\n", "P3\n4 0\n255\n", "P4\n0 9\n"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(Load(text)->Empty());
    }
    EXPECT_EQ(Load("P6\n0 7\n255\n")->Height(), 7);
}

TEST(PPMGraphic, UnknownVariantDigitGivesAnEmptyBitmap)
{
    for (const char* text : {"P0\n", "P7 332\n128 128 255\n", "P8\n", "P9\n"}) {
        SCOPED_TRACE(text);
        const auto image = Load(text);
        EXPECT_TRUE(image->Empty());
        EXPECT_EQ(image->Bits(), nullptr);
    }
}

TEST(PPMGraphic, BadFilesRaiseTheirMessages)
{
    const struct { const char* name; std::string text; const char* message; } kCases[] = {
        {"empty stream", "", "PPM: Stream read error."},
        {"empty first line", "\nP6\n1 1 255\nabc", "Not a valid ppm file."},
        {"not P", "Q6\n1 1 255\nabc", "Not a valid ppm file."},
        {"comment hides the magic", "#P6\n1 1 255\nabc", "Not a valid ppm file."},
        {"lower case p", "p6\n1 1 255\nabc", "Not a valid ppm file."},
        {"no variant digit", "P\n1 1 255\nabc", "'' is not a valid integer value"},
        {"float map", "Pf\n1 1 -1\nabcd", "'f' is not a valid integer value"},
        {"space instead of the digit", "P 6\n", "' ' is not a valid integer value"},
        {"magic line never ends", "P6", "PPM: Stream read error."},
        {"header ends early", "P6\n1 1\n", "PPM: Stream read error."},
        {"comment runs to the end", "P6\n1 1 # no more", "PPM: Stream read error."},
        {"pixels short", "P6\n1 1 255\nab", "PPM: Stream read error."},
        {"text pixels short", "P3\n1 1 255\n1 2\n", "PPM: Stream read error."},
        {"huge size", "P6\n65000 65000\n255\n", "Image too large: 65000 x 65000 pixels"},
        {"width beyond 32 bits", "P1\n25555555555555555551 255\n", "Image too large: 2147483647 x 255 pixels"},
        {"width beyond 31 bits", "P5\n3000000000 2\n255\n", "Image too large: 2147483647 x 2 pixels"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_THAT([&] { Load(c.text); }, ThrowsMessage<Exception>(StrEq(c.message)));
    }
}

TEST(PPMGraphic, EveryPrefixOfABinaryFileFailsWithTheReadError)
{
    const Bytes whole = Sample(7, 2, 3, 1).Binary();
    for (size_t n = 0; n < whole.size(); ++n) {
        SCOPED_TRACE(n);
        const Bytes prefix(std::vector<uint8_t>(whole.begin(), whole.begin() + long(n)));
        EXPECT_THAT([&] { Load(prefix); }, ThrowsMessage<Exception>(StrEq("PPM: Stream read error.")));
    }
    EXPECT_EQ(Load(whole)->Height(), 2);
}

TEST(PPMGraphic, TruncatedFileKeepsSizeAndTheRowsReadSoFarWithTheRestCleared)
{
    // Rows of 6000 bytes take the path that reads straight from the stream; rows of 13
    // bytes are padded. A complete load of the same size first leaves its pixels in the
    // memory that the truncated load is likely to get.
    for (const int channels : {1, 3})
        for (const int width : {13, 2000}) {
            SCOPED_TRACE(testing::Message() << "channels " << channels << ", width " << width);
            const Bytes whole = Sample(width, 4, channels, 5).Binary();
            const auto complete = Load(whole);
            const std::vector<uint8_t> before(complete->Bits(), complete->Bits() + complete->Stride() * 4);
            complete->ReleaseImage();
            const size_t rowBytes = size_t(width * channels);
            const Bytes cut(std::vector<uint8_t>(whole.begin(), whole.end() - long(2 * rowBytes - 1)));
            TPPMGraphic image;
            TMemoryViewStream stream(cut.data(), cut.size());
            EXPECT_THAT([&] { image.ReadImage(stream); }, ThrowsMessage<Exception>(StrEq("PPM: Stream read error.")));
            EXPECT_EQ(image.Width(), width);
            EXPECT_EQ(image.Height(), 4);
            ASSERT_EQ(image.Stride() * 4, before.size());
            for (int y = 0; y < 4; ++y) {
                const uint8_t* row = image.ScanLine(y);
                const uint8_t* was = before.data() + size_t(y) * image.Stride();
                for (size_t i = 0; i < image.Stride(); ++i) {
                    const bool filled = y < 2 && i < rowBytes;
                    ASSERT_EQ(row[i], filled ? was[i] : 0) << "row " << y << ", byte " << i;
                }
            }
        }
}

TEST(PPMGraphic, TwoByteSamplesAreScaledFromTheirMaximum)
{
    const struct { const char* name; Bytes data; std::vector<uint8_t> row; } kCases[] = {
        {"grey 65535", Bytes{}.str("P5\n4 1\n65535\n").be16(0).be16(0xFFFF).be16(0x8000).be16(0x00FF), {0, 255, 128, 1}},
        {"grey 1023, above the maximum clamps", Bytes{}.str("P5\n3 1\n1023\n").be16(1023).be16(512).be16(5000), {255, 128, 255}},
        {"colour swaps to blue, green, red", Bytes{}.str("P6\n1 1\n65535\n").be16(0xFFFF).be16(0x8080).be16(0), {0, 128, 255}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RowBytes(*Load(c.data), 0), c.row);
    }
}

TEST(PPMGraphic, LoadsThroughThePictureByAnyOfItsExtensions)
{
    static const bool registered = (RegisterImageFormats(), true);
    (void)registered;
    test::TempDir dir;
    for (const char* name : {"a.ppm", "b.PGM", "c.pbm"}) {
        SCOPED_TRACE(name);
        test::WriteFile(dir / name, Bytes{}.str("P5\n1 1\n255\nz"));
        TPicture picture;
        picture.Load(dir / name);
        ASSERT_NE(dynamic_cast<TPPMGraphic*>(picture.Graphic()), nullptr);
        EXPECT_EQ(picture.Width(), 1);
    }
}

TEST(PPMGraphic, CorpusFilesLoadOrFailWithAMessage)
{
    QUILLET_REQUIRE_CORPUS();
    for (const char* folder : {"pnm", "hostile/pnm"})
        for (const std::string& path : test::CorpusFiles(folder)) {
            SCOPED_TRACE(path);
            TPPMGraphic image;
            TMemoryStream stream;
            stream.LoadFromFile(path);
            try {
                image.ReadImage(stream);
            } catch (const Exception& e) {
                EXPECT_FALSE(e.Message().empty());
            }
        }
}

TEST(PPMGraphic, CorpusFormsOfOnePictureAgree)
{
    QUILLET_REQUIRE_CORPUS();
    const std::string dir = test::CorpusDir() + "/pnm/";
    const auto text = Load(Bytes(test::ReadFile(dir + "im_input_p1.pbm")));
    const auto binary = Load(Bytes(test::ReadFile(dir + "im_input_p4.pbm")));
    EXPECT_EQ(binary->Width(), 70);
    EXPECT_EQ(binary->Height(), 46);
    EXPECT_EQ(AllRows(*text), AllRows(*binary));
    // The same picture with two bytes per sample scales to the one-byte file.
    const auto wide = Load(Bytes(test::ReadFile(dir + "pil_hopper_16bit.pgm")));
    const auto narrow = Load(Bytes(test::ReadFile(dir + "pil_hopper_8bit.pgm")));
    EXPECT_EQ(wide->Width(), 128);
    EXPECT_EQ(AllRows(*wide), AllRows(*narrow));
}

}  // namespace
}  // namespace quillet
