#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <string>

#include "codecs/ImageCodecs.h"
#include "tests/support/bytes.h"

namespace quillet {
namespace {

using test::Bytes;

// Bytes of Dest that a decoder did not write keep this value.
constexpr uint8_t kUntouched = 0xEE;

enum class Scheme { PackBits, RLA, PCX, SGI8, SGI16, CUT };

std::unique_ptr<TDecoder> MakeDecoder(Scheme scheme)
{
    switch (scheme) {
    case Scheme::PackBits: return std::make_unique<TPackbitsRLE>();
    case Scheme::RLA: return std::make_unique<TRLADecoder>();
    case Scheme::PCX: return std::make_unique<TPCXRLE>();
    case Scheme::SGI8:
    case Scheme::SGI16: {
        auto sgi = std::make_unique<TSGIRLE>();
        sgi->FBytesPerSample = scheme == Scheme::SGI8 ? 1 : 2;
        return sgi;
    }
    case Scheme::CUT: return std::make_unique<TCUTRLE>();
    }
    return nullptr;
}

struct Decoded {
    Bytes out;
    size_t consumed;  // how far Source was moved
};

constexpr int32_t kAllCoded = INT32_MIN;  // PackedSize: all of the coded bytes

// Decodes from a buffer of exactly the coded size into one of exactly UnpackedSize bytes,
// so that the sanitizer build catches any access outside them.
Decoded Unpack(Scheme scheme, const Bytes& in, size_t unpacked, int32_t packed = kAllCoded)
{
    auto source = std::make_unique<uint8_t[]>(in.size());
    std::copy(in.begin(), in.end(), source.get());
    auto dest = std::make_unique<uint8_t[]>(unpacked);
    std::fill_n(dest.get(), unpacked, kUntouched);
    const uint8_t* cursor = source.get();
    MakeDecoder(scheme)->Decode(cursor, dest.get(), packed == kAllCoded ? int32_t(in.size()) : packed, int32_t(unpacked));
    return {Bytes(std::vector<uint8_t>(dest.get(), dest.get() + unpacked)), size_t(cursor - source.get())};
}

Bytes Repeat(size_t n, uint8_t v) { return Bytes{}.fill(n, v); }
Bytes Count(size_t n)
{
    Bytes b;
    for (size_t i = 0; i < n; ++i) b.u8(unsigned(i));
    return b;
}
Bytes operator+(Bytes a, const Bytes& b) { return std::move(a.bytes(b)); }

TEST(RunLengthDecoders, UnpackEachSchemesPackets)
{
    const uint8_t E = kUntouched;
    const struct {
        const char* name;
        Scheme scheme;
        Bytes in;
        Bytes want;
        size_t consumed;
    } kCases[] = {
        {"packbits literal", Scheme::PackBits, {0x02, 'a', 'b', 'c'}, {'a', 'b', 'c'}, 0},
        {"packbits run", Scheme::PackBits, {0xFE, 'x'}, {'x', 'x', 'x'}, 0},
        {"packbits minus 128 is skipped", Scheme::PackBits, {0x80, 0x00, 'q'}, {'q'}, 0},
        {"packbits longest run", Scheme::PackBits, {0x81, 'z'}, Repeat(128, 'z'), 0},
        {"packbits longest literal", Scheme::PackBits, Bytes{0x7F} + Count(128), Count(128), 0},
        {"packbits packed size 0 writes nothing", Scheme::PackBits, {}, {E, E}, 0},

        {"rla 0x80 copies 128 literal bytes", Scheme::RLA, Bytes{0x80} + Count(128), Count(128), 0},
        {"rla 0x00 writes the next byte once", Scheme::RLA, {0x00, 'x', 0xFE, 'a', 'b'}, {'x', 'a', 'b'}, 0},
        {"rla run", Scheme::RLA, {0x02, 'r'}, {'r', 'r', 'r'}, 0},
        {"rla longest run", Scheme::RLA, {0x7F, 'r'}, Repeat(128, 'r'), 0},

        {"pcx bytes below 0xC0 stand for themselves", Scheme::PCX, {0x00, 0x7F, 0xBF}, {0x00, 0x7F, 0xBF}, 0},
        {"pcx run", Scheme::PCX, {0xC3, 0x07, 0x01}, {7, 7, 7, 1}, 0},
        {"pcx escaped byte", Scheme::PCX, {0xC1, 0xC5}, {0xC5}, 0},
        {"pcx longest run", Scheme::PCX, {0xFF, 9}, Repeat(63, 9), 0},
        {"pcx 0xC0 writes nothing and uses both bytes", Scheme::PCX, {0xC0, 0x55, 0x01}, {0x01}, 0},
        {"pcx run is cut to the bytes left to produce", Scheme::PCX, {0x01, 0xC5, 0x07, 0x02}, {1, 7, 7, 7}, 0},

        {"sgi 8-bit", Scheme::SGI8, {0x83, 1, 2, 3, 0x02, 9, 0x00}, {1, 2, 3, 9, 9}, 0},
        {"sgi count 0 ends the row", Scheme::SGI8, {0x00, 0x03, 5}, {E, E}, 0},
        {"sgi 0x80 ends the row too", Scheme::SGI8, {0x80, 0x03, 5}, {E}, 0},
        {"sgi 16-bit keeps each sample's first byte", Scheme::SGI16,
         {0x00, 0x82, 0x12, 0x34, 0x56, 0x78, 0x00, 0x00}, {0x12, 0x56}, 0},
        {"sgi 16-bit run, high byte of the control word ignored", Scheme::SGI16,
         {0xFF, 0x03, 0xAB, 0x01, 0x00, 0x00}, {0xAB, 0xAB, 0xAB}, 0},

        {"cut skips the length field whatever it holds", Scheme::CUT,
         {0xFF, 0xFF, 0x03, 'a', 'b', 'c', 0x00, 0x01}, {'a', 'b', 'c'}, 7},
        {"cut run", Scheme::CUT, {0x05, 0x00, 0x84, 'x', 0x01, 'y', 0x00}, {'x', 'x', 'x', 'x', 'y'}, 7},
        {"cut line of only the end marker", Scheme::CUT, {0x01, 0x00, 0x00, 0x02, 'a'}, {E}, 3},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Decoded d = Unpack(c.scheme, c.in, c.want.size());
        EXPECT_EQ(d.out, c.want);
        EXPECT_EQ(d.consumed, c.consumed);
    }
}

// Coded data that reaches past either bound: a packet longer than the coded bytes, a run
// without its byte, more output than UnpackedSize. The decoder cuts the packet to what fits
// and stops; nothing outside the two buffers is touched (the buffers are exactly sized).
TEST(RunLengthDecoders, StopAtTheCodedBytesAndAtTheEndOfDest)
{
    const uint8_t E = kUntouched;
    const struct {
        const char* name;
        Scheme scheme;
        Bytes in;
        size_t unpacked;
        Bytes want;
        int32_t packed;
        size_t consumed;
    } kCases[] = {
        {"packbits literal longer than the data", Scheme::PackBits, {0x05, 'a', 'b'}, 4, {'a', 'b', E, E}, kAllCoded, 0},
        {"packbits run without its byte", Scheme::PackBits, {0x00, 'a', 0xFE}, 3, {'a', E, E}, kAllCoded, 0},
        {"packbits run longer than dest", Scheme::PackBits, {0x81, 'z', 0x00, 'q'}, 5, Repeat(5, 'z'), kAllCoded, 0},
        {"packbits literal longer than dest", Scheme::PackBits, {0x03, 1, 2, 3, 4, 0x00, 5}, 2, {1, 2}, kAllCoded, 0},
        {"packbits honours packed size, not the buffer", Scheme::PackBits, {0x00, 'a', 0x00, 'b'}, 2, {'a', E}, 2, 0},
        {"packbits negative sizes count as 0", Scheme::PackBits, {0x00, 'a'}, 1, {E}, -5, 0},

        {"rla literal longer than the data", Scheme::RLA, {0xFC, 'a'}, 3, {'a', E, E}, kAllCoded, 0},
        {"rla run without its byte", Scheme::RLA, {0x05}, 2, {E, E}, kAllCoded, 0},
        {"rla run longer than dest", Scheme::RLA, {0x7F, 'r', 0x00, 's'}, 3, {'r', 'r', 'r'}, kAllCoded, 0},

        {"pcx data ends before dest is full", Scheme::PCX, {0x01, 0xC3}, 3, {1, E, E}, kAllCoded, 0},
        {"pcx honours packed size", Scheme::PCX, {0x01, 0x02, 0x03}, 3, {1, E, E}, 1, 0},

        {"sgi literal longer than the data", Scheme::SGI8, {0x85, 1, 2}, 4, {1, 2, E, E}, kAllCoded, 0},
        {"sgi literal longer than the row", Scheme::SGI8, {0x84, 1, 2, 3, 4, 0x00}, 2, {1, 2}, kAllCoded, 0},
        {"sgi run longer than the row", Scheme::SGI8, {0x7F, 7, 0x81, 9}, 3, {7, 7, 7}, kAllCoded, 0},
        {"sgi row without its end", Scheme::SGI8, {0x02, 9}, 3, {9, 9, E}, kAllCoded, 0},
        {"sgi run without its byte", Scheme::SGI8, {0x01, 4, 0x03}, 3, {4, E, E}, kAllCoded, 0},
        {"sgi 16-bit half a sample left", Scheme::SGI16, {0x00, 0x82, 0x12, 0x34, 0x56}, 2, {0x12, E}, kAllCoded, 0},
        {"sgi 16-bit half a control word left", Scheme::SGI16, {0x00, 0x01, 0x12, 0x34, 0x00}, 2, {0x12, E}, kAllCoded, 0},

        {"cut line longer than dest still reads to its end", Scheme::CUT,
         {0, 0, 0x85, 'x', 0x02, 'a', 'b', 0x00, 0x01}, 3, {'x', 'x', 'x'}, kAllCoded, 8},
        {"cut literal cut by dest", Scheme::CUT, {0, 0, 0x04, 1, 2, 3, 4, 0x00}, 2, {1, 2}, kAllCoded, 8},
        {"cut line without its end marker stops at the buffer end", Scheme::CUT,
         {0, 0, 0x02, 'a', 'b'}, 3, {'a', 'b', E}, kAllCoded, 5},
        {"cut literal longer than the buffer", Scheme::CUT, {0, 0, 0x05, 'a'}, 3, {'a', E, E}, kAllCoded, 4},
        {"cut run without its byte", Scheme::CUT, {0, 0, 0x83}, 3, {E, E, E}, kAllCoded, 3},
        {"cut packed size 0 reads nothing", Scheme::CUT, {0, 0, 0x01, 'a', 0x00}, 1, {E}, 0, 0},
        {"cut half a length field", Scheme::CUT, {0x07}, 1, {E}, kAllCoded, 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Decoded d = Unpack(c.scheme, c.in, c.unpacked, c.packed);
        EXPECT_EQ(d.out, c.want);
        EXPECT_EQ(d.consumed, c.consumed);
    }
}

// Decoded a row at a time, a PCX run that reaches past one row goes on in the next, and the
// coded bytes are used once in all.
TEST(PCXRLE, RunsGoOnIntoTheNextPiece)
{
    const struct {
        const char* name;
        Bytes in;
        size_t piece;
        std::vector<Bytes> pieces;
        std::vector<size_t> consumed;  // source position after each piece
    } kCases[] = {
        {"run over three pieces", {0xC5, 7, 0x01}, 2, {{7, 7}, {7, 7}, {7, 1}}, {2, 2, 3}},
        {"literal bytes end a piece exactly", {1, 2, 3, 4}, 2, {{1, 2}, {3, 4}}, {2, 4}},
        {"coded bytes end early", {0xC3, 5}, 2, {{5, 5}, {5, kUntouched}, {kUntouched, kUntouched}}, {2, 2, 2}},
        {"a count without its byte is left unused", {9, 0xC4}, 2, {{9, kUntouched}}, {1}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        auto source = std::make_unique<uint8_t[]>(c.in.size());
        std::copy(c.in.begin(), c.in.end(), source.get());
        const uint8_t* cursor = source.get();
        TPCXRun pending;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            SCOPED_TRACE(i);
            auto dest = std::make_unique<uint8_t[]>(c.piece);
            std::fill_n(dest.get(), c.piece, kUntouched);
            const size_t produced = DecodePCXRLE(cursor, source.get() + c.in.size(), dest.get(), c.piece, pending);
            EXPECT_EQ(Bytes(std::vector<uint8_t>(dest.get(), dest.get() + c.piece)), c.pieces[i]);
            EXPECT_EQ(produced, size_t(std::count_if(c.pieces[i].begin(), c.pieces[i].end(),
                                                     [](uint8_t b) { return b != kUntouched; })));
            EXPECT_EQ(size_t(cursor - source.get()), c.consumed[i]);
        }
    }
}

// Long stretches of random PCX data (single bytes, escaped bytes, runs of every length and
// counts of zero) decode, in pieces of many lengths, to what a byte-at-a-time reading of
// the scheme gives; the pieces are exactly sized, so the sanitizer build sees any store
// past them.
TEST(PCXRLE, RandomDataDecodesAsTheSchemeSays)
{
    std::mt19937 random(11);
    for (int round = 0; round < 40; ++round) {
        Bytes coded, want;
        while (coded.size() < 4000) {
            const unsigned kind = random() % 10;
            if (kind < 6) {
                const uint8_t b = uint8_t(random() % 0xC0);
                coded.u8(b);
                want.u8(b);
            } else {
                const unsigned n = kind == 6 ? 0 : kind == 7 ? 1 + random() % 8 : random() % 64;
                const uint8_t v = uint8_t(random());
                coded.u8(0xC0 | n).u8(v);
                want.fill(n, v);
            }
        }
        const size_t piece = 1 + random() % 300;
        SCOPED_TRACE("round " + std::to_string(round) + ", pieces of " + std::to_string(piece));
        auto source = std::make_unique<uint8_t[]>(coded.size());
        std::copy(coded.begin(), coded.end(), source.get());
        const uint8_t* cursor = source.get();
        TPCXRun pending;
        Bytes got;
        for (;;) {
            auto dest = std::make_unique<uint8_t[]>(piece);
            const size_t produced = DecodePCXRLE(cursor, source.get() + coded.size(), dest.get(), piece, pending);
            got.insert(got.end(), dest.get(), dest.get() + produced);
            if (produced < piece) break;
        }
        EXPECT_EQ(got, want);
        EXPECT_EQ(cursor, source.get() + coded.size());
    }
}

// ---- Targa ------------------------------------------------------------------------------

struct TargaDecoded {
    Bytes out;
    int32_t used;
};

TargaDecoded DecodeTarga(const Bytes& in, uint32_t count, uint8_t pixelBits, TTargaCarry* carry = nullptr)
{
    auto source = std::make_unique<uint8_t[]>(in.size());
    std::copy(in.begin(), in.end(), source.get());
    auto dest = std::make_unique<uint8_t[]>(count);
    std::fill_n(dest.get(), count, kUntouched);
    const int32_t used = DecodeTargaRLE(source.get(), uint32_t(in.size()), dest.get(), count, pixelBits, carry);
    return {Bytes(std::vector<uint8_t>(dest.get(), dest.get() + count)), used};
}

TEST(TargaRLE, DecodesRunAndRawPacketsOfEveryPixelSize)
{
    const uint8_t E = kUntouched;
    const struct {
        const char* name;
        uint8_t pixelBits;
        Bytes in;
        Bytes want;
        int32_t used;
    } kCases[] = {
        {"24-bit run", 24, {0x81, 'B', 'G', 'R'}, {'B', 'G', 'R', 'B', 'G', 'R'}, 4},
        {"24-bit raw of one pixel", 24, {0x00, 'B', 'G', 'R'}, {'B', 'G', 'R'}, 4},
        {"8-bit raw then run", 8, {0x01, 5, 6, 0x82, 9}, {5, 6, 9, 9, 9}, 5},
        {"15-bit pixels take 2 bytes", 15, {0x81, 0x34, 0x12, 0x00, 0xAA, 0xBB}, {0x34, 0x12, 0x34, 0x12, 0xAA, 0xBB}, 6},
        {"16-bit run", 16, {0x80, 0x01, 0x80}, {0x01, 0x80}, 3},
        {"32-bit pixels keep their fourth byte", 32, {0x81, 1, 2, 3, 4}, {1, 2, 3, 4, 1, 2, 3, 4}, 5},
        {"longest run", 8, {0xFF, 3}, Repeat(128, 3), 2},
        {"longest raw", 8, Bytes{0x7F} + Count(128), Count(128), 129},
        {"other pixel sizes do nothing", 12, {0x81, 1, 2}, {E, E}, 0},
        // Without a carry the pixels past Count are dropped, the packet counted whole.
        {"run past the row end", 8, {0x83, 7, 0x00, 1}, {7, 7}, 2},
        {"raw past the row end", 8, {0x03, 1, 2, 3, 4, 0x00, 9}, {1, 2}, 5},
        // A packet whose pixels are not all held is not used.
        {"raw packet past the data", 8, {0x00, 5, 0x02, 1}, {5, E, E, E}, 2},
        {"run header without its pixel", 24, {0x81, 'B', 'G'}, {E, E, E}, 0},
        {"no data", 24, {}, {E, E, E}, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const TargaDecoded d = DecodeTarga(c.in, uint32_t(c.want.size()), c.pixelBits);
        EXPECT_EQ(d.out, c.want);
        EXPECT_EQ(d.used, c.used);
    }
}

// With a carry, the pixels of a packet that runs past the row's end start the next row; each
// call still reports whole packets, so the coded data is used once in all.
TEST(TargaRLE, CarryTakesTheRestOfACrossingPacketIntoTheNextRow)
{
    const struct {
        const char* name;
        uint8_t pixelBits;
        Bytes in;
        uint32_t rowBytes;
        std::vector<Bytes> rows;
        std::vector<int32_t> used;
    } kCases[] = {
        {"run crosses", 8, {0x82, 9, 0x00, 4}, 2, {{9, 9}, {9, 4}}, {2, 2}},
        {"raw crosses", 8, {0x03, 1, 2, 3, 4}, 2, {{1, 2}, {3, 4}}, {5, 0}},
        {"one packet covers several rows", 24, {0x82, 'B', 'G', 'R'}, 3,
         {{'B', 'G', 'R'}, {'B', 'G', 'R'}, {'B', 'G', 'R'}}, {4, 0, 0}},
        {"raw 16-bit crosses", 16, {0x02, 1, 2, 3, 4, 5, 6, 0x80, 7, 8}, 4, {{1, 2, 3, 4}, {5, 6, 7, 8}}, {7, 3}},
        {"carried pixels come first, then the data ends", 8, {0x81, 1, 0x00, 2, 0x01, 3, 4}, 2, {{1, 1}, {2, 3}, {4, kUntouched}},
         {2, 5, 0}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TTargaCarry carry;
        size_t offset = 0;
        for (size_t y = 0; y < c.rows.size(); ++y) {
            SCOPED_TRACE(y);
            const TargaDecoded d = DecodeTarga(Bytes(std::vector<uint8_t>(c.in.begin() + long(offset), c.in.end())),
                                               c.rowBytes, c.pixelBits, &carry);
            EXPECT_EQ(d.out, c.rows[y]);
            EXPECT_EQ(d.used, c.used[y]);
            offset += size_t(d.used);
        }
    }
}

Bytes Encode(const Bytes& pixels, int32_t bytesPerPixel)
{
    const int32_t count = int32_t(pixels.size()) / bytesPerPixel;
    Bytes out(std::vector<uint8_t>(2 * pixels.size(), kUntouched));
    const int32_t written = EncodeTargaRLE(pixels.data(), out.data(), count, bytesPerPixel);
    out.resize(size_t(written));
    return out;
}

TEST(TargaRLE, EncodesOnePacketPerStep)
{
    const struct {
        const char* name;
        int32_t bytesPerPixel;
        Bytes pixels;
        Bytes want;
    } kCases[] = {
        {"raw then run", 1, {'A', 'B', 'C', 'C', 'C'}, {0x01, 'A', 'B', 0x82, 'C'}},
        {"raw to the row end", 1, {'A', 'B', 'C'}, {0x02, 'A', 'B', 'C'}},
        {"single pixel", 3, {1, 2, 3}, {0x00, 1, 2, 3}},
        {"run then raw", 1, {7, 7, 8}, {0x81, 7, 0x00, 8}},
        {"300 equal pixels", 1, Repeat(300, 5), {0xFF, 5, 0xFF, 5, 0xAB, 5}},
        {"129 distinct pixels", 1, Count(129), Bytes{0x7F} + Count(128) + Bytes{0x00, 128}},
        {"pixels equal only when all bytes are", 3, {1, 2, 3, 1, 2, 4, 1, 2, 4}, {0x00, 1, 2, 3, 0x81, 1, 2, 4}},
        {"two-byte pixels", 2, {1, 2, 1, 2, 3, 4}, {0x81, 1, 2, 0x00, 3, 4}},
        {"four-byte pixels", 4, {1, 2, 3, 4, 1, 2, 3, 4}, {0x81, 1, 2, 3, 4}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Encode(c.pixels, c.bytesPerPixel), c.want);
    }
}

// Rows of random runs and noise at every pixel size: decoding what was encoded gives the row
// back and uses exactly the bytes written, which never exceed twice the row.
TEST(TargaRLE, DecodingWhatWasEncodedGivesTheRowBack)
{
    std::mt19937 random(7);
    const uint8_t kPixelBits[] = {8, 16, 24, 32};
    for (const uint8_t pixelBits : kPixelBits) {
        const int32_t p = pixelBits / 8;
        for (int width : {1, 2, 3, 127, 128, 129, 257, 1000}) {
            SCOPED_TRACE(std::to_string(pixelBits) + " bits, width " + std::to_string(width));
            Bytes row;
            while (int32_t(row.size()) < width * p) {
                const int run = random() % 3 == 0 ? int(random() % 200) + 1 : 1;
                uint8_t pixel[4];
                for (auto& b : pixel) b = uint8_t(random() % 4);  // few values: accidental runs too
                for (int i = 0; i < run && int32_t(row.size()) < width * p; ++i) row.insert(row.end(), pixel, pixel + p);
            }
            const Bytes coded = Encode(row, p);
            EXPECT_LE(coded.size(), 2 * row.size());
            const TargaDecoded d = DecodeTarga(coded, uint32_t(row.size()), pixelBits);
            EXPECT_EQ(d.out, row);
            EXPECT_EQ(d.used, int32_t(coded.size()));
        }
    }
}

}  // namespace
}  // namespace quillet
