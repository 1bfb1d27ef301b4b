// The eight exports of a peer plug-in and the plug-in object behind them.

#include <tinyxml2.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "peers/PeerKit.h"

#define PEER_EXPORT extern "C" __attribute__((visibility("default")))

namespace kiv::peers {
namespace {

struct Received {
    std::string text;
    uint32_t source;
    uint32_t type;
};

// The plug-in object behind the exports.
class PeerHost {
  public:
    explicit PeerHost(std::unique_ptr<Peer> peer) : peer_(std::move(peer)) {}

    Peer& peer() { return *peer_; }

    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        opened_ = true;
        wakeup_.notify_all();
    }

    // Stops the worker loop once it has handled every document received so
    // far (the journal then shows all that was delivered), and waits until it
    // has left. A worker that never entered is not waited for.
    void Close() {
        std::unique_lock<std::mutex> lock(mutex_);
        running_ = false;
        wakeup_.notify_all();
        wakeup_.wait(lock, [this] { return workers_ == 0; });
    }

    // [event-handler thread] Copies the document into the inbox.
    void Receive(const void* data, uint32_t size, uint32_t source, uint32_t type) {
        if (data == nullptr || size == 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return;
        inbox_.push_back({std::string(static_cast<const char*>(data), size), source, type});
        wakeup_.notify_all();
    }

    // [lent thread] Serves the inbox and the timeline until Close.
    void Work() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!running_) return;
        ++workers_;
        wakeup_.wait(lock, [this] { return opened_ || !running_; });
        bool started = false;
        SteadyTime due = SteadyTime::min();
        while (true) {
            if (!inbox_.empty()) {
                Received doc = std::move(inbox_.front());
                inbox_.pop_front();
                lock.unlock();
                Dispatch(doc);
                lock.lock();
                continue;
            }
            if (!running_) break;
            SteadyTime now = std::chrono::steady_clock::now();
            if (!started || due <= now) {
                lock.unlock();
                if (!started) peer_->OnStart(now);
                started = true;
                due = peer_->OnTimer(now);
                lock.lock();
                continue;
            }
            // Wake at least every 100 ms so that a long timeline never delays Close.
            wakeup_.wait_until(lock, std::min(due, now + std::chrono::milliseconds(100)));
        }
        --workers_;
        wakeup_.notify_all();
    }

  private:
    void Dispatch(const Received& doc) {
        if (doc.type == KIV_TYPE_LOG_TEXT) {
            peer_->OnLogText(doc.text);
            return;
        }
        tinyxml2::XMLDocument xml;
        if (xml.Parse(doc.text.data(), doc.text.size()) != tinyxml2::XML_SUCCESS) return;
        const tinyxml2::XMLElement* root = xml.RootElement();
        if (root != nullptr) peer_->OnDocument(*root, doc.source);
    }

    std::unique_ptr<Peer> peer_;
    std::mutex mutex_;
    std::condition_variable wakeup_;
    bool running_ = true;
    bool opened_ = false;
    int workers_ = 0;
    std::deque<Received> inbox_;
};

std::unique_ptr<PeerHost> g_host;
uint32_t g_id = 0;

}  // namespace
}  // namespace kiv::peers

using kiv::peers::g_host;

// [main thread] Builds the peer from its scenario.
PEER_EXPORT int Load(_LoadParmsIn* in, _LoadParmsOut* out) {
    kiv::peers::SetEventCallback(in->pfnEvent);
    std::unique_ptr<kiv::peers::Peer> peer = kiv::peers::CreatePeer();
    if (!peer) {
        out->dwError = 1;
        return 0;
    }
    peer->Describe(*out);
    out->bWorkerThread = 1;
    kiv::peers::g_id = out->dwPluginID;
    g_host = std::make_unique<kiv::peers::PeerHost>(std::move(peer));
    return 0;
}

// [main thread]
PEER_EXPORT int Unload(_UnloadParmsIn*, _UnloadParmsOut* out) {
    if (g_host) g_host->Close();
    g_host.reset();
    out->nResult = 0;
    return 0;
}

// [main thread] Starts the peer's timeline on its worker.
PEER_EXPORT int Open(_OpenParmsIn*, _OpenParmsOut* out) {
    if (g_host) g_host->Open();
    out->nResult = 0;
    out->dwStatus = 0;
    return 0;
}

// [main thread] Stops the worker.
PEER_EXPORT int Close(_CloseParmsIn*, _CloseParmsOut* out) {
    if (g_host) g_host->Close();
    out->nResult = 0;
    return 0;
}

PEER_EXPORT int Read(_ReadParmsIn*, _ReadParmsOut* out) {
    out->nResult = 0;
    return 0;
}

// [event-handler thread] A routed document; the peer keeps a copy, not the buffer.
PEER_EXPORT int Write(_WriteParmsIn* in, _WriteParmsOut* out) {
    out->nResult = 0;
    out->bKeepData = 0;
    bool known = in->dwType == KIV_TYPE_XML || in->dwType == KIV_TYPE_LOG_TEXT;
    if (g_host && known && in->dwSource != kiv::peers::g_id) {
        g_host->Receive(in->pData, in->cbData, in->dwSource, in->dwType);
    }
    return 0;
}

PEER_EXPORT int Seek(_SeekParmsIn*, _SeekParmsOut* out) {
    out->nResult = -1;
    return 0;
}

// Code 1: [lent thread] the worker loop. Codes 2 and 3: [event-handler thread].
PEER_EXPORT int IOCTL(_IOCTLParmsIn* in, _IOCTLParmsOut* out) {
    out->nResult = 0;
    out->bKeepData = 0;
    if (!g_host) return 0;
    if (in->dwCode == KIV_IOCTL_WORKER) {
        g_host->Work();
    } else if (in->dwCode == KIV_IOCTL_BROADCAST) {
        // Broadcasts carry no sender; 0 stands for "another module".
        g_host->Receive(in->pData, in->cbData, 0, KIV_TYPE_XML);
    } else if (in->dwCode != KIV_IOCTL_SYSTEM) {
        out->nResult = -1;
    }
    return 0;
}
