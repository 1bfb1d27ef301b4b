#if KIV_HEAP_STATS
#include <gperftools/malloc_extension.h>
#endif
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <tinyxml.h>

#include <cstdlib>

#include "core/host/StatusDocuments.h"
#include "core/host/dvrcore.h"
#include "core/threads/Threads.h"

namespace kiv {
namespace core {

uint32_t MemoryLimit(bool infoAvailable, uint64_t totalRamBytes, const std::string& machine) {
    if (!infoAvailable) return 0x80000000u;
    if (totalRamBytes > 0xC0000000ull) return machine == "x86_64" ? 0xC0000000u : 0x80000000u;
    if (totalRamBytes > 0x80000000ull) return 0x80000000u;
    return static_cast<uint32_t>(totalRamBytes);
}

uint32_t ReadMemoryLimit() {
    struct sysinfo info;
    struct utsname name;
    if (sysinfo(&info) != 0 || uname(&name) != 0) return MemoryLimit(false, 0, "");
    const uint64_t total = static_cast<uint64_t>(info.totalram) * info.mem_unit;
    return MemoryLimit(true, total, name.machine);
}

bool ReadHeapBytes(uint64_t* bytes) {
#if KIV_HEAP_STATS
    size_t value = 0;
    MallocExtension* extension = MallocExtension::instance();
    if (!extension || !extension->GetNumericProperty("generic.current_allocated_bytes", &value))
        return false;
    *bytes = value;
    return true;
#else
    (void)bytes;  // built without tcmalloc (sanitizer builds): no statistics to read
    return false;
#endif
}

}  // namespace core
}  // namespace kiv

// The core's periodic thread: starts the asynchronous readers, then about ten
// times a second watches the clock and, once a second, the heap.
class SchedulerThread : public kiv::threads::Thread {
  public:
    explicit SchedulerThread(dvrcore* core) : kiv::threads::Thread(false), pCore(core) {}

  protected:
    void execute() override {
        {
            std::lock_guard<std::mutex> lock(pCore->mtxRegistry);
            for (PLUGININFO& p : pCore->vecPlugins) {
                if (p.pLibrary && p.LoadOut.bReader) pCore->StartAsyncReader(p);
            }
        }
        kiv::core::SchedulerState state;
        state.uMemoryLimit = kiv::core::ReadMemoryLimit();
        state.bThrottleEnabled = pCore->Config();
        while (!relax(100)) pCore->SchedulerPass(state);
    }

  private:
    dvrcore* pCore;
};

bool dvrcore::InitScheduler() {
    pScheduler = new SchedulerThread(this);
    pScheduler->start();
    return true;
}

bool dvrcore::CleanupScheduler() {
    if (!pScheduler) return true;
    pScheduler->signal();
    pScheduler->waitfor();
    delete pScheduler;
    pScheduler = nullptr;
    return true;
}

void dvrcore::SchedulerPass(kiv::core::SchedulerState& state) {
    const int32_t now = fnClock();
    if (state.tPrevious != 0) {
        const int64_t d = static_cast<int64_t>(now) - state.tPrevious;
        if (d > 1 || d < -1)
            Log(wxString::Format("system time changed by %d seconds", static_cast<int>(d)));
    } else {
        if (!state.bThrottleEnabled) {
            state.tPrevious = now;
            return;
        }
        Alarm(now);
    }
    if (now != state.tPrevious && state.bThrottleEnabled) {
        uint64_t allocated = 0;
        if (fnHeap && fnHeap(&allocated)) Throttle(state.uMemoryLimit < allocated, now);
    }
    state.tPrevious = now;
}

void dvrcore::Throttle(bool low, long now) {
    bThrottling = low;
    if (low) {
        if (tLastLowMemory == 0) {
            Log("available system memory is low, throttling video");
            Alarm(now);
        }
        tLastLowMemory = static_cast<int32_t>(now);
    } else if (tLastLowMemory != 0 && now - tLastLowMemory > 59) {
        Log("available system memory ok, not throttling video");
        Alarm(tLastLowMemory);
        tLastLowMemory = 0;
    }
}

void dvrcore::Alarm(long time) {
    TiXmlDocument doc;
    kiv::core::BuildAlarmDocument(doc, bThrottling, time);
    BroadcastXML(doc, KIV_FLAG_ROUTE2);
}

bool dvrcore::Config() {
    bool throttling = true;
    TiXmlDocument doc;
    if (doc.LoadFile(std::string(StatusPath("core.xml").fn_str()))) {
        const TiXmlElement* root = doc.FirstChildElement();
        const TiXmlElement* memory = root ? root->FirstChildElement("Memory") : nullptr;
        int value = 0;
        if (memory && memory->QueryIntAttribute("Throttling", &value) == TIXML_SUCCESS)
            throttling = value != 0;
    }
    Config(throttling);
    return throttling;
}

void dvrcore::Config(bool throttling) {
    TiXmlDocument doc;
    kiv::core::BuildCoreDocument(doc, throttling);
    doc.SaveFile(std::string(StatusPath("core.xml").fn_str()));  // a failure is ignored
    BroadcastXML(doc, KIV_FLAG_BROADCAST);
}
