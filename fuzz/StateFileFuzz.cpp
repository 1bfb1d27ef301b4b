// The state file reader on fuzzed bytes, as the engine reads "rimvaultpi_state.xml" at start.
// A file the reader accepts must survive a round trip: written back and read again, it gives
// the same records.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/FuzzScratch.h"
#include "fuzz/FuzzTargets.h"
#include "rimvaultpi/kivserverimpl/XmlStore.h"

namespace kivfuzz {
namespace {

void SortByDevice(std::vector<rimvault::DisconnectRecord>& records) {
    std::stable_sort(records.begin(), records.end(),
                     [](const rimvault::DisconnectRecord& a, const rimvault::DisconnectRecord& b) {
                         return a.key.Device() < b.key.Device();
                     });
}

bool SameRecords(const std::vector<rimvault::DisconnectRecord>& a,
                 const std::vector<rimvault::DisconnectRecord>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!(a[i].key == b[i].key) || a[i].disconnectedAt != b[i].disconnectedAt) return false;
    }
    return true;
}

bool SameOperations(const std::vector<rimvault::SRetrieveOperation>& a,
                    const std::vector<rimvault::SRetrieveOperation>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].device != b[i].device || a[i].id != b[i].id || a[i].gapStart != b[i].gapStart ||
            a[i].gapEnd != b[i].gapEnd || a[i].attempts != b[i].attempts) {
            return false;
        }
    }
    return true;
}

}  // namespace

int StateFileRead(const uint8_t* data, size_t size) {
    const std::string path = ScratchDir() + "/rimvaultpi_state.xml";
    WriteBytes(path, data, size);

    std::vector<rimvault::DisconnectRecord> records;
    std::vector<rimvault::SRetrieveOperation> operations;
    rimvault::CXmlStore store(path);
    try {
        store.ReadRimvaultState(records, operations);
    } catch (const std::invalid_argument&) {
        return 0;  // rejected, as documented; the engine starts empty
    }

    const std::string copyPath = ScratchDir() + "/copy.xml";
    rimvault::CXmlStore copy(copyPath);
    std::vector<rimvault::DisconnectRecord> written = records;
    std::vector<rimvault::SRetrieveOperation> writtenOperations = operations;
    copy.WriteRimvaultState(written, writtenOperations);

    std::vector<rimvault::DisconnectRecord> again;
    std::vector<rimvault::SRetrieveOperation> againOperations;
    try {
        copy.ReadRimvaultState(again, againOperations);
    } catch (const std::invalid_argument&) {
        Fail("a state file written from accepted records is rejected");
    }
    SortByDevice(records);
    if (!SameRecords(records, again)) Fail("disconnect records change in a round trip");
    if (!SameOperations(operations, againOperations)) Fail("operations change in a round trip");
    return 0;
}

}  // namespace kivfuzz
