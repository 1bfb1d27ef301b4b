#include "core/host/tests/HostTestSupport.h"

#include <wx/init.h>
#include <wx/log.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fs = boost::filesystem;

extern "C" __attribute__((visibility("default"))) int kiv_test_dispatch(const char* library,
                                                                        int call, void* in,
                                                                        void* out) {
    return hosttest::World::Get().Dispatch(library, call, in, out);
}

namespace hosttest {

namespace {

std::mutex g_logMutex;
std::vector<std::string> g_log;

class CaptureLog : public wxLog {
  protected:
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) override {
        std::lock_guard<std::mutex> lock(g_logMutex);
        const char* tag = level == wxLOG_Error     ? "error: "
                          : level == wxLOG_Warning ? "warning: "
                                                   : "";
        g_log.push_back(tag + std::string(msg.utf8_str()));
    }
};

// wx needs its initialisation for logging and dynamic libraries.
class WxEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        wxInitialize();
        delete wxLog::SetActiveTarget(new CaptureLog());
    }
    void TearDown() override {
        delete wxLog::SetActiveTarget(nullptr);
        wxUninitialize();
    }
};

const ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new WxEnvironment());

std::string NameOf(const char* library) { return fs::path(library).filename().string(); }

}  // namespace

std::vector<std::string> CapturedLog() {
    wxLog::FlushActive();
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

void ClearCapturedLog() {
    wxLog::FlushActive();
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
}

World& World::Get() {
    static World world;
    return world;
}

void World::Reset() {
    std::lock_guard<std::mutex> lock(mtx);
    behaviours.clear();
    journal.clear();
    threads.clear();
    deliveries.clear();
    pfnEvent = nullptr;
}

void World::SetBehaviour(const std::string& plugin, Behaviour b) {
    std::lock_guard<std::mutex> lock(mtx);
    behaviours[plugin] = std::move(b);
}

Behaviour World::GetBehaviour(const std::string& plugin) {
    std::lock_guard<std::mutex> lock(mtx);
    return behaviours[plugin];
}

std::vector<std::string> World::Journal() {
    std::lock_guard<std::mutex> lock(mtx);
    return journal;
}

std::vector<Delivery> World::Deliveries() {
    std::lock_guard<std::mutex> lock(mtx);
    return deliveries;
}

void World::ClearDeliveries() {
    std::lock_guard<std::mutex> lock(mtx);
    deliveries.clear();
}

std::vector<Delivery> World::DeliveriesTo(const std::string& plugin) {
    std::vector<Delivery> result;
    for (const Delivery& d : Deliveries())
        if (d.plugin == plugin) result.push_back(d);
    return result;
}

std::thread::id World::ThreadOf(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mtx);
    return threads[entry];
}

PFN_PLUGIN_EVENT World::EventCallback() {
    std::lock_guard<std::mutex> lock(mtx);
    return pfnEvent;
}

bool World::WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::unique_lock<std::mutex> lock(mtx);
    while (true) {
        lock.unlock();
        const bool ok = done();
        lock.lock();
        if (ok) return true;
        if (std::chrono::steady_clock::now() > deadline) {
            lock.unlock();
            return done();
        }
        // Some conditions are core state, not recorded calls: poll as well.
        cv.wait_for(lock, std::chrono::milliseconds(5));
    }
}

void World::Record(const std::string& entry) {
    {
        std::lock_guard<std::mutex> lock(mtx);
        journal.push_back(entry);
        threads[entry] = std::this_thread::get_id();
    }
    cv.notify_all();
}

int World::Dispatch(const char* library, int call, void* in, void* out) {
    const std::string name = NameOf(library);
    Behaviour b = GetBehaviour(name);
    switch (call) {
        case kLoad: {
            auto* lin = static_cast<_LoadParmsIn*>(in);
            auto* lout = static_cast<_LoadParmsOut*>(out);
            {
                std::lock_guard<std::mutex> lock(mtx);
                pfnEvent = lin->pfnEvent;
            }
            EXPECT_EQ(lin->cbSize, sizeof(_LoadParmsIn));
            EXPECT_EQ(lin->dwVersion, 3u);
            EXPECT_EQ(lout->cbSize, sizeof(_LoadParmsOut));
            EXPECT_EQ(lout->dwVersion, 1u);
            const uint32_t cbSize = lout->cbSize, dwVersion = lout->dwVersion;
            *lout = b.load;
            lout->cbSize = cbSize;
            lout->dwVersion = dwVersion;
            Record(name + ":Load");
            return b.loadResult;
        }
        case kUnload:
            Record(name + ":Unload");
            return 0;
        case kOpen:
            Record(name + ":Open");
            return b.openResult;
        case kClose:
            Record(name + ":Close");
            if (b.onClose) b.onClose();
            return 0;
        case kRead: {
            auto* rin = static_cast<_ReadParmsIn*>(in);
            Record(name + ":Read");
            if (b.onRead) b.onRead(rin);
            return 0;
        }
        case kWrite: {
            auto* win = static_cast<_WriteParmsIn*>(in);
            auto* wout = static_cast<_WriteParmsOut*>(out);
            Delivery d{name,
                       kWrite,
                       0,
                       win->pData,
                       std::string(static_cast<const char*>(win->pData)
                                       ? static_cast<const char*>(win->pData)
                                       : "",
                                   win->pData ? win->cbData : 0),
                       win->dwSource,
                       win->dwStream,
                       win->dwFlags,
                       win->dwType,
                       win->bAsync,
                       0,
                       {}};
            d.payload.assign(reinterpret_cast<const char*>(win->abPayload), sizeof(win->abPayload));
            EXPECT_EQ(win->cbSize, sizeof(_WriteParmsIn));
            EXPECT_EQ(wout->cbSize, sizeof(_WriteParmsOut));
            wout->bKeepData = b.keepData ? 1 : 0;
            {
                std::lock_guard<std::mutex> lock(mtx);
                deliveries.push_back(d);
            }
            Record(name + ":Write");
            if (b.onDeliver) b.onDeliver(d);
            return 0;
        }
        case kIOCTL: {
            auto* iin = static_cast<_IOCTLParmsIn*>(in);
            auto* iout = static_cast<_IOCTLParmsOut*>(out);
            EXPECT_EQ(iin->dwCode, iout->dwCode);
            EXPECT_EQ(iout->cbArgs, 8u);
            if (iin->dwCode == KIV_IOCTL_WORKER) {
                EXPECT_EQ(iin->cbArgs, 8u);
                EXPECT_EQ(iin->pData, nullptr);
                Record(name + ":IOCTL1");
                if (b.onWorker) b.onWorker(iin);
                Record(name + ":IOCTL1-end");
                return 0;
            }
            Delivery d{name,
                       kIOCTL,
                       iin->dwCode,
                       iin->pData,
                       std::string(iin->pData ? static_cast<const char*>(iin->pData) : "",
                                   iin->pData ? iin->cbData : 0),
                       0,
                       0,
                       0,
                       0,
                       0,
                       iin->cbArgs,
                       {}};
            iout->bKeepData = b.keepData ? 1 : 0;
            {
                std::lock_guard<std::mutex> lock(mtx);
                deliveries.push_back(d);
            }
            Record(name + ":IOCTL" + std::to_string(iin->dwCode));
            if (b.onDeliver) b.onDeliver(d);
            return 0;
        }
        default:
            Record(name + ":Seek");
            return -1;
    }
}

void CoreHost::SetUp() {
    World::Get().Reset();
    ClearCapturedLog();
    char pattern[] = "/tmp/kivhost-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    fs::create_directories(dir + "/plugins");
    fs::create_directories(dir + "/protected-plugins");
}

void CoreHost::TearDown() {
    if (core) {
        core->Stop();
        core.reset();
    }
    boost::system::error_code ec;
    fs::remove_all(dir, ec);
}

void CoreHost::AddPlugin(const std::string& subdir, const std::string& name, Behaviour b,
                         const char* source) {
    fs::copy_file(source ? source : KIV_TEST_PLUGIN, Path(subdir + "/" + name),
                  fs::copy_option::overwrite_if_exists);
    World::Get().SetBehaviour(name, std::move(b));
}

void CoreHost::WriteFile(const std::string& relative, const std::string& text) {
    std::ofstream(Path(relative), std::ios::binary) << text;
}

std::string CoreHost::ReadFile(const std::string& relative) {
    std::ifstream in(Path(relative), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

dvrcore& CoreHost::Core() {
    if (!core) core.reset(new dvrcore(wxFileName(wxString(Path("core")))));
    return *core;
}

int CoreHost::Post(uint32_t source, uint32_t flags, uint32_t type, const std::string& data,
                   uint32_t stream, uint8_t keyFrame, void* pData) {
    _EventParmsIn in;
    std::memset(&in, 0, sizeof(in));
    in.cbSize = sizeof(in);
    in.dwVersion = 1;
    in.cbData = static_cast<uint32_t>(data.size());
    in.pData = pData ? pData : (data.empty() ? nullptr : const_cast<char*>(data.data()));
    in.dwSource = source;
    in.dwStream = stream;
    in.dwFlags = flags;
    in.dwType = type;
    in.abPayload[KIV_PAYLOAD_KEYFRAME] = keyFrame;
    _EventParmsOut out;
    std::memset(&out, 0, sizeof(out));
    out.cbSize = sizeof(out);
    out.dwVersion = 1;
    out.nResult = 12345;
    EXPECT_EQ(FlatPluginEvent(&in, &out), 0);
    return out.nResult;
}

std::vector<std::string> CoreHost::Calls(const std::string& kind) {
    std::vector<std::string> result;
    const std::string suffix = ":" + kind;
    for (const std::string& e : World::Get().Journal()) {
        if (e.size() > suffix.size() &&
            e.compare(e.size() - suffix.size(), suffix.size(), suffix) == 0)
            result.push_back(e.substr(0, e.size() - suffix.size()));
    }
    return result;
}

Behaviour Sink(uint32_t id) {
    Behaviour b;
    b.load.dwPluginID = id;
    for (uint32_t& m : b.load.dwRouteMask) m = 0xFFFFFFFFu;
    b.load.bEventSink = 1;
    return b;
}

Behaviour Silent(uint32_t id) {
    Behaviour b;
    b.load.dwPluginID = id;
    return b;
}

}  // namespace hosttest
