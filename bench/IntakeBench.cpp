// Plug-in intake benchmark: RimvaultPI.so as the core drives it (dlopen, Load, a lent worker
// thread, Open), then 10 000 device documents for 1 000 devices delivered through Write as one
// burst: each device announces itself as capable and connected, then reports nine connection
// changes (four gaps, each becoming a retrieval operation). Measured: from the first Write until
// the plug-in has released every buffer, i.e. parsed and applied every document.
//
// Usage: bench_intake PLUGIN.so [RUNS]
// Prints one line per run: intake RUN DOCUMENTS NANOSECONDS POSTED OPERATIONS
// (POSTED: documents the plug-in sent during the run; OPERATIONS: operations in the state file
// the plug-in wrote when it closed, a check that the documents were applied).
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/pluginabi/PluginInterface.h"

namespace {

constexpr int kDevices = 1000;
constexpr int kDocumentsPerDevice = 10;
constexpr uint32_t kDevicePluginId = 2097152;  // 0x00200000

std::atomic<uint64_t> g_released{0};
std::atomic<uint64_t> g_posted{0};
std::atomic<int64_t> g_lastReleaseNs{0};
uint64_t g_expected = 0;
std::mutex g_mutex;
std::condition_variable g_allReleased;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One buffer given back; the last one stops the clock.
void CountRelease() {
    if (++g_released == g_expected) {
        g_lastReleaseNs = NowNs();
        std::lock_guard<std::mutex> lock(g_mutex);
        g_allReleased.notify_all();
    }
}

// The core's callback as the plug-in sees it: counts releases, accepts everything else.
int Callback(_EventParmsIn* in, _EventParmsOut* out) {
    if (out != nullptr) out->nResult = KIV_EVENT_OK;
    if (in == nullptr) return 0;
    if (in->dwFlags == KIV_FLAG_RELEASE) {
        CountRelease();
    } else {
        ++g_posted;
    }
    return 0;
}

template <typename T>
T Zeroed() {
    T record;
    std::memset(&record, 0, sizeof record);
    record.cbSize = sizeof record;
    record.dwVersion = KIV_PARMS_VERSION;
    return record;
}

struct Plugin {
    PFN_LOAD load;
    PFN_UNLOAD unload;
    PFN_OPEN open;
    PFN_CLOSE close;
    PFN_WRITE write;
    PFN_IOCTL ioctl;
};

std::string Document(int device, int step, int32_t t0) {
    std::ostringstream d;
    d << "<?xml version=\"1.0\"?><Kivrec><Devices ID=\"" << kDevicePluginId
      << "\"><Device Number=\"" << device << "\"";
    if (step == 0) d << " RimvaultSupported=\"1\"";
    // Steps 1, 3, ... disconnect, 2, 4, ... reconnect.
    d << "><Codec><Encoder Number=\"0\"><Channel Number=\"0\" Connected=\""
      << (step % 2 == 1 ? 0 : 1) << "\" Time=\"" << t0 + 60 * step
      << "\"/></Encoder></Codec></Device></Devices></Kivrec>";
    return d.str();
}

size_t CountOperations(const std::string& stateFile) {
    std::ifstream in(stateFile);
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    size_t n = 0;
    for (size_t at = s.find("<Operation "); at != std::string::npos;
         at = s.find("<Operation ", at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_intake PLUGIN.so [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "bench_intake: %s\n", dlerror());
        return 1;
    }
    Plugin x;
    x.load = reinterpret_cast<PFN_LOAD>(dlsym(library, KIV_EXPORT_LOAD));
    x.unload = reinterpret_cast<PFN_UNLOAD>(dlsym(library, KIV_EXPORT_UNLOAD));
    x.open = reinterpret_cast<PFN_OPEN>(dlsym(library, KIV_EXPORT_OPEN));
    x.close = reinterpret_cast<PFN_CLOSE>(dlsym(library, KIV_EXPORT_CLOSE));
    x.write = reinterpret_cast<PFN_WRITE>(dlsym(library, KIV_EXPORT_WRITE));
    x.ioctl = reinterpret_cast<PFN_IOCTL>(dlsym(library, KIV_EXPORT_IOCTL));
    if (!x.load || !x.unload || !x.open || !x.close || !x.write || !x.ioctl) {
        std::fprintf(stderr, "bench_intake: %s lacks an export\n", argv[1]);
        return 1;
    }

    // The documents, in the order a device plug-in would report them: step by step over all
    // devices.
    const int32_t t0 = static_cast<int32_t>(std::time(nullptr)) - 86400;
    std::vector<std::vector<char>> documents;
    for (int step = 0; step < kDocumentsPerDevice; ++step) {
        for (int device = 1; device <= kDevices; ++device) {
            const std::string text = Document(device, step, t0);
            documents.emplace_back(text.begin(), text.end());
        }
    }
    g_expected = documents.size();

    char base[] = "/tmp/kiv-bench-intake-XXXXXX";
    if (mkdtemp(base) == nullptr) return 1;
    for (int run = 0; run < runs; ++run) {
        // A fresh working directory: the plug-in keeps its state file there.
        const std::string dir = std::string(base) + "/run" + std::to_string(run);
        if (mkdir(dir.c_str(), 0700) != 0 || chdir(dir.c_str()) != 0) return 1;
        g_released = 0;
        g_posted = 0;
        g_lastReleaseNs = 0;

        _LoadParmsIn loadIn = Zeroed<_LoadParmsIn>();
        loadIn.dwVersion = KIV_LOADPARMSIN_VERSION;
        loadIn.pfnEvent = &Callback;
        _LoadParmsOut loadOut = Zeroed<_LoadParmsOut>();
        x.load(&loadIn, &loadOut);
        std::thread worker([&x] {
            _IOCTLParmsIn in = Zeroed<_IOCTLParmsIn>();
            in.dwCode = KIV_IOCTL_WORKER;
            in.cbArgs = 8;
            in.dwArgsVersion = 1;
            _IOCTLParmsOut out = Zeroed<_IOCTLParmsOut>();
            out.dwCode = KIV_IOCTL_WORKER;
            x.ioctl(&in, &out);
        });
        _OpenParmsIn openIn = Zeroed<_OpenParmsIn>();
        _OpenParmsOut openOut = Zeroed<_OpenParmsOut>();
        x.open(&openIn, &openOut);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // start-up work settles
        const uint64_t postedBefore = g_posted;

        const int64_t start = NowNs();
        for (std::vector<char>& doc : documents) {
            _WriteParmsIn in = Zeroed<_WriteParmsIn>();
            in.cbData = static_cast<uint32_t>(doc.size());
            in.pData = doc.data();
            in.dwSource = kDevicePluginId;
            in.dwFlags = KIV_FLAG_ROUTE2;
            in.dwType = KIV_TYPE_XML;
            _WriteParmsOut out = Zeroed<_WriteParmsOut>();
            x.write(&in, &out);
            if (out.bKeepData == 0) CountRelease();  // not kept: given back at once
        }
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            g_allReleased.wait_for(lock, std::chrono::seconds(60),
                                   [] { return g_released >= g_expected; });
        }
        const bool complete = g_released >= g_expected;
        const int64_t end = g_lastReleaseNs != 0 ? g_lastReleaseNs.load() : NowNs();
        const uint64_t posted = g_posted - postedBefore;

        _CloseParmsIn closeIn = Zeroed<_CloseParmsIn>();
        _CloseParmsOut closeOut = Zeroed<_CloseParmsOut>();
        x.close(&closeIn, &closeOut);
        worker.join();
        _UnloadParmsIn unloadIn = Zeroed<_UnloadParmsIn>();
        _UnloadParmsOut unloadOut = Zeroed<_UnloadParmsOut>();
        x.unload(&unloadIn, &unloadOut);

        std::printf("intake %d %llu %lld %llu %zu%s\n", run,
                    static_cast<unsigned long long>(g_expected),
                    static_cast<long long>(end - start), static_cast<unsigned long long>(posted),
                    CountOperations(dir + "/rimvaultpi_state.xml"), complete ? "" : " INCOMPLETE");
        std::fflush(stdout);
    }
    std::string cleanup = std::string("rm -rf '") + base + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
