#include "platform/block.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace quillet {
namespace {

size_t MappingCount()
{
    std::ifstream maps("/proc/self/maps");
    size_t lines = 0;
    for (std::string line; std::getline(maps, line);) ++lines;
    return lines;
}

TEST(Block, EveryByteIsThereAndAClearedBlockIsZero)
{
    // Around the size from which blocks are mapped, and a 3000 x 2000 picture's rows.
    const size_t kSizes[] = {0, 1, 4095, (4u << 20) - 1, 4u << 20, (4u << 20) + 1, (6u << 20) + 4096, 18'000'054};
    for (const size_t size : kSizes) {
        SCOPED_TRACE(size);
        TBlock block = AllocateBlock(size, true);
        ASSERT_TRUE(block);
        size_t nonZero = 0;
        for (size_t i = 0; i < size; ++i) nonZero += block.get()[i] != 0;
        EXPECT_EQ(nonZero, 0u);
        for (size_t i = 0; i < size; ++i) block.get()[i] = uint8_t(i);  // the last byte too
        EXPECT_EQ(block.get()[size - (size > 0)], uint8_t(size - (size > 0)));
        TBlock unclear = AllocateBlock(size, false);
        ASSERT_TRUE(unclear);
        if (size > 0) unclear.get()[size - 1] = 1;
    }
}

TEST(Block, FreeingGivesEveryMappingBack)
{
    const size_t before = MappingCount();
    for (int i = 0; i < 64; ++i) {
        TBlock a = AllocateBlock(18'000'054, false);
        TBlock b = AllocateBlock((8u << 20) + 123, true);
        ASSERT_TRUE(a && b);
        a.get()[0] = b.get()[(8u << 20) + 122] = 1;
    }
    // malloc may keep an arena of its own; a leak would leave 64 or more.
    EXPECT_LE(MappingCount(), before + 4);
}

// The sanitizers' malloc stops the program on such a size instead of failing it.
#if !defined(__SANITIZE_ADDRESS__)
TEST(Block, ASizeNoMemoryHoldsIsRefusedWithNull)
{
    EXPECT_FALSE(AllocateBlock(SIZE_MAX - 4096, false));
    EXPECT_FALSE(AllocateBlock(size_t(1) << 62, true));
}
#endif

}  // namespace
}  // namespace quillet
