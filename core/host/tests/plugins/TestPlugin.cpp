// A plug-in for the host's tests. Every export forwards to the test program
// (kiv_test_dispatch, exported by the test executable) together with this
// library's path, so one build copied under several names gives several
// independent plug-ins whose behaviour each test sets.

#include <dlfcn.h>

#include "core/pluginabi/PluginInterface.h"

extern "C" int kiv_test_dispatch(const char* library, int call, void* in, void* out)
    __attribute__((weak));

namespace {

const char* Self() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&Self), &info) && info.dli_fname) return info.dli_fname;
    return "";
}

int Dispatch(int call, void* in, void* out) {
    return kiv_test_dispatch ? kiv_test_dispatch(Self(), call, in, out) : -1;
}

}  // namespace

#define KIV_EXPORT extern "C" __attribute__((visibility("default")))

#ifndef KIV_TEST_NO_LOAD
KIV_EXPORT int Load(_LoadParmsIn* in, _LoadParmsOut* out) { return Dispatch(0, in, out); }
#endif
KIV_EXPORT int Unload(_UnloadParmsIn* in, _UnloadParmsOut* out) { return Dispatch(1, in, out); }
KIV_EXPORT int Open(_OpenParmsIn* in, _OpenParmsOut* out) { return Dispatch(2, in, out); }
KIV_EXPORT int Close(_CloseParmsIn* in, _CloseParmsOut* out) { return Dispatch(3, in, out); }
KIV_EXPORT int Read(_ReadParmsIn* in, _ReadParmsOut* out) { return Dispatch(4, in, out); }
KIV_EXPORT int Write(_WriteParmsIn* in, _WriteParmsOut* out) { return Dispatch(5, in, out); }
KIV_EXPORT int Seek(_SeekParmsIn* in, _SeekParmsOut* out) { return Dispatch(6, in, out); }
KIV_EXPORT int IOCTL(_IOCTLParmsIn* in, _IOCTLParmsOut* out) { return Dispatch(7, in, out); }
