// smbfetch's block size: doubles while blocks come quickly, halves while they
// come slowly, and never leaves its bounds.
#include <gtest/gtest.h>

#include <vector>

#include "block_size.h"

namespace {

using namespace smbfetch;

TEST(SmbfetchBlock, QuickBlocksGrowToTheLargestAndNoFurther)
{
    uint32_t block = kFirstBlockBytes;
    std::vector<uint32_t> seen;
    for (int i = 0; i < 12; ++i) {
        block = nextBlockBytes(block, 0.001);
        seen.push_back(block);
    }
    EXPECT_EQ(seen[0], 2 * kFirstBlockBytes);
    EXPECT_EQ(seen.back(), kLargestBlockBytes);
    for (const uint32_t b : seen)
        EXPECT_LE(b, kLargestBlockBytes);
}

TEST(SmbfetchBlock, SlowBlocksShrinkToTheSmallestAndNoFurther)
{
    uint32_t block = kLargestBlockBytes;
    for (int i = 0; i < 12; ++i) {
        const uint32_t next = nextBlockBytes(block, 3.0);
        EXPECT_EQ(next, block > kSmallestBlockBytes ? block / 2 : kSmallestBlockBytes);
        block = next;
    }
    EXPECT_EQ(block, kSmallestBlockBytes);
}

TEST(SmbfetchBlock, BlocksInTheBandKeepTheirSize)
{
    for (const double seconds : {kQuickBlockSeconds, 0.25, kSlowBlockSeconds})
        EXPECT_EQ(nextBlockBytes(8u << 20, seconds), 8u << 20);
}

}  // namespace
