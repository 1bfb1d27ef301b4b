// The eight exported entry points of the retrieval plug-in. Each forwards to
// the one process-wide plug-in object and always returns 0; results go into
// the output records. No exception ever leaves an export.

#include <memory>
#include <mutex>

#include "core/pluginabi/PluginInterface.h"
#include "rimvaultpi/rimvaultpi/RimvaultPI.h"

#define RIMVAULTPI_EXPORT extern "C" __attribute__((visibility("default")))

using kivsvr::rimvault::RimvaultPI;

namespace {

// The one plug-in object, from Load to Unload. Shared so that a worker thread
// that is still leaving its loop keeps the object it runs on alive.
std::shared_ptr<RimvaultPI> g_RimvaultPI;
std::mutex g_instanceMutex;  // guards g_RimvaultPI
PFN_PLUGIN_EVENT g_pfnEventCallBack = nullptr;

std::shared_ptr<RimvaultPI> Instance() {
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    return g_RimvaultPI;
}

// Replaces the instance; the previous one (if any) is closed first.
void ReplaceInstance(std::shared_ptr<RimvaultPI> next) {
    std::shared_ptr<RimvaultPI> previous;
    {
        std::lock_guard<std::mutex> lock(g_instanceMutex);
        previous = std::move(g_RimvaultPI);
        g_RimvaultPI = std::move(next);
    }
    if (previous) previous->Close();
}

}  // namespace

// [main thread] Creates the instance; a second Load replaces the first.
RIMVAULTPI_EXPORT int Load(_LoadParmsIn* in, _LoadParmsOut* out) {
    try {
        auto instance = std::make_shared<RimvaultPI>();
        g_pfnEventCallBack = in->pfnEvent;
        instance->Load(*out);
        ReplaceInstance(std::move(instance));
    } catch (...) {
        out->dwError = 1;
    }
    return 0;
}

// [main thread] Destroys the instance, closing it first if Close was not called.
RIMVAULTPI_EXPORT int Unload(_UnloadParmsIn*, _UnloadParmsOut* out) {
    try {
        ReplaceInstance(nullptr);
    } catch (...) {
    }
    out->nResult = 0;
    return 0;
}

// [main thread] Builds the sync layer and posts the version and configuration.
RIMVAULTPI_EXPORT int Open(_OpenParmsIn*, _OpenParmsOut* out) {
    bool ok = false;
    try {
        std::shared_ptr<RimvaultPI> instance = Instance();
        ok = instance && instance->Open(g_pfnEventCallBack);
    } catch (...) {
    }
    out->nResult = ok ? 0 : -1;
    out->dwStatus = 0;
    return 0;
}

// [main thread] Stops the worker and saves the state.
RIMVAULTPI_EXPORT int Close(_CloseParmsIn*, _CloseParmsOut* out) {
    try {
        if (std::shared_ptr<RimvaultPI> instance = Instance()) instance->Close();
    } catch (...) {
    }
    out->nResult = 0;
    return 0;
}

// [a thread of its own] The plug-in produces no stream data.
RIMVAULTPI_EXPORT int Read(_ReadParmsIn*, _ReadParmsOut* out) {
    out->nResult = 0;
    return 0;
}

// [event-handler thread] Queues a routed document.
RIMVAULTPI_EXPORT int Write(_WriteParmsIn* in, _WriteParmsOut* out) {
    try {
        if (std::shared_ptr<RimvaultPI> instance = Instance()) instance->Write(*in, *out);
    } catch (...) {
    }
    return 0;
}

// Never called by the core.
RIMVAULTPI_EXPORT int Seek(_SeekParmsIn*, _SeekParmsOut* out) {
    out->nResult = -1;
    return 0;
}

// Code 1: [lent thread] the worker loop. Codes 2 and 3: [event-handler thread].
RIMVAULTPI_EXPORT int IOCTL(_IOCTLParmsIn* in, _IOCTLParmsOut* out) {
    try {
        if (std::shared_ptr<RimvaultPI> instance = Instance()) {
            instance->IOCTL(*in, *out);
        } else {
            out->nResult = 0;
        }
    } catch (...) {
    }
    return 0;
}
