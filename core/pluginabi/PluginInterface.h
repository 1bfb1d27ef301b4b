#pragma once
// The binary contract between the core and its plug-in shared libraries: the
// eight exported entry points, their input and output records, the event
// callback and the flags, type codes, identifiers and result codes carried in
// those records.
//
// The contract is fixed for a 32-bit x86 little-endian process (natural
// 4-byte alignment, 4-byte pointers): there every offset below is checked.
// On x86_64 the same declarations take their natural layout, which only the
// core and plug-ins built together for that machine share.
//
// Common rules: every record begins with cbSize (its size in bytes) and
// dwVersion (its layout version). The caller zero-fills a record, then sets
// cbSize, dwVersion and its input fields; a callee writes only the output
// fields. Every entry point returns int, 0 for success.

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// Module identifiers (32-bit; written in decimal in XML attributes).

// The core's own source identifier and owner tag for buffer references.
static const uint32_t KIV_ID_CORE = 0x80000000u;
// The retrieval plug-in.
static const uint32_t KIV_ID_RIMVAULTPI = 0x00510000u;
// The storage plug-in (disk-space reservations).
static const uint32_t KIV_ID_STORAGE = 0x00050000u;
// The plug-in that the core always places first in its registry.
static const uint32_t KIV_ID_FIRST_IN_REGISTRY = 0x00060000u;

// ---------------------------------------------------------------------------
// Routing flags (dwFlags of an event).

static const uint32_t KIV_FLAG_ROUTE0 = 0x001;  // route by dwRouteMask[0]; live video gate
static const uint32_t KIV_FLAG_ROUTE1 = 0x002;  // route by dwRouteMask[1]
static const uint32_t KIV_FLAG_ROUTE2 = 0x004;  // route by dwRouteMask[2]; requests, memory alarm
static const uint32_t KIV_FLAG_ROUTE3 = 0x008;  // route by dwRouteMask[3]
static const uint32_t KIV_FLAG_ROUTE4 = 0x010;  // route by dwRouteMask[4]
static const uint32_t KIV_FLAG_ROUTE5 = 0x020;  // route by dwRouteMask[5]
static const uint32_t KIV_FLAG_ROUTE6 = 0x040;  // route by dwRouteMask[6]; log messages
static const uint32_t KIV_FLAG_ROUTE7 = 0x080;  // route by dwRouteMask[7]
static const uint32_t KIV_FLAG_ROUTE8 = 0x400;  // route by dwRouteMask[8]
static const uint32_t KIV_FLAG_LOG = KIV_FLAG_ROUTE6;
// Deliver to every module other than the sender as IOCTL code 2.
static const uint32_t KIV_FLAG_BROADCAST = 0x100;
// Release event: give back the reference of module dwSource to the buffer pData.
// Only a dwFlags of exactly this value is a release.
static const uint32_t KIV_FLAG_RELEASE = 0x200;
// Deliver to every plug-in as IOCTL code 3.
static const uint32_t KIV_FLAG_SYSTEM = 0x800;
// With dwSource 0 and dwFlags exactly this value: stop stream dwStream.
static const uint32_t KIV_FLAG_STOP_STREAM = 0x1000;

// Number of routing masks and the routing flag that selects each one.
#define KIV_ROUTE_MASKS 9
static const uint32_t KIV_ROUTE_FLAGS[KIV_ROUTE_MASKS] = {0x001, 0x002, 0x004, 0x008, 0x010,
                                                          0x020, 0x040, 0x080, 0x400};

// ---------------------------------------------------------------------------
// Type codes (dwType): bits 24..31 are class bits, bits 0..23 subtype bits.

static const uint32_t KIV_TYPE_LOG_TEXT = 0x01000002u;  // data: the text, no terminating NUL
static const uint32_t KIV_TYPE_XML = 0x01000010u;       // data: the document text
// With routing flag KIV_FLAG_ROUTE0, this type bit marks a live video frame.
static const uint32_t KIV_TYPE_VIDEO_BIT = 0x01000000u;

// Index in abPayload of bKeyFrame (offset 50 of _EventParmsIn on i386),
// read by the core for live video frames only; 1 marks a key frame.
#define KIV_PAYLOAD_KEYFRAME 18

// ---------------------------------------------------------------------------
// Result codes of the event callback (nResult of _EventParmsOut).

static const int32_t KIV_EVENT_OK = 0;               // queued, released, or stream request done
static const int32_t KIV_EVENT_NO_MEMORY = -1;       // the copy of pData failed; nothing queued
static const int32_t KIV_EVENT_STREAM_STOPPED = 1;   // stream stopped or no reader slot
static const int32_t KIV_EVENT_NOT_STARTED = 3;      // live frame before the first key frame
static const int32_t KIV_EVENT_TOO_MANY_FRAMES = 4;  // > 765 frames since the last key frame
static const int32_t KIV_EVENT_THROTTLING = 5;       // the core throttles video for low memory

// ---------------------------------------------------------------------------
// IOCTL codes (dwCode).

static const uint32_t KIV_IOCTL_WORKER = 1;     // the plug-in's worker loop, on a lent thread
static const uint32_t KIV_IOCTL_BROADCAST = 2;  // a document broadcast with KIV_FLAG_BROADCAST
static const uint32_t KIV_IOCTL_SYSTEM = 3;     // a system document (KIV_FLAG_SYSTEM)

// ---------------------------------------------------------------------------
// Export names, resolved by exactly these plain symbol names.

#define KIV_EXPORT_LOAD "Load"
#define KIV_EXPORT_UNLOAD "Unload"
#define KIV_EXPORT_OPEN "Open"
#define KIV_EXPORT_CLOSE "Close"
#define KIV_EXPORT_READ "Read"
#define KIV_EXPORT_WRITE "Write"
#define KIV_EXPORT_SEEK "Seek"
#define KIV_EXPORT_IOCTL "IOCTL"

// ---------------------------------------------------------------------------
// Records.

#ifdef __cplusplus
extern "C" {
#endif

struct _EventParmsIn;
struct _EventParmsOut;

// The core's event callback (FlatPluginEvent). May be called from any thread,
// also from inside Write or IOCTL: the core only queues the event. Always
// returns 0; the outcome is in _EventParmsOut::nResult.
typedef int (*PFN_PLUGIN_EVENT)(struct _EventParmsIn*, struct _EventParmsOut*);

// Load input, version 3, filled by the core.
struct _LoadParmsIn {
    uint32_t cbSize;            // 16 on i386
    uint32_t dwVersion;         // 3
    void* pCore;                // opaque handle of the core object
    PFN_PLUGIN_EVENT pfnEvent;  // the core's event callback
};
#define KIV_LOADPARMSIN_VERSION 3

// Load output, version 1; the core sets cbSize and dwVersion, the plug-in the rest.
struct _LoadParmsOut {
    uint32_t cbSize;     // 64
    uint32_t dwVersion;  // 1
    uint32_t dwPluginID;
    // Subscription masks, one per routing flag in KIV_ROUTE_FLAGS order.
    // dwRouteMask[5] is also the closing-order key (descending).
    uint32_t dwRouteMask[KIV_ROUTE_MASKS];
    uint32_t dwReserved;
    uint8_t bWorkerThread;  // nonzero: the core lends a thread, entered through IOCTL code 1
    uint8_t bReserved1;
    uint8_t bReader;     // nonzero: Read is called for stream reads
    uint8_t bEventSink;  // nonzero: Write is called for routed events matching the masks
    uint8_t bReserved2;
    uint8_t bReserved3;
    uint8_t abPadding[2];
    int32_t dwError;  // nonzero refuses the load
};

struct _UnloadParmsIn {
    uint32_t cbSize;     // 8
    uint32_t dwVersion;  // 1
};
struct _UnloadParmsOut {
    uint32_t cbSize;     // 12
    uint32_t dwVersion;  // 1
    int32_t nResult;     // not read by the core
};

struct _OpenParmsIn {
    uint32_t cbSize;     // 20
    uint32_t dwVersion;  // 1
    uint32_t dwReserved[3];
};
struct _OpenParmsOut {
    uint32_t cbSize;     // 16
    uint32_t dwVersion;  // 1
    int32_t nResult;
    uint32_t dwStatus;
};

struct _CloseParmsIn {
    uint32_t cbSize;     // 12
    uint32_t dwVersion;  // 1
    uint32_t dwReserved;
};
struct _CloseParmsOut {
    uint32_t cbSize;     // 12
    uint32_t dwVersion;  // 1
    int32_t nResult;     // not read by the core
};

struct _ReadParmsIn {
    uint32_t cbSize;     // 28 on i386
    uint32_t dwVersion;  // 1
    uint32_t dwReserved;
    uint8_t bAsync;  // 1: the call runs on a thread of its own (always so from the core)
    uint32_t cbData;
    void* pData;        // request payload; a private copy that lives until the call returns
    uint32_t dwStream;  // stream handle of the read request, 0 if none
};
struct _ReadParmsOut {
    uint32_t cbSize;     // 20
    uint32_t dwVersion;  // 1
    uint32_t dwReserved[2];
    int32_t nResult;  // not read by the core
};

// Size of the type-specific payload of an event.
#define KIV_PAYLOAD_SIZE 152

// The delivery of one routed event. From cbData on it is the event record
// from its cbData on, field for field.
struct _WriteParmsIn {
    uint32_t cbSize;     // 192 on i386
    uint32_t dwVersion;  // 1
    uint32_t dwReserved;
    uint8_t bAsync;  // 0 for deliveries from the event handler
    uint32_t cbData;
    void* pData;  // the core's reference-counted copy of the event data
    uint32_t dwSource;
    uint32_t dwStream;
    uint32_t dwFlags;
    uint32_t dwType;
    uint8_t abPayload[KIV_PAYLOAD_SIZE];
};
struct _WriteParmsOut {
    uint32_t cbSize;     // 24
    uint32_t dwVersion;  // 1
    uint32_t dwReserved[2];
    int32_t nResult;
    // Nonzero: the plug-in keeps its reference to pData and gives it back later
    // with a release event. Zero: the core drops the reference when Write returns.
    uint32_t bKeepData;
};

// Seek is resolved by the core but never called.
struct _SeekParmsIn {
    uint32_t cbSize;     // 12
    uint32_t dwVersion;  // 1
    uint32_t dwReserved;
};
struct _SeekParmsOut {
    uint32_t cbSize;     // 12
    uint32_t dwVersion;  // 1
    int32_t nResult;
};

struct _IOCTLParmsIn {
    uint32_t cbSize;         // 28 on i386
    uint32_t dwVersion;      // 1
    uint32_t dwCode;         // KIV_IOCTL_*
    uint32_t cbArgs;         // size of the block from here: 8 for code 1, 16 for codes 2 and 3
    uint32_t dwArgsVersion;  // 1
    uint32_t cbData;         // codes 2 and 3: size of the document; code 1: 0
    void* pData;             // codes 2 and 3: the core's reference-counted copy; code 1: null
};
struct _IOCTLParmsOut {
    uint32_t cbSize;     // 28
    uint32_t dwVersion;  // 1
    uint32_t dwCode;     // set by the core
    int32_t nResult;
    uint32_t bKeepData;      // as in _WriteParmsOut
    uint32_t cbArgs;         // 8
    uint32_t dwArgsVersion;  // 1
};

// The record passed to the event callback.
struct _EventParmsIn {
    uint32_t cbSize;     // 184 on i386
    uint32_t dwVersion;  // 1
    uint32_t cbData;
    // Event data; the core copies it before the callback returns. For a release
    // event: the buffer being released.
    void* pData;
    uint32_t dwSource;  // sender; 0 marks a stream control request
    uint32_t dwStream;  // stream handle, 0 if none
    uint32_t dwFlags;   // KIV_FLAG_*
    uint32_t dwType;    // KIV_TYPE_*
    uint8_t abPayload[KIV_PAYLOAD_SIZE];
};
struct _EventParmsOut {
    uint32_t cbSize;     // 12
    uint32_t dwVersion;  // 1
    int32_t nResult;     // KIV_EVENT_*, written by the core
};

// Record versions.
#define KIV_PARMS_VERSION 1

// ---------------------------------------------------------------------------
// Entry points exported by a plug-in, all int f(In*, Out*).

// [main thread] once, right after the library was opened. Returning nonzero or
// setting dwError refuses the load.
typedef int (*PFN_LOAD)(struct _LoadParmsIn*, struct _LoadParmsOut*);
// [main thread] once, after every plug-in was closed; the library is unloaded next.
typedef int (*PFN_UNLOAD)(struct _UnloadParmsIn*, struct _UnloadParmsOut*);
// [main thread] once, after every plug-in was loaded, in registry order. The
// return value is the plug-in's open code; nonzero keeps it registered.
typedef int (*PFN_OPEN)(struct _OpenParmsIn*, struct _OpenParmsOut*);
// [main thread] once, after the event-handler thread stopped, in closing order.
typedef int (*PFN_CLOSE)(struct _CloseParmsIn*, struct _CloseParmsOut*);
// [a thread of its own] a stream read; may run long and must return by itself
// once its stream is stopped or the plug-in is closed.
typedef int (*PFN_READ)(struct _ReadParmsIn*, struct _ReadParmsOut*);
// [event-handler thread] one routed event; one call at a time across all plug-ins.
typedef int (*PFN_WRITE)(struct _WriteParmsIn*, struct _WriteParmsOut*);
// Never called by the core.
typedef int (*PFN_SEEK)(struct _SeekParmsIn*, struct _SeekParmsOut*);
// Code 1: [a thread lent to the plug-in] its worker loop, returns when the
// plug-in is closing. Codes 2 and 3: [event-handler thread] a broadcast or
// system document, one call at a time across all plug-ins.
typedef int (*PFN_IOCTL)(struct _IOCTLParmsIn*, struct _IOCTLParmsOut*);

#ifdef __cplusplus
}  // extern "C"
#endif

// ---------------------------------------------------------------------------
// Layout checks: the offsets and sizes of the 32-bit contract.

#if defined(__i386__) || (defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4)
#ifdef __cplusplus
#define KIV_ABI_ASSERT(c) static_assert(c, #c)
#else
#define KIV_ABI_ASSERT(c) _Static_assert(c, #c)
#endif
KIV_ABI_ASSERT(sizeof(void*) == 4);

KIV_ABI_ASSERT(sizeof(struct _LoadParmsIn) == 16);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsIn, cbSize) == 0);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsIn, dwVersion) == 4);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsIn, pCore) == 8);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsIn, pfnEvent) == 12);

KIV_ABI_ASSERT(sizeof(struct _LoadParmsOut) == 64);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, dwPluginID) == 8);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, dwRouteMask) == 12);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, dwRouteMask[5]) == 32);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, dwRouteMask[8]) == 44);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, dwReserved) == 48);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, bWorkerThread) == 52);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, bReserved1) == 53);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, bReader) == 54);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, bEventSink) == 55);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, bReserved2) == 56);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, bReserved3) == 57);
KIV_ABI_ASSERT(offsetof(struct _LoadParmsOut, dwError) == 60);

KIV_ABI_ASSERT(sizeof(struct _UnloadParmsIn) == 8);
KIV_ABI_ASSERT(sizeof(struct _UnloadParmsOut) == 12);
KIV_ABI_ASSERT(offsetof(struct _UnloadParmsOut, nResult) == 8);

KIV_ABI_ASSERT(sizeof(struct _OpenParmsIn) == 20);
KIV_ABI_ASSERT(offsetof(struct _OpenParmsIn, dwReserved) == 8);
KIV_ABI_ASSERT(sizeof(struct _OpenParmsOut) == 16);
KIV_ABI_ASSERT(offsetof(struct _OpenParmsOut, nResult) == 8);
KIV_ABI_ASSERT(offsetof(struct _OpenParmsOut, dwStatus) == 12);

KIV_ABI_ASSERT(sizeof(struct _CloseParmsIn) == 12);
KIV_ABI_ASSERT(offsetof(struct _CloseParmsIn, dwReserved) == 8);
KIV_ABI_ASSERT(sizeof(struct _CloseParmsOut) == 12);
KIV_ABI_ASSERT(offsetof(struct _CloseParmsOut, nResult) == 8);

KIV_ABI_ASSERT(sizeof(struct _ReadParmsIn) == 28);
KIV_ABI_ASSERT(offsetof(struct _ReadParmsIn, dwReserved) == 8);
KIV_ABI_ASSERT(offsetof(struct _ReadParmsIn, bAsync) == 12);
KIV_ABI_ASSERT(offsetof(struct _ReadParmsIn, cbData) == 16);
KIV_ABI_ASSERT(offsetof(struct _ReadParmsIn, pData) == 20);
KIV_ABI_ASSERT(offsetof(struct _ReadParmsIn, dwStream) == 24);
KIV_ABI_ASSERT(sizeof(struct _ReadParmsOut) == 20);
KIV_ABI_ASSERT(offsetof(struct _ReadParmsOut, nResult) == 16);

KIV_ABI_ASSERT(sizeof(struct _WriteParmsIn) == 192);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, dwReserved) == 8);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, bAsync) == 12);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, cbData) == 16);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, pData) == 20);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, dwSource) == 24);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, dwStream) == 28);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, dwFlags) == 32);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, dwType) == 36);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, abPayload) == 40);
KIV_ABI_ASSERT(sizeof(struct _WriteParmsOut) == 24);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsOut, nResult) == 16);
KIV_ABI_ASSERT(offsetof(struct _WriteParmsOut, bKeepData) == 20);

KIV_ABI_ASSERT(sizeof(struct _SeekParmsIn) == 12);
KIV_ABI_ASSERT(sizeof(struct _SeekParmsOut) == 12);
KIV_ABI_ASSERT(offsetof(struct _SeekParmsOut, nResult) == 8);

KIV_ABI_ASSERT(sizeof(struct _IOCTLParmsIn) == 28);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsIn, dwCode) == 8);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsIn, cbArgs) == 12);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsIn, dwArgsVersion) == 16);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsIn, cbData) == 20);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsIn, pData) == 24);
KIV_ABI_ASSERT(sizeof(struct _IOCTLParmsOut) == 28);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsOut, dwCode) == 8);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsOut, nResult) == 12);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsOut, bKeepData) == 16);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsOut, cbArgs) == 20);
KIV_ABI_ASSERT(offsetof(struct _IOCTLParmsOut, dwArgsVersion) == 24);

KIV_ABI_ASSERT(sizeof(struct _EventParmsIn) == 184);
KIV_ABI_ASSERT(offsetof(struct _EventParmsIn, cbData) == 8);
KIV_ABI_ASSERT(offsetof(struct _EventParmsIn, pData) == 12);
KIV_ABI_ASSERT(offsetof(struct _EventParmsIn, dwSource) == 16);
KIV_ABI_ASSERT(offsetof(struct _EventParmsIn, dwStream) == 20);
KIV_ABI_ASSERT(offsetof(struct _EventParmsIn, dwFlags) == 24);
KIV_ABI_ASSERT(offsetof(struct _EventParmsIn, dwType) == 28);
KIV_ABI_ASSERT(offsetof(struct _EventParmsIn, abPayload) == 32);
KIV_ABI_ASSERT(offsetof(struct _EventParmsIn, abPayload) + KIV_PAYLOAD_KEYFRAME == 50);
KIV_ABI_ASSERT(sizeof(struct _EventParmsOut) == 12);
KIV_ABI_ASSERT(offsetof(struct _EventParmsOut, nResult) == 8);

// The delivery record repeats the event record from cbData on, byte for byte.
KIV_ABI_ASSERT(offsetof(struct _WriteParmsIn, cbData) - offsetof(struct _EventParmsIn, cbData) ==
               8);
KIV_ABI_ASSERT(sizeof(struct _WriteParmsIn) - offsetof(struct _WriteParmsIn, cbData) ==
               sizeof(struct _EventParmsIn) - offsetof(struct _EventParmsIn, cbData));
#undef KIV_ABI_ASSERT
#endif
