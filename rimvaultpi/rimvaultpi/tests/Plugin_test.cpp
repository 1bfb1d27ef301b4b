// The plug-in as the core sees it: the built RimvaultPI.so opened with dlopen,
// its exports called with zero-filled records and a recording event callback.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "core/pluginabi/PluginInterface.h"
#include "rimvaultpi/synclayer/tests/EventRecorder.h"

namespace {

using kiv::testing::Buffer;
using kiv::testing::EventRecorder;
using kiv::testing::NotFoundLog;
using kiv::testing::RecordedEvent;
using kiv::testing::UnknownReservation;

const char kGuid1[] = "11111111-1111-4111-8111-111111111111";
const char kGuid2[] = "22222222-2222-4222-8222-222222222222";
const char kGuid3[] = "33333333-3333-4333-8333-333333333333";

struct Exports {
    PFN_LOAD load;
    PFN_UNLOAD unload;
    PFN_OPEN open;
    PFN_CLOSE close;
    PFN_READ read;
    PFN_WRITE write;
    PFN_SEEK seek;
    PFN_IOCTL ioctl;
};

template <typename T>
T Zeroed() {
    T record;
    std::memset(&record, 0, sizeof(record));
    record.cbSize = sizeof(record);
    record.dwVersion = KIV_PARMS_VERSION;
    return record;
}

class PluginTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const char* bin = std::getenv("KIV_BIN_DIR");
        std::string path = std::string(bin ? bin : "../bin") + "/plugins/RimvaultPI.so";
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        auto resolve = [](const char* name) {
            void* symbol = dlsym(handle_, name);
            EXPECT_NE(symbol, nullptr) << name;
            return symbol;
        };
        x_.load = reinterpret_cast<PFN_LOAD>(resolve(KIV_EXPORT_LOAD));
        x_.unload = reinterpret_cast<PFN_UNLOAD>(resolve(KIV_EXPORT_UNLOAD));
        x_.open = reinterpret_cast<PFN_OPEN>(resolve(KIV_EXPORT_OPEN));
        x_.close = reinterpret_cast<PFN_CLOSE>(resolve(KIV_EXPORT_CLOSE));
        x_.read = reinterpret_cast<PFN_READ>(resolve(KIV_EXPORT_READ));
        x_.write = reinterpret_cast<PFN_WRITE>(resolve(KIV_EXPORT_WRITE));
        x_.seek = reinterpret_cast<PFN_SEEK>(resolve(KIV_EXPORT_SEEK));
        x_.ioctl = reinterpret_cast<PFN_IOCTL>(resolve(KIV_EXPORT_IOCTL));
    }

    void SetUp() override {
        ASSERT_NE(handle_, nullptr);
        EventRecorder::Get().Reset();
    }

    void TearDown() override {
        if (worker_.joinable()) {
            Close();
            worker_.join();
        }
        Unload();
    }

    _LoadParmsOut Load() {
        _LoadParmsIn in = Zeroed<_LoadParmsIn>();
        in.dwVersion = KIV_LOADPARMSIN_VERSION;
        in.pfnEvent = &EventRecorder::Callback;
        _LoadParmsOut out = Zeroed<_LoadParmsOut>();
        EXPECT_EQ(x_.load(&in, &out), 0);
        return out;
    }
    _OpenParmsOut Open() {
        _OpenParmsIn in = Zeroed<_OpenParmsIn>();
        _OpenParmsOut out = Zeroed<_OpenParmsOut>();
        EXPECT_EQ(x_.open(&in, &out), 0);
        return out;
    }
    void Close() {
        _CloseParmsIn in = Zeroed<_CloseParmsIn>();
        _CloseParmsOut out = Zeroed<_CloseParmsOut>();
        out.nResult = 77;
        EXPECT_EQ(x_.close(&in, &out), 0);
        EXPECT_EQ(out.nResult, 0);
    }
    void Unload() {
        _UnloadParmsIn in = Zeroed<_UnloadParmsIn>();
        _UnloadParmsOut out = Zeroed<_UnloadParmsOut>();
        EXPECT_EQ(x_.unload(&in, &out), 0);
    }
    // The core's lent thread: IOCTL code 1, which returns when the plug-in closes.
    void StartWorker() {
        worker_ = std::thread([] {
            _IOCTLParmsIn in = Zeroed<_IOCTLParmsIn>();
            in.dwCode = KIV_IOCTL_WORKER;
            in.cbArgs = 8;
            in.dwArgsVersion = 1;
            _IOCTLParmsOut out = Zeroed<_IOCTLParmsOut>();
            out.dwCode = KIV_IOCTL_WORKER;
            x_.ioctl(&in, &out);
        });
    }
    // Closes and waits until the worker's IOCTL call has returned.
    void CloseAndJoin() {
        Close();
        worker_.join();
    }

    _WriteParmsOut Write(Buffer& doc, uint32_t source, uint8_t async = 0) {
        _WriteParmsIn in = Zeroed<_WriteParmsIn>();
        in.bAsync = async;
        in.cbData = doc.size();
        in.pData = doc.data();
        in.dwSource = source;
        in.dwFlags = KIV_FLAG_ROUTE2;
        in.dwType = KIV_TYPE_XML;
        _WriteParmsOut out = Zeroed<_WriteParmsOut>();
        out.nResult = 77;
        EXPECT_EQ(x_.write(&in, &out), 0);
        return out;
    }
    _IOCTLParmsOut Ioctl(uint32_t code, Buffer* doc) {
        _IOCTLParmsIn in = Zeroed<_IOCTLParmsIn>();
        in.dwCode = code;
        in.cbArgs = 16;
        in.dwArgsVersion = 1;
        in.cbData = doc ? doc->size() : 0;
        in.pData = doc ? doc->data() : nullptr;
        _IOCTLParmsOut out = Zeroed<_IOCTLParmsOut>();
        out.dwCode = code;
        out.nResult = 77;
        EXPECT_EQ(x_.ioctl(&in, &out), 0);
        return out;
    }

    static bool HasLog(const std::vector<RecordedEvent>& events, const std::string& log) {
        for (const RecordedEvent& e : events) {
            if (e.Log() == log) return true;
        }
        return false;
    }

    static void* handle_;
    static Exports x_;
    kiv::testing::ScopedWorkingDirectory cwd_;
    std::thread worker_;
};

void* PluginTest::handle_ = nullptr;
Exports PluginTest::x_;

TEST_F(PluginTest, LoadDeclaresTheRetrievalPlugin) {
    _LoadParmsIn in = Zeroed<_LoadParmsIn>();
    in.dwVersion = KIV_LOADPARMSIN_VERSION;
    in.pfnEvent = &EventRecorder::Callback;
    _LoadParmsOut out = Zeroed<_LoadParmsOut>();
    out.dwRouteMask[8] = 0x5A5A5A5A;  // not the plug-in's to change
    out.dwReserved = 0x12345678;
    ASSERT_EQ(x_.load(&in, &out), 0);
    EXPECT_EQ(out.cbSize, sizeof(_LoadParmsOut));
    EXPECT_EQ(out.dwVersion, 1u);
    EXPECT_EQ(out.dwPluginID, 0x00510000u);
    const uint32_t masks[9] = {0x08000310, 0, 0x03000010, 0, 0, 0x08000310, 0, 0, 0x5A5A5A5A};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(out.dwRouteMask[i], masks[i]) << i;
    EXPECT_EQ(out.dwReserved, 0x12345678u);
    EXPECT_EQ(out.bWorkerThread, 1);
    EXPECT_EQ(out.bReserved1, 0);
    EXPECT_EQ(out.bReader, 1);
    EXPECT_EQ(out.bEventSink, 1);
    EXPECT_EQ(out.bReserved2, 0);
    EXPECT_EQ(out.bReserved3, 0);
    EXPECT_EQ(out.dwError, 0);
    // Loading posts nothing.
    EXPECT_TRUE(EventRecorder::Get().Events().empty());
}

TEST_F(PluginTest, ReadAndSeekProduceNothing) {
    Load();
    _ReadParmsIn rin = Zeroed<_ReadParmsIn>();
    rin.bAsync = 1;
    _ReadParmsOut rout = Zeroed<_ReadParmsOut>();
    rout.nResult = 77;
    EXPECT_EQ(x_.read(&rin, &rout), 0);
    EXPECT_EQ(rout.nResult, 0);
    _SeekParmsIn sin = Zeroed<_SeekParmsIn>();
    _SeekParmsOut sout = Zeroed<_SeekParmsOut>();
    EXPECT_EQ(x_.seek(&sin, &sout), 0);
    EXPECT_EQ(sout.nResult, -1);
    EXPECT_TRUE(EventRecorder::Get().Events().empty());
}

// The delivery edge cases, without a worker: what is kept is given back by
// Close, exactly once; what is refused or ignored is never released.
TEST_F(PluginTest, DeliveriesKeepOnlyWhatTheyQueue) {
    Load();
    _OpenParmsOut open = Open();
    EXPECT_EQ(open.nResult, 0);
    EXPECT_EQ(open.dwStatus, 0u);
    Buffer own(UnknownReservation(kGuid1)), async(UnknownReservation(kGuid1)),
        system(UnknownReservation(kGuid1)), unknown(UnknownReservation(kGuid1)),
        routed(UnknownReservation(kGuid2)), broadcast(UnknownReservation(kGuid3));

    _WriteParmsOut out = Write(own, KIV_ID_RIMVAULTPI);
    EXPECT_EQ(out.nResult, 77);  // untouched
    EXPECT_EQ(out.bKeepData, 0u);
    out = Write(async, 0x00200000, /*async=*/1);
    EXPECT_EQ(out.nResult, -1);
    EXPECT_EQ(out.bKeepData, 0u);
    out = Write(routed, 0x00200000);
    EXPECT_EQ(out.nResult, 0);
    EXPECT_EQ(out.bKeepData, 1u);

    _IOCTLParmsOut io = Ioctl(KIV_IOCTL_SYSTEM, &system);
    EXPECT_EQ(io.nResult, 0);
    EXPECT_EQ(io.bKeepData, 0u);
    io = Ioctl(9, &unknown);
    EXPECT_EQ(io.nResult, -1);
    EXPECT_EQ(io.bKeepData, 0u);
    io = Ioctl(KIV_IOCTL_BROADCAST, &broadcast);
    EXPECT_EQ(io.nResult, 0);
    EXPECT_EQ(io.bKeepData, 1u);
    // A delivery without data keeps nothing.
    io = Ioctl(KIV_IOCTL_BROADCAST, nullptr);
    EXPECT_EQ(io.nResult, 0);
    EXPECT_EQ(io.bKeepData, 0u);

    // No worker ever ran: Close must not wait for one.
    auto start = std::chrono::steady_clock::now();
    Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    Unload();

    EventRecorder& r = EventRecorder::Get();
    EXPECT_EQ(r.Releases(routed.data()), 1u);
    EXPECT_EQ(r.Releases(broadcast.data()), 1u);
    for (Buffer* b : {&own, &async, &system, &unknown}) EXPECT_EQ(r.Releases(b->data()), 0u);
    // Nothing was parsed: the documents were dropped at Close.
    for (const std::string& log : r.Logs()) EXPECT_EQ(log.find("not found"), std::string::npos);
    // The engine saved its state at Close.
    EXPECT_TRUE(std::filesystem::exists(cwd_.path() / "rimvaultpi_state.xml"));
}

TEST_F(PluginTest, WorkerParsesDeliveriesAndReleasesEachOnce) {
    Load();
    StartWorker();
    Open();
    std::vector<RecordedEvent> opening = EventRecorder::Get().Events();
    // Open posts the version document, then the configuration document.
    std::vector<std::string> broadcasts;
    for (const RecordedEvent& e : opening) {
        if (e.flags == KIV_FLAG_BROADCAST) broadcasts.push_back(e.text);
    }
    ASSERT_EQ(broadcasts.size(), 2u);
    EXPECT_NE(broadcasts[0].find("<Module Name=\"rimvaultpi\" ID=\"5308416\" "
                                 "Version=\"3.2.7.40511\"/>"),
              std::string::npos);
    EXPECT_NE(broadcasts[1].find("<Rimvault ID=\"5308416\"/>"), std::string::npos);

    Buffer b1(UnknownReservation(kGuid1)), bad(UnknownReservation("{1234")),
        b2(UnknownReservation(kGuid2)), b3(UnknownReservation(kGuid3));
    Write(b1, 0x00200000);
    Write(bad, 0x00200000);
    Ioctl(KIV_IOCTL_BROADCAST, &b2);
    Write(b3, 0x00050000);
    EventRecorder& r = EventRecorder::Get();
    ASSERT_TRUE(r.WaitFor([&](const std::vector<RecordedEvent>& events) {
        int releases = 0;
        for (const RecordedEvent& e : events) releases += e.IsRelease();
        return releases == 4;
    }));
    std::vector<std::string> logs = r.Logs();
    std::vector<std::string> parsed;
    for (const std::string& log : logs) {
        if (log.find("not found") != std::string::npos ||
            log.find("invalid uuid") != std::string::npos) {
            parsed.push_back(log);
        }
    }
    std::vector<std::string> expected = {
        NotFoundLog(kGuid1),
        "75 Error 'invalid uuid string' parsing a document; the document was dropped.",
        NotFoundLog(kGuid2), NotFoundLog(kGuid3)};
    EXPECT_EQ(parsed, expected);

    CloseAndJoin();
    for (Buffer* b : {&b1, &bad, &b2, &b3}) EXPECT_EQ(r.Releases(b->data()), 1u);
    EXPECT_TRUE(HasLog(r.Events(), "25 Rimvault - saving state and unloading."));
}

TEST_F(PluginTest, CloseBeforeOpenEndsTheIdleWorkerPromptly) {
    Load();
    StartWorker();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto start = std::chrono::steady_clock::now();
    CloseAndJoin();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    // Never opened: no state was read or written.
    EXPECT_FALSE(std::filesystem::exists(cwd_.path() / "rimvaultpi_state.xml"));
}

// A worker thread that enters only after Close leaves at once.
TEST_F(PluginTest, WorkerEnteringAfterCloseReturnsAtOnce) {
    Load();
    Open();
    Close();
    StartWorker();
    worker_.join();
}

TEST_F(PluginTest, SecondLoadReplacesTheRunningInstance) {
    Load();
    StartWorker();
    Open();
    // Once a document was parsed, the worker runs on the first instance.
    Buffer first(UnknownReservation(kGuid3));
    Write(first, 0x00200000);
    ASSERT_TRUE(EventRecorder::Get().WaitFor([&](const std::vector<RecordedEvent>& events) {
        return HasLog(events, NotFoundLog(kGuid3));
    }));
    Buffer kept(UnknownReservation(kGuid1));
    // Queued but maybe not yet parsed when the second Load arrives.
    Write(kept, 0x00200000);
    _LoadParmsOut out = Load();
    EXPECT_EQ(out.dwPluginID, 0x00510000u);
    // The first instance was closed: its worker has returned, its buffer
    // was given back once, and its engine saved the state.
    worker_.join();
    EXPECT_EQ(EventRecorder::Get().Releases(kept.data()), 1u);
    EXPECT_TRUE(HasLog(EventRecorder::Get().Events(), "25 Rimvault - saving state and unloading."));

    // The new instance works on its own.
    EventRecorder::Get().Reset();
    StartWorker();
    Open();
    Buffer doc(UnknownReservation(kGuid2));
    Write(doc, 0x00200000);
    EXPECT_TRUE(EventRecorder::Get().WaitFor([&](const std::vector<RecordedEvent>& events) {
        return HasLog(events, NotFoundLog(kGuid2));
    }));
    CloseAndJoin();
    EXPECT_EQ(EventRecorder::Get().Releases(doc.data()), 1u);
}

// Unload without Close still stops the worker and gives every buffer back.
TEST_F(PluginTest, UnloadClosesAnOpenInstance) {
    Load();
    StartWorker();
    Open();
    Buffer doc(UnknownReservation(kGuid1));
    Write(doc, 0x00200000);
    Unload();
    worker_.join();
    EXPECT_EQ(EventRecorder::Get().Releases(doc.data()), 1u);
}

}  // namespace
