// Event routing: the delivery rule, the shared copy, references and releases,
// and the live-video gate.

#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/host/tests/HostTestSupport.h"

namespace hosttest {
namespace {

const uint32_t kVideo = KIV_TYPE_VIDEO_BIT | 0x20;  // a live video frame type

TEST(CoreRoutingKeys, DeliveryAndReadKeysFollowTheMaskTest) {
    _LoadParmsOut p{};
    p.dwRouteMask[2] = 0x03000010u;
    p.dwRouteMask[0] = 0x08000310u;
    // An XML document has delivery key 0x02000010.
    EXPECT_TRUE(kiv::core::MatchesDeliveryKey(KIV_FLAG_ROUTE2, KIV_TYPE_XML, p));
    EXPECT_FALSE(kiv::core::MatchesDeliveryKey(KIV_FLAG_ROUTE0, KIV_TYPE_XML, p));
    EXPECT_TRUE(kiv::core::MatchesDeliveryKey(KIV_FLAG_ROUTE0 | KIV_FLAG_ROUTE2, KIV_TYPE_XML, p));
    EXPECT_FALSE(kiv::core::MatchesDeliveryKey(KIV_FLAG_BROADCAST, KIV_TYPE_XML, p));
    // Type 0x04000010: delivery key 0x08000010, read key 0x02000010.
    EXPECT_TRUE(kiv::core::MatchesDeliveryKey(KIV_FLAG_ROUTE0, 0x04000010u, p));
    EXPECT_FALSE(kiv::core::MatchesReadKey(KIV_FLAG_ROUTE0, 0x04000010u, p));
    EXPECT_TRUE(kiv::core::MatchesReadKey(KIV_FLAG_ROUTE2, 0x04000010u, p));
    // The top class bit: shifted out of the delivery key, kept in the read key.
    _LoadParmsOut low{};
    low.dwRouteMask[8] = 0x00FFFFFFu;
    EXPECT_TRUE(kiv::core::MatchesDeliveryKey(KIV_FLAG_ROUTE8, 0x80000001u, low));
    EXPECT_FALSE(kiv::core::MatchesReadKey(KIV_FLAG_ROUTE8, 0x80000001u, low));
}

// Three plug-ins: p1 subscribes to route-2 XML documents, p2 to nothing, p3
// would match everything but is no event sink.
class CoreHostRouting : public CoreHost {
  protected:
    const char* const names[3] = {"p1.so", "p2.so", "p3.so"};

    void StartThree(bool keep = false) {
        Behaviour p1 = Silent(1);
        p1.load.bEventSink = 1;
        p1.load.dwRouteMask[2] = 0x03000010u;
        p1.keepData = keep;
        Behaviour p3 = Sink(3);
        p3.load.bEventSink = 0;
        AddPlugin("plugins", "p1.so", p1);
        AddPlugin("plugins", "p2.so", Silent(2));
        AddPlugin("plugins", "p3.so", p3);
        // No scheduler: its documents would arrive at any moment.
        ASSERT_TRUE(Core().LoadPlugins());
        ASSERT_TRUE(Core().InitPlugins());
        ASSERT_TRUE(Core().InitEventHandler());
        Settle();
    }
    // Waits until everything posted so far was delivered: a system document
    // reaches every plug-in after the events queued before it. Then forgets
    // all deliveries.
    void Settle() {
        const std::string marker = "marker" + std::to_string(++markers);
        EXPECT_EQ(Post(KIV_ID_CORE, KIV_FLAG_SYSTEM, KIV_TYPE_XML, marker), 0);
        EXPECT_TRUE(World::Get().WaitFor([&marker] {
            int seen = 0;
            for (const Delivery& d : World::Get().Deliveries()) seen += d.data == marker;
            return seen == 3;
        }));
    }
    static bool IsMarker(const Delivery& d) { return d.data.compare(0, 6, "marker") == 0; }
    int markers = 0;
    // How `plugin` got the document "doc": "W", "I2", "I3", or "-".
    std::string Got(const std::string& plugin) {
        std::string r;
        for (const Delivery& d : World::Get().DeliveriesTo(plugin)) {
            if (d.data != "doc") continue;
            r += d.call == kWrite ? "W" : "I" + std::to_string(d.code);
        }
        return r.empty() ? "-" : r;
    }
};

TEST_F(CoreHostRouting, DeliveryRuleTable) {
    StartThree();
    struct Case {
        uint32_t source, flags;
        const char *p1, *p2, *p3;
    } cases[] = {
        // Broadcast: every other module as IOCTL 2; the sender only by Write if it matches.
        {1, KIV_FLAG_BROADCAST, "-", "I2", "I2"},
        {1, KIV_FLAG_BROADCAST | KIV_FLAG_ROUTE2, "W", "I2", "I2"},
        {KIV_ID_CORE, KIV_FLAG_BROADCAST, "I2", "I2", "I2"},
        // System documents reach every plug-in, the sender included.
        {1, KIV_FLAG_SYSTEM, "I3", "I3", "I3"},
        {1, KIV_FLAG_SYSTEM | KIV_FLAG_BROADCAST, "I3", "I2", "I2"},
        // Routed by mask: only matching event sinks.
        {7, KIV_FLAG_ROUTE2, "W", "-", "-"},
        {7, KIV_FLAG_ROUTE1, "-", "-", "-"},
        {7, KIV_FLAG_ROUTE1 | KIV_FLAG_ROUTE2, "W", "-", "-"},
        {7, 0, "-", "-", "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "source " << c.source << " flags 0x" << std::hex << c.flags);
        World::Get().ClearDeliveries();
        EXPECT_EQ(Post(c.source, c.flags, KIV_TYPE_XML, "doc"), 0);
        Settle();
        EXPECT_EQ(Got("p1.so"), c.p1);
        EXPECT_EQ(Got("p2.so"), c.p2);
        EXPECT_EQ(Got("p3.so"), c.p3);
    }
}

TEST_F(CoreHostRouting, DeliveryRecordsCarryTheEvent) {
    StartThree();
    World::Get().ClearDeliveries();
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE2, KIV_TYPE_XML, "payload", 0, /*payload byte*/ 0x5A), 0);
    EXPECT_EQ(Post(7, KIV_FLAG_BROADCAST, KIV_TYPE_XML, "bcast"), 0);
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE2, KIV_TYPE_XML, ""), 0);  // no data
    Settle();
    const auto p1 = World::Get().DeliveriesTo("p1.so");
    ASSERT_GE(p1.size(), 2u);
    EXPECT_EQ(p1[0].call, kWrite);
    EXPECT_EQ(p1[0].data, "payload");
    EXPECT_EQ(p1[0].dwSource, 7u);
    EXPECT_EQ(p1[0].dwFlags, KIV_FLAG_ROUTE2);
    EXPECT_EQ(p1[0].dwType, KIV_TYPE_XML);
    EXPECT_EQ(p1[0].bAsync, 0);
    ASSERT_EQ(p1[0].payload.size(), size_t{KIV_PAYLOAD_SIZE});
    EXPECT_EQ(p1[0].payload[KIV_PAYLOAD_KEYFRAME], 0x5A);  // the payload travels unchanged
    EXPECT_EQ(p1[1].call, kIOCTL);
    EXPECT_EQ(p1[1].code, KIV_IOCTL_BROADCAST);
    EXPECT_EQ(p1[1].cbArgs, 16u);
    EXPECT_EQ(p1[1].data, "bcast");
    ASSERT_GE(p1.size(), 3u);
    EXPECT_EQ(p1[2].pData, nullptr);  // an event without data arrives without data
    // Deliveries run on the one event-handler thread, not the poster's.
    EXPECT_NE(World::Get().ThreadOf("p1.so:Write"), std::this_thread::get_id());
    EXPECT_EQ(World::Get().ThreadOf("p1.so:Write"), World::Get().ThreadOf("p2.so:IOCTL2"));
}

TEST_F(CoreHostRouting, EveryReceiverSharesOneCopyMadeAtPosting) {
    StartThree();
    World::Get().ClearDeliveries();
    char data[] = "original";
    EXPECT_EQ(Post(7, KIV_FLAG_SYSTEM, KIV_TYPE_XML, data, 0, 0, data), 0);
    std::strcpy(data, "changed!");  // the poster's buffer is its own again at once
    Settle();
    std::set<void*> pointers;
    for (const Delivery& d : World::Get().Deliveries()) {
        if (IsMarker(d)) continue;
        EXPECT_EQ(d.data, "original");
        pointers.insert(d.pData);
    }
    ASSERT_EQ(pointers.size(), 1u);
    EXPECT_NE(*pointers.begin(), static_cast<void*>(data));
    // Nobody kept it: no reference is left.
    EXPECT_EQ(Core().GetRefCounter().Count(static_cast<char*>(*pointers.begin())), 0u);
}

TEST_F(CoreHostRouting, KeptBufferLivesUntilItsReleaseAndStrayReleasesFreeNothing) {
    StartThree(/*keep=*/true);
    World::Get().ClearDeliveries();
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE2, KIV_TYPE_XML, "kept"), 0);
    Settle();
    char* kept = nullptr;
    for (const Delivery& d : World::Get().DeliveriesTo("p1.so"))
        if (d.data == "kept") kept = static_cast<char*>(d.pData);
    ASSERT_NE(kept, nullptr);
    CReferenceCounter& refs = Core().GetRefCounter();
    // Only p1's reference is left (the marker is kept by p1 as well).
    EXPECT_EQ(refs.Count(kept), 1u);

    // A release with more flags than 0x200 is an ordinary event, not a release.
    EXPECT_EQ(Post(1, KIV_FLAG_RELEASE | KIV_FLAG_ROUTE1, 0, "", 0, 0, kept), 0);
    // Releases by a module that holds nothing, or of an unknown buffer, free nothing.
    EXPECT_EQ(Post(2, KIV_FLAG_RELEASE, 0, "", 0, 0, kept), 0);
    char unknown[4];
    EXPECT_EQ(Post(1, KIV_FLAG_RELEASE, 0, "", 0, 0, unknown), 0);
    EXPECT_EQ(Post(1, KIV_FLAG_RELEASE, 0, ""), 0);  // null buffer
    EXPECT_EQ(refs.Count(kept), 1u);
    EXPECT_EQ(std::string(kept, 4), "kept");

    EXPECT_EQ(Post(1, KIV_FLAG_RELEASE, 0, "", 0, 0, kept), 0);
    EXPECT_EQ(refs.Count(kept), 0u);
}

TEST_F(CoreHostRouting, ReleaseDuringTheReceiversOwnCallIsHonoured) {
    // p1 keeps what it gets but gives it back before its Write returns, as a plug-in whose
    // worker parses faster than the event handler moves on does; p3 receives it afterwards.
    Behaviour p1 = Silent(1);
    p1.load.bEventSink = 1;
    p1.load.dwRouteMask[2] = 0xFFFFFFFFu;
    p1.keepData = true;
    p1.onDeliver = [](const Delivery& d) {
        if (d.data == "early") Post(1, KIV_FLAG_RELEASE, 0, "", 0, 0, d.pData);
    };
    AddPlugin("plugins", "p1.so", p1);
    AddPlugin("plugins", "p2.so", Silent(2));
    AddPlugin("plugins", "p3.so", Sink(3));
    ASSERT_TRUE(Core().LoadPlugins());
    ASSERT_TRUE(Core().InitPlugins());
    ASSERT_TRUE(Core().InitEventHandler());
    Settle();
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE2, KIV_TYPE_XML, "early"), 0);
    Settle();  // the delivery of "early" is over
    char* early = nullptr;
    std::string p3Saw;
    for (const Delivery& d : World::Get().Deliveries()) {
        if (d.data != "early") continue;
        if (d.plugin == "p1.so") early = static_cast<char*>(d.pData);
        if (d.plugin == "p3.so") p3Saw = d.data;
    }
    ASSERT_NE(early, nullptr);
    EXPECT_EQ(p3Saw, "early");  // the release did not free it before the next receiver
    // Given back during the call, so keeping it afterwards adds no reference.
    EXPECT_EQ(Core().GetRefCounter().Count(early), 0u);
}

TEST_F(CoreHostRouting, LargeBuffersAreReusedOnlyOnceTheirLastHolderGaveThemBack) {
    // Large data copies go back to a small cache when freed and carry the next large event;
    // a kept one must stay untouched until its release.
    StartThree(/*keep=*/true);
    World::Get().ClearDeliveries();
    const size_t kSize = 96 * 1024;
    const std::string a(kSize, 'a'), b(kSize, 'b'), c(kSize, 'c');
    auto pointerOf = [](const std::string& data) -> char* {
        for (const Delivery& d : World::Get().DeliveriesTo("p1.so"))
            if (d.data == data) return static_cast<char*>(d.pData);
        return nullptr;
    };
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE2, KIV_TYPE_XML, a), 0);
    Settle();
    char* kept = pointerOf(a);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE2, KIV_TYPE_XML, b), 0);
    Settle();
    EXPECT_NE(pointerOf(b), kept);
    EXPECT_EQ(std::string(kept, kSize), a);  // untouched while p1 holds it

    EXPECT_EQ(Post(1, KIV_FLAG_RELEASE, 0, "", 0, 0, kept), 0);
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE2, KIV_TYPE_XML, c), 0);
    Settle();
    char* reused = pointerOf(c);
    ASSERT_NE(reused, nullptr);
    EXPECT_EQ(reused, kept);  // the released buffer carried the next large event
    EXPECT_EQ(std::string(reused, kSize), c);
    EXPECT_EQ(std::string(pointerOf(b), kSize), b);
    EXPECT_EQ(Post(1, KIV_FLAG_RELEASE, 0, "", 0, 0, pointerOf(b)), 0);
    EXPECT_EQ(Post(1, KIV_FLAG_RELEASE, 0, "", 0, 0, reused), 0);
}

TEST_F(CoreHostRouting, EventsFromManyThreadsAreAllDeliveredInTheirOrder) {
    // The event handler is woken only when an event finds the queue empty; none may be left
    // behind without a wake-up.
    StartThree();
    World::Get().ClearDeliveries();
    const int kThreads = 4;
    const int kEach = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                Post(100 + t, KIV_FLAG_ROUTE2, KIV_TYPE_XML, std::to_string(i));
                if (i % 500 == 0) std::this_thread::yield();
            }
        });
    }
    for (std::thread& t : threads) t.join();
    Settle();
    std::map<uint32_t, int> next;
    int delivered = 0;
    for (const Delivery& d : World::Get().DeliveriesTo("p1.so")) {
        if (IsMarker(d)) continue;
        EXPECT_EQ(d.data, std::to_string(next[d.dwSource]++)) << "from " << d.dwSource;
        ++delivered;
    }
    EXPECT_EQ(delivered, kThreads * kEach);
    EXPECT_EQ(Core().GetRefCounter().Buffers(), 0u);
}

TEST_F(CoreHost, LiveVideoGateSequence) {
    // No plug-ins and no event handler: the gate works on posting alone.
    dvrcore& c = Core();
    (void)c;
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_NOT_STARTED);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "k", 0, 1), KIV_EVENT_OK);
    for (int i = 0; i < 766; ++i) ASSERT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), 0) << i;
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_TOO_MANY_FRAMES);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_NOT_STARTED);
    // Another source has its own count; a new key frame starts again.
    EXPECT_EQ(Post(43, KIV_FLAG_ROUTE0, kVideo, "k", 0, 1), KIV_EVENT_OK);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "k", 0, 1), KIV_EVENT_OK);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_OK);
    // Not a live frame: no gate (route 0 without the class bit, or the bit without route 0).
    EXPECT_EQ(Post(44, KIV_FLAG_ROUTE0, 0x20, "f"), KIV_EVENT_OK);
    EXPECT_EQ(Post(44, KIV_FLAG_ROUTE1, kVideo, "f"), KIV_EVENT_OK);
}

TEST_F(CoreHost, ThrottlingRefusesFramesUntilTheNextKeyFrame) {
    dvrcore& c = Core();
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "k", 0, 1), KIV_EVENT_OK);
    c.Throttle(true, 1000);
    EXPECT_TRUE(c.IsThrottling());
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_THROTTLING);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_NOT_STARTED);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "k", 0, 1), KIV_EVENT_THROTTLING);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_NOT_STARTED);
    // Other events pass while throttling.
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE1, KIV_TYPE_XML, "x"), KIV_EVENT_OK);
    c.Throttle(false, 1001);
    EXPECT_FALSE(c.IsThrottling());
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_NOT_STARTED);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "k", 0, 1), KIV_EVENT_OK);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_OK);
}

void* FailingAlloc(size_t) { return nullptr; }

TEST_F(CoreHost, FailedCopyQueuesNothingAndForgetsTheKeyFrame) {
    dvrcore& c = Core();
    c.SetAllocator(&FailingAlloc);
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "k", 0, 1), KIV_EVENT_NO_MEMORY);
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE1, KIV_TYPE_XML, "x"), KIV_EVENT_NO_MEMORY);
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE1, KIV_TYPE_XML, ""), KIV_EVENT_OK);  // nothing to copy
    c.SetAllocator(&std::malloc);
    // The key frame that could not be queued does not open the gate.
    EXPECT_EQ(Post(42, KIV_FLAG_ROUTE0, kVideo, "f"), KIV_EVENT_NOT_STARTED);
}

TEST_F(CoreHost, CallbackWithoutACoreQueuesNothing) {
    EXPECT_EQ(Post(7, KIV_FLAG_ROUTE1, KIV_TYPE_XML, "x"), KIV_EVENT_STREAM_STOPPED);
}

}  // namespace
}  // namespace hosttest
