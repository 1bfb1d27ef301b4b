#pragma once
// The scenario that drives the substitute peers: which cameras exist, which of
// them keep recordings on their own storage, when their channels connect and
// disconnect, the clips in each camera's "edge storage" folder, an optional
// injected retrieval failure, and the storage peer's root directory.
//
// <Scenario>
//   <DevicePeer ID="2097152">
//     <Device Number="3" RimvaultSupported="1" Answers="1" InputName="Door"
//             EdgeStorage="edge/cam3">
//       <Clip File="a.mp4" Start="1700000000" Stop="1700000060"/>
//       <Failure Clip="a.mp4" ErrorCode="7" Count="1"/>
//     </Device>
//     <Timeline>
//       <Connected At="0" Device="3" Channel="0" Time="1700000000"/>
//       <Disconnected At="300" Device="3" Channel="0" Time="1700000100"/>
//       <Deleted At="900" Device="3"/>
//     </Timeline>
//   </DevicePeer>
//   <StoragePeer Root="storage"/>
// </Scenario>
//
// "At" is milliseconds after the core opened the peers (compressed time);
// "Time", "Start" and "Stop" are the reported times, seconds since 1970 UTC.
// Relative paths are taken from the scenario file's directory. "Answers"="0"
// makes a camera that never answers requests; "Count" is how many retrievals
// fail at the clip (a large count makes every attempt fail).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kiv::peers {

struct Clip {
    std::string file;  // full path in the edge storage folder
    int32_t start = 0;
    int32_t stop = 0;
};

struct Failure {
    std::string clip;  // file name of the first clip that cannot be fetched
    int32_t errorCode = 1;
    int count = 1;  // retrievals that still fail
};

struct Camera {
    uint32_t number = 0;
    bool capable = false;
    bool answers = true;
    std::string inputName = "input 1";
    std::vector<Clip> clips;  // ordered by start time
    std::optional<Failure> failure;
};

struct Step {
    enum Kind { kConnected, kDisconnected, kDeleted };
    Kind kind = kConnected;
    int atMs = 0;
    uint32_t device = 0;
    uint32_t channel = 0;
    int32_t time = 0;
};

struct Scenario {
    uint32_t deviceOwner = 0x00200000;
    std::vector<Camera> cameras;
    std::vector<Step> timeline;  // ordered by At
    std::string storageRoot;     // empty: no storage root configured
};

// Reads a scenario file. Returns false with a reason in `error` when the file
// is missing, is not XML or has an invalid entry.
bool LoadScenario(const std::string& path, Scenario& out, std::string& error);

// The clips of `camera` that overlap [from, to], in start order.
std::vector<const Clip*> ClipsInGap(const Camera& camera, int32_t from, int32_t to);

}  // namespace kiv::peers
