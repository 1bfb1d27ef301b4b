#pragma once
// Where the retrieval engine keeps what it must not forget across a restart, and its clock.

#include <vector>

#include "rimvaultpi/rimvault/RimvaultTypes.h"

namespace rimvault {

class IPersistentStore {
  public:
    // Replaces the stored state. May sort `disconnectRecords`. Raises on failure.
    virtual void WriteRimvaultState(std::vector<DisconnectRecord>& disconnectRecords,
                                    std::vector<SRetrieveOperation>& operations) = 0;
    // Appends the stored state to the two lists. Raises on failure; what was appended before
    // the failure stays.
    virtual void ReadRimvaultState(std::vector<DisconnectRecord>& disconnectRecords,
                                   std::vector<SRetrieveOperation>& operations) = 0;
    virtual TimePoint Now() = 0;
    virtual ~IPersistentStore() = default;
};

}  // namespace rimvault
