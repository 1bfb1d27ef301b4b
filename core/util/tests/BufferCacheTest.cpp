#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "core/util/BufferCache.h"

namespace {

using kiv::util::BufferCache;

char* Heap(size_t size) { return static_cast<char*>(std::malloc(size)); }

TEST(CoreBufferCache, GivesBackTheWarmestBufferThatFits) {
    BufferCache cache;
    char* older = Heap(128 * 1024);
    char* newer = Heap(128 * 1024);
    cache.Give(older);
    cache.Give(newer);
    EXPECT_EQ(cache.Take(128 * 1024), newer);  // last in, first out
    EXPECT_EQ(cache.Take(100 * 1024), older);  // smaller requests fit as well
    EXPECT_EQ(cache.Take(128 * 1024), nullptr);
    std::free(older);
    std::free(newer);
}

TEST(CoreBufferCache, TakesOnlyBuffersOfAFittingSize) {
    BufferCache cache;
    char* kept = Heap(128 * 1024);
    cache.Give(kept);
    struct Case {
        size_t request;
        bool reused;
    } cases[] = {
        {128 * 1024 + 4096, false},  // larger than the buffer
        {60 * 1024, false},          // the buffer would be more than twice the request
        {1024, false},               // small requests always go to the heap
        {3 * 1024 * 1024, false},    // above the largest size kept
        {72 * 1024, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        char* got = cache.Take(c.request);
        EXPECT_EQ(got == kept, c.reused);
        if (got) cache.Give(got);
    }
    EXPECT_EQ(cache.KeptCount(), 1u);
}

TEST(CoreBufferCache, HoldsBackABoundedAmount) {
    BufferCache cache;
    cache.Give(Heap(1024));             // too small to keep
    cache.Give(Heap(3 * 1024 * 1024));  // too large to keep
    cache.Give(nullptr);
    EXPECT_EQ(cache.KeptCount(), 0u);

    std::vector<char*> given;
    for (size_t i = 0; i < BufferCache::kMaxKept + 3; ++i) {
        given.push_back(Heap(128 * 1024));
        cache.Give(given.back());
    }
    EXPECT_EQ(cache.KeptCount(), BufferCache::kMaxKept);
    // The oldest were freed; the newest is handed out first.
    EXPECT_EQ(cache.Take(128 * 1024), given.back());
    std::free(given.back());

    for (int i = 0; i < 4; ++i) cache.Give(Heap(1536 * 1024));
    EXPECT_LE(cache.KeptBytes(), BufferCache::kMaxKeptBytes);
    EXPECT_LE(cache.KeptCount(), BufferCache::kMaxKept);
    cache.Clear();
    EXPECT_EQ(cache.KeptCount(), 0u);
    EXPECT_EQ(cache.KeptBytes(), 0u);
}

}  // namespace
