// Benchmark plug-in: the producer of the routing benchmark. On the worker thread the core lends
// it, once the core's event handler runs, it measures each phase side by side: the bare
// baseline (BareQueue) and the core (events posted through the core's callback to the consumer
// plug-in), alternately, BENCH_ROUTING_REPS times. It writes one line per run to the file named
// by BENCH_ROUTING_RESULT (written under a temporary name, then renamed):
//   routing PHASE THREADS RUN bare|core EVENTS BYTES NANOSECONDS REFUSED
// BENCH_ROUTING_DOCUMENTS and BENCH_ROUTING_FRAMES set the events per run (1 000 000 and
// 32 768, 4 GiB a run: longer runs let start-up and short stalls of the shared machine weigh
// less). BENCH_ROUTING_SIDES=core or =bare measures one side only (for profiling).
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BareQueue.h"
#include "bench/RoutingBench.h"

namespace {

using kivbench::Control;
using kivbench::Phase;

PFN_PLUGIN_EVENT g_post = nullptr;
std::mutex g_mutex;
std::condition_variable g_changed;
bool g_handlerRuns = false;  // a broadcast was delivered: the event handler runs
bool g_closing = false;
bool g_acked = false;
Control g_ack = {};

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

_EventParmsIn NewEvent(uint32_t flags, uint32_t type) {
    _EventParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.cbSize = sizeof in;
    in.dwVersion = KIV_PARMS_VERSION;
    in.dwSource = kivbench::kProducerId;
    in.dwFlags = flags;
    in.dwType = type;
    return in;
}

int32_t Post(_EventParmsIn& in) {
    _EventParmsOut out;
    std::memset(&out, 0, sizeof out);
    out.cbSize = sizeof out;
    out.dwVersion = KIV_PARMS_VERSION;
    g_post(&in, &out);
    return out.nResult;
}

void PostControl(uint32_t kind, uint32_t phase) {
    _EventParmsIn in = NewEvent(kivbench::kFlagControl, KIV_TYPE_XML);
    kivbench::PutControl(in.abPayload, Control{kind, phase, 0, 0});
    Post(in);
}

// Splits `count` events over `threads` threads and runs `post(i)` for each event's number i
// within its thread; returns the events refused.
template <typename PostFn>
uint64_t RunThreads(const Phase& phase, PostFn post) {
    std::atomic<uint64_t> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < phase.threads; ++t) {
        const uint64_t share =
            phase.count / phase.threads + (t == 0 ? phase.count % phase.threads : 0);
        threads.emplace_back([&, share] {
            uint64_t mine = 0;
            for (uint64_t i = 0; i < share; ++i) {
                if (!post(i)) ++mine;
            }
            refused += mine;
        });
    }
    for (std::thread& t : threads) t.join();
    return refused;
}

struct Run {
    uint64_t delivered;
    int64_t ns;
    uint64_t refused;
};

Run RunBare(const Phase& phase, const std::vector<char>& data) {
    kivbench::BareQueue queue;
    const int64_t start = kivbench::NowNs();
    const uint64_t refused = RunThreads(phase, [&](uint64_t) {
        return queue.Post(data.data(), static_cast<uint32_t>(data.size()));
    });
    Run run{0, 0, refused};
    int64_t end = 0;
    queue.End(run.delivered, end);
    run.ns = end - start;
    return run;
}

Run RunCore(const Phase& phase, const std::vector<char>& data, uint32_t number) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_acked = false;
    }
    PostControl(kivbench::kControlStart, number);
    const int64_t start = kivbench::NowNs();
    const uint64_t refused = RunThreads(phase, [&](uint64_t i) {
        _EventParmsIn in = NewEvent(phase.frames ? kivbench::kFlagFrames : kivbench::kFlagDocuments,
                                    phase.frames ? kivbench::kTypeFrame : KIV_TYPE_XML);
        in.cbData = static_cast<uint32_t>(data.size());
        in.pData = const_cast<char*>(data.data());
        if (phase.frames && i % kivbench::kKeyFrameInterval == 0) {
            in.abPayload[KIV_PAYLOAD_KEYFRAME] = 1;
        }
        return Post(in) == KIV_EVENT_OK;
    });
    PostControl(kivbench::kControlEnd, number);
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait(lock, [&] { return (g_acked && g_ack.phase == number) || g_closing; });
    if (!g_acked) return Run{0, 0, refused};
    return Run{g_ack.delivered, g_ack.endNs - start, refused};
}

void Report(FILE* out, const Phase& phase, int rep, const char* side, const Run& run) {
    std::fprintf(out, "routing %s %d %d %s %llu %llu %lld %llu\n", phase.name, phase.threads, rep,
                 side, static_cast<unsigned long long>(run.delivered),
                 static_cast<unsigned long long>(run.delivered * phase.size),
                 static_cast<long long>(run.ns), static_cast<unsigned long long>(run.refused));
    std::fflush(out);
}

void RunBenchmark() {
    const char* result = std::getenv("BENCH_ROUTING_RESULT");
    if (result == nullptr) return;
    const int reps = static_cast<int>(EnvNumber("BENCH_ROUTING_REPS", 5));
    const uint64_t documents = EnvNumber("BENCH_ROUTING_DOCUMENTS", 1000000);
    const uint64_t frames = EnvNumber("BENCH_ROUTING_FRAMES", 32768);
    const char* sidesText = std::getenv("BENCH_ROUTING_SIDES");
    const std::string sides = sidesText != nullptr ? sidesText : "";
    const Phase phases[] = {
        {"documents", 256, false, 1, documents},
        {"documents", 256, false, 4, documents},
        {"frames", 128 * 1024, true, 1, frames},
        {"frames", 128 * 1024, true, 4, frames},
    };

    const std::string partial = std::string(result) + ".part";
    FILE* out = std::fopen(partial.c_str(), "w");
    if (out == nullptr) return;
    uint32_t number = 0;
    for (const Phase& phase : phases) {
        if (phase.count == 0) continue;
        // A 256-byte document, or a frame of varied bytes.
        std::vector<char> data(phase.size, 'x');
        if (!phase.frames) {
            const char head[] = "<?xml version=\"1.0\"?><Kivrec Delta=\"0\"><Bench Payload=\"";
            std::memcpy(data.data(), head, sizeof head - 1);
            std::memcpy(data.data() + phase.size - 12, "\"/></Kivrec>", 12);
        } else {
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
        }
        for (int rep = 0; rep < reps; ++rep) {
            // The two sides take turns at going first, so that neither always meets the
            // machine's state the other left behind.
            const bool bareFirst = rep % 2 == 0;
            if (bareFirst && sides != "core") Report(out, phase, rep, "bare", RunBare(phase, data));
            if (sides != "bare") Report(out, phase, rep, "core", RunCore(phase, data, ++number));
            if (!bareFirst && sides != "core") Report(out, phase, rep, "bare", RunBare(phase, data));
            {
                std::lock_guard<std::mutex> lock(g_mutex);
                if (g_closing) break;
            }
        }
    }
    std::fclose(out);
    std::rename(partial.c_str(), result);
}

}  // namespace

#define KIV_EXPORT extern "C" __attribute__((visibility("default")))

KIV_EXPORT int Load(_LoadParmsIn* in, _LoadParmsOut* out) {
    g_post = in->pfnEvent;
    out->dwPluginID = kivbench::kProducerId;
    out->dwRouteMask[3] = 0xFFFFFFFFu;  // acknowledgements
    out->bWorkerThread = 1;
    out->bEventSink = 1;
    return 0;
}

KIV_EXPORT int Unload(_UnloadParmsIn*, _UnloadParmsOut*) { return 0; }
KIV_EXPORT int Open(_OpenParmsIn*, _OpenParmsOut*) { return 0; }

KIV_EXPORT int Close(_CloseParmsIn*, _CloseParmsOut*) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_closing = true;
    g_changed.notify_all();
    return 0;
}

KIV_EXPORT int Read(_ReadParmsIn*, _ReadParmsOut*) { return 0; }
KIV_EXPORT int Seek(_SeekParmsIn*, _SeekParmsOut* out) {
    out->nResult = -1;
    return 0;
}

KIV_EXPORT int Write(_WriteParmsIn* in, _WriteParmsOut*) {
    if (in->dwSource != kivbench::kConsumerId || !(in->dwFlags & kivbench::kFlagAck)) return 0;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_ack = kivbench::GetControl(in->abPayload);
    g_acked = true;
    g_changed.notify_all();
    return 0;
}

KIV_EXPORT int IOCTL(_IOCTLParmsIn* in, _IOCTLParmsOut*) {
    if (in->dwCode == KIV_IOCTL_WORKER) {
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            g_changed.wait(lock, [] { return g_handlerRuns || g_closing; });
            if (g_closing) return 0;
        }
        RunBenchmark();
        std::unique_lock<std::mutex> lock(g_mutex);
        g_changed.wait(lock, [] { return g_closing; });
        return 0;
    }
    // The core's status broadcasts arrive once its event handler runs.
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handlerRuns = true;
    g_changed.notify_all();
    return 0;
}
