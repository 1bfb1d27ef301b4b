#pragma once
// A thread lent to a plug-in for one long call (its worker loop or a stream
// read). It calls the entry point once with private copies of the records and
// the data, then cleans up and deletes itself.

#include <memory>

#include "core/host/dvrcore.h"
#include "core/pluginabi/PluginInterface.h"
#include "core/threads/Threads.h"

// Call codes of the envelopes.
enum : uint32_t {
    PI_CALL_READ = 4,
    PI_CALL_WRITE = 5,
    PI_CALL_IOCTL = 7,
};

// Input envelope: the call code and the input record of the call.
struct _PIParmsIn {
    uint32_t cbSize;
    uint32_t dwVersion;  // 1
    uint32_t dwCall;     // PI_CALL_*
    union {
        _ReadParmsIn Read;
        _WriteParmsIn Write;
        _IOCTLParmsIn IOCTL;
    };
};

// Output envelope: the call code and room for the largest output record.
struct _PIParmsOut {
    uint32_t cbSize;
    uint32_t dwVersion;  // 1
    uint32_t dwCall;     // PI_CALL_*
    union {
        _ReadParmsOut Read;
        _WriteParmsOut Write;
        _IOCTLParmsOut IOCTL;
        _LoadParmsOut Load;
    };
};

class PluginThread : public kiv::threads::Thread {
  public:
    using Entry = void (*)();

    // Copies both envelopes and, for a Read or Write with data and for IOCTL
    // code 2 with data, the data itself. Returns null when the copy fails.
    static PluginThread* Create(dvrcore* core, std::shared_ptr<kiv::core::ThreadState> state,
                                uint32_t pluginId, Entry entry, const _PIParmsIn* in,
                                const _PIParmsOut* out);

  protected:
    void execute() override;
    void cleanup() override;

  private:
    PluginThread(dvrcore* core, std::shared_ptr<kiv::core::ThreadState> state, uint32_t pluginId,
                 Entry entry, const _PIParmsIn* in, const _PIParmsOut* out);
    bool IsStreamRead() const { return In.dwCall == PI_CALL_READ && In.Read.dwStream != 0; }

    dvrcore* pCore;  // back pointer; not used once the call returned
    std::shared_ptr<kiv::core::ThreadState> pState;
    uint32_t dwPluginID;
    Entry pfnEntry;
    _PIParmsIn In;
    _PIParmsOut Out;
    char* pCopy = nullptr;  // private data copy, freed in cleanup
};
