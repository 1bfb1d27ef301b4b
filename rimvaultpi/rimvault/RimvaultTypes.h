#pragma once
// Records shared by the retrieval engine, the XML translator and the state file.

#include <boost/uuid/uuid.hpp>
#include <chrono>
#include <cstdint>
#include <ratio>
#include <string>
#include <tuple>
#include <type_traits>

namespace kiv {

// Recording type reported with a downloaded file (1 when the answer names none). Passed
// through to the conversion, where 1 and 3 select the converted recording's flags.
enum ERecordingType : int32_t {};

namespace rimvault {

// Status code of the plug-in's status document.
enum RIMVAULT_STATUS : int32_t {
    RIMVAULT_STARTING = 2,
    RIMVAULT_DONE = 3,
};

}  // namespace rimvault
}  // namespace kiv

namespace rimvault {

// Signed 64-bit nanoseconds since 1970-01-01 UTC.
using TimePoint = std::chrono::system_clock::time_point;
static_assert(std::is_same<TimePoint::duration, std::chrono::nanoseconds>::value,
              "time points are counted in nanoseconds");

using Uuid = boost::uuids::uuid;

// Whole seconds of a time point, truncated toward zero.
inline int64_t WholeSeconds(TimePoint t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

inline TimePoint FromSeconds(int64_t seconds) { return TimePoint(std::chrono::seconds(seconds)); }

// "%Y-%m-%dT%H:%M:%SZ" of the time point cut to whole seconds, in UTC.
std::string FormatUtc(TimePoint t);

// Canonical lower-case 8-4-4-4-12 text of a UUID.
std::string UuidText(const Uuid& id);

enum EConnectedState : int32_t {
    CONNECTED = 1,
    DISCONNECTED = 2,
};

// One device: the ID of the plug-in that owns it and its number there.
struct DeviceKey {
    uint32_t ownerId = 0;
    uint32_t number = 0;
};

inline bool operator==(const DeviceKey& a, const DeviceKey& b) {
    return a.ownerId == b.ownerId && a.number == b.number;
}
inline bool operator!=(const DeviceKey& a, const DeviceKey& b) { return !(a == b); }
inline bool operator<(const DeviceKey& a, const DeviceKey& b) {
    return std::tie(a.ownerId, a.number) < std::tie(b.ownerId, b.number);
}

// One reporting channel of a device.
struct ConnectionKey {
    uint32_t ownerId = 0;
    uint32_t number = 0;
    uint32_t encoder = 0;
    uint32_t channel = 0;

    DeviceKey Device() const { return DeviceKey{ownerId, number}; }
};

inline bool operator==(const ConnectionKey& a, const ConnectionKey& b) {
    return a.ownerId == b.ownerId && a.number == b.number && a.encoder == b.encoder &&
           a.channel == b.channel;
}
inline bool operator<(const ConnectionKey& a, const ConnectionKey& b) {
    return std::tie(a.ownerId, a.number, a.encoder, a.channel) <
           std::tie(b.ownerId, b.number, b.encoder, b.channel);
}

// A gap that has begun and not yet ended.
struct DisconnectRecord {
    ConnectionKey key;
    TimePoint disconnectedAt;
};

// One retrieval of the recordings of a gap.
struct SRetrieveOperation {
    DeviceKey device;
    Uuid id{};
    TimePoint gapStart;
    TimePoint gapEnd;
    int32_t attempts = 0;
};

}  // namespace rimvault
