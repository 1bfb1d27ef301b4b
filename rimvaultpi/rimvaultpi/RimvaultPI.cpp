#include "rimvaultpi/rimvaultpi/RimvaultPI.h"

#include <exception>
#include <string>

namespace kivsvr::rimvault {
namespace {

constexpr int kLevelError = 75;
constexpr uint8_t kDocumentRecordFlags = 128;

}  // namespace

RimvaultPI::~RimvaultPI() { Close(); }

void RimvaultPI::Load(_LoadParmsOut& out) {
    out.dwPluginID = KIV_ID_RIMVAULTPI;
    const uint32_t masks[8] = {0x08000310, 0, 0x03000010, 0, 0, 0x08000310, 0, 0};
    for (int i = 0; i < 8; ++i) out.dwRouteMask[i] = masks[i];
    out.bWorkerThread = 1;
    out.bReserved1 = 0;
    out.bReader = 1;
    out.bEventSink = 1;
    out.bReserved2 = 0;
    out.bReserved3 = 0;
    out.dwError = 0;
    running = true;
    opened = false;
}

bool RimvaultPI::Open(PFN_PLUGIN_EVENT callback) {
    if (syncLayer) {
        // Opened twice: the previous layer gives back its buffers and is
        // destroyed once no pass uses it.
        opened = false;
        syncLayer->cancel();
        std::lock_guard<std::mutex> pass(passMutex);
        syncLayer.reset();
    }
    std::unique_ptr<SyncLayer> layer;
    try {
        layer = std::make_unique<SyncLayer>(callback);
    } catch (const std::exception& e) {
        SyncLayer::post_log_message(
            kLevelError,
            (std::string("Error '") + e.what() + "' opening the retrieval plug-in.").c_str());
        return false;
    }
    {
        std::lock_guard<std::mutex> pass(passMutex);
        syncLayer = std::move(layer);
    }
    SyncLayer::BroadcastVersion();
    SyncLayer::BroadcastConfig();
    std::lock_guard<std::mutex> lock(mutex);
    opened = true;
    wakeup.notify_all();
    return true;
}

void RimvaultPI::Close() {
    {
        std::unique_lock<std::mutex> lock(mutex);
        opened = false;
        running = false;
        if (syncLayer) syncLayer->cancel();
        wakeup.notify_all();
        wakeup.wait(lock, [this] { return activeWorkers == 0; });
    }
    // The engine's destructor writes the state file.
    syncLayer.reset();
}

bool RimvaultPI::Queue(const Message& message) {
    // A delivery without data has nothing to parse and no buffer to give back.
    if (message.data == nullptr || !syncLayer) return false;
    return syncLayer->queue(message);
}

void RimvaultPI::Write(const _WriteParmsIn& in, _WriteParmsOut& out) {
    if (in.bAsync != 0) {
        out.nResult = -1;
        return;
    }
    // A document this plug-in posted itself, routed back to it.
    if (in.dwSource == KIV_ID_RIMVAULTPI) return;
    Message message;
    message.size = in.cbData;
    message.data = static_cast<char*>(in.pData);
    message.type = in.dwType;
    message.flags = in.dwFlags;
    message.source = in.dwSource;
    message.record_flags = kDocumentRecordFlags;
    out.bKeepData = Queue(message) ? 1 : 0;
    out.nResult = 0;
}

void RimvaultPI::IOCTL(const _IOCTLParmsIn& in, _IOCTLParmsOut& out) {
    out.nResult = 0;
    switch (in.dwCode) {
        case KIV_IOCTL_WORKER:
            WorkerThread();
            break;
        case KIV_IOCTL_BROADCAST: {
            Message message;
            message.size = in.cbData;
            message.data = static_cast<char*>(in.pData);
            message.record_flags = kDocumentRecordFlags;
            out.bKeepData = Queue(message) ? 1 : 0;
            break;
        }
        case KIV_IOCTL_SYSTEM:
            break;
        default:
            out.nResult = -1;
            break;
    }
}

void RimvaultPI::RunPass() {
    std::lock_guard<std::mutex> pass(passMutex);
    if (!opened || !syncLayer) return;
    // The loop must go on (Close waits for it). A pass catches each
    // document's errors itself; what can still escape is a failure to
    // allocate, which is reported if possible and otherwise dropped.
    try {
        syncLayer->execute();
    } catch (const std::exception& e) {
        try {
            SyncLayer::post_log_message(
                kLevelError, (std::string("Error '") + e.what() + "' in the worker.").c_str());
        } catch (...) {
        }
    } catch (...) {
    }
}

void RimvaultPI::WorkerThread() {
    std::unique_lock<std::mutex> lock(mutex);
    if (running) {
        ++activeWorkers;
        while (running) {
            if (opened) {
                lock.unlock();
                RunPass();
                lock.lock();
            } else {
                wakeup.wait_for(lock, kIdleWait, [this] { return !running || opened; });
            }
        }
        --activeWorkers;
    }
    wakeup.notify_all();
}

}  // namespace kivsvr::rimvault
