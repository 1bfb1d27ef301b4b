// Scheduler: memory limit, throttling and its messages, clock jumps, and the
// memory setting "core.xml".

#include <atomic>

#include "core/host/tests/HostTestSupport.h"

namespace hosttest {
namespace {

TEST(CoreMemoryLimit, FollowsInstalledMemoryAndKernel) {
    struct Case {
        bool available;
        uint64_t total;
        const char* machine;
        uint32_t limit;
    } cases[] = {
        {false, 0, "", 0x80000000u},
        {true, 1ull << 30, "i686", 1u << 30},  // 1 GiB: the whole memory
        {true, 0x80000000ull, "x86_64", 0x80000000u},
        {true, 0x80000001ull, "x86_64", 0x80000000u},
        {true, 0xC0000000ull, "x86_64", 0x80000000u},
        {true, 0xC0000001ull, "x86_64", 0xC0000000u},
        {true, 8ull << 30, "x86_64", 0xC0000000u},
        {true, 8ull << 30, "i686", 0x80000000u},
        {true, 8ull << 30, "x86_64 ", 0x80000000u},  // exactly "x86_64"
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kiv::core::MemoryLimit(c.available, c.total, c.machine), c.limit)
            << c.total << " " << c.machine;
    }
    const uint32_t here = kiv::core::ReadMemoryLimit();
    EXPECT_GT(here, 0u);
    EXPECT_LE(here, 0xC0000000u);
}

TEST(CoreHeapReading, AllocatorReportsCurrentBytes) {
    uint64_t bytes = 0;
#if KIV_HEAP_STATS
    ASSERT_TRUE(kiv::core::ReadHeapBytes(&bytes));
    EXPECT_GT(bytes, 0u);
#else
    // Built without tcmalloc (the sanitizer builds): no statistics, so no throttling decision.
    EXPECT_FALSE(kiv::core::ReadHeapBytes(&bytes));
#endif
}

// A core with a plug-in that records every log text and XML document, an
// event handler, and no scheduler thread: the test drives the passes itself.
class CoreHostScheduler : public CoreHost {
  protected:
    void SetUp() override {
        CoreHost::SetUp();
        AddPlugin("plugins", "mon.so", Sink(1));
        dvrcore& c = Core();
        c.SetClock([this] { return now.load(); });
        c.SetHeapReader([this](uint64_t* bytes) {
            ++heapReads;
            if (!heapAvailable) return false;
            *bytes = heap;
            return true;
        });
        ASSERT_TRUE(c.LoadPlugins());
        ASSERT_TRUE(c.InitPlugins());
        ASSERT_TRUE(c.InitEventHandler());
        Settle();
    }
    // Runs one scheduler pass at time t.
    void PassAt(int32_t t) {
        now = t;
        Core().SchedulerPass(state);
    }
    // Waits until everything posted was delivered, then returns the log texts
    // and memory alarms seen since the last call.
    std::vector<std::string> Messages() {
        Settle();
        std::vector<std::string> result;
        for (const Delivery& d : World::Get().DeliveriesTo("mon.so")) {
            if (d.data.compare(0, 4, "sync") == 0) continue;
            if (d.dwType == KIV_TYPE_LOG_TEXT) result.push_back(d.data);
            if (d.dwType == KIV_TYPE_XML && d.data.find("Time=") != std::string::npos) {
                EXPECT_EQ(d.dwFlags, KIV_FLAG_ROUTE2);
                EXPECT_EQ(d.dwSource, KIV_ID_CORE);
                result.push_back(d.data);
            }
        }
        World::Get().ClearDeliveries();
        return result;
    }
    void Settle() {
        const std::string marker = "sync" + std::to_string(++syncs);
        EXPECT_EQ(Post(KIV_ID_CORE, KIV_FLAG_SYSTEM, KIV_TYPE_XML, marker), 0);
        EXPECT_TRUE(World::Get().WaitFor([&marker] {
            for (const Delivery& d : World::Get().DeliveriesTo("mon.so"))
                if (d.data == marker) return true;
            return false;
        }));
    }
    int syncs = 0;
    static std::string Alarm(int throttling, int time) {
        return "<?xml ?><Kivrec><Memory ID=\"-2147483648\" Throttling=\"" +
               std::to_string(throttling) + "\" Time=\"" + std::to_string(time) + "\" /></Kivrec>";
    }

    std::atomic<int32_t> now{0};
    std::atomic<uint64_t> heap{0};
    std::atomic<bool> heapAvailable{true};
    std::atomic<int> heapReads{0};
    kiv::core::SchedulerState state;
};

using Texts = std::vector<std::string>;
const char* const kLow = "available system memory is low, throttling video";
const char* const kOk = "available system memory ok, not throttling video";

TEST_F(CoreHostScheduler, ThrottlingStartsAtOnceAndEndsAMinuteAfterTheLastLowReading) {
    state.uMemoryLimit = 1000;
    heap = 500;
    PassAt(100);  // first pass: the alarm, then a reading under the limit
    EXPECT_EQ(Messages(), (Texts{Alarm(0, 100)}));
    heap = 1001;
    PassAt(101);
    EXPECT_TRUE(Core().IsThrottling());
    EXPECT_EQ(Messages(), (Texts{kLow, Alarm(1, 101)}));
    PassAt(102);  // still low: nothing new
    heap = 1000;  // at the limit is not over it
    PassAt(103);
    EXPECT_FALSE(Core().IsThrottling());  // admission follows the reading at once
    for (int32_t t = 104; t <= 161; ++t) PassAt(t);
    EXPECT_TRUE(Messages().empty());  // 59 s after the last low reading
    PassAt(162);
    EXPECT_EQ(Messages(), (Texts{kOk, Alarm(0, 102)}));  // carries the last low time
    PassAt(163);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(CoreHostScheduler, HeapIsReadOncePerSecondAndOnlyWhenAvailable) {
    state.uMemoryLimit = 1000;
    heap = 5000;
    heapAvailable = false;
    PassAt(100);
    PassAt(101);
    EXPECT_FALSE(Core().IsThrottling());  // no reading, no decision
    EXPECT_EQ(heapReads.load(), 2);
    heapAvailable = true;
    PassAt(101);  // same second: no reading
    EXPECT_EQ(heapReads.load(), 2);
    PassAt(102);
    EXPECT_EQ(heapReads.load(), 3);
    EXPECT_TRUE(Core().IsThrottling());
    heapAvailable = false;
    PassAt(103);
    EXPECT_TRUE(Core().IsThrottling());  // keeps its value
}

TEST_F(CoreHostScheduler, ClockJumpsAreReportedOnce) {
    heap = 0;
    PassAt(10000);
    PassAt(10001);  // one second: normal
    PassAt(10003);  // two seconds: a jump
    PassAt(10003);
    PassAt(6403);  // an hour back
    PassAt(6404);
    Texts jumps;
    for (const std::string& m : Messages())
        if (m.find("system time") == 0) jumps.push_back(m);
    EXPECT_EQ(jumps,
              (Texts{"system time changed by 2 seconds", "system time changed by -3600 seconds"}));
}

TEST_F(CoreHostScheduler, DisabledThrottlingNeverAlarmsButStillWatchesTheClock) {
    state.bThrottleEnabled = false;
    state.uMemoryLimit = 1;
    heap = 5000;
    PassAt(500);
    PassAt(501);
    PassAt(600);
    EXPECT_EQ(heapReads.load(), 0);
    EXPECT_FALSE(Core().IsThrottling());
    EXPECT_EQ(Messages(), (Texts{"system time changed by 99 seconds"}));
}

TEST_F(CoreHost, SchedulerThreadWritesTheSettingAndReportsAClockJump) {
    AddPlugin("plugins", "mon.so", Sink(1));
    std::atomic<int> calls{0};
    Core().SetClock([&calls] { return ++calls < 3 ? 1000 : 5000; });
    Core().SetHeapReader([](uint64_t* bytes) {
        *bytes = 0;
        return true;
    });
    ASSERT_TRUE(Core().Start());
    ASSERT_TRUE(World::Get().WaitFor([] {
        for (const Delivery& d : World::Get().DeliveriesTo("mon.so"))
            if (d.data == "system time changed by 4000 seconds") return true;
        return false;
    }));
    // "core.xml" was written and broadcast with the default setting.
    EXPECT_NE(ReadFile("core.xml").find("Throttling=\"1\""), std::string::npos);
    bool broadcast = false, alarm = false;
    for (const Delivery& d : World::Get().DeliveriesTo("mon.so")) {
        broadcast |= d.code == KIV_IOCTL_BROADCAST &&
                     d.data ==
                         "<?xml ?><Kivrec Delta=\"0\"><Memory ID=\"-2147483648\" "
                         "Throttling=\"1\" /></Kivrec>";
        alarm |= d.data ==
                 "<?xml ?><Kivrec><Memory ID=\"-2147483648\" Throttling=\"0\" "
                 "Time=\"1000\" /></Kivrec>";
    }
    EXPECT_TRUE(broadcast);
    EXPECT_TRUE(alarm);
}

TEST_F(CoreHost, ThrottlingSettingIsReadAndRewritten) {
    const std::string on =
        "<?xml ?>\n<Kivrec Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
        "</Kivrec>\n";
    const std::string off =
        "<?xml ?>\n<Kivrec Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n"
        "</Kivrec>\n";
    struct Case {
        const char* file;  // null: no file
        bool setting;
        const std::string& written;
    } cases[] = {
        {nullptr, true, on},
        {"<Kivrec><Memory Throttling=\"0\"/></Kivrec>", false, off},
        {"<Other><Memory Throttling='0'/></Other>", false, off},  // any root name
        {"<Kivrec><Memory Throttling=\"7\"/></Kivrec>", true, on},
        {"<Kivrec><Memory Throttling=\"no\"/></Kivrec>", true, on},
        {"<Kivrec><Memory/></Kivrec>", true, on},
        {"<Kivrec><Other Throttling=\"0\"/></Kivrec>", true, on},
        {"<Kivrec><Memory Throttling=\"0\"", true, on},  // cannot be parsed
        {"", true, on},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file ? c.file : "(no file)");
        std::remove(Path("core.xml").c_str());
        if (c.file) WriteFile("core.xml", c.file);
        EXPECT_EQ(Core().Config(), c.setting);
        EXPECT_EQ(ReadFile("core.xml"), c.written);
    }
}

}  // namespace
}  // namespace hosttest
