#include <gtest/gtest.h>

#include <string>

#include "core/util/Pool.h"

namespace {

const unsigned kBlock = CPool::BLOCK_SIZE;

TEST(CorePool, WholeBlockThenASecondBlock) {
    CPool pool;
    testing::internal::CaptureStderr();
    char* a = pool.Acquire(kBlock);
    ASSERT_NE(a, nullptr);
    char* b = pool.Acquire(1);
    ASSERT_NE(b, nullptr);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(pool.BlocksInUse(), 2u);
    EXPECT_EQ(log, "allocation blocks[0]\nallocation blocks[1]\n");
    // The whole block is usable.
    a[0] = 1;
    a[kBlock - 1] = 2;
    b[0] = 3;
    EXPECT_EQ(a[kBlock - 1], 2);
    pool.Release(a);
    pool.Release(b);
}

TEST(CorePool, OversizedRequestFails) {
    CPool pool;
    testing::internal::CaptureStderr();
    EXPECT_EQ(pool.Acquire(kBlock + 1), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "allocation size 2097153 failure\n");
    EXPECT_EQ(pool.BlocksInUse(), 0u);
    // A huge size must not wrap the fit check around.
    testing::internal::CaptureStderr();
    char* small = pool.Acquire(16);
    EXPECT_EQ(pool.Acquire(0xFFFFFFF8u), nullptr);
    testing::internal::GetCapturedStderr();
    pool.Release(small);
}

TEST(CorePool, ChunksComeFromTheNewestBlockInOrder) {
    CPool pool;
    testing::internal::CaptureStderr();
    char* a = pool.Acquire(100);
    char* b = pool.Acquire(200);
    char* c = pool.Acquire(kBlock - 300);
    char* d = pool.Acquire(1);  // the first block is full
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(b, a + 100);
    EXPECT_EQ(c, a + 300);
    EXPECT_EQ(pool.BlocksInUse(), 2u);
    EXPECT_NE(d, nullptr);
    for (char* p : {a, b, c, d}) pool.Release(p);
    EXPECT_EQ(pool.BlocksInUse(), 0u);
}

TEST(CorePool, EmptiedBlockIsKeptAndReused) {
    CPool pool;
    testing::internal::CaptureStderr();
    char* a = pool.Acquire(10);
    char* b = pool.Acquire(20);
    pool.Release(a);
    EXPECT_EQ(pool.BlocksInUse(), 1u);  // one chunk still out
    pool.Release(b);
    EXPECT_EQ(pool.BlocksInUse(), 0u);
    EXPECT_EQ(pool.SpareBlocks(), 1u);
    char* again = pool.Acquire(30);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(again, a);  // the spare block comes back, space reused from its start
    EXPECT_EQ(log, "allocation blocks[0]\n");  // no second heap allocation
    EXPECT_EQ(pool.SpareBlocks(), 0u);
    pool.Release(again);
}

TEST(CorePool, SpareBlocksAreFreedWhenTheyOutnumberUsedOnes) {
    CPool pool;
    testing::internal::CaptureStderr();
    char* a = pool.Acquire(kBlock);
    char* b = pool.Acquire(kBlock);
    char* c = pool.Acquire(kBlock);
    pool.Release(a);  // b=3, c=0: kept
    pool.Release(b);  // b=2, c=1: kept
    pool.Release(c);  // b=1, c=2: freed
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(pool.SpareBlocks(), 2u);
    EXPECT_EQ(pool.BlocksInUse(), 0u);
    EXPECT_NE(log.find("freeing blocks[1] allocs[2]\n"), std::string::npos);
}

TEST(CorePool, ReleaseOutsideEveryBlockIsIgnored) {
    CPool pool;
    testing::internal::CaptureStderr();
    char* a = pool.Acquire(8);
    char outside[4];
    pool.Release(outside);
    pool.Release(nullptr);
    pool.Release(a + kBlock);  // one past the block
    EXPECT_EQ(pool.BlocksInUse(), 1u);
    pool.Release(a + 4);  // inside the block counts for it
    EXPECT_EQ(pool.BlocksInUse(), 0u);
    testing::internal::GetCapturedStderr();
}

TEST(CorePool, DestructorReportsBlocksStillInUse) {
    testing::internal::CaptureStderr();
    {
        CPool pool;
        pool.Acquire(1);
        pool.Acquire(2);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("~pool freeing block["), std::string::npos);
    EXPECT_NE(log.find("] chunks[2]\n"), std::string::npos);
}

}  // namespace
