#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "core/util/ReferenceCounter.h"

namespace {

const unsigned long kCore = 0x80000000ul;

TEST(CoreReferenceCounter, RepeatedReferencesOfOneOwnerGoTogether) {
    CReferenceCounter rc;
    char b[1];
    rc.Increment(b, 5);
    rc.Increment(b, 5);
    EXPECT_EQ(rc.Count(b), 2u);
    EXPECT_TRUE(rc.Decrement(b, 5));
    EXPECT_EQ(rc.Count(b), 0u);
}

TEST(CoreReferenceCounter, LastOwnerDecides) {
    CReferenceCounter rc;
    char b[1];
    rc.Increment(b, 5);
    rc.Increment(b, kCore);
    EXPECT_FALSE(rc.Decrement(b, 5));
    EXPECT_EQ(rc.Count(b), 1u);
    EXPECT_TRUE(rc.Decrement(b, kCore));
}

TEST(CoreReferenceCounter, NullBufferIsIgnored) {
    CReferenceCounter rc;
    char b[1];
    rc.Increment(b, 5);
    rc.Increment(nullptr, 5);
    EXPECT_TRUE(rc.Decrement(nullptr, 5));
    EXPECT_EQ(rc.Buffers(), 1u);
    EXPECT_EQ(rc.Count(b), 1u);
}

TEST(CoreReferenceCounter, DecrementOfAnOwnerWithoutReferenceRemovesNothing) {
    CReferenceCounter rc;
    char b[1];
    rc.Increment(b, 5);
    EXPECT_FALSE(rc.Decrement(b, 7));
    EXPECT_EQ(rc.Count(b), 1u);
}

TEST(CoreReferenceCounter, DropTellsAStrayReleaseApart) {
    CReferenceCounter rc;
    char b[1], other[1];
    // A buffer nobody counted must not be reported as "last reference gone".
    EXPECT_EQ(rc.Drop(other, 5), CReferenceCounter::EDrop::NotHeld);
    EXPECT_EQ(rc.Drop(nullptr, 5), CReferenceCounter::EDrop::NotHeld);
    rc.Increment(b, 5);
    rc.Increment(b, 6);
    EXPECT_EQ(rc.Drop(b, 7), CReferenceCounter::EDrop::StillHeld);
    EXPECT_EQ(rc.Drop(b, 5), CReferenceCounter::EDrop::StillHeld);
    EXPECT_EQ(rc.Drop(b, 5), CReferenceCounter::EDrop::StillHeld);
    EXPECT_EQ(rc.Drop(b, 6), CReferenceCounter::EDrop::LastGone);
    EXPECT_EQ(rc.Drop(b, 6), CReferenceCounter::EDrop::NotHeld);
}

TEST(CoreReferenceCounter, TakeAllReturnsEachBufferOnce) {
    CReferenceCounter rc;
    char a[1], b[1];
    rc.Increment(a, 1);
    rc.Increment(a, 2);
    rc.Increment(b, 1);
    std::vector<char*> all = rc.TakeAll();
    std::sort(all.begin(), all.end());
    std::vector<char*> expected{a, b};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
    EXPECT_EQ(rc.Buffers(), 0u);
}

// The event handler's delivery of one buffer: the core's and the receiver's references
// count like map entries while the buffer is in delivery.
TEST(CoreReferenceCounter, DeliveryReferencesCountLikeEntries) {
    const unsigned long kReceiver = 5;
    struct Case {
        const char* name;
        bool keep;
        bool releaseDuringCall;
        size_t countAfterCall;  // core + what the receiver still holds
        bool lastGoneAtUnhold;
    };
    const Case cases[] = {
        {"not kept", false, false, 1, true},
        {"kept", true, false, 2, false},
        {"kept but released during its call", true, true, 1, true},
        {"released during its call, not kept", false, true, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CReferenceCounter rc;
        char b[1];
        rc.Hold(b);
        EXPECT_EQ(rc.Count(b), 1u);
        EXPECT_EQ(rc.Buffers(), 1u);
        rc.Lend(b, kReceiver);
        EXPECT_EQ(rc.Count(b), 2u);
        if (c.releaseDuringCall) {
            // The core still holds the buffer: the release must not free it.
            EXPECT_EQ(rc.Drop(b, kReceiver), CReferenceCounter::EDrop::StillHeld);
        }
        rc.Lent(b, kReceiver, c.keep);
        EXPECT_EQ(rc.Count(b), c.countAfterCall);
        EXPECT_EQ(rc.Unhold(b), c.lastGoneAtUnhold);
        if (!c.lastGoneAtUnhold) {
            EXPECT_EQ(rc.Count(b), 1u);
            EXPECT_EQ(rc.Drop(b, kReceiver), CReferenceCounter::EDrop::LastGone);
        }
        EXPECT_EQ(rc.Buffers(), 0u);
    }
}

TEST(CoreReferenceCounter, ReleasesCannotTakeTheCoresDeliveryReference) {
    CReferenceCounter rc;
    char b[1];
    rc.Hold(b);
    rc.Lend(b, 5);
    // A release claiming to come from the core, or from a module holding nothing.
    EXPECT_EQ(rc.Drop(b, kCore), CReferenceCounter::EDrop::StillHeld);
    EXPECT_EQ(rc.Drop(b, 6), CReferenceCounter::EDrop::StillHeld);
    rc.Lent(b, 5, false);
    EXPECT_EQ(rc.Drop(b, kCore), CReferenceCounter::EDrop::StillHeld);
    EXPECT_EQ(rc.Count(b), 1u);
    EXPECT_TRUE(rc.Unhold(b));
}

TEST(CoreReferenceCounter, KeptDeliveriesOfSeveralReceiversStayUntilEachReleases) {
    CReferenceCounter rc;
    char b[1];
    rc.Hold(b);
    for (unsigned long owner : {5ul, 6ul, 7ul}) {
        rc.Lend(b, owner);
        rc.Lent(b, owner, owner != 6);
    }
    EXPECT_FALSE(rc.Unhold(b));
    EXPECT_EQ(rc.Count(b), 2u);
    EXPECT_EQ(rc.Drop(b, 6), CReferenceCounter::EDrop::StillHeld);  // held nothing
    EXPECT_EQ(rc.Drop(b, 5), CReferenceCounter::EDrop::StillHeld);
    EXPECT_EQ(rc.Drop(b, 7), CReferenceCounter::EDrop::LastGone);
    std::vector<char*> none = rc.TakeAll();
    EXPECT_TRUE(none.empty());
}

TEST(CoreReferenceCounter, TakeAllIncludesABufferInDelivery) {
    CReferenceCounter rc;
    char b[1];
    rc.Hold(b);
    EXPECT_EQ(rc.TakeAll(), std::vector<char*>{b});
    EXPECT_EQ(rc.Buffers(), 0u);
}

TEST(CoreReferenceCounter, NullDeliveryIsIgnored) {
    CReferenceCounter rc;
    rc.Hold(nullptr);
    rc.Lend(nullptr, 5);
    rc.Lent(nullptr, 5, true);
    EXPECT_TRUE(rc.Unhold(nullptr));
    EXPECT_EQ(rc.Buffers(), 0u);
}

TEST(CoreReferenceCounter, ConcurrentOwnersLeaveNothingBehind) {
    CReferenceCounter rc;
    std::vector<char> buffers(64);
    std::vector<std::thread> threads;
    for (unsigned long owner = 1; owner <= 4; ++owner) {
        threads.emplace_back([&rc, &buffers, owner] {
            for (int round = 0; round < 200; ++round) {
                for (char& b : buffers) rc.Increment(&b, owner);
                for (char& b : buffers) rc.Decrement(&b, owner);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(rc.Buffers(), 0u);
}

}  // namespace
