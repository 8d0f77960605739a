#include "imaging/convert.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "tests/support/bytes.h"

namespace quillet {
namespace {

using test::Bytes;

constexpr uint8_t kUntouched = 0xEE;

using RowConversion = void (*)(const void*, void*, uint8_t, uint32_t);

// Converts into a buffer one byte larger than the expected output, so that a write past it
// shows in the last byte.
Bytes Convert(RowConversion convert, const Bytes& in, uint8_t bitsPerSample, uint32_t samples, size_t outSize)
{
    Bytes out(std::vector<uint8_t>(outSize + 1, kUntouched));
    convert(in.data(), out.data(), bitsPerSample, samples);
    return out;
}

TEST(ByteSwap, ReversesTheBytesOfEachValueInPlace)
{
    const uint8_t bytes[] = {0x11, 0x22, 0x33, 0x44};
    uint32_t value;
    std::memcpy(&value, bytes, 4);
    const uint32_t swapped = ByteSwap32(value);
    uint8_t out[4];
    std::memcpy(out, &swapped, 4);
    EXPECT_EQ(Bytes(std::vector<uint8_t>(out, out + 4)), (Bytes{0x44, 0x33, 0x22, 0x11}));

    Bytes words{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    ByteSwap16Array(words.data(), 2);
    EXPECT_EQ(words, (Bytes{0x02, 0x01, 0x04, 0x03, 0x05, 0x06}));

    Bytes longs{1, 2, 3, 4, 5, 6, 7, 8, 9};
    ByteSwap32Array(longs.data(), 2);
    EXPECT_EQ(longs, (Bytes{4, 3, 2, 1, 8, 7, 6, 5, 9}));

    ByteSwap16Array(words.data(), 0);
    ByteSwap32Array(longs.data(), 0);
    EXPECT_EQ(words, (Bytes{0x02, 0x01, 0x04, 0x03, 0x05, 0x06}));
}

TEST(RowConversions, WriteBlueGreenRedFromEachLayout)
{
    const uint8_t E = kUntouched;
    const struct {
        const char* name;
        RowConversion convert;
        uint8_t bits;
        Bytes in;
        uint32_t samples;
        Bytes want;  // followed by one untouched byte
    } kCases[] = {
        {"rgb 8-bit", ConvertRGBRow, 8, {10, 20, 30, 1, 2, 3}, 6, {30, 20, 10, 3, 2, 1, E}},
        {"rgb 16-bit keeps high bytes", ConvertRGBRow, 16, Bytes{}.le16(0x1000).le16(0x2000).le16(0x30FF), 3,
         {0x30, 0x20, 0x10, E}},
        {"rgba 8-bit", ConvertRGBARow, 8, {10, 20, 30, 40}, 4, {30, 20, 10, 40, E}},
        {"rgba 16-bit puts red third and blue first", ConvertRGBARow, 16,
         Bytes{}.le16(0x11FF).le16(0x22FF).le16(0x33FF).le16(0x44FF), 4, {0x33, 0x22, 0x11, 0x44, E}},
        {"grey 16-bit keeps high bytes", ConvertGrey16Row, 16, Bytes{}.le16(0x12FF).le16(0x3400).le16(0xFF01), 3,
         {0x12, 0x34, 0xFF, E}},
        {"grey 16-bit ignores the sample width", ConvertGrey16Row, 8, Bytes{}.le16(0xAB00), 1, {0xAB, E}},
        {"cmyk 8-bit black", ConvertCMYKRow, 8, {0, 0, 0, 255}, 4, {0, 0, 0, E}},
        {"cmyk 8-bit white", ConvertCMYKRow, 8, {0, 0, 0, 0}, 4, {255, 255, 255, E}},
        {"cmyk 8-bit full cyan", ConvertCMYKRow, 8, {255, 0, 0, 0}, 4, {255, 255, 0, E}},
        // red = 255 - (100 + 50 - round(100 x 50 / 255) = 20) = 125; green 255 - 50; blue 255 - (200 + 50 - 39)
        {"cmyk 8-bit rounds the product", ConvertCMYKRow, 8, {100, 0, 200, 50}, 4, {44, 205, 125, E}},
        {"cmyk 16-bit black", ConvertCMYKRow, 16, Bytes{}.le16(0).le16(0).le16(0).le16(0xFFFF), 4, {0, 0, 0, E}},
        {"cmyk 16-bit white", ConvertCMYKRow, 16, Bytes{}.le16(0).le16(0).le16(0).le16(0), 4, {255, 255, 255, E}},
        // Full 16-bit values, not reduced first: c = k = 0x00FF gives 255 + 255 - round(255 x 255 /
        // 65535) = 509, >> 8 = 1, so red is 254 (reduced first, both would be 0 and red 255).
        {"cmyk 16-bit uses full values", ConvertCMYKRow, 16, Bytes{}.le16(0x00FF).le16(0).le16(0).le16(0x00FF), 4,
         {255, 255, 254, E}},
        {"lab white", ConvertLabRow, 8, {255, 0, 0}, 3, {255, 255, 255, E}},
        {"lab black", ConvertLabRow, 8, {0, 0, 0}, 3, {0, 0, 0, E}},
        {"lab mid grey", ConvertLabRow, 8, {128, 0, 0}, 3, {47, 47, 47, E}},
        {"lab dark branch", ConvertLabRow, 8, {10, 100, 0}, 3, {2, 0, 21, E}},
        {"lab a is signed", ConvertLabRow, 8, {128, 0x80, 0}, 3, {43, 85, 0, E}},
        {"lab clamps", ConvertLabRow, 8, {128, 127, 0}, 3, {57, 0, 255, E}},
        {"lab b is signed", ConvertLabRow, 8, {200, 20, 236}, 3, {203, 121, 170, E}},
        {"lab ignores the sample width", ConvertLabRow, 16, {255, 0, 0}, 3, {255, 255, 255, E}},
        {"remainder samples are ignored", ConvertRGBRow, 8, {1, 2, 3, 4, 5}, 5, {3, 2, 1, E}},
        {"rgb other widths write nothing", ConvertRGBRow, 12, {1, 2, 3}, 3, {E, E, E, E}},
        {"rgba other widths write nothing", ConvertRGBARow, 4, {1, 2, 3, 4}, 4, {E, E, E, E, E}},
        {"cmyk other widths write nothing", ConvertCMYKRow, 1, {1, 2, 3, 4}, 4, {E, E, E, E}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Convert(c.convert, c.in, c.bits, c.samples, c.want.size() - 1), c.want);
    }
}

// The planar forms give what the interleaved ones give for the same samples.
TEST(RowConversions, PlanarRowsMatchInterleavedRows)
{
    std::mt19937 random(3);
    for (const uint8_t bits : {uint8_t(8), uint8_t(16), uint8_t(5)}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        const size_t bytes = bits == 16 ? 2 : 1;
        const uint32_t pixels = 37;
        Bytes planes[4];
        for (auto& plane : planes)
            for (size_t i = 0; i < pixels * bytes; ++i) plane.u8(random() % 256);
        auto interleave = [&](int channels) {
            Bytes row;
            for (uint32_t x = 0; x < pixels; ++x)
                for (int ch = 0; ch < channels; ++ch)
                    row.insert(row.end(), planes[ch].begin() + long(x * bytes), planes[ch].begin() + long((x + 1) * bytes));
            return row;
        };
        const size_t outSize = 3 * pixels + 1;

        Bytes planar(std::vector<uint8_t>(outSize, kUntouched));
        ConvertPlanarRGBRow(planes[0].data(), planes[1].data(), planes[2].data(), planar.data(), bits, 3 * pixels);
        EXPECT_EQ(planar, Convert(ConvertRGBRow, interleave(3), bits, 3 * pixels, outSize - 1));

        planar.assign(outSize, kUntouched);
        ConvertPlanarCMYKRow(planes[0].data(), planes[1].data(), planes[2].data(), planes[3].data(), planar.data(), bits,
                             4 * pixels);
        EXPECT_EQ(planar, Convert(ConvertCMYKRow, interleave(4), bits, 4 * pixels, outSize - 1));

        if (bits == 8) {
            planar.assign(outSize, kUntouched);
            ConvertPlanarLabRow(planes[0].data(), planes[1].data(), planes[2].data(), planar.data(), 16, 3 * pixels);
            EXPECT_EQ(planar, Convert(ConvertLabRow, interleave(3), 8, 3 * pixels, outSize - 1));
        }
    }
}

TEST(RowConversions, EightBitRGBRowsOfEveryLengthSwapRedAndBlueAndStopAtTheirEnd)
{
    // Lengths around the 5- and 16-pixel steps of the vector loops and their tails.
    std::mt19937 random(5);
    for (const uint32_t pixels : {0u, 1u, 4u, 5u, 6u, 7u, 10u, 11u, 15u, 16u, 17u, 31u, 32u, 33u, 47u, 3001u}) {
        SCOPED_TRACE(std::to_string(pixels) + " pixels");
        Bytes planes[3], interleaved, want;
        for (auto& plane : planes)
            for (uint32_t x = 0; x < pixels; ++x) plane.u8(random() % 256);
        for (uint32_t x = 0; x < pixels; ++x) {
            interleaved.u8(planes[0][x]).u8(planes[1][x]).u8(planes[2][x]);
            want.u8(planes[2][x]).u8(planes[1][x]).u8(planes[0][x]);
        }
        want.u8(kUntouched);
        EXPECT_EQ(Convert(ConvertRGBRow, interleaved, 8, 3 * pixels, 3 * pixels), want);
        Bytes planar(std::vector<uint8_t>(3 * pixels + 1, kUntouched));
        ConvertPlanarRGBRow(planes[0].data(), planes[1].data(), planes[2].data(), planar.data(), 8, 3 * pixels);
        EXPECT_EQ(planar, want);
    }
}

TEST(Predictor, UndoAddsEachByteToTheOneAStrideFurtherOn)
{
    const struct {
        const char* name;
        void (*undo)(void*, uint32_t);
        Bytes row;
        uint32_t pixelPairs;
        Bytes want;
    } kCases[] = {
        {"stride 1", UndoDifferencing1, {5, 3, 1}, 2, {5, 8, 9}},
        {"stride 1 wraps modulo 256", UndoDifferencing1, {200, 100, 1}, 2, {200, 44, 45}},
        {"stride 3 runs each channel on its own", UndoDifferencing3, {1, 2, 3, 1, 1, 1, 10, 20, 30}, 2,
         {1, 2, 3, 2, 3, 4, 12, 23, 34}},
        {"stride 4", UndoDifferencing4, {1, 2, 3, 4, 1, 1, 1, 1}, 1, {1, 2, 3, 4, 2, 3, 4, 5}},
        {"no pairs touches nothing", UndoDifferencing3, {9, 9, 9}, 0, {9, 9, 9}},
        {"bytes past the pairs stay", UndoDifferencing1, {1, 1, 1, 1}, 2, {1, 2, 3, 1}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Bytes row = c.row;
        c.undo(row.data(), c.pixelPairs);
        EXPECT_EQ(row, c.want);
    }
}

}  // namespace
}  // namespace quillet
