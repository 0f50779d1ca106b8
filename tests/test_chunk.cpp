#include <tessera/chunk.h>

#include <cstdint>
#include <vector>

#include "support/test_support.h"

using namespace tessera::test;

namespace {
int region_count(Chunk c) {
    int n = 0;
    for (ChunkRegion *r = c->regions; r; r = r->next) ++n;
    return n;
}
} // namespace

TEST(Chunk, BlockSizeIsRoundedToWholePointers) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 8},  {1, 8},   {3, 8},   {5, 8},  {8, 8},
                                                   {9, 16}, {28, 32}, {30, 32}, {32, 32}};
    for (auto [asked, given] : cases) {
        Chunk c = chNew(asked);
        ASSERT_NE(c, NULLCHUNK);
        EXPECT_EQ(c->blockSize, given) << "chNew(" << asked << ")";
        EXPECT_EQ(c->freeList, nullptr);
        EXPECT_EQ(c->regions, nullptr);
        chNuke(c);
    }
}

TEST(Chunk, SizeWithNoRoundedBlockSizeFails) {
    EXPECT_EQ(chNew(UINT32_MAX), NULLCHUNK);
    Chunk c = chNew(UINT32_MAX - 7);
    ASSERT_NE(c, NULLCHUNK);
    EXPECT_EQ(c->blockSize, UINT32_MAX - 7);
    chNuke(c);
}

TEST(Chunk, FirstRegionIsHandedOutInAscendingOrder) {
    Chunk c = chNew(24);
    auto *first = static_cast<char *>(chAlloc(c));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, c->regions->mem);
    for (int i = 1; i < 1000; ++i) {
        auto *b = static_cast<char *>(chAlloc(c));
        ASSERT_EQ(b, first + i * 24) << "block " << i;
    }
    EXPECT_EQ(c->freeList, nullptr);
    EXPECT_EQ(region_count(c), 1);
    void *next = chAlloc(c);
    EXPECT_EQ(region_count(c), 2);
    EXPECT_EQ(next, c->regions->next->mem);
    chNuke(c);
}

TEST(Chunk, LastFreedIsFirstReusedAndKeepsItsContents) {
    Chunk c = chNew(32);
    auto *a = static_cast<uint64_t *>(chAlloc(c));
    auto *b = static_cast<uint64_t *>(chAlloc(c));
    a[1] = 0x1111;
    b[1] = 0x2222;
    chFree(c, a);
    chFree(c, b);
    EXPECT_EQ(chAlloc(c), b);
    EXPECT_EQ(b[1], 0x2222u);
    auto *again = static_cast<uint64_t *>(chAlloc(c));
    EXPECT_EQ(again, a);
    EXPECT_EQ(a[1], 0x1111u);
    EXPECT_NE(a[0], 0u); // the link word of a block taken from the free list
    chNuke(c);
}

TEST(Chunk, ManyBlocksStayDistinctAcrossRegions) {
    Chunk c = chNew(16);
    std::vector<uint64_t *> blocks;
    for (int i = 0; i < 3500; ++i) {
        blocks.push_back(static_cast<uint64_t *>(chAlloc(c)));
        blocks.back()[1] = static_cast<uint64_t>(i);
    }
    EXPECT_EQ(region_count(c), 4);
    for (int i = 0; i < 3500; ++i) ASSERT_EQ(blocks[i][1], static_cast<uint64_t>(i));
    for (int i = 0; i < 3500; i += 2) chFree(c, blocks[i]);
    for (int i = 0; i < 1750; ++i) chAlloc(c);
    EXPECT_EQ(region_count(c), 4); // freed blocks were reused before a new region
    chNuke(c);
}

TEST(Chunk, NukeOfUnusedChunkAndOfNull) {
    const long live = tessera::detail::seam::live();
    chNuke(chNew(10));
    chNuke(NULLCHUNK);
    EXPECT_EQ(tessera::detail::seam::live(), live);
}

TEST(ChunkAllocFailure, NewAndRefillGiveNullAndLeaveTheChunkAsItWas) {
    EXPECT_EQ(each_allocation_failure([](FailPoint &fp) {
                  fp.arm();
                  Chunk c = chNew(12);
                  if (fp.fired()) {
                      EXPECT_EQ(c, NULLCHUNK);
                  }
                  chNuke(c);
              }),
              1);
    EXPECT_EQ(each_allocation_failure([](FailPoint &fp) {
                  Chunk c = chNew(12);
                  for (int i = 0; i < 1000; ++i) chAlloc(c);
                  fp.arm();
                  void *b = chAlloc(c);
                  if (fp.fired()) {
                      EXPECT_EQ(b, nullptr);
                      EXPECT_EQ(region_count(c), 1);
                      EXPECT_EQ(c->freeList, nullptr);
                  } else {
                      EXPECT_EQ(region_count(c), 2);
                  }
                  chNuke(c);
              }),
              2);
}

TEST(ChunkDeathTest, NullChunkOrBlockFailsItsCheck) {
    Chunk c = chNew(8);
    int x;
    const auto abrt = testing::KilledBySignal(SIGABRT);
    EXPECT_EXIT(chAlloc(NULLCHUNK), abrt, assertion("c != NULLCHUNK", "chunk.cpp"));
    EXPECT_EXIT(chFree(NULLCHUNK, &x), abrt, assertion("c != NULLCHUNK", "chunk.cpp"));
    EXPECT_EXIT(chFree(c, nullptr), abrt, assertion("p != (void *)NULL", "chunk.cpp"));
    chNuke(c);
}
