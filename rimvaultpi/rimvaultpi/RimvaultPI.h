#pragma once
// The plug-in object behind the eight exports: its lifecycle flags, the worker
// loop that runs on the thread the core lends (IOCTL code 1), and the sync
// layer it owns between Open and Close.
//
// Threads: Load, Open, Close, Unload on the core's main thread; Write and
// IOCTL codes 2 and 3 on the event-handler thread (they only append to the
// sync layer's queue); WorkerThread on the lent thread, which does every parse
// and all engine work. Lock order: `mutex`, then the sync layer's queue mutex.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "core/pluginabi/PluginInterface.h"
#include "rimvaultpi/synclayer/SyncLayer.h"

namespace kivsvr::rimvault {

class RimvaultPI {
  public:
    // Longest idle wait of the worker before Open.
    static constexpr std::chrono::seconds kIdleWait{1};

    RimvaultPI() = default;
    ~RimvaultPI();
    RimvaultPI(const RimvaultPI&) = delete;
    RimvaultPI& operator=(const RimvaultPI&) = delete;

    // [main thread] Fills the Load output and marks the instance running.
    void Load(_LoadParmsOut& out);
    // [main thread] Builds a new sync layer (replacing a previous one), posts
    // the version and configuration documents, and lets the worker run.
    // Returns false when the sync layer could not be built.
    bool Open(PFN_PLUGIN_EVENT callback);
    // [main thread] Stops the worker loop, gives back every queued buffer,
    // waits until the worker has left its loop and destroys the sync layer
    // (the engine saves its state). A worker that never entered its loop is
    // not waited for. Calling it again does nothing more.
    void Close();

    // [event-handler thread] A routed event or a broadcast document.
    void Write(const _WriteParmsIn& in, _WriteParmsOut& out);
    void IOCTL(const _IOCTLParmsIn& in, _IOCTLParmsOut& out);

    // [lent thread] Runs sync-layer passes while open, idles before Open, and
    // returns once Close (or Unload) has begun.
    void WorkerThread();

  private:
    // Queues a document that refers to the core's buffer; true when queued
    // (the caller then keeps the buffer).
    bool Queue(const Message& message);
    // One sync-layer pass; never raises.
    void RunPass();

    std::atomic<bool> running{false};
    std::atomic<bool> opened{false};
    // Worker loops in progress (guarded by `mutex`). Close waits until none
    // is left; a worker that enters after Close began leaves at once.
    int activeWorkers = 0;
    // Signalled when the worker should look at the flags, and when it leaves.
    std::condition_variable wakeup;
    std::mutex mutex;
    // Held by the worker during one sync-layer pass, so that a replacing Open
    // never destroys a sync layer in use.
    std::mutex passMutex;
    std::unique_ptr<SyncLayer> syncLayer;
};

}  // namespace kivsvr::rimvault
