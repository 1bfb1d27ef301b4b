#pragma once
// What the two routing benchmark plug-ins share: their identifiers, the routing flags and
// payload layout of their control events, and the phases they measure.
//
// The producer posts each phase's data events through the core's callback from 1 or 4
// threads, then one "end" control event; the consumer counts the data events delivered to its
// Write and, on the end event, answers with an acknowledgement that carries the count and the
// time of delivery. Events are delivered in the order they were queued, so the end event's
// delivery time is the time the last data event was delivered.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/pluginabi/PluginInterface.h"

namespace kivbench {

constexpr uint32_t kProducerId = 0x00700000u;
constexpr uint32_t kConsumerId = 0x00710000u;

// Routing: data on flag 0 (video) or 2 (documents), control to the consumer on flag 1,
// acknowledgements to the producer on flag 3.
constexpr uint32_t kFlagDocuments = KIV_FLAG_ROUTE2;
constexpr uint32_t kFlagFrames = KIV_FLAG_ROUTE0;
constexpr uint32_t kFlagControl = KIV_FLAG_ROUTE1;
constexpr uint32_t kFlagAck = KIV_FLAG_ROUTE3;
constexpr uint32_t kTypeFrame = 0x01000001u;  // bit 24: a live video frame for the gate

// Payload of control events and acknowledgements, in abPayload from kControlOffset on (past
// the key-frame byte).
struct Control {
    uint32_t kind;       // kControlStart or kControlEnd; in an acknowledgement: kControlEnd
    uint32_t phase;      // sequence number of the phase run
    uint64_t delivered;  // acknowledgement: data events the consumer received
    int64_t endNs;       // acknowledgement: steady clock when the end event was delivered
};
constexpr uint32_t kControlStart = 1;
constexpr uint32_t kControlEnd = 2;
constexpr size_t kControlOffset = 24;
static_assert(kControlOffset > KIV_PAYLOAD_KEYFRAME &&
                  kControlOffset + sizeof(Control) <= KIV_PAYLOAD_SIZE,
              "control payload must fit behind bKeyFrame");

inline void PutControl(uint8_t* payload, const Control& c) {
    std::memcpy(payload + kControlOffset, &c, sizeof c);
}
inline Control GetControl(const uint8_t* payload) {
    Control c;
    std::memcpy(&c, payload + kControlOffset, sizeof c);
    return c;
}

inline int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A key frame every 25 frames (one per second at 25 fps), and every thread starts with one.
constexpr uint32_t kKeyFrameInterval = 25;

// Events of the given size are posted until `count` have been accepted in total.
struct Phase {
    const char* name;  // "documents" or "frames"
    uint32_t size;     // bytes per event
    bool frames;       // live video through the gate
    int threads;       // posting threads
    uint64_t count;    // events per run
};

}  // namespace kivbench
