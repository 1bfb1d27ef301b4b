#pragma once
// What the XML translator reports to the retrieval engine.
// [plug-in worker thread] every call, one at a time.

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>

#include "rimvaultpi/rimvault/RimvaultTypes.h"

namespace rimvault {

class IEventSink {
  public:
    // The device can keep recordings on its own storage (non-zero ownerId and number).
    virtual void OnCapableDevice(uint32_t ownerId, uint32_t number) = 0;
    // Answer to a status request: gigabytes to reserve for the operation (at least 1).
    virtual void OnStorageStatus(const Uuid& id, uint32_t gigabytes) = 0;
    // A channel of a device reported its connection state at `when`.
    virtual void OnDeviceConnectStateChange(const ConnectionKey& key, EConnectedState state,
                                            uint32_t unused, TimePoint when) = 0;
    // One recording file of the operation has been fetched.
    virtual void OnRecordingDownloaded(const Uuid& id, const boost::filesystem::path& file,
                                       kiv::ERecordingType type, TimePoint start, TimePoint end,
                                       uint32_t inputNumber, const std::string& inputName) = 0;
    virtual void OperationSucceeded(const Uuid& id) = 0;
    virtual void OperationFailed(const Uuid& id, int32_t errorCode, TimePoint failedClipStart) = 0;
    // Answer to a reservation: where to download to and where to store the conversions.
    virtual void OnDiskSpaceReserved(Uuid id, const boost::filesystem::path& temporaryDirectory,
                                     const boost::filesystem::path& outputDirectory) = 0;
    virtual void OnDeviceDeleted(uint32_t ownerId, uint32_t number) = 0;
    virtual ~IEventSink() = default;
};

}  // namespace rimvault
