// Stream start and stop requests, lent reader threads and their one-buffer
// flow control.

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <set>
#include <thread>

#include "core/host/tests/HostTestSupport.h"

namespace hosttest {
namespace {

const uint32_t kStreamType = 0x00000030u;  // read key 0x30 under mask 0xFF

// Posts from inside a plug-in's Read, with the callback it received at Load.
int PostFromPlugin(uint32_t source, uint32_t stream, const std::string& data) {
    _EventParmsIn in;
    std::memset(&in, 0, sizeof(in));
    in.cbSize = sizeof(in);
    in.dwVersion = 1;
    in.cbData = static_cast<uint32_t>(data.size());
    in.pData = data.empty() ? nullptr : const_cast<char*>(data.data());
    in.dwSource = source;
    in.dwStream = stream;
    in.dwFlags = KIV_FLAG_ROUTE1;
    in.dwType = KIV_TYPE_XML;
    _EventParmsOut out;
    std::memset(&out, 0, sizeof(out));
    out.cbSize = sizeof(out);
    out.dwVersion = 1;
    World::Get().EventCallback()(&in, &out);
    return out.nResult;
}

// A stream request: source 0, route 0, type kStreamType.
int Request(uint32_t flags, uint32_t stream, const std::string& data = "") {
    return CoreHost::Post(0, flags, kStreamType, data, stream);
}

struct ReadCall {
    uint32_t dwStream;
    uint8_t bAsync;
    std::string data;
    void* pData;
    std::thread::id thread;
};

class CoreHostStream : public CoreHost {
  protected:
    // reader.so reads streams of kStreamType; keeper.so receives what it posts
    // and keeps each buffer until the test releases it.
    void StartReader(std::function<void(_ReadParmsIn*)> onRead) {
        Behaviour reader = Silent(0x10);
        reader.load.bReader = 1;
        reader.load.dwRouteMask[0] = 0xFF;
        reader.onRead = [this, onRead](_ReadParmsIn* in) {
            {
                std::lock_guard<std::mutex> lock(mtx);
                reads.push_back({in->dwStream, in->bAsync,
                                 in->pData ? std::string(static_cast<char*>(in->pData), in->cbData)
                                           : std::string(),
                                 in->pData, std::this_thread::get_id()});
            }
            if (onRead && in->dwStream != 0) onRead(in);
        };
        Behaviour other = Silent(0x11);  // a reader whose masks do not match
        other.load.bReader = 1;
        other.load.dwRouteMask[0] = 0x0F;
        Behaviour keeper = Silent(0x12);
        keeper.load.bEventSink = 1;
        keeper.load.dwRouteMask[1] = 0xFFFFFFFF;
        keeper.keepData = true;
        AddPlugin("plugins", "reader.so", reader);
        AddPlugin("plugins", "other.so", other);
        AddPlugin("plugins", "keeper.so", keeper);
        ASSERT_TRUE(Core().Start());
    }
    std::vector<ReadCall> Reads() {
        std::lock_guard<std::mutex> lock(mtx);
        return reads;
    }
    std::vector<ReadCall> StreamReads(uint32_t stream) {
        std::vector<ReadCall> r;
        for (const ReadCall& c : Reads())
            if (c.dwStream == stream) r.push_back(c);
        return r;
    }
    // The buffer that keeper.so received with `text`, null if none yet.
    static void* Kept(const std::string& text) {
        for (const Delivery& d : World::Get().DeliveriesTo("keeper.so"))
            if (d.data == text) return d.pData;
        return nullptr;
    }
    static void Release(void* buffer) {
        EXPECT_EQ(Post(0x12, KIV_FLAG_RELEASE, 0, "", 0, 0, buffer), 0);
    }

    std::mutex mtx;
    std::vector<ReadCall> reads;
};

TEST_F(CoreHostStream, SchedulerStartsOneReaderWithoutStreamPerReaderPlugin) {
    StartReader(nullptr);
    ASSERT_TRUE(World::Get().WaitFor([this] { return Reads().size() >= 1u; }));
    // other.so is a reader as well, with its own call.
    ASSERT_TRUE(World::Get().WaitFor([] {
        for (const std::string& e : World::Get().Journal())
            if (e == "other.so:Read") return true;
        return false;
    }));
    const ReadCall first = Reads()[0];
    EXPECT_EQ(first.dwStream, 0u);
    EXPECT_EQ(first.bAsync, 1);
    EXPECT_EQ(first.pData, nullptr);
    EXPECT_NE(first.thread, std::this_thread::get_id());
}

TEST_F(CoreHostStream, StartRequestReadsWithAPrivateCopyOnMatchingReaders) {
    std::promise<void> done;
    auto finished = done.get_future();
    StartReader([&done](_ReadParmsIn*) { done.set_value(); });
    std::string request = "request";
    EXPECT_EQ(Request(KIV_FLAG_ROUTE0, 77, request), 0);
    request.assign("XXXXXXX");  // the requester's buffer is free at once
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto calls = StreamReads(77);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].data, "request");
    EXPECT_NE(calls[0].pData, static_cast<void*>(&request[0]));
    EXPECT_EQ(calls[0].bAsync, 1);
    // other.so's masks do not match the request: no stream read for it.
    int otherReads = 0;
    for (const std::string& e : World::Get().Journal()) otherReads += e == "other.so:Read";
    EXPECT_LE(otherReads, 1);  // only the scheduler's read without a stream
}

TEST_F(CoreHostStream, ReaderHasOneBufferInFlightAndLearnsOfTheStop) {
    std::atomic<int> step{0};
    std::vector<int> results(4, -100);
    std::promise<void> done;
    auto finished = done.get_future();
    StartReader([&](_ReadParmsIn* in) {
        results[0] = PostFromPlugin(0x10, in->dwStream, "one");
        step = 1;
        results[1] = PostFromPlugin(0x10, in->dwStream, "two");  // waits for "one" to be freed
        step = 2;
        while (step != 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        results[2] = PostFromPlugin(0x10, in->dwStream, "three");  // after the stop request
        done.set_value();
    });
    EXPECT_EQ(Request(KIV_FLAG_ROUTE0, 5), 0);
    ASSERT_TRUE(World::Get().WaitFor([] { return Kept("one") != nullptr; }));
    // "one" is delivered and kept: the second post is still waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(step.load(), 1);
    EXPECT_EQ(Kept("two"), nullptr);
    Release(Kept("one"));
    ASSERT_TRUE(World::Get().WaitFor([&] { return step.load() == 2; }));
    ASSERT_TRUE(World::Get().WaitFor([] { return Kept("two") != nullptr; }));

    EXPECT_EQ(Request(KIV_FLAG_STOP_STREAM, 5), 0);
    step = 3;
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(results[2], KIV_EVENT_STREAM_STOPPED);
    Release(Kept("two"));

    // A post with a stream handle from a thread without a reader slot is refused.
    EXPECT_EQ(Post(0x10, KIV_FLAG_ROUTE1, KIV_TYPE_XML, "x", 6), KIV_EVENT_STREAM_STOPPED);
    EXPECT_EQ(Post(0x10, KIV_FLAG_ROUTE1, KIV_TYPE_XML, "", 6), KIV_EVENT_STREAM_STOPPED);
}

TEST_F(CoreHostStream, PostsWithoutDataTakeNoSlotTurn) {
    std::vector<int> results;
    std::promise<void> done, all;
    auto finished = done.get_future();
    auto allDone = all.get_future();
    StartReader([&](_ReadParmsIn* in) {
        // A kept buffer in flight does not hold back posts without data, and a
        // buffer-less post must not give the slot a second turn.
        results.push_back(PostFromPlugin(0x10, in->dwStream, "held"));
        results.push_back(PostFromPlugin(0x10, in->dwStream, ""));
        results.push_back(PostFromPlugin(0x10, in->dwStream, ""));
        done.set_value();
        const int last = PostFromPlugin(0x10, in->dwStream, "next");
        results.push_back(last);
        all.set_value();
    });
    EXPECT_EQ(Request(KIV_FLAG_ROUTE0, 9), 0);
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ASSERT_TRUE(World::Get().WaitFor([] {
        int empty = 0;
        for (const Delivery& d : World::Get().DeliveriesTo("keeper.so"))
            empty += d.pData == nullptr && d.dwStream == 9;
        return empty == 2;
    }));
    // "next" still waits for "held".
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Kept("next"), nullptr);
    Release(Kept("held"));
    ASSERT_TRUE(World::Get().WaitFor([] { return Kept("next") != nullptr; }));
    Release(Kept("next"));
    ASSERT_EQ(allDone.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0, 0}));
}

TEST_F(CoreHostStream, StoppedStreamStartsAgainOnANewRequest) {
    std::atomic<int> reads{0};
    std::vector<int> results(2, -100);
    StartReader([&](_ReadParmsIn* in) {
        results[reads] = PostFromPlugin(0x10, in->dwStream, "");
        ++reads;
    });
    EXPECT_EQ(Request(KIV_FLAG_STOP_STREAM, 8), 0);
    EXPECT_TRUE(StreamReads(8).empty());  // a stop request starts nothing
    EXPECT_EQ(Request(KIV_FLAG_ROUTE0, 8), 0);
    ASSERT_TRUE(World::Get().WaitFor([&] { return reads.load() == 1; }));
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(Request(KIV_FLAG_STOP_STREAM, 8), 0);
    EXPECT_EQ(Request(KIV_FLAG_ROUTE0, 8), 0);
    ASSERT_TRUE(World::Get().WaitFor([&] { return reads.load() == 2; }));
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(StreamReads(8).size(), 2u);
}

TEST_F(CoreHostStream, NoNewReadersOnceClosingBegan) {
    StartReader(nullptr);
    ASSERT_TRUE(World::Get().WaitFor([this] { return !Reads().empty(); }));
    Core().CleanupScheduler();
    Core().CleanupEventHandler();
    Core().CleanupPlugins();
    EXPECT_EQ(Request(KIV_FLAG_ROUTE0, 3), 0);
    Core().UnloadPlugins();
    EXPECT_TRUE(StreamReads(3).empty());
}

TEST_F(CoreHostStream, ReaderWaitingForAKeptBufferLearnsOfTheStop) {
    std::atomic<int> step{0};
    std::atomic<int> second{-100};
    StartReader([&](_ReadParmsIn* in) {
        PostFromPlugin(0x10, in->dwStream, "first");
        step = 1;
        second = PostFromPlugin(0x10, in->dwStream, "second");  // waits: "first" is kept
        step = 2;
    });
    EXPECT_EQ(Request(KIV_FLAG_ROUTE0, 4), 0);
    ASSERT_TRUE(World::Get().WaitFor([] { return Kept("first") != nullptr; }));
    // keeper.so never releases "first". The stop wakes the reader, whose post is refused, so
    // its plug-in ends the read and is unloaded like every other.
    Core().SetThreadWaitMs(5000);
    Core().Stop();
    EXPECT_EQ(step.load(), 2);
    EXPECT_EQ(second.load(), KIV_EVENT_STREAM_STOPPED);
    EXPECT_TRUE(Core().GetPlugins().empty());
    const std::vector<std::string> journal = World::Get().Journal();
    for (const char* unload : {"reader.so:Unload", "keeper.so:Unload"}) {
        EXPECT_NE(std::find(journal.begin(), journal.end(), unload), journal.end()) << unload;
    }
}

// Runs core.Stop() on a thread of its own: true when it returned within 10 s. `quit` is then
// set either way, so that posters which hold up a stop end and the test itself cannot hang.
bool StopsInTime(dvrcore& core, std::atomic<bool>& quit) {
    std::promise<void> stopped;
    auto done = stopped.get_future();
    std::thread stopper([&] {
        core.Stop();
        stopped.set_value();
    });
    const bool returned = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    quit = true;
    stopper.join();
    return returned;
}

// A poster that never pauses, and a receiver that finishes each delivery only once the next
// event is queued: the queue is never empty when the handler looks. Stop must end the
// delivery all the same.
TEST_F(CoreHostStream, BusyPosterDoesNotHoldUpTheStop) {
    StartReader(nullptr);
    std::atomic<bool> quit{false};
    std::atomic<int> posted{0};
    std::atomic<int> delivered{0};
    Behaviour keeper = World::Get().GetBehaviour("keeper.so");
    keeper.keepData = false;
    keeper.onDeliver = [&](const Delivery& d) {
        if (d.data != "c") return;
        ++delivered;
        while (!quit && posted <= delivered) std::this_thread::yield();
    };
    World::Get().SetBehaviour("keeper.so", keeper);
    std::thread poster([&] {
        while (!quit) {
            if (Post(0x11, KIV_FLAG_ROUTE1, KIV_TYPE_XML, "c") == 0) ++posted;
        }
    });
    ASSERT_TRUE(World::Get().WaitFor([&] { return delivered > 20; }));
    EXPECT_TRUE(StopsInTime(Core(), quit)) << "Stop did not return while events kept coming";
    poster.join();
}

// Two readers that post again as soon as their previous frame is freed, and a receiver that
// delivers each frame only once the other reader's next one is queued. Stop must end the
// delivery, refuse the readers' further posts and return.
TEST_F(CoreHostStream, BusyReadersDoNotHoldUpTheStop) {
    std::atomic<bool> quit{false};
    std::atomic<int> queued[2] = {{0}, {0}};
    std::atomic<int> delivered[2] = {{0}, {0}};
    std::atomic<int> lastResult[2] = {{-100}, {-100}};
    StartReader([&](_ReadParmsIn* in) {
        const int me = in->dwStream == 21 ? 0 : 1;
        const std::string frame(1, static_cast<char>('a' + me));
        while (!quit) {
            const int result = PostFromPlugin(0x10, in->dwStream, frame);
            lastResult[me] = result;
            if (result != 0) break;
            ++queued[me];
        }
    });
    Behaviour keeper = World::Get().GetBehaviour("keeper.so");
    keeper.keepData = false;
    keeper.onDeliver = [&](const Delivery& d) {
        if (d.data != "a" && d.data != "b") return;
        const int me = d.data == "a" ? 0 : 1;
        const int other = 1 - me;
        ++delivered[me];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!quit && queued[other] <= delivered[other] &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
    };
    World::Get().SetBehaviour("keeper.so", keeper);
    EXPECT_EQ(Request(KIV_FLAG_ROUTE0, 21), 0);
    EXPECT_EQ(Request(KIV_FLAG_ROUTE0, 22), 0);
    ASSERT_TRUE(World::Get().WaitFor([&] { return delivered[0] > 20 && delivered[1] > 20; }));

    EXPECT_TRUE(StopsInTime(Core(), quit)) << "Stop did not return while the readers kept posting";
    EXPECT_EQ(lastResult[0].load(), KIV_EVENT_STREAM_STOPPED);
    EXPECT_EQ(lastResult[1].load(), KIV_EVENT_STREAM_STOPPED);
}

}  // namespace
}  // namespace hosttest
