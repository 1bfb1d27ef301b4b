#include "core/host/PluginThread.h"

#include <cstdlib>
#include <cstring>

#include "core/threads/Threads.h"

namespace kiv {
namespace core {

ReaderSlot::ReaderSlot() : pSemaphore(new kiv::threads::Semaphore(1)) {}
ReaderSlot::~ReaderSlot() { delete pSemaphore; }

ThreadState::~ThreadState() {
    for (auto& slot : mapReaderSlots) delete slot.second;
}

void ThreadState::FreePending(const char* buffer) {
    // Without reader threads no slot can hold the buffer (every routed buffer is freed here).
    if (nReaderSlots.load() == 0) return;
    std::lock_guard<std::mutex> lock(mtxStreams);
    for (auto& slot : mapReaderSlots) {
        if (slot.second->pPending == buffer) {
            slot.second->pPending = nullptr;
            slot.second->pSemaphore->post();
        }
    }
}

void ThreadState::WakeReaders() {
    std::lock_guard<std::mutex> lock(mtxStreams);
    for (auto& slot : mapReaderSlots) slot.second->pSemaphore->post();
}

}  // namespace core
}  // namespace kiv

namespace {

// Points `pData` at a private copy of its `cbData` bytes. False when it fails.
bool CopyData(void*& pData, uint32_t cbData, char*& copy) {
    if (!pData) return true;
    copy = static_cast<char*>(std::malloc(cbData ? cbData : 1));
    if (!copy) return false;
    std::memcpy(copy, pData, cbData);
    pData = copy;
    return true;
}

}  // namespace

PluginThread::PluginThread(dvrcore* core, std::shared_ptr<kiv::core::ThreadState> state,
                           uint32_t pluginId, Entry entry, const _PIParmsIn* in,
                           const _PIParmsOut* out)
    : kiv::threads::Thread(true),
      pCore(core),
      pState(std::move(state)),
      dwPluginID(pluginId),
      pfnEntry(entry) {
    std::memcpy(&In, in, sizeof(In));
    std::memcpy(&Out, out, sizeof(Out));
}

PluginThread* PluginThread::Create(dvrcore* core, std::shared_ptr<kiv::core::ThreadState> state,
                                   uint32_t pluginId, Entry entry, const _PIParmsIn* in,
                                   const _PIParmsOut* out) {
    PluginThread* t = new PluginThread(core, std::move(state), pluginId, entry, in, out);
    bool ok = true;
    if (t->In.dwCall == PI_CALL_READ)
        ok = CopyData(t->In.Read.pData, t->In.Read.cbData, t->pCopy);
    else if (t->In.dwCall == PI_CALL_WRITE)
        ok = CopyData(t->In.Write.pData, t->In.Write.cbData, t->pCopy);
    else if (t->In.dwCall == PI_CALL_IOCTL && t->In.IOCTL.dwCode == KIV_IOCTL_BROADCAST)
        ok = CopyData(t->In.IOCTL.pData, t->In.IOCTL.cbData, t->pCopy);
    if (!ok) {
        delete t;
        return nullptr;
    }
    return t;
}

void PluginThread::execute() {
    if (IsStreamRead()) {
        std::lock_guard<std::mutex> lock(pState->mtxStreams);
        auto& slots = pState->mapReaderSlots;
        if (slots.find(std::this_thread::get_id()) == slots.end()) {
            slots[std::this_thread::get_id()] = new kiv::core::ReaderSlot();
            pState->nReaderSlots = slots.size();
        }
    }
    switch (In.dwCall) {
        case PI_CALL_READ:
            reinterpret_cast<PFN_READ>(pfnEntry)(&In.Read, &Out.Read);
            break;
        case PI_CALL_WRITE:
            reinterpret_cast<PFN_WRITE>(pfnEntry)(&In.Write, &Out.Write);
            break;
        case PI_CALL_IOCTL:
            reinterpret_cast<PFN_IOCTL>(pfnEntry)(&In.IOCTL, &Out.IOCTL);
            break;
        default:
            break;
    }
}

void PluginThread::cleanup() {
    if (IsStreamRead()) {
        std::lock_guard<std::mutex> lock(pState->mtxStreams);
        auto it = pState->mapReaderSlots.find(std::this_thread::get_id());
        if (it != pState->mapReaderSlots.end()) {
            delete it->second;
            pState->mapReaderSlots.erase(it);
            pState->nReaderSlots = pState->mapReaderSlots.size();
        }
    }
    std::free(pCopy);
    pCopy = nullptr;
    // The plug-in's code has returned: its library may be unloaded from now on.
    {
        std::lock_guard<std::mutex> lock(pState->mtxRunning);
        auto it = pState->mapRunning.find(dwPluginID);
        if (it != pState->mapRunning.end() && --it->second <= 0) pState->mapRunning.erase(it);
    }
    pState->cvRunning.notify_all();
}
