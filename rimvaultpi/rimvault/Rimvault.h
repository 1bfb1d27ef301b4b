#pragma once
// The retrieval engine: tracks capable devices and their connection gaps, turns every closed
// gap into a retrieval operation, and drives the operations one at a time through a storage
// status request, a disk-space reservation and a retrieval request, with retries.
//
// The engine has no threads and no locks. It is constructed and destroyed on the thread that
// opens and closes the plug-in; every other call comes from the plug-in's worker thread.
//
// The state file holds what a clean shutdown would write: the engine rewrites it after a
// change of its gaps or operations, and `Checkpoint` rewrites it so that connected devices
// appear as gaps from the time of that write. A durable write costs milliseconds (it is
// flushed to disk), so within `kMinimumWriteInterval` of the previous write a change is only
// noted; it is written by the next change after the interval, by `Flush`, by `Checkpoint` or
// at destruction. A burst of changes therefore costs a few writes, not one each.

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <vector>

#include "rimvaultpi/rimvault/IEventSink.h"
#include "rimvaultpi/rimvault/IKivServer.h"
#include "rimvaultpi/rimvault/IPersistentStore.h"
#include "rimvaultpi/rimvault/RimvaultTypes.h"

namespace rimvault {

class CRimvault : public IEventSink {
  public:
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr std::chrono::milliseconds kMinimumWriteInterval{1000};

    // Reads the saved state; logs (does not raise) when it cannot be read. `steadyClock`
    // spaces the writes of the state file (std::chrono::steady_clock when empty).
    // REQUIRES: `server` and `store` outlive the engine.
    CRimvault(IKivServer& server, IPersistentStore& store, SteadyClock steadyClock = {});
    // Writes the state with every connected device as a gap that starts now.
    ~CRimvault() override;

    CRimvault(const CRimvault&) = delete;
    CRimvault& operator=(const CRimvault&) = delete;

    void OnCapableDevice(uint32_t ownerId, uint32_t number) override;
    void OnStorageStatus(const Uuid& id, uint32_t gigabytes) override;
    void OnDeviceConnectStateChange(const ConnectionKey& key, EConnectedState state,
                                    uint32_t unused, TimePoint when) override;
    void OnRecordingDownloaded(const Uuid& id, const boost::filesystem::path& file,
                               kiv::ERecordingType type, TimePoint start, TimePoint end,
                               uint32_t inputNumber, const std::string& inputName) override;
    void OperationSucceeded(const Uuid& id) override;
    void OperationFailed(const Uuid& id, int32_t errorCode, TimePoint failedClipStart) override;
    void OnDiskSpaceReserved(Uuid id, const boost::filesystem::path& temporaryDirectory,
                             const boost::filesystem::path& outputDirectory) override;
    void OnDeviceDeleted(uint32_t ownerId, uint32_t number) override;

    // Rewrites the state file as a shutdown at `now` would. Called about once a minute by the
    // plug-in's worker.
    void Checkpoint(TimePoint now);
    // Writes the state file now if a change has not been written yet; otherwise does
    // nothing. Cheap enough to call after every batch of documents.
    void Flush();

    // Read-only views of the engine's state.
    bool Idle() const { return idle; }
    bool DeviceIsConnected(const DeviceKey& key) const;
    bool DeviceIsCapable(const DeviceKey& key) const;
    std::vector<SRetrieveOperation> Operations() const;
    std::vector<DisconnectRecord> DisconnectRecords() const;

  private:
    using OperationList = std::list<SRetrieveOperation>;
    using OperationPos = OperationList::iterator;
    using RecordList = std::list<DisconnectRecord>;
    using RecordPos = RecordList::iterator;

    void AppendOperation(const SRetrieveOperation& operation);
    OperationPos FindOperation(const Uuid& id);
    OperationPos FirstOperationOf(const DeviceKey& device);
    void EraseOperation(OperationPos position);
    void StartNextOperation();
    void RequestDiskSpace(const SRetrieveOperation& operation, uint32_t gigabytes);
    void EndOperation(OperationPos position);
    // A failure of the operation: counted, then a retry from `retryFrom` (when it lies in the
    // gap) or, beyond the retry limit, the end of the operation.
    void RetryOrGiveUp(OperationPos operation, TimePoint retryFrom);

    void AppendRecord(const DisconnectRecord& record);
    RecordPos FindRecord(const ConnectionKey& key);
    void EraseRecord(RecordPos position);
    void AddConnected(const DeviceKey& device, uint32_t channel);
    bool RemoveConnected(const DeviceKey& device);

    // The disconnect records a shutdown at `now` would write.
    std::vector<DisconnectRecord> ShutdownRecords(TimePoint now) const;
    void SaveState(TimePoint now);
    void SaveIfChanged();

    IKivServer& server;
    IPersistentStore& store;
    std::set<DeviceKey> capableDevices;
    // Connect reports not yet matched by a disconnect report, per device, and the channel of
    // the latest of them.
    struct ConnectedDevice {
        uint32_t reports = 0;
        uint32_t channel = 0;
    };
    std::map<DeviceKey, ConnectedDevice> connectedDevices;
    // Open gaps in order of creation, with an index by connection key (records of one key
    // in order of creation).
    RecordList disconnectRecords;
    std::multimap<ConnectionKey, RecordPos> recordsByKey;
    // Operations in order of creation; the first one is the current one.
    OperationList operations;
    std::multimap<Uuid, OperationPos> operationsById;
    std::multimap<DeviceKey, OperationPos> operationsByDevice;
    bool idle = true;
    // Operations whose status request went out and whose run has not yet ended, failed or been
    // cut short by a disconnect of their device.
    std::set<Uuid> running;
    // Per operation, the earliest start of a fetched clip whose recording could not be stored.
    std::map<Uuid, TimePoint> unstoredClips;
    // Gaps or operations changed since the state file was last written.
    bool stateChanged = false;
    SteadyClock steadyClock;
    // When the last write of the state file was tried.
    std::chrono::steady_clock::time_point lastWrite;
    bool written = false;
};

}  // namespace rimvault
