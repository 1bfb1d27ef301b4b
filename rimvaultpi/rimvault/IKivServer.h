#pragma once
// What the retrieval engine asks of the server: requests to other plug-ins, conversion of
// fetched files, status documents and log lines.
// [plug-in worker thread] every call; construction and destruction of the engine excepted.

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>

#include "rimvaultpi/rimvault/RimvaultTypes.h"

namespace rimvault {

class IEventSink;

class IKivServer {
  public:
    virtual void RegisterEventSink(IEventSink* sink) = 0;
    virtual void ReserveDiskSpace(const Uuid& id, uint32_t gigabytes) = 0;
    virtual void CancelDiskSpaceReservation(const Uuid& id) = 0;
    // A new random (version 4) identifier for an operation of the device.
    virtual Uuid CreateOperation(uint32_t ownerId, uint32_t number) = 0;
    virtual void SendStatusRequest(Uuid id, uint32_t ownerId, uint32_t number, TimePoint gapStart,
                                   TimePoint gapEnd) = 0;
    virtual void SendRetrievalRequest(const Uuid& id, uint32_t ownerId, uint32_t number,
                                      TimePoint gapStart, TimePoint gapEnd,
                                      const boost::filesystem::path& temporaryDirectory,
                                      const boost::filesystem::path& outputDirectory) = 0;
    // Converts one fetched file; returns when the conversion has ended. False when the
    // recording could not be stored and the fetched file was kept as its only copy.
    virtual bool DecontainerizeAndStore(const Uuid& id, uint32_t ownerId, uint32_t number,
                                        const boost::filesystem::path& file,
                                        const std::string& inputName, TimePoint start,
                                        TimePoint end, kiv::ERecordingType type) = 0;
    virtual void SendRimvaultStarting(TimePoint now) = 0;
    virtual void SendRimvaultDone(kiv::rimvault::RIMVAULT_STATUS status, TimePoint now) = 0;
    virtual void LogInfo(const std::string& text) = 0;
    virtual void LogError(const std::string& text) = 0;
    virtual ~IKivServer() = default;
};

}  // namespace rimvault
