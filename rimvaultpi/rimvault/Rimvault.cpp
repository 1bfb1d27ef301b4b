#include "rimvaultpi/rimvault/Rimvault.h"

#include <exception>
#include <string>
#include <utility>

namespace rimvault {

namespace {

// A disconnect report stands for a gap that began this long before the reported time.
constexpr std::chrono::seconds kDisconnectLead(10);
// An operation is given up when a failure brings its attempts above this.
constexpr int32_t kRetryLimit = 2;

std::string DeviceText(const DeviceKey& device) {
    return std::to_string(device.ownerId) + " " + std::to_string(device.number);
}

}  // namespace

CRimvault::CRimvault(IKivServer& server, IPersistentStore& store, SteadyClock steadyClock)
    : server(server), store(store), steadyClock(std::move(steadyClock)) {
    if (!this->steadyClock) this->steadyClock = [] { return std::chrono::steady_clock::now(); };
    server.LogInfo("Rimvault - reading saved state and loading.");
    std::vector<DisconnectRecord> records;
    std::vector<SRetrieveOperation> restored;
    try {
        store.ReadRimvaultState(records, restored);
    } catch (const std::exception& error) {
        server.LogError(std::string("Rimvault - Error '") + error.what() +
                        "' reading Rim Vault persisted state.");
    }
    // Whatever was read before an error is kept. The file is left as it is: it already holds
    // this state.
    for (const DisconnectRecord& record : records) AppendRecord(record);
    for (const SRetrieveOperation& operation : restored) AppendOperation(operation);
    stateChanged = false;
}

CRimvault::~CRimvault() {
    try {
        server.LogInfo("Rimvault - saving state and unloading.");
        SaveState(store.Now());
    } catch (...) {
        // Nothing may leave a destructor; SaveState has logged a failed write already.
    }
}

// ---- device tracking and gaps -------------------------------------------------------------

void CRimvault::OnCapableDevice(uint32_t ownerId, uint32_t number) {
    capableDevices.insert(DeviceKey{ownerId, number});
}

void CRimvault::OnDeviceConnectStateChange(const ConnectionKey& key, EConnectedState state,
                                           uint32_t /*unused*/, TimePoint when) {
    const DeviceKey device = key.Device();
    if (!DeviceIsCapable(device)) return;
    // A report without a time arrives as a time before 1970; a gap that far back would fetch
    // the camera's whole storage, so such a report counts as happening now.
    if (when < TimePoint()) when = store.Now();

    const RecordPos record = FindRecord(key);
    if (record != disconnectRecords.end()) {
        // A second disconnect report keeps the first gap start.
        if (state != CONNECTED) return;
        if (operations.empty()) {
            server.LogInfo("Rimvault - operation starting.");
            server.SendRimvaultStarting(store.Now());
        }
        SRetrieveOperation operation;
        operation.device = device;
        operation.id = server.CreateOperation(device.ownerId, device.number);
        operation.gapStart = record->disconnectedAt;
        operation.gapEnd = when;
        operation.attempts = 0;
        server.LogInfo("Rimvault - creating operation id " + UuidText(operation.id) +
                       " for device " + DeviceText(device));
        AppendOperation(operation);
        EraseRecord(record);
        AddConnected(device, key.channel);
        if (idle) StartNextOperation();
        SaveIfChanged();
        return;
    }

    if (state == DISCONNECTED) {
        bool current = false;
        const OperationPos operation = FirstOperationOf(device);
        if (operation != operations.end()) {
            current = operation->id == operations.front().id;
            server.LogInfo(std::string("Rimvault - disconnect during ") +
                           (current ? "current " : "") + "operation " + UuidText(operation->id) +
                           " for device " + DeviceText(device));
        }
        RemoveConnected(device);
        // The device's runs are cut short; its operations start again when it is back.
        const auto runs = operationsByDevice.equal_range(device);
        for (auto it = runs.first; it != runs.second; ++it) running.erase(it->second->id);
        AppendRecord(DisconnectRecord{key, when - kDisconnectLead});
        if (current) StartNextOperation();
        SaveIfChanged();
        return;
    }

    if (state == CONNECTED) {
        AddConnected(device, key.channel);
        // Operations restored at start wait for their device; start one as soon as its device
        // is back, whichever channel reports it.
        if (idle && FirstOperationOf(device) != operations.end()) StartNextOperation();
        SaveIfChanged();
    }
}

void CRimvault::OnDeviceDeleted(uint32_t ownerId, uint32_t number) {
    const DeviceKey device{ownerId, number};
    capableDevices.erase(device);
    if (RemoveConnected(device)) {
        // It no longer appears as a gap in the next write.
        stateChanged = true;
    } else {
        const RecordPos record = FindRecord(ConnectionKey{ownerId, number, 0, 0});
        if (record != disconnectRecords.end()) EraseRecord(record);
    }
    SaveIfChanged();
}

bool CRimvault::DeviceIsConnected(const DeviceKey& key) const {
    return connectedDevices.count(key) != 0;
}

bool CRimvault::DeviceIsCapable(const DeviceKey& key) const {
    return capableDevices.count(key) != 0;
}

void CRimvault::AddConnected(const DeviceKey& device, uint32_t channel) {
    ConnectedDevice& connected = connectedDevices[device];
    ++connected.reports;
    connected.channel = channel;
}

bool CRimvault::RemoveConnected(const DeviceKey& device) {
    const auto found = connectedDevices.find(device);
    if (found == connectedDevices.end()) return false;
    if (--found->second.reports == 0) connectedDevices.erase(found);
    return true;
}

// ---- sequencing ---------------------------------------------------------------------------

void CRimvault::StartNextOperation() {
    if (operations.empty()) return;
    OperationPos operation = operations.begin();
    while (operation != operations.end() && !DeviceIsConnected(operation->device)) ++operation;
    if (operation == operations.end()) {
        idle = true;
        return;
    }
    // An operation already under way is not asked for again: a second run would reserve and
    // fetch its clips a second time, and count a start that never failed.
    if (running.count(operation->id) != 0) {
        idle = false;
        return;
    }
    running.insert(operation->id);
    server.LogInfo("Rimvault - requesting device storage info for " +
                   DeviceText(operation->device) + " from " + FormatUtc(operation->gapStart) +
                   " to " + FormatUtc(operation->gapEnd));
    server.SendStatusRequest(operation->id, operation->device.ownerId, operation->device.number,
                             operation->gapStart, operation->gapEnd);
    ++operation->attempts;
    idle = false;
    stateChanged = true;
}

void CRimvault::OnStorageStatus(const Uuid& id, uint32_t gigabytes) {
    const OperationPos operation = FindOperation(id);
    if (operation == operations.end()) {
        server.LogError("Rimvault - operation " + UuidText(id) + " not found.");
        return;
    }
    RequestDiskSpace(*operation, gigabytes);
}

void CRimvault::RequestDiskSpace(const SRetrieveOperation& operation, uint32_t gigabytes) {
    server.LogInfo("Rimvault - requesting disk space reservation of " + std::to_string(gigabytes) +
                   " GB for operation " + UuidText(operation.id) + " device " +
                   DeviceText(operation.device));
    server.ReserveDiskSpace(operation.id, gigabytes);
}

void CRimvault::OnDiskSpaceReserved(Uuid id, const boost::filesystem::path& temporaryDirectory,
                                    const boost::filesystem::path& outputDirectory) {
    const OperationPos operation = FindOperation(id);
    if (operation == operations.end()) {
        server.LogError("Rimvault - operation " + UuidText(id) +
                        " in disk space response was not found.");
        return;
    }
    server.LogInfo("Rimvault - requesting recordings from " + DeviceText(operation->device) +
                   " gap start time" + FormatUtc(operation->gapStart) + " gap end time " +
                   FormatUtc(operation->gapEnd));
    server.SendRetrievalRequest(id, operation->device.ownerId, operation->device.number,
                                operation->gapStart, operation->gapEnd, temporaryDirectory,
                                outputDirectory);
}

// ---- completion, failure and retry --------------------------------------------------------

void CRimvault::OnRecordingDownloaded(const Uuid& id, const boost::filesystem::path& file,
                                      kiv::ERecordingType type, TimePoint start, TimePoint end,
                                      uint32_t /*inputNumber*/, const std::string& inputName) {
    const OperationPos operation = FindOperation(id);
    if (operation == operations.end()) return;
    const DeviceKey device = operation->device;
    if (server.DecontainerizeAndStore(id, device.ownerId, device.number, file, inputName, start,
                                      end, type)) {
        return;
    }
    // The operation must not end as a success while this clip's video is not stored: its
    // success answer becomes a retry from the earliest such clip.
    server.LogError("Rimvault - recording from " + FormatUtc(start) + " of operation " +
                    UuidText(id) + " for device " + DeviceText(device) + " was not stored.");
    const auto known = unstoredClips.find(id);
    if (known == unstoredClips.end()) {
        unstoredClips.emplace(id, start);
    } else if (start < known->second) {
        known->second = start;
    }
}

void CRimvault::OperationSucceeded(const Uuid& id) {
    const OperationPos operation = FindOperation(id);
    if (operation == operations.end()) {
        server.LogInfo("Rimvault - done signal for unknown operation.");
        return;
    }
    const auto unstored = unstoredClips.find(id);
    if (unstored != unstoredClips.end()) {
        server.LogError("Rimvault - retrieve operation " + UuidText(id) + " for device " +
                        DeviceText(operation->device) +
                        " completed, but not every recording was stored.");
        RetryOrGiveUp(operation, unstored->second);
    } else {
        server.LogInfo("Rimvault - retrieve operation " + UuidText(id) + " for device " +
                       DeviceText(operation->device) + " completed successfully.");
        EndOperation(operation);
    }
    SaveIfChanged();
}

void CRimvault::OperationFailed(const Uuid& id, int32_t errorCode, TimePoint failedClipStart) {
    const OperationPos operation = FindOperation(id);
    if (operation == operations.end()) {
        server.LogInfo("Rimvault - operation failed received for unknown operation.");
        return;
    }
    server.LogError("Rimvault - retrieve operation " + UuidText(id) + " for device " +
                    DeviceText(operation->device) + " completed with error " +
                    std::to_string(errorCode));
    // A clip of this run that was fetched but not stored is fetched again too.
    const auto unstored = unstoredClips.find(id);
    if (unstored != unstoredClips.end() && unstored->second < failedClipStart) {
        failedClipStart = unstored->second;
    }
    RetryOrGiveUp(operation, failedClipStart);
    SaveIfChanged();
}

void CRimvault::RetryOrGiveUp(OperationPos operation, TimePoint retryFrom) {
    const Uuid id = operation->id;
    unstoredClips.erase(id);  // the retry fetches them again, or the operation ends
    running.erase(id);
    ++operation->attempts;
    stateChanged = true;
    if (operation->attempts > kRetryLimit) {
        server.LogError("Rimvault - operation " + UuidText(id) + " for device " +
                        DeviceText(operation->device) + " exceeded the retry limit.");
        EndOperation(operation);
    } else {
        // The retry fetches from the first failed clip. A clip time that is missing (-1 s) or
        // outside the gap would widen the retrieval, so the gap start only moves forward.
        if (retryFrom >= operation->gapStart && retryFrom <= operation->gapEnd) {
            operation->gapStart = retryFrom;
        }
        server.CancelDiskSpaceReservation(id);
        StartNextOperation();
    }
}

void CRimvault::EndOperation(OperationPos position) {
    server.CancelDiskSpaceReservation(position->id);
    EraseOperation(position);
    if (!operations.empty()) {
        StartNextOperation();
        return;
    }
    idle = true;
    server.SendRimvaultDone(kiv::rimvault::RIMVAULT_DONE, store.Now());
    server.LogInfo("Rimvault - all operations completed successfully.");
}

// ---- lists --------------------------------------------------------------------------------

void CRimvault::AppendOperation(const SRetrieveOperation& operation) {
    const OperationPos position = operations.insert(operations.end(), operation);
    // Equal keys keep insertion order, so the first entry of a key is the first in the list.
    operationsById.emplace(operation.id, position);
    operationsByDevice.emplace(operation.device, position);
    stateChanged = true;
}

CRimvault::OperationPos CRimvault::FindOperation(const Uuid& id) {
    const auto found = operationsById.find(id);
    return found == operationsById.end() ? operations.end() : found->second;
}

CRimvault::OperationPos CRimvault::FirstOperationOf(const DeviceKey& device) {
    const auto found = operationsByDevice.find(device);
    return found == operationsByDevice.end() ? operations.end() : found->second;
}

namespace {

template <typename Index, typename Key, typename Position>
void EraseFromIndex(Index& index, const Key& key, Position position) {
    auto range = index.equal_range(key);
    for (auto entry = range.first; entry != range.second; ++entry) {
        if (entry->second == position) {
            index.erase(entry);
            return;
        }
    }
}

}  // namespace

void CRimvault::EraseOperation(OperationPos position) {
    unstoredClips.erase(position->id);
    running.erase(position->id);
    EraseFromIndex(operationsById, position->id, position);
    EraseFromIndex(operationsByDevice, position->device, position);
    operations.erase(position);
    stateChanged = true;
}

void CRimvault::AppendRecord(const DisconnectRecord& record) {
    const RecordPos position = disconnectRecords.insert(disconnectRecords.end(), record);
    recordsByKey.emplace(record.key, position);
    stateChanged = true;
}

CRimvault::RecordPos CRimvault::FindRecord(const ConnectionKey& key) {
    const auto found = recordsByKey.find(key);
    return found == recordsByKey.end() ? disconnectRecords.end() : found->second;
}

void CRimvault::EraseRecord(RecordPos position) {
    EraseFromIndex(recordsByKey, position->key, position);
    disconnectRecords.erase(position);
    stateChanged = true;
}

std::vector<SRetrieveOperation> CRimvault::Operations() const {
    return std::vector<SRetrieveOperation>(operations.begin(), operations.end());
}

std::vector<DisconnectRecord> CRimvault::DisconnectRecords() const {
    return std::vector<DisconnectRecord>(disconnectRecords.begin(), disconnectRecords.end());
}

// ---- persisted state ----------------------------------------------------------------------

std::vector<DisconnectRecord> CRimvault::ShutdownRecords(TimePoint now) const {
    std::vector<DisconnectRecord> records(disconnectRecords.begin(), disconnectRecords.end());
    for (const auto& entry : connectedDevices) {
        // Keyed by the channel that reported the device connected, so that the same channel's
        // report after the restart closes the gap.
        const ConnectionKey key{entry.first.ownerId, entry.first.number, 0, entry.second.channel};
        // One gap per connected device; an open gap of the same key already starts earlier.
        if (recordsByKey.count(key) == 0) records.push_back(DisconnectRecord{key, now});
    }
    return records;
}

void CRimvault::SaveState(TimePoint now) {
    written = true;
    lastWrite = steadyClock();
    std::vector<DisconnectRecord> records = ShutdownRecords(now);
    std::vector<SRetrieveOperation> pending = Operations();
    try {
        store.WriteRimvaultState(records, pending);
        stateChanged = false;
    } catch (const std::exception& error) {
        server.LogError(std::string("Rimvault - Error '") + error.what() +
                        "' writing Rim Vault persisted state.");
    }
}

void CRimvault::SaveIfChanged() {
    if (!stateChanged) return;
    if (written && steadyClock() - lastWrite < kMinimumWriteInterval) return;  // noted only
    SaveState(store.Now());
}

void CRimvault::Flush() {
    if (stateChanged) SaveState(store.Now());
}

void CRimvault::Checkpoint(TimePoint now) { SaveState(now); }

}  // namespace rimvault
