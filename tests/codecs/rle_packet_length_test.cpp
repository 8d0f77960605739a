// Packets of every length through the decoders whose copies and fills take different
// paths by length: exactly the packet's bytes are written, nothing after them.
#include <gtest/gtest.h>

#include <vector>

#include "codecs/ImageCodecs.h"

namespace quillet {
namespace {

constexpr uint8_t kUntouched = 0xEE;

// Decodes coded into a buffer of room bytes (plus a guard zone) prefilled with kUntouched.
template <class D>
std::vector<uint8_t> Unpack(D& decoder, const std::vector<uint8_t>& coded, size_t room)
{
    std::vector<uint8_t> out(room + 32, kUntouched);
    const uint8_t* source = coded.data();
    decoder.Decode(source, out.data(), int32_t(coded.size()), int32_t(room));
    return out;
}

std::vector<uint8_t> Want(const std::vector<uint8_t>& bytes, size_t total)
{
    std::vector<uint8_t> want = bytes;
    want.resize(total, kUntouched);
    return want;
}

std::vector<uint8_t> Literal(size_t n)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < n; ++i) bytes.push_back(uint8_t(i * 7 + 1));
    return bytes;
}

TEST(RunLengthPacketLengths, EveryLiteralAndRunLengthWritesExactlyItsBytes)
{
    for (size_t n = 1; n <= 128; ++n) {
        SCOPED_TRACE(n);
        const std::vector<uint8_t> literal = Literal(n);
        const std::vector<uint8_t> run(n, 0x5C);
        {
            TPackbitsRLE d;
            std::vector<uint8_t> coded{uint8_t(n - 1)};
            coded.insert(coded.end(), literal.begin(), literal.end());
            EXPECT_EQ(Unpack(d, coded, 200), Want(literal, 232));
            if (n >= 2) {
                EXPECT_EQ(Unpack(d, {uint8_t(1 - int(n)), 0x5C}, 200), Want(run, 232));
            }
        }
        {
            TRLADecoder d;
            std::vector<uint8_t> coded{uint8_t(-int(n))};
            coded.insert(coded.end(), literal.begin(), literal.end());
            EXPECT_EQ(Unpack(d, coded, 200), Want(literal, 232));
            EXPECT_EQ(Unpack(d, {uint8_t(n - 1), 0x5C}, 200), Want(run, 232));
        }
        if (n <= 127) {
            TSGIRLE d;
            d.FBytesPerSample = 1;
            std::vector<uint8_t> coded{uint8_t(0x80 | n)};
            coded.insert(coded.end(), literal.begin(), literal.end());
            coded.push_back(0);
            EXPECT_EQ(Unpack(d, coded, 200), Want(literal, 232));
            EXPECT_EQ(Unpack(d, {uint8_t(n), 0x5C, 0}, 200), Want(run, 232));
        }
        if (n <= 63) {
            TPCXRLE d;
            EXPECT_EQ(Unpack(d, {uint8_t(0xC0 | n), 0x5C}, n), Want(run, n + 32));
        }
    }
}

TEST(RunLengthPacketLengths, APacketCutByTheEndOfDestStopsThere)
{
    for (size_t room = 0; room <= 20; ++room) {
        SCOPED_TRACE(room);
        TPackbitsRLE d;
        std::vector<uint8_t> coded{127};
        const std::vector<uint8_t> literal = Literal(128);
        coded.insert(coded.end(), literal.begin(), literal.end());
        EXPECT_EQ(Unpack(d, coded, room), Want(std::vector<uint8_t>(literal.begin(), literal.begin() + long(room)), room + 32));
        EXPECT_EQ(Unpack(d, {0x81, 0x33}, room), Want(std::vector<uint8_t>(room, 0x33), room + 32));
    }
}

}  // namespace
}  // namespace quillet
