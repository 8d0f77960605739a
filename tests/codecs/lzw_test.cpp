#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/ImageCodecs.h"
#include "platform/errors.h"
#include "tests/support/bytes.h"
#include "tests/support/lzw_coder.h"

namespace quillet {
namespace {

using test::Bytes;
using test::Codes;
using test::PackLsbFirst;
using test::PackMsbFirst;
using test::TCode;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// Decodes from a buffer of exactly PackedSize bytes into one of exactly UnpackedSize bytes,
// so that the sanitizer sees any access past either.
template <class TDecoderClass>
Bytes Unpack(TDecoderClass& decoder, const Bytes& packed, size_t unpackedSize)
{
    const std::vector<uint8_t> source(packed.begin(), packed.end());
    std::vector<uint8_t> dest(unpackedSize, 0);
    const uint8_t* src = source.data();
    decoder.Decode(src, dest.data(), int32_t(source.size()), int32_t(dest.size()));
    EXPECT_EQ(src, source.data()) << "Source must not move";
    dest.resize(size_t(decoder.DecodedSize()));
    return Bytes(std::move(dest));
}

Bytes UnpackTIFF(const Bytes& packed, size_t unpackedSize)
{
    auto decoder = std::make_unique<TTIFFLZW>();
    return Unpack(*decoder, packed, unpackedSize);
}

Bytes UnpackGIF(const Bytes& packed, unsigned minCodeSize, size_t unpackedSize)
{
    auto decoder = std::make_unique<TGIFLZW>();
    decoder->FMinimumCodeSize = uint8_t(minCodeSize);
    return Unpack(*decoder, packed, unpackedSize);
}

// Literal codes 0, 1, 2, ... (mod modulus) and the bytes they stand for.
std::vector<TCode> LiteralCodes(size_t count, unsigned width, unsigned modulus = 256)
{
    std::vector<TCode> codes;
    for (size_t i = 0; i < count; ++i) codes.push_back({uint32_t(i % modulus), width});
    return codes;
}

Bytes LiteralBytes(size_t count, unsigned modulus = 256)
{
    Bytes bytes;
    for (size_t i = 0; i < count; ++i) bytes.u8(unsigned(i % modulus));
    return bytes;
}

std::vector<TCode> operator+(std::vector<TCode> a, const std::vector<TCode>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Photo-like bytes: smooth gradients with noise, so that strings of every length occur.
std::vector<uint8_t> PhotoLike(size_t size, unsigned modulus, uint32_t seed)
{
    std::vector<uint8_t> data(size);
    uint32_t state = seed;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        const unsigned smooth = unsigned((i / 7) % 64 + (i % 640) / 40);
        data[i] = uint8_t((smooth + ((state >> 28) & 3)) % modulus);
    }
    return data;
}

TEST(TIFFLZW, WorkedExamples)
{
    const struct {
        const char* name;
        std::vector<TCode> codes;
        Bytes want;
    } kCases[] = {
        {"single bytes, then the string they added", Codes({256, 65, 66, 258, 257}, 9), {65, 66, 65, 66}},
        {"code equal to the next free code repeats its first byte", Codes({256, 65, 258, 257}, 9), {65, 65, 65}},
        // After the second clear, 258 is undefined again: C then 258 = C C.
        {"clear empties the table and its first code adds nothing",
         Codes({256, 65, 66, 256, 67, 258, 257}, 9),
         {65, 66, 67, 67, 67}},
        {"data without a leading clear code", Codes({65, 66, 258, 257}, 9), {65, 66, 65, 66}},
        {"end code as the first code", Codes({257, 65}, 9), {}},
        {"no end code: stops when the bytes are used up", Codes({256, 65, 66}, 9), {65, 66}},
        {"no coded bytes", {}, {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(UnpackTIFF(PackMsbFirst(c.codes), 16), c.want);
    }
}

TEST(GIFLZW, WorkedExamples)
{
    const struct {
        const char* name;
        unsigned minCodeSize;
        std::vector<TCode> codes;
        Bytes want;
    } kCases[] = {
        // Minimum code size 2: clear 4, end 5, first free code 6, 3-bit codes; adding
        // code 7 widens the codes to 4 bits.
        {"minimum code size 2", 2, Codes({4, 1, 2, 6, 5}, 3), {1, 2, 1, 2}},
        {"3 bits until code 7 is added, then 4",
         2,
         Codes({4, 1, 2, 3}, 3) + Codes({6, 7, 5}, 4),
         {1, 2, 3, 1, 2, 2, 3}},
        {"code equal to the next free code repeats its first byte", 8, Codes({256, 65, 258, 257}, 9), {65, 65, 65}},
        {"clear empties the table and its first code adds nothing",
         2,
         Codes({4, 1, 2, 4, 3, 6, 5}, 3),
         {1, 2, 3, 3, 3}},
        {"end code as the first code", 8, Codes({257, 65}, 9), {}},
        {"no end code: stops when the bytes are used up", 8, Codes({256, 65, 66}, 9), {65, 66}},
        {"no coded bytes", 8, {}, {}},
        // Single-byte codes above 255 stand for their low 8 bits.
        {"minimum code size 11: 12-bit codes", 11, Codes({2048, 300, 2049}, 12), {44}},
        {"minimum code size 0: clear 1, 1-bit codes", 0, Codes({1, 0, 0, 1, 0, 1, 1, 1}, 1), {0, 0, 0}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(UnpackGIF(PackLsbFirst(c.codes), c.minCodeSize, 16), c.want);
    }
}

// The width grows one code early in TIFF (with code 510 added) and exactly when a code no
// longer fits in GIF (with code 511 added). A decoder that grows a code early or late
// reads the codes after the boundary at the wrong width.
TEST(LZW, CodeWidthGrowsAtTheBoundaryOfEachScheme)
{
    // After the clear the first code adds nothing and each later one adds a string; 254
    // codes add 258..510, 255 codes add 258..511.
    const Bytes tiffData = LiteralBytes(254).bytes({65});
    EXPECT_EQ(UnpackTIFF(PackMsbFirst(Codes({256}, 9) + LiteralCodes(254, 9) + Codes({65, 257}, 10)), 400), tiffData);
    const Bytes gifData = LiteralBytes(255).bytes({65});
    EXPECT_EQ(UnpackGIF(PackLsbFirst(Codes({256}, 9) + LiteralCodes(255, 9) + Codes({65, 257}, 10)), 8, 400), gifData);
    // Later boundaries: TIFF 11 bits from 1022, 12 from 2046; GIF from 1023 and 2047.
    EXPECT_EQ(UnpackTIFF(PackMsbFirst(Codes({256}, 9) + LiteralCodes(254, 9) + LiteralCodes(512, 10) +
                                      LiteralCodes(1024, 11) + Codes({65, 257}, 12)),
                         2000),
              LiteralBytes(254).bytes(LiteralBytes(512)).bytes(LiteralBytes(1024)).bytes({65}));
    EXPECT_EQ(UnpackGIF(PackLsbFirst(Codes({256}, 9) + LiteralCodes(255, 9) + LiteralCodes(512, 10) +
                                     LiteralCodes(1024, 11) + Codes({65, 257}, 12)),
                        8, 2000),
              LiteralBytes(255).bytes(LiteralBytes(512)).bytes(LiteralBytes(1024)).bytes({65}));
}

TEST(LZW, InvalidCodesRaiseTheSchemesMessageAndKeepTheOutputSoFar)
{
    const struct {
        const char* name;
        bool tiff;
        unsigned minCodeSize;
        std::vector<TCode> codes;
        Bytes before;
    } kCases[] = {
        {"TIFF code above the next free code", true, 8, Codes({256, 65, 66, 260}, 9), {65, 66}},
        {"GIF code above the next free code", false, 2, Codes({4, 1, 7}, 3), {1}},
        // A first code that is not a single byte names a string the data never added.
        {"TIFF first code equal to the next free code", true, 8, Codes({256, 258}, 9), {}},
        {"TIFF first code after a clear equal to the next free code",
         true,
         8,
         Codes({256, 65, 66, 256, 258}, 9),
         {65, 66}},
        {"GIF first code equal to the next free code", false, 2, Codes({4, 6}, 3), {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Bytes packed = c.tiff ? PackMsbFirst(c.codes) : PackLsbFirst(c.codes);
        std::vector<uint8_t> dest(16, 0xEE);
        const uint8_t* src = packed.data();
        std::unique_ptr<TDecoder> decoder;
        if (c.tiff) {
            decoder = std::make_unique<TTIFFLZW>();
        } else {
            auto gif = std::make_unique<TGIFLZW>();
            gif->FMinimumCodeSize = uint8_t(c.minCodeSize);
            decoder = std::move(gif);
        }
        EXPECT_THAT([&] { decoder->Decode(src, dest.data(), int32_t(packed.size()), int32_t(dest.size())); },
                    ThrowsMessage<Exception>(StrEq(c.tiff ? "TIF LZW: invalid opcode." : "GIF LZW: invalid opcode.")));
        EXPECT_TRUE(std::equal(c.before.begin(), c.before.end(), dest.begin()));
    }
}

TEST(GIFLZW, MinimumCodeSizeAbove11IsRefused)
{
    for (unsigned size : {12u, 13u, 143u, 255u}) {
        SCOPED_TRACE(size);
        EXPECT_THAT(
            [&] {
                UnpackGIF(PackLsbFirst(Codes({0, 0, 0}, 12)), size, 16);
            },
            ThrowsMessage<Exception>(StrEq("GIF LZW: invalid opcode.")));
    }
}

// The output limit is tested before each code, ahead of the code's own checks: once
// UnpackedSize bytes are out, nothing more is read, not even an invalid code.
TEST(LZW, OutputLimitComesBeforeTheCodesOwnTests)
{
    EXPECT_EQ(UnpackTIFF(PackMsbFirst(Codes({256, 65, 66, 511}, 9)), 2), (Bytes{65, 66}));
    EXPECT_EQ(UnpackGIF(PackLsbFirst(Codes({4, 1, 7}, 3)), 2, 1), (Bytes{1}));
    EXPECT_EQ(UnpackTIFF(PackMsbFirst(Codes({256, 65, 66, 257}, 9)), 0), Bytes{});
}

// Round trips through the fixture coders: every string length, several table fills, and
// tables that fill up without a clear code. The decoder is reused across the cases, as
// the TIFF reader reuses it across strips.
TEST(LZW, RoundTripsThroughFullTables)
{
    const struct {
        const char* name;
        std::vector<uint8_t> data;
        unsigned minCodeSize;
        test::TFullTable fullTable;
    } kCases[] = {
        {"photo-like, clear when full", PhotoLike(300000, 256, 1), 8, test::TFullTable::Clear},
        // Codes of a full table keep their strings, code 4095 included, until a clear.
        {"photo-like, table kept full", PhotoLike(300000, 256, 2), 8, test::TFullTable::Defer},
        {"one value repeated", std::vector<uint8_t>(100000, 7), 8, test::TFullTable::Clear},
        {"one value repeated, table kept full", std::vector<uint8_t>(3000000, 7), 8, test::TFullTable::Defer},
        {"4 colours", PhotoLike(200000, 4, 3), 2, test::TFullTable::Defer},
        {"16 colours", PhotoLike(200000, 16, 4), 4, test::TFullTable::Clear},
        {"single byte", {42}, 8, test::TFullTable::Clear},
    };
    TTIFFLZW tiff;
    TGIFLZW gif;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const test::TLZWOptions options{c.fullTable};
        gif.FMinimumCodeSize = uint8_t(c.minCodeSize);
        EXPECT_EQ(Unpack(gif, test::EncodeGIFLZW(c.data, c.minCodeSize, options), c.data.size()), Bytes(c.data));
        if (c.minCodeSize == 8) {
            EXPECT_EQ(Unpack(tiff, test::EncodeTIFFLZW(c.data, options), c.data.size()), Bytes(c.data));
        }
    }
}

// A string that would carry the output past UnpackedSize is cut there, for every limit;
// the bytes after Dest are never touched.
TEST(LZW, OutputIsCutAtEveryUnpackedSize)
{
    std::vector<uint8_t> data = PhotoLike(600, 256, 9);
    data.insert(data.end(), 300, 5);  // long strings near the end
    const Bytes tiffCodes = test::EncodeTIFFLZW(data);
    const Bytes gifCodes = test::EncodeGIFLZW(data, 8);
    for (size_t limit = 0; limit <= data.size(); ++limit) {
        const Bytes want(std::vector<uint8_t>(data.begin(), data.begin() + std::ptrdiff_t(limit)));
        ASSERT_EQ(UnpackTIFF(tiffCodes, limit), want) << "limit " << limit;
        ASSERT_EQ(UnpackGIF(gifCodes, 8, limit), want) << "limit " << limit;
    }
}

// Every prefix of the coded bytes decodes to a prefix of the data, without reading past
// PackedSize.
TEST(LZW, EveryPrefixOfTheCodesDecodesToAPrefixOfTheData)
{
    std::vector<uint8_t> data = PhotoLike(3000, 256, 11);
    data.insert(data.end(), 500, 9);
    const Bytes tiffCodes = test::EncodeTIFFLZW(data);
    const Bytes gifCodes = test::EncodeGIFLZW(data, 8);
    for (const bool tiff : {true, false}) {
        const Bytes& codes = tiff ? tiffCodes : gifCodes;
        for (size_t n = 0; n <= codes.size(); ++n) {
            const Bytes prefix(std::vector<uint8_t>(codes.begin(), codes.begin() + std::ptrdiff_t(n)));
            const Bytes got = tiff ? UnpackTIFF(prefix, data.size()) : UnpackGIF(prefix, 8, data.size());
            ASSERT_LE(got.size(), data.size());
            ASSERT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << (tiff ? "TIFF" : "GIF") << " prefix " << n;
        }
        EXPECT_EQ((tiff ? UnpackTIFF(codes, data.size()) : UnpackGIF(codes, 8, data.size())), Bytes(data));
    }
}

// Strings are copied in words; what a word copy writes past the output must not stay in
// Dest, where readers take undecoded pixels as zero.
TEST(LZW, DestAfterTheOutputHoldsNoStaleBytes)
{
    const std::vector<uint8_t> data(5000, 200);
    Bytes codes = test::EncodeGIFLZW(data, 8, {test::TFullTable::Clear, true, false});
    codes.resize(codes.size() / 2);  // stops in the middle of a long string sequence
    std::vector<uint8_t> dest(data.size() + 64, 0);
    TGIFLZW decoder;
    decoder.FMinimumCodeSize = 8;
    const uint8_t* src = codes.data();
    decoder.Decode(src, dest.data(), int32_t(codes.size()), int32_t(data.size()));
    ASSERT_GT(decoder.DecodedSize(), 0);
    ASSERT_LT(size_t(decoder.DecodedSize()), data.size());
    EXPECT_TRUE(std::all_of(dest.begin(), dest.begin() + decoder.DecodedSize(), [](uint8_t b) { return b == 200; }));
    EXPECT_TRUE(std::all_of(dest.begin() + decoder.DecodedSize(), dest.end(), [](uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace quillet
