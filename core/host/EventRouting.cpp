#include <tinyxml.h>

#include <cstdlib>
#include <cstring>

#include "core/host/PluginThread.h"
#include "core/host/StatusDocuments.h"
#include "core/host/dvrcore.h"
#include "core/threads/Threads.h"

namespace kiv {
namespace core {

namespace {

bool MatchesKey(uint32_t flags, uint32_t key, const _LoadParmsOut& plugin) {
    for (int i = 0; i < KIV_ROUTE_MASKS; ++i) {
        if ((flags & KIV_ROUTE_FLAGS[i]) && (key & plugin.dwRouteMask[i]) == key) return true;
    }
    return false;
}

}  // namespace

bool MatchesDeliveryKey(uint32_t flags, uint32_t type, const _LoadParmsOut& plugin) {
    const uint32_t key = (type & 0x00FFFFFFu) | ((type << 1) & 0xFE000000u);
    return MatchesKey(flags, key, plugin);
}

bool MatchesReadKey(uint32_t flags, uint32_t type, const _LoadParmsOut& plugin) {
    const uint32_t key = (type & 0x00FFFFFFu) | ((type >> 1) & 0x7F800000u);
    return MatchesKey(flags, key, plugin);
}

}  // namespace core
}  // namespace kiv

namespace {

// Events whose room the queue keeps between bursts (about 750 KiB of records on i386).
constexpr size_t kKeptQueueCapacity = 4096;

}  // namespace

// The event-handler thread: drains the queue each time the trigger fires.
class EventHandlerThread : public kiv::threads::Thread {
  public:
    explicit EventHandlerThread(dvrcore* core) : kiv::threads::Thread(false), pCore(core) {}

  protected:
    void execute() override {
        while (!get_signaled()) {
            pCore->pEventTrigger->wait();
            if (get_signaled()) break;  // events left queued are discarded by Stop
            pCore->ProcessEvents();
        }
    }

  private:
    dvrcore* pCore;
};

int dvrcore::PluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
    int32_t result = KIV_EVENT_OK;
    bool wake = true;
    if (!in) {
        result = KIV_EVENT_NO_MEMORY;
    } else if (in->dwFlags == KIV_FLAG_RELEASE) {
        char* buffer = static_cast<char*>(in->pData);
        // A release of a buffer the owner does not hold frees nothing.
        if (RefCounter.Drop(buffer, in->dwSource) == CReferenceCounter::EDrop::LastGone)
            FreeBuffer(buffer);
    } else if (in->dwSource != 0) {
        // The event handler empties the whole queue each time it wakes: only an event that
        // finds the queue empty needs to wake it.
        result = QueueEvent(*in, wake);
    } else if (in->dwFlags == KIV_FLAG_STOP_STREAM) {
        std::lock_guard<std::mutex> lock(pThreads->mtxStreams);
        pThreads->setStoppedStreams.insert(in->dwStream);
    } else {
        {
            std::lock_guard<std::mutex> lock(pThreads->mtxStreams);
            pThreads->setStoppedStreams.erase(in->dwStream);
        }
        StartStreamReaders(*in);
    }
    if (result == KIV_EVENT_OK && wake) pEventTrigger->post();
    if (out) out->nResult = result;
    return 0;
}

int32_t dvrcore::QueueEvent(const _EventParmsIn& in, bool& wasEmpty) {
    _EventParmsIn record = in;

    // Live video gate: a source is admitted from a key frame on, for at most
    // 766 further frames, and not at all while video is throttled.
    bool gated = false;
    if ((record.dwFlags & KIV_FLAG_ROUTE0) && (record.dwType & KIV_TYPE_VIDEO_BIT)) {
        std::lock_guard<std::mutex> lock(mtxStreamGate);
        auto it = mapStreamGate.find(record.dwSource);
        if (record.abPayload[KIV_PAYLOAD_KEYFRAME] == 1) {
            mapStreamGate[record.dwSource] = 0;
        } else if (it == mapStreamGate.end()) {
            return KIV_EVENT_NOT_STARTED;
        } else if (it->second > 765) {
            mapStreamGate.erase(it);
            return KIV_EVENT_TOO_MANY_FRAMES;
        } else {
            ++it->second;
        }
        if (bThrottling) {
            mapStreamGate.erase(record.dwSource);
            return KIV_EVENT_THROTTLING;
        }
        gated = true;
    }

    // One copy of the data, shared by every receiver.
    char* copy = nullptr;
    if (record.pData && record.cbData) {
        copy = bufferCache.Take(record.cbData);
        if (!copy) copy = static_cast<char*>(pfnAlloc(record.cbData));
        if (!copy) {
            if (gated) {
                std::lock_guard<std::mutex> lock(mtxStreamGate);
                mapStreamGate.erase(record.dwSource);
            }
            return KIV_EVENT_NO_MEMORY;
        }
        std::memcpy(copy, record.pData, record.cbData);
    }
    record.pData = copy;
    if (!copy) record.cbData = 0;

    // Stream data: only from a reading thread of a running stream, one buffer in flight.
    if (record.dwStream != 0) {
        kiv::core::ReaderSlot* slot = nullptr;
        {
            std::lock_guard<std::mutex> lock(pThreads->mtxStreams);
            auto it = pThreads->mapReaderSlots.find(std::this_thread::get_id());
            if (pThreads->setStoppedStreams.count(record.dwStream) == 0 &&
                it != pThreads->mapReaderSlots.end())
                slot = it->second;
        }
        if (!slot || bDeliveryStopped) {
            bufferCache.Give(copy);
            return KIV_EVENT_STREAM_STOPPED;
        }
        if (copy) {
            // The slot belongs to this thread, so it stays valid while we wait.
            slot->pSemaphore->wait();
            if (bDeliveryStopped) {
                // Woken by the stop: nothing more of the stream will be delivered.
                slot->pSemaphore->post();
                bufferCache.Give(copy);
                return KIV_EVENT_STREAM_STOPPED;
            }
            std::lock_guard<std::mutex> lock(pThreads->mtxStreams);
            slot->pPending = copy;
        }
    }

    std::lock_guard<std::mutex> lock(mtxQueue);
    wasEmpty = dqEvents.empty();
    dqEvents.push_back(record);
    return KIV_EVENT_OK;
}

void dvrcore::FreeBuffer(char* buffer) {
    if (!buffer) return;
    // Wake the reader first: once freed, the address may be handed out again.
    pThreads->FreePending(buffer);
    bufferCache.Give(buffer);
}

void dvrcore::DiscardQueue() {
    std::vector<_EventParmsIn> events;
    {
        std::lock_guard<std::mutex> lock(mtxQueue);
        events.swap(dqEvents);
    }
    for (const _EventParmsIn& e : events) FreeBuffer(static_cast<char*>(e.pData));
}

void dvrcore::ProcessEvents() {
    // Events keep arriving while earlier ones are delivered; the stop is looked at before each
    // batch, or busy posters could keep the handler from ever seeing an empty queue.
    while (!bDeliveryStopped) {
        // Everything queued so far, in order; the two vectors keep their capacity, so a
        // steady flow of events allocates nothing for the queue.
        vecDelivering.clear();
        {
            std::lock_guard<std::mutex> lock(mtxQueue);
            if (dqEvents.empty()) return;
            vecDelivering.swap(dqEvents);
        }
        for (const _EventParmsIn& event : vecDelivering) {
            char* buffer = static_cast<char*>(event.pData);
            RefCounter.Hold(buffer);  // the core's own reference
            // The registry does not change while the event handler runs.
            for (size_t i = 0; i < vecPlugins.size(); ++i) {
                if (vecPlugins[i].pLibrary) Deliver(vecPlugins[i], event);
            }
            if (RefCounter.Unhold(buffer)) FreeBuffer(buffer);
        }
        // After a burst the vectors would keep its size for good: give large ones back.
        if (vecDelivering.capacity() > kKeptQueueCapacity)
            std::vector<_EventParmsIn>().swap(vecDelivering);
    }
}

void dvrcore::Deliver(const PLUGININFO& p, const _EventParmsIn& event) {
    const uint32_t id = p.LoadOut.dwPluginID;
    char* buffer = static_cast<char*>(event.pData);
    uint32_t code = 0;
    if ((event.dwFlags & KIV_FLAG_BROADCAST) && id != event.dwSource)
        code = KIV_IOCTL_BROADCAST;
    else if (event.dwFlags & KIV_FLAG_SYSTEM)
        code = KIV_IOCTL_SYSTEM;

    if (code != 0) {
        if (!p.pfnIOCTL) return;
        _IOCTLParmsIn in;
        std::memset(&in, 0, sizeof(in));
        in.cbSize = sizeof(in);
        in.dwVersion = KIV_PARMS_VERSION;
        in.dwCode = code;
        in.cbArgs = 16;
        in.dwArgsVersion = 1;
        in.cbData = event.cbData;
        in.pData = event.pData;
        _IOCTLParmsOut out;
        std::memset(&out, 0, sizeof(out));
        out.cbSize = sizeof(out);
        out.dwVersion = KIV_PARMS_VERSION;
        out.dwCode = code;
        out.cbArgs = 8;
        out.dwArgsVersion = 1;
        RefCounter.Lend(buffer, id);
        p.pfnIOCTL(&in, &out);
        RefCounter.Lent(buffer, id, out.bKeepData != 0);
        return;
    }

    if (!p.LoadOut.bEventSink || !p.pfnWrite) return;
    if (!kiv::core::MatchesDeliveryKey(event.dwFlags, event.dwType, p.LoadOut)) return;
    _WriteParmsIn in;
    std::memset(&in, 0, sizeof(in));
    in.cbSize = sizeof(in);
    in.dwVersion = KIV_PARMS_VERSION;
    in.bAsync = 0;
    in.cbData = event.cbData;
    in.pData = event.pData;
    in.dwSource = event.dwSource;
    in.dwStream = event.dwStream;
    in.dwFlags = event.dwFlags;
    in.dwType = event.dwType;
    std::memcpy(in.abPayload, event.abPayload, sizeof(in.abPayload));
    _WriteParmsOut out;
    std::memset(&out, 0, sizeof(out));
    out.cbSize = sizeof(out);
    out.dwVersion = KIV_PARMS_VERSION;
    RefCounter.Lend(buffer, id);
    p.pfnWrite(&in, &out);
    RefCounter.Lent(buffer, id, out.bKeepData != 0);
}

bool dvrcore::InitEventHandler() {
    bDeliveryStopped = false;
    pEventHandler = new EventHandlerThread(this);
    pEventHandler->start();
    return true;
}

bool dvrcore::CleanupEventHandler() {
    if (!pEventHandler) return true;
    bDeliveryStopped = true;
    pThreads->WakeReaders();  // readers waiting for a buffer to be freed learn of the stop
    pEventHandler->signal();
    pEventTrigger->post();
    pEventHandler->waitfor();
    delete pEventHandler;
    pEventHandler = nullptr;
    return true;
}

bool dvrcore::Log(const wxString& text) {
    const wxScopedCharBuffer utf8 = text.utf8_str();
    _EventParmsIn in;
    std::memset(&in, 0, sizeof(in));
    in.cbSize = sizeof(in);
    in.dwVersion = KIV_PARMS_VERSION;
    in.cbData = static_cast<uint32_t>(utf8.length());
    in.pData = const_cast<char*>(utf8.data());
    in.dwSource = KIV_ID_CORE;
    in.dwFlags = KIV_FLAG_LOG;
    in.dwType = KIV_TYPE_LOG_TEXT;
    _EventParmsOut out;
    std::memset(&out, 0, sizeof(out));
    out.cbSize = sizeof(out);
    out.dwVersion = KIV_PARMS_VERSION;
    PluginEvent(&in, &out);
    return out.nResult == KIV_EVENT_OK;
}

void dvrcore::BroadcastXML(const TiXmlDocument& doc, unsigned long flags) {
    const std::string text = kiv::core::PrintCompact(doc);
    _EventParmsIn in;
    std::memset(&in, 0, sizeof(in));
    in.cbSize = sizeof(in);
    in.dwVersion = KIV_PARMS_VERSION;
    in.cbData = static_cast<uint32_t>(text.size());
    in.pData = const_cast<char*>(text.data());
    in.dwSource = KIV_ID_CORE;
    in.dwFlags = static_cast<uint32_t>(flags);
    in.dwType = KIV_TYPE_XML;
    _EventParmsOut out;
    std::memset(&out, 0, sizeof(out));
    out.cbSize = sizeof(out);
    out.dwVersion = KIV_PARMS_VERSION;
    PluginEvent(&in, &out);
}
