#pragma once
// One server installation for an end-to-end test: a temporary directory with
// the `core` executable, "plugins" holding RimvaultPI.so and the substitute
// peers, an "edge" folder with the camera's clips, and the peers' scenario.
// The core runs in the foreground (-d) with its standard input on a pipe; one
// key press stops it, as an operator would.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kiv::e2e {

// The time zone the core and the checks run in: 5 h 30 min east of UTC, so
// local dates and hours differ from UTC ones.
extern const char kTimeZone[];

// The device peer's identifier and the camera number used by the scenarios.
constexpr uint32_t kOwner = 2097152;
constexpr uint32_t kCamera = 3;

struct ClipSpec {
    std::string file;  // name in the edge folder (clip1.mp4 ... clip4.mp4)
    int32_t start;
    int32_t stop;
};

// Frames per clip made by make_clips.sh (2 s at 10 frames per second).
constexpr int kFramesPerClip = 20;

// A camera that is connected, drops off for a while and comes back, with
// four clips on its own storage: clip1 before the gap, clip2 to clip4 in it.
// The channel reports come 100 ms apart (compressed time).
struct GapScenario {
    explicit GapScenario(int64_t now);
    int32_t disconnectedAt;
    int32_t reconnectedAt;
    int32_t gapStart() const { return disconnectedAt - 10; }  // the engine's margin
    std::vector<ClipSpec> clips;
    std::string timeline;
};

class CoreRun {
  public:
    CoreRun();
    // Kills a core still running and removes the directory (kept when the
    // environment variable KIV_KEEP_E2E is set).
    ~CoreRun();
    CoreRun(const CoreRun&) = delete;
    CoreRun& operator=(const CoreRun&) = delete;

    const std::string& dir() const { return dir_; }

    // Writes the scenario for one camera (kCamera of kOwner) with `clips` in
    // its edge folder and `timeline` (the XML of the timeline steps).
    // `extra` goes inside the Device element (for instance a Failure).
    void WriteScenario(const std::vector<ClipSpec>& clips, const std::string& timeline,
                       const std::string& extra = "", bool answers = true);

    void Start();
    // One key press on the core's standard input; waits (at most 20 s) for
    // the core to exit and returns its exit status (-1 if it had to be killed).
    int Stop();
    bool Running() const { return pid_ > 0; }

    // Waits (at most `timeout`) for a journal line after the first `skip`
    // lines that contains `text`; gives up early when the core has ended.
    std::optional<std::string> WaitForLine(const std::string& text, size_t skip = 0,
                                           std::chrono::seconds timeout = std::chrono::seconds(30));
    std::vector<std::string> Journal() const;
    // Journal lines that begin with `prefix`.
    std::vector<std::string> Lines(const std::string& prefix) const;

    std::string ReadFile(const std::string& relative) const;
    bool Exists(const std::string& relative) const;
    // The PS recordings under the storage peer's output directory, relative
    // to it, sorted.
    std::vector<std::string> Recordings() const;
    std::string RecordingsRoot() const { return dir_ + "/storage/recordings/"; }

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int stdin_ = -1;
};

// The value of "key=value" in a journal line ("" when absent).
std::string Field(const std::string& line, const std::string& key);

// Runs a shell command and returns its standard output.
std::string Capture(const std::string& command);

// Where a recording of a clip that starts at `start` is filed: the date and
// hour directory in kTimeZone (which this sets as the process's zone) and the mmss part of its
// name, e.g. "2026/03/07/14/0509".
std::string LocalPathPrefix(int64_t start);

// The binaries' directory of the build (KIV_BIN_DIR).
std::string BinDir();

// The current time in whole seconds since 1970.
int64_t Now();

}  // namespace kiv::e2e
