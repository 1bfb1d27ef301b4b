// Benchmark plug-in: the consumer of the routing benchmark. Its Write counts the producer's data
// events, touching the first and last byte of each, and answers the producer's end event with
// an acknowledgement carrying the count and the delivery time (see RoutingBench.h).
#include "bench/RoutingBench.h"

namespace {

PFN_PLUGIN_EVENT g_post = nullptr;
uint64_t g_delivered = 0;  // event-handler thread only
volatile uint32_t g_sink = 0;

}  // namespace

#define KIV_EXPORT extern "C" __attribute__((visibility("default")))

KIV_EXPORT int Load(_LoadParmsIn* in, _LoadParmsOut* out) {
    g_post = in->pfnEvent;
    out->dwPluginID = kivbench::kConsumerId;
    out->dwRouteMask[0] = 0xFFFFFFFFu;  // frames
    out->dwRouteMask[1] = 0xFFFFFFFFu;  // control
    out->dwRouteMask[2] = 0xFFFFFFFFu;  // documents
    out->bEventSink = 1;
    return 0;
}

KIV_EXPORT int Unload(_UnloadParmsIn*, _UnloadParmsOut*) { return 0; }
KIV_EXPORT int Open(_OpenParmsIn*, _OpenParmsOut*) { return 0; }
KIV_EXPORT int Close(_CloseParmsIn*, _CloseParmsOut*) { return 0; }
KIV_EXPORT int Read(_ReadParmsIn*, _ReadParmsOut*) { return 0; }
KIV_EXPORT int Seek(_SeekParmsIn*, _SeekParmsOut* out) {
    out->nResult = -1;
    return 0;
}
KIV_EXPORT int IOCTL(_IOCTLParmsIn*, _IOCTLParmsOut*) { return 0; }

KIV_EXPORT int Write(_WriteParmsIn* in, _WriteParmsOut* out) {
    out->bKeepData = 0;
    if (in->dwSource != kivbench::kProducerId) return 0;  // the core's own documents
    if (!(in->dwFlags & kivbench::kFlagControl)) {
        const unsigned char* data = static_cast<const unsigned char*>(in->pData);
        if (data != nullptr && in->cbData != 0) g_sink += data[0] + data[in->cbData - 1];
        ++g_delivered;
        return 0;
    }
    const kivbench::Control control = kivbench::GetControl(in->abPayload);
    if (control.kind == kivbench::kControlStart) {
        g_delivered = 0;
        return 0;
    }
    _EventParmsIn ack;
    std::memset(&ack, 0, sizeof ack);
    ack.cbSize = sizeof ack;
    ack.dwVersion = KIV_PARMS_VERSION;
    ack.dwSource = kivbench::kConsumerId;
    ack.dwFlags = kivbench::kFlagAck;
    ack.dwType = KIV_TYPE_XML;
    kivbench::PutControl(ack.abPayload, kivbench::Control{kivbench::kControlEnd, control.phase,
                                                          g_delivered, kivbench::NowNs()});
    _EventParmsOut result;
    std::memset(&result, 0, sizeof result);
    result.cbSize = sizeof result;
    result.dwVersion = KIV_PARMS_VERSION;
    g_post(&ack, &result);
    return 0;
}
