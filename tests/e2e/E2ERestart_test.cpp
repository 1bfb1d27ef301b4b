// What survives a restart of the core: a pending operation, and the gap of a
// device that was connected when the core stopped.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e/CoreRun.h"

namespace kiv::e2e {
namespace {

// The plug-in's last line when no operation is left; it follows the done
// status, so both have been delivered once it is in the journal.
const char kDone[] = "monitor log level=25 Rimvault - all operations completed successfully.";

// Journal lines that begin with `prefix`, written after the first `skip` lines.
std::vector<std::string> LinesAfter(const CoreRun& run, size_t skip, const std::string& prefix) {
    std::vector<std::string> all = run.Journal();
    std::vector<std::string> found;
    for (size_t i = skip; i < all.size(); ++i) {
        if (all[i].compare(0, prefix.size(), prefix) == 0) found.push_back(all[i]);
    }
    return found;
}

std::string ConnectedAt(int32_t time) {
    return "<Connected At=\"0\" Device=\"3\" Channel=\"0\" Time=\"" + std::to_string(time) +
           "\"/>\n";
}

TEST(E2ERestart, PendingOperationIsFinishedAfterRestart) {
    CoreRun run;
    GapScenario gap(Now());
    // First run: the camera never answers, so the operation stays pending.
    run.WriteScenario(gap.clips, gap.timeline, "", /*answers=*/false);
    run.Start();
    std::optional<std::string> unanswered = run.WaitForLine("device unanswered command=1");
    ASSERT_TRUE(unanswered) << run.ReadFile("peers.journal");
    std::string guid = Field(*unanswered, "guid");
    EXPECT_EQ(run.Stop(), 0);
    std::string state = run.ReadFile("rimvaultpi_state.xml");
    EXPECT_NE(state.find("GUID=\"" + guid + "\""), std::string::npos) << state;

    // Second run: the camera answers and reconnects.
    size_t firstRun = run.Journal().size();
    run.WriteScenario(gap.clips, ConnectedAt(static_cast<int32_t>(Now()) + 5));
    run.Start();
    ASSERT_TRUE(run.WaitForLine(kDone, firstRun)) << run.ReadFile("peers.journal");
    EXPECT_EQ(run.Stop(), 0);

    // The restored operation asks for its original gap and is completed.
    std::vector<std::string> status = LinesAfter(run, firstRun, "device status guid=" + guid);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(Field(status[0], "start"), std::to_string(gap.gapStart()));
    EXPECT_EQ(Field(status[0], "stop"), std::to_string(gap.reconnectedAt));
    EXPECT_EQ(LinesAfter(run, firstRun, "device delivered guid=" + guid).size(), 3u);
    EXPECT_EQ(LinesAfter(run, firstRun,
                         "monitor log level=25 Rimvault - retrieve operation " + guid +
                             " for device 2097152 3 completed successfully.")
                  .size(),
              1u);
    EXPECT_EQ(run.Recordings().size(), 3u);
    EXPECT_EQ(run.ReadFile("rimvaultpi_state.xml").find("<Operation"), std::string::npos);
}

TEST(E2ERestart, DeviceConnectedAtShutdownGivesAGapFromTheShutdown) {
    CoreRun run;
    GapScenario gap(Now());
    run.WriteScenario(gap.clips, gap.timeline);
    run.Start();
    // The whole retrieval ends with the camera connected.
    ASSERT_TRUE(run.WaitForLine(kDone)) << run.ReadFile("peers.journal");
    int64_t beforeStop = Now();
    EXPECT_EQ(run.Stop(), 0);
    int64_t afterStop = Now();

    std::string state = run.ReadFile("rimvaultpi_state.xml");
    std::string marker = "<Device Number=\"3\" DisconnectTime=\"";
    size_t at = state.find(marker);
    ASSERT_NE(at, std::string::npos) << state;
    int64_t shutdown = std::stoll(state.substr(at + marker.size()));
    EXPECT_GE(shutdown, beforeStop);
    EXPECT_LE(shutdown, afterStop);

    // After the restart the camera reconnects on channel 0 and has one clip
    // recorded while the core was down.
    size_t firstRun = run.Journal().size();
    int32_t reconnect = static_cast<int32_t>(shutdown) + 200;
    ClipSpec whileDown{"clip1.mp4", static_cast<int32_t>(shutdown) + 50,
                       static_cast<int32_t>(shutdown) + 52};
    run.WriteScenario({whileDown}, ConnectedAt(reconnect));
    run.Start();
    ASSERT_TRUE(run.WaitForLine(kDone, firstRun)) << run.ReadFile("peers.journal");
    EXPECT_EQ(run.Stop(), 0);

    std::vector<std::string> status = LinesAfter(run, firstRun, "device status ");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(Field(status[0], "start"), std::to_string(shutdown));
    EXPECT_EQ(Field(status[0], "stop"), std::to_string(reconnect));
    EXPECT_EQ(Field(status[0], "recordings"), "1");
    std::vector<std::string> recordings = run.Recordings();
    EXPECT_EQ(recordings.size(), 4u);  // three from the first run, one now
    std::string expected = LocalPathPrefix(whileDown.start) + "-00200380r.ps";
    EXPECT_NE(std::find(recordings.begin(), recordings.end(), expected), recordings.end())
        << expected;
}

}  // namespace
}  // namespace kiv::e2e
