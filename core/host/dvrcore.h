#pragma once
// The plug-in host: finds, loads, opens, closes and unloads the plug-in
// libraries, routes every event between them, lends them threads and watches
// the heap and the wall clock.

#include <wx/filename.h>
#include <wx/string.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/pluginabi/PluginInterface.h"
#include "core/util/BufferCache.h"
#include "core/util/ReferenceCounter.h"

class TiXmlDocument;
class wxDynamicLibrary;
class dvrcore;
class PluginThread;
class EventHandlerThread;
class SchedulerThread;

namespace kiv {
namespace threads {
class Semaphore;
class Trigger;
}  // namespace threads
}  // namespace kiv

// One registry entry: a loaded plug-in library.
struct PLUGININFO {
    wxDynamicLibrary* pLibrary = nullptr;  // null marks an entry that is skipped everywhere
    PFN_LOAD pfnLoad = nullptr;
    PFN_UNLOAD pfnUnload = nullptr;
    PFN_OPEN pfnOpen = nullptr;
    PFN_CLOSE pfnClose = nullptr;
    PFN_READ pfnRead = nullptr;
    PFN_WRITE pfnWrite = nullptr;
    PFN_SEEK pfnSeek = nullptr;
    PFN_IOCTL pfnIOCTL = nullptr;
    // Lent threads delete themselves: these are bookkeeping only, never dereferenced.
    PluginThread* pWorkerThread = nullptr;
    PluginThread* pReaderThread = nullptr;
    PluginThread* pWriterThread = nullptr;
    _LoadParmsOut LoadOut = {};  // the plug-in's complete Load output
    wxString strFilename;        // file name without directory
    int32_t nOpenCode = 0;
    int64_t llLoadTime = 0;  // milliseconds
    int64_t llOpenTime = 0;  // milliseconds
};

// The closing order: true when a's dwRouteMask[5] is greater than b's (unsigned).
bool compare_watchdogServices(const PLUGININFO& a, const PLUGININFO& b);

// The event callback handed to every plug-in; forwards to the one dvrcore.
// Without a core object it queues nothing and answers nResult 1.
extern "C" int FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out);

namespace kiv {

// Appends the regular files (symbolic links count by their target) of one
// directory whose extension is exactly `extension` to `markedFiles` when the
// name contains "Qalpi", else to `regularFiles`. Not recursive; a missing or
// unreadable directory adds nothing.
void GetFiles(const std::string& directory, const std::string& extension,
              std::vector<std::string>& regularFiles, std::vector<std::string>& markedFiles);

namespace core {

// One reader slot per reading thread: at most one buffer in flight.
struct ReaderSlot {
    ReaderSlot();
    ~ReaderSlot();
    kiv::threads::Semaphore* pSemaphore;  // count 1 when nothing is in flight
    char* pPending = nullptr;             // the buffer in flight, null if none
};

// State that lent threads touch. It is shared with them so that a thread that
// outlives the core object (a plug-in that never returned) still finds it.
struct ThreadState {
    std::mutex mtxStreams;  // guards setStoppedStreams and mapReaderSlots
    std::set<uint32_t> setStoppedStreams;
    std::map<std::thread::id, ReaderSlot*> mapReaderSlots;
    std::atomic<size_t> nReaderSlots{0};  // mapReaderSlots.size(), readable without the lock

    // Lent threads still running, per plug-in identifier.
    std::mutex mtxRunning;
    std::condition_variable cvRunning;
    std::map<uint32_t, int> mapRunning;

    ~ThreadState();
    // Clears and signals every slot whose buffer in flight is `buffer`.
    // REQUIRES: buffer non-null.
    void FreePending(const char* buffer);
    // Signals every slot, whatever it holds: its reader stops waiting.
    void WakeReaders();
};

// Routing key tests of a plug-in's masks: true when, for at least one routing
// flag set in `flags`, the mask m of that flag satisfies (key & m) == key.
// Deliveries use key = (type & 0x00FFFFFF) | ((type << 1) & 0xFE000000),
// stream reads key = (type & 0x00FFFFFF) | ((type >> 1) & 0x7F800000).
bool MatchesDeliveryKey(uint32_t flags, uint32_t type, const _LoadParmsOut& plugin);
bool MatchesReadKey(uint32_t flags, uint32_t type, const _LoadParmsOut& plugin);

// Bytes currently allocated by the application, from the allocator's
// statistics; false when they are unavailable.
bool ReadHeapBytes(uint64_t* bytes);

// Memory limit of the scheduler from the machine's total RAM and the kernel's
// machine name; 2 GiB when they could not be read.
uint32_t MemoryLimit(bool infoAvailable, uint64_t totalRamBytes, const std::string& machine);
// The same, read from sysinfo() and uname().
uint32_t ReadMemoryLimit();

// Local state of the scheduler's run.
struct SchedulerState {
    uint32_t uMemoryLimit = 0x80000000u;
    bool bThrottleEnabled = true;
    int32_t tPrevious = 0;  // 0 before the first pass
};

}  // namespace core
}  // namespace kiv

class dvrcore {
  public:
    // Wall clock in whole seconds since 1970.
    using ClockFn = std::function<int32_t()>;
    // Bytes currently allocated by the application; false when unavailable.
    using HeapFn = std::function<bool(uint64_t*)>;
    // General-heap allocation of an event's data copy (freed with free()).
    using AllocFn = void* (*)(size_t);

    explicit dvrcore(const wxFileName& executable);
    ~dvrcore();
    dvrcore(const dvrcore&) = delete;
    dvrcore& operator=(const dvrcore&) = delete;

    // Loads and opens every plug-in, then starts the event-handler and
    // scheduler threads. Always true: the core also runs with no plug-in.
    bool Start();
    // Stops the threads, closes and unloads every plug-in, discards the queue.
    void Stop();

    // Lifecycle steps (main thread).
    bool LoadPlugins();
    bool InitPlugins();
    bool CleanupPlugins();
    bool UnloadPlugins();
    bool InitEventHandler();
    bool CleanupEventHandler();
    bool InitScheduler();
    bool CleanupScheduler();

    // Event routing.
    int PluginEvent(_EventParmsIn* in, _EventParmsOut* out);
    void ProcessEvents();  // event-handler thread only
    bool Log(const wxString& text);
    void BroadcastXML(const TiXmlDocument& doc, unsigned long flags);

    // Lent threads.
    bool ProvideWorkerThread(PLUGININFO& p);
    bool StartAsyncReader(PLUGININFO& p);

    // Scheduler.
    bool Config();
    void Config(bool throttling);
    void Alarm(long time);
    void Throttle(bool low, long now);
    // One pass of the scheduler loop after its wait (clock jump, heap check).
    void SchedulerPass(kiv::core::SchedulerState& state);
    bool IsThrottling() const { return bThrottling.load(); }

    // Replaceable for tests; set before Start.
    void SetClock(ClockFn clock) { fnClock = std::move(clock); }
    void SetHeapReader(HeapFn heap) { fnHeap = std::move(heap); }
    void SetAllocator(AllocFn alloc) { pfnAlloc = alloc; }
    // How long Stop waits for a plug-in's lent threads before unloading it.
    void SetThreadWaitMs(int ms) { nThreadWaitMs = ms; }

    // Directory of the executable (status files and plug-in directories live there).
    wxString GetDirectory() const { return fnExecutable.GetPath(); }
    // Snapshot of the registry in registry order (for status and tests).
    std::vector<PLUGININFO> GetPlugins() const;
    const std::vector<wxString>& GetNotLoaded() const { return vecNotLoaded; }
    CReferenceCounter& GetRefCounter() { return RefCounter; }

  private:
    friend class PluginThread;
    friend class EventHandlerThread;
    friend class SchedulerThread;

    // Starts a lent thread for plug-in `p` (counted until it ends).
    PluginThread* StartPluginThread(const PLUGININFO& p, void (*entry)(), const void* in,
                                    const void* out);
    // Copies and queues an event to route; returns the callback's result code.
    // `wasEmpty` tells whether the queue was empty before the event joined it.
    int32_t QueueEvent(const _EventParmsIn& in, bool& wasEmpty);
    // Calls one plug-in for one event (Write or IOCTL code 2/3) if it gets it.
    void Deliver(const PLUGININFO& p, const _EventParmsIn& event);
    // Frees a data copy whose last reference went, waking its reader slot.
    void FreeBuffer(char* buffer);
    // Starts Read on every matching reader plug-in for a stream-start request.
    void StartStreamReaders(const _EventParmsIn& request);
    // Waits, bounded, for the lent threads of plug-in `id`; false on time-out.
    bool WaitForPluginThreads(uint32_t id);
    void DiscardQueue();
    void SavePluginsXml();
    wxString StatusPath(const char* name) const;

    std::mutex mtxQueue;
    kiv::threads::Trigger* pEventTrigger = nullptr;
    mutable std::mutex mtxRegistry;  // guards vecPlugins changes and stream-request scans
    std::vector<PLUGININFO> vecPlugins;
    std::vector<wxString> vecNotLoaded;
    EventHandlerThread* pEventHandler = nullptr;
    SchedulerThread* pScheduler = nullptr;
    std::vector<_EventParmsIn> dqEvents;       // FIFO: appended at the back, taken whole
    std::vector<_EventParmsIn> vecDelivering;  // event-handler thread: the events being delivered
    CReferenceCounter RefCounter;
    kiv::util::BufferCache bufferCache;  // large data copies kept warm for the next event
    std::mutex mtxStreamGate;
    std::map<uint32_t, uint32_t> mapStreamGate;
    std::shared_ptr<kiv::core::ThreadState> pThreads;  // mtxStreams, reader slots, counts
    wxFileName fnExecutable;
    std::atomic<bool> bThrottling{false};
    // Set when the event handler is told to stop: it delivers no further batch, and stream data
    // is no longer queued, so that busy readers can neither keep it running nor block.
    std::atomic<bool> bDeliveryStopped{false};
    int32_t tLastLowMemory = 0;
    bool bClosing = false;            // set once closing began: no new stream readers
    bool bLibraryLeftLoaded = false;  // a plug-in thread outlived the wait at stop

    ClockFn fnClock;
    HeapFn fnHeap;
    AllocFn pfnAlloc;
    int nThreadWaitMs = 10000;
};
