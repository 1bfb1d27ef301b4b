#pragma once
// The state file "rimvaultpi_state.xml": the open gaps and the pending operations of the
// retrieval engine, kept across restarts. Also the engine's clock.

#include <functional>
#include <string>
#include <vector>

#include "rimvaultpi/rimvault/IPersistentStore.h"

namespace rimvault {

extern const char* const rimvaultStateFilename;

class CXmlStore : public IPersistentStore {
  public:
    using Clock = std::function<TimePoint()>;

    // `path`: the state file (relative to the working directory unless absolute);
    // `clock`: the source of `Now` (the system clock when empty).
    explicit CXmlStore(std::string path = rimvaultStateFilename, Clock clock = {});

    // Sorts `disconnectRecords` by owner and number and replaces the file atomically (a
    // temporary file beside it, flushed to disk, renamed over it). Records the reader would
    // reject (owner or number not a positive 32-bit integer, a time not after 1970) are left
    // out. Raises std::runtime_error when the file cannot be written; the previous file then
    // stays as it was.
    void WriteRimvaultState(std::vector<DisconnectRecord>& disconnectRecords,
                            std::vector<SRetrieveOperation>& operations) override;
    // Raises std::invalid_argument with the texts "error opening or parsing rimvaultpi.xml",
    // "invalid or missing plug-in id", "invalid or missing device number" or "invalid or
    // missing disconnect time"; what was appended before the error stays.
    void ReadRimvaultState(std::vector<DisconnectRecord>& disconnectRecords,
                           std::vector<SRetrieveOperation>& operations) override;
    TimePoint Now() override;

    const std::string& Path() const { return path; }

  private:
    std::string path;
    Clock clock;
};

}  // namespace rimvault
