#include "imaging/readers/sgi.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "imaging/ImageFormats.h"
#include "platform/errors.h"
#include "platform/picture.h"
#include "platform/stream.h"
#include "tests/support/files.h"
#include "tests/support/reader_fixture.h"
#include "tests/support/sgi_writer.h"

namespace quillet {
namespace {

using test::Bytes;
using test::LoadFrom;
using test::PixelBytes;
using test::SgiImage;
using test::WriteSgi;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr uint16_t kWidth = 9;
constexpr uint16_t kHeight = 4;

// The 8-bit value of channel c at (x, file row y): runs on the left, busy on the right.
uint8_t Sample8(int x, int y, int c)
{
    if (x < 4) return uint8_t(60 * c + 10 * y + 1);
    return uint8_t((x * 41 + y * 17 + c * 73) ^ (x * y * 3));
}

// A picture in file row order; two-byte samples carry the 8-bit value in the high byte
// and noise in the low byte.
SgiImage MakeSgi(int channels, uint8_t bytesPerSample, bool runLength, uint16_t width = kWidth)
{
    SgiImage image;
    image.Width = width;
    image.Height = kHeight;
    image.BytesPerSample = bytesPerSample;
    image.RunLength = runLength;
    for (int c = 0; c < channels; ++c) {
        std::vector<uint16_t> samples;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < width; ++x) {
                const uint8_t v = Sample8(x, y, c);
                samples.push_back(bytesPerSample == 1 ? v : uint16_t(v << 8 | ((x * 29 + y) & 0xFF)));
            }
        image.Channels.push_back(samples);
    }
    return image;
}

// What the bitmap must hold for a picture of `channels` channels: row height - 1 - y is
// file row y, pixels blue, green, red (and alpha) or grey from channel 0.
std::vector<uint8_t> Expected(int channels, int width = kWidth)
{
    const int used = channels == 3 || channels == 4 ? channels : 1;
    std::vector<uint8_t> want;
    for (int row = 0; row < kHeight; ++row) {
        const int y = kHeight - 1 - row;
        for (int x = 0; x < width; ++x) {
            if (used == 1) {
                want.push_back(Sample8(x, y, 0));
                continue;
            }
            want.push_back(Sample8(x, y, 2));
            want.push_back(Sample8(x, y, 1));
            want.push_back(Sample8(x, y, 0));
            if (used == 4) want.push_back(Sample8(x, y, 3));
        }
    }
    return want;
}

std::vector<TPaletteEntry> GreyRamp()
{
    std::vector<TPaletteEntry> ramp;
    for (int i = 0; i < 256; ++i) ramp.push_back({uint8_t(i), uint8_t(i), uint8_t(i), 0});
    return ramp;
}

// Every channel count, both storage kinds and both sample sizes: one table, checked
// against the picture itself, so run-length equals verbatim and two bytes per sample
// equal the high bytes.
TEST(SGIGraphic, EveryChannelCountStorageAndSampleSizeGivesThePicture)
{
    const struct { int channels; TPixelFormat format; } kCases[] = {
        {1, TPixelFormat::pf8bit},  {2, TPixelFormat::pf8bit},  {3, TPixelFormat::pf24bit},
        {4, TPixelFormat::pf32bit}, {5, TPixelFormat::pf8bit},
    };
    for (const auto& c : kCases)
        for (uint8_t bytesPerSample : {1, 2})
            for (bool runLength : {false, true}) {
                SCOPED_TRACE(testing::Message() << c.channels << " channels, " << int(bytesPerSample)
                                                << " bytes, run-length " << runLength);
                const auto g = LoadFrom<TSGIGraphic>(WriteSgi(MakeSgi(c.channels, bytesPerSample, runLength)));
                EXPECT_EQ(g->Width(), kWidth);
                EXPECT_EQ(g->Height(), kHeight);
                EXPECT_EQ(g->PixelFormat(), c.format);
                EXPECT_EQ(PixelBytes(*g), Expected(c.channels));
                EXPECT_EQ(test::PaletteEntries(*g), c.format == TPixelFormat::pf8bit ? GreyRamp() : std::vector<TPaletteEntry>{});
            }
}

// Pixels are put together in blocks of 16: every width around the block sizes, so that
// the last block and the pixels after it land where they belong and nothing spills, and
// the row padding is written as zeros.
TEST(SGIGraphic, EveryWidthAroundTheBlockSizesGivesThePicture)
{
    for (uint16_t width : {1, 15, 16, 17, 18, 19, 20, 31, 32, 33, 34, 35, 36, 49, 50, 51, 52, 100})
        for (int channels : {3, 4}) {
            SCOPED_TRACE(testing::Message() << "width " << width << ", " << channels << " channels");
            const auto g = LoadFrom<TSGIGraphic>(WriteSgi(MakeSgi(channels, 1, true, width)));
            EXPECT_EQ(PixelBytes(*g), Expected(channels, width));
            // The rows are not cleared before they are filled: the padding is written too.
            for (int y = 0; y < kHeight; ++y)
                for (size_t i = size_t(width) * size_t(channels); i < g->Stride(); ++i)
                    EXPECT_EQ(g->ScanLine(y)[i], 0) << "row " << y << " byte " << i;
        }
    for (int channels : {1, 2}) {
        const auto g = LoadFrom<TSGIGraphic>(WriteSgi(MakeSgi(channels, 1, false, 13)));
        for (int y = 0; y < kHeight; ++y)
            for (size_t i = 13; i < g->Stride(); ++i) EXPECT_EQ(g->ScanLine(y)[i], 0) << "row " << y << " byte " << i;
    }
}

TEST(SGIGraphic, AChannelCountOfZeroIsReadAsOneGreyChannel)
{
    for (bool runLength : {false, true}) {
        SgiImage image = MakeSgi(1, 1, runLength);
        image.ChannelCount = 0;
        const auto g = LoadFrom<TSGIGraphic>(WriteSgi(image));
        EXPECT_EQ(g->PixelFormat(), TPixelFormat::pf8bit);
        EXPECT_EQ(PixelBytes(*g), Expected(1)) << "run-length " << runLength;
    }
}

TEST(SGIGraphic, BytesPerSampleOtherThanOneIsReadAsTwo)
{
    for (uint8_t odd : {0, 3, 255})
        for (bool runLength : {false, true}) {
            SCOPED_TRACE(testing::Message() << int(odd) << " run-length " << runLength);
            Bytes file = WriteSgi(MakeSgi(3, 2, runLength));
            file[3] = odd;
            EXPECT_EQ(PixelBytes(*LoadFrom<TSGIGraphic>(file)), Expected(3));
        }
}

TEST(SGIGraphic, OffsetsCountFromWhereTheImageStartsInTheStream)
{
    for (bool runLength : {false, true}) {
        SCOPED_TRACE(runLength);
        const Bytes image = WriteSgi(MakeSgi(4, 2, runLength));
        Bytes stream = Bytes{}.fill(777, 0x5A);
        stream.bytes(image).fill(100, 0xA5);
        EXPECT_EQ(PixelBytes(*LoadFrom<TSGIGraphic>(stream, 777)), Expected(4));
    }
}

TEST(SGIGraphic, AWrongMagicIsRefused)
{
    for (const Bytes& start : {Bytes{0xDA, 0x01}, Bytes{0x01, 0xDB}, Bytes{0x00, 0x00}, Bytes{0x01}, Bytes{}}) {
        Bytes file = WriteSgi(MakeSgi(3, 1, false));
        if (start.size() < 2) {
            file = start;
        } else {
            std::copy(start.begin(), start.end(), file.begin());
        }
        EXPECT_THAT([&] { LoadFrom<TSGIGraphic>(file); },
                    ThrowsMessage<Exception>(StrEq("Not a valid sgi, bw or rgb(a) image.")));
    }
}

// Reads are plain reads: a file cut anywhere after its magic loads, and every byte of it
// is either what the whole file gives or zero where the file no longer reaches.
TEST(SGIGraphic, TruncatedFilesLoadWithWhatTheyHold)
{
    for (int channels : {1, 3, 4})
        for (uint8_t bytesPerSample : {1, 2})
            for (bool runLength : {false, true}) {
                const Bytes file = WriteSgi(MakeSgi(channels, bytesPerSample, runLength));
                const std::vector<uint8_t> whole = PixelBytes(*LoadFrom<TSGIGraphic>(file));
                for (size_t size = 2; size < file.size(); ++size) {
                    SCOPED_TRACE(testing::Message() << channels << " channels, " << int(bytesPerSample)
                                                    << " bytes, run-length " << runLength << ", size " << size);
                    const std::vector<uint8_t> prefix(file.begin(), file.begin() + long(size));
                    std::unique_ptr<TSGIGraphic> g;
                    ASSERT_NO_THROW(g = LoadFrom<TSGIGraphic>(prefix));
                    if (size < 12) continue;  // the sizes and the channel count lie beyond the cut
                    const std::vector<uint8_t> got = PixelBytes(*g);
                    ASSERT_EQ(got.size(), whole.size());
                    for (size_t i = 0; i < got.size(); ++i) {
                        if (got[i] != 0) {
                            ASSERT_EQ(got[i], whole[i]) << "byte " << i;
                        }
                    }
                }
            }
}

TEST(SGIGraphic, HostileTablesStayInsideTheRowBuffers)
{
    const SgiImage image = MakeSgi(3, 1, true);
    const Bytes good = WriteSgi(image);
    const size_t rows = 3 * kHeight;
    const auto setEntry = [](Bytes& file, size_t offset, uint32_t v) {
        file[offset] = uint8_t(v >> 24);
        file[offset + 1] = uint8_t(v >> 16);
        file[offset + 2] = uint8_t(v >> 8);
        file[offset + 3] = uint8_t(v);
    };
    {
        // A length far beyond the row buffer (and the file) is cut to the buffer.
        Bytes file = good;
        for (size_t i = 0; i < rows; ++i) setEntry(file, 512 + 4 * rows + 4 * i, 0xFFFFFFFF);
        EXPECT_EQ(PixelBytes(*LoadFrom<TSGIGraphic>(file)), Expected(3));
    }
    {
        // Rows whose offsets point past the end are not read: they stay black.
        Bytes file = good;
        setEntry(file, 512 + 4 * 0, 0x7FFFFFF0);           // red, file row 0
        setEntry(file, 512 + 4 * kHeight, 0xFFFFFFFF);     // green, file row 0
        const auto g = LoadFrom<TSGIGraphic>(file);
        const uint8_t* bottom = g->ScanLine(kHeight - 1);
        for (int x = 0; x < kWidth; ++x) {
            EXPECT_EQ(bottom[3 * x], Sample8(x, 0, 2));
            EXPECT_EQ(bottom[3 * x + 1], 0);
            EXPECT_EQ(bottom[3 * x + 2], 0);
        }
    }
    {
        // A row that never ends its runs fills its row and no more.
        Bytes file = good;
        const size_t start = file.size();
        file.fill(200, 0x7F).fill(200, 0xFF);  // runs of 127 and literal packets
        setEntry(file, 512, uint32_t(start));
        setEntry(file, 512 + 4 * rows, 400);
        EXPECT_NO_THROW(LoadFrom<TSGIGraphic>(file));
    }
}

TEST(SGIGraphic, ClaimedSizesDoNotMakeATinyFileExpensive)
{
    // 65535 x 65535 is beyond the pixel limit.
    const Bytes bomb = Bytes{}.be16(474).u8(1).u8(1).be16(3).be16(65535).be16(65535).be16(4).fill(500, 0);
    EXPECT_THAT([&] { LoadFrom<TSGIGraphic>(bomb); }, ThrowsMessage<Exception>(StrEq("Image too large: 65535 x 65535 pixels")));
    // 65535 channels: only the first channel's table entries are read.
    SgiImage image = MakeSgi(1, 1, true);
    image.ChannelCount = 65535;
    const auto g = LoadFrom<TSGIGraphic>(WriteSgi(image));
    EXPECT_EQ(g->PixelFormat(), TPixelFormat::pf8bit);
    EXPECT_EQ(g->Height(), kHeight);
}

TEST(SGIGraphic, EveryExtensionLoadsThroughThePicture)
{
    test::ExpectLoadsThroughPicture(WriteSgi(MakeSgi(3, 1, true)), {"a.sgi", "a.RGB", "a.rgba", "a.bw"}, "TSGIGraphic", kWidth);
}

TEST(SGIGraphic, CorpusFilesLoadOrFailWithAMessage)
{
    QUILLET_REQUIRE_CORPUS();
    test::ExpectCorpusLoadsOrFails<TSGIGraphic>({"sgi", "hostile/sgi"});
}

// The same picture as other programs wrote it: run-length, verbatim, two bytes per sample.
TEST(SGIGraphic, CorpusFilesOfOnePictureInEveryStorageLoadAlike)
{
    QUILLET_REQUIRE_CORPUS();
    const std::string root = test::CorpusDir() + "/sgi/";
    const std::vector<std::vector<const char*>> kGroups = {
        {"pil_hopper.rgb", "pil_hopper.sgi", "pil_hopper16.rgb"},
        {"kde_rgb-gimp-2.8.10-uncompressed.rgb", "kde_rgb-gimp-2.8.10-rle.rgb", "kde_rgb-gimp-2.8.10-aggressive-rle.rgb"},
    };
    for (const auto& group : kGroups) {
        const auto reference = LoadFrom<TSGIGraphic>(test::ReadFile(root + group[0]));
        ASSERT_EQ(reference->PixelFormat(), TPixelFormat::pf24bit);
        for (const char* name : group) {
            SCOPED_TRACE(name);
            EXPECT_EQ(PixelBytes(*LoadFrom<TSGIGraphic>(test::ReadFile(root + name))), PixelBytes(*reference));
        }
    }
}

}  // namespace
}  // namespace quillet
