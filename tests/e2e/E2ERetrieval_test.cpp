// One retrieval through the real core, the real plug-in and the substitute
// peers: success, a failure retried from the failed clip, and the give-up
// after the retry limit.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/CoreRun.h"

namespace kiv::e2e {
namespace {

// The plug-in's last line when no operation is left; it follows the done
// status, so both have been delivered once it is in the journal.
const char kDone[] = "monitor log level=25 Rimvault - all operations completed successfully.";

std::string Recording(const ClipSpec& clip) {
    // Channel identity: owner bits 16-27, camera number in bits 8-15, 0x80.
    return LocalPathPrefix(clip.start) + "-00200380r.ps";
}

// Checks one PS recording through the psfile tool: one video channel with
// every frame of the clip, and an H.264 stream that a decoder reads whole.
void ExpectValidRecording(const std::string& path) {
    std::string json = Capture(BinDir() + "/psfile info --json '" + path + "'");
    EXPECT_NE(json.find("\"packets\": " + std::to_string(kFramesPerClip) + ","), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"width\": 320, \"height\": 240"), std::string::npos) << json;
    EXPECT_NE(json.find("\"name\": \"Front door\""), std::string::npos) << json;

    std::string h264 = path + ".h264";
    Capture(BinDir() + "/psfile extract --channel 0 '" + path + "' '" + h264 + "'");
    std::string frames = Capture(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames "
        "-of csv=p=0 '" +
        h264 + "'");
    EXPECT_EQ(frames, std::to_string(kFramesPerClip) + "\n") << path;
}

std::vector<std::string> Expected(const std::vector<ClipSpec>& clips) {
    std::vector<std::string> names;
    for (const ClipSpec& clip : clips) names.push_back(Recording(clip));
    return names;
}

TEST(E2ERetrieval, WholeRetrievalConvertsEveryOverlappingClip) {
    CoreRun run;
    GapScenario gap(Now());
    run.WriteScenario(gap.clips, gap.timeline);
    run.Start();
    ASSERT_TRUE(run.WaitForLine(kDone)) << run.ReadFile("peers.journal");
    EXPECT_EQ(run.Stop(), 0);

    // The status request asks for the whole gap, from 10 s before the
    // disconnect to the reconnection; three clips overlap it.
    std::vector<std::string> status = run.Lines("device status ");
    ASSERT_EQ(status.size(), 1u);
    std::string guid = Field(status[0], "guid");
    EXPECT_EQ(guid.size(), 36u);
    EXPECT_EQ(Field(status[0], "start"), std::to_string(gap.gapStart()));
    EXPECT_EQ(Field(status[0], "stop"), std::to_string(gap.reconnectedAt));
    EXPECT_EQ(Field(status[0], "recordings"), "3");

    std::vector<std::string> reserve = run.Lines("storage reserve ");
    ASSERT_EQ(reserve.size(), 1u);
    EXPECT_EQ(Field(reserve[0], "guid"), guid);
    EXPECT_EQ(Field(reserve[0], "gb"), "1");
    EXPECT_EQ(run.Lines("device delivered ").size(), 3u);
    EXPECT_EQ(run.Lines("device done guid=" + guid).size(), 1u);

    // Every overlapping clip became one recording, filed by local date and
    // hour; the clip before the gap did not.
    std::vector<ClipSpec> inGap(gap.clips.begin() + 1, gap.clips.end());
    ASSERT_EQ(run.Recordings(), Expected(inGap));
    for (const std::string& name : run.Recordings()) {
        ExpectValidRecording(run.RecordingsRoot() + name);
        EXPECT_TRUE(run.Exists("storage/recordings/" + name + "i")) << "index of " << name;
    }

    // The downloaded MP4s were deleted (the storage peer removes an empty
    // temporary directory at the cancel); the camera's own clips stay.
    std::vector<std::string> cancel = run.Lines("storage cancel ");
    ASSERT_EQ(cancel.size(), 1u);
    EXPECT_EQ(cancel[0], "storage cancel guid=" + guid + " active=0");
    EXPECT_FALSE(run.Exists("storage/tmp/" + guid));
    EXPECT_TRUE(run.Exists("edge/clip2.mp4"));

    EXPECT_EQ(run.Lines("monitor log level=25 Rimvault - retrieve operation " + guid +
                        " for device 2097152 3 completed successfully.")
                  .size(),
              1u);
    // The only error is the first start's missing state file.
    std::vector<std::string> errors = run.Lines("monitor log level=75");
    ASSERT_EQ(errors.size(), 1u) << run.ReadFile("peers.journal");
    EXPECT_NE(errors[0].find("reading Rim Vault persisted state."), std::string::npos);
    // One starting status and one done status bracket the run.
    EXPECT_EQ(run.Lines("monitor status status=2").size(), 1u);
    EXPECT_EQ(run.Lines("monitor status status=3").size(), 1u);
}

TEST(E2ERetrieval, FailureIsRetriedFromTheFailedClip) {
    CoreRun run;
    GapScenario gap(Now());
    run.WriteScenario(gap.clips, gap.timeline,
                      "      <Failure Clip=\"clip3.mp4\" ErrorCode=\"7\" Count=\"1\"/>\n");
    run.Start();
    ASSERT_TRUE(run.WaitForLine(kDone)) << run.ReadFile("peers.journal");
    EXPECT_EQ(run.Stop(), 0);

    const ClipSpec& clip3 = gap.clips[2];
    std::vector<std::string> failed = run.Lines("device failed ");
    ASSERT_EQ(failed.size(), 1u);
    std::string guid = Field(failed[0], "guid");
    EXPECT_EQ(Field(failed[0], "failed_clip_start"), std::to_string(clip3.start));
    EXPECT_EQ(run.Lines("monitor log level=75 Rimvault - retrieve operation " + guid +
                        " for device 2097152 3 completed with error 7")
                  .size(),
              1u);

    // The retry asks again from the failed clip to the unchanged gap end.
    std::vector<std::string> status = run.Lines("device status ");
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(Field(status[0], "start"), std::to_string(gap.gapStart()));
    EXPECT_EQ(Field(status[1], "guid"), guid);
    EXPECT_EQ(Field(status[1], "start"), std::to_string(clip3.start));
    EXPECT_EQ(Field(status[1], "stop"), std::to_string(gap.reconnectedAt));
    EXPECT_EQ(Field(status[1], "recordings"), "2");

    // clip2 came with the first attempt, clip3 and clip4 with the retry.
    std::vector<ClipSpec> inGap(gap.clips.begin() + 1, gap.clips.end());
    EXPECT_EQ(run.Recordings(), Expected(inGap));
    // One cancel after the failure, one when the operation ended.
    EXPECT_EQ(run.Lines("storage cancel guid=" + guid).size(), 2u);
    EXPECT_EQ(run.Lines("monitor log level=25 Rimvault - retrieve operation " + guid +
                        " for device 2097152 3 completed successfully.")
                  .size(),
              1u);
}

TEST(E2ERetrieval, GivesUpAfterTheRetryLimit) {
    CoreRun run;
    GapScenario gap(Now());
    run.WriteScenario(gap.clips, gap.timeline,
                      "      <Failure Clip=\"clip2.mp4\" ErrorCode=\"9\" Count=\"99\"/>\n");
    run.Start();
    ASSERT_TRUE(run.WaitForLine(kDone)) << run.ReadFile("peers.journal");
    EXPECT_EQ(run.Stop(), 0);

    std::vector<std::string> failed = run.Lines("device failed ");
    ASSERT_EQ(failed.size(), 2u);
    std::string guid = Field(failed[0], "guid");
    EXPECT_EQ(run.Lines("device status guid=" + guid).size(), 2u);
    EXPECT_EQ(run.Lines("monitor log level=75 Rimvault - operation " + guid +
                        " for device 2097152 3 exceeded the retry limit.")
                  .size(),
              1u);
    EXPECT_EQ(run.Lines("storage cancel guid=" + guid).size(), 2u);
    // Given up or not, the end of the last operation is reported as done.
    EXPECT_EQ(run.Lines("monitor status status=3").size(), 1u);
    EXPECT_TRUE(run.Recordings().empty());
    // The operation is gone for good: the saved state holds none.
    EXPECT_EQ(run.ReadFile("rimvaultpi_state.xml").find("<Operation"), std::string::npos);
}

}  // namespace
}  // namespace kiv::e2e
