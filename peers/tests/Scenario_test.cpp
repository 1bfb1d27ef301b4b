#include "peers/Scenario.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "peers/PeerKit.h"

namespace kiv::peers {
namespace {

// Writes `text` to a scenario file in a fresh directory.
class ScenarioFile {
  public:
    explicit ScenarioFile(const std::string& text) {
        char dir[] = "/tmp/peer-scenario-XXXXXX";
        dir_ = mkdtemp(dir);
        path_ = dir_ + "/scenario.xml";
        std::ofstream(path_) << text;
    }
    ~ScenarioFile() {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    const std::string& dir() const { return dir_; }
    const std::string& path() const { return path_; }

  private:
    std::string dir_;
    std::string path_;
};

TEST(E2EPeerScenario, ReadsCamerasTimelineAndStorageRoot) {
    ScenarioFile file(R"(<Scenario>
  <DevicePeer ID="3145728">
    <Device Number="4" RimvaultSupported="1" InputName="Yard" EdgeStorage="edge">
      <Clip File="late.mp4" Start="200" Stop="260"/>
      <Clip File="/abs/early.mp4" Start="100" Stop="160"/>
      <Failure Clip="late.mp4" ErrorCode="9" Count="2"/>
    </Device>
    <Device Number="5" RimvaultSupported="true" Answers="0"/>
    <Timeline>
      <Disconnected At="300" Device="4" Channel="1" Time="1000"/>
      <Connected At="0" Device="4" Time="900"/>
      <Deleted At="400" Device="5"/>
    </Timeline>
  </DevicePeer>
  <StoragePeer Root="disk"/>
</Scenario>)");
    Scenario s;
    std::string error;
    ASSERT_TRUE(LoadScenario(file.path(), s, error)) << error;
    EXPECT_EQ(s.deviceOwner, 3145728u);
    ASSERT_EQ(s.cameras.size(), 2u);
    const Camera& yard = s.cameras[0];
    EXPECT_EQ(yard.number, 4u);
    EXPECT_TRUE(yard.capable);
    EXPECT_TRUE(yard.answers);
    EXPECT_EQ(yard.inputName, "Yard");
    ASSERT_EQ(yard.clips.size(), 2u);  // sorted by start, paths from the edge folder
    EXPECT_EQ(yard.clips[0].file, "/abs/early.mp4");
    EXPECT_EQ(yard.clips[1].file, file.dir() + "/edge/late.mp4");
    ASSERT_TRUE(yard.failure.has_value());
    EXPECT_EQ(yard.failure->clip, "late.mp4");
    EXPECT_EQ(yard.failure->errorCode, 9);
    EXPECT_EQ(yard.failure->count, 2);
    // Only the exact text "1" marks a capable camera.
    EXPECT_FALSE(s.cameras[1].capable);
    EXPECT_FALSE(s.cameras[1].answers);
    ASSERT_EQ(s.timeline.size(), 3u);  // ordered by At
    EXPECT_EQ(s.timeline[0].kind, Step::kConnected);
    EXPECT_EQ(s.timeline[0].time, 900);
    EXPECT_EQ(s.timeline[1].kind, Step::kDisconnected);
    EXPECT_EQ(s.timeline[1].channel, 1u);
    EXPECT_EQ(s.timeline[2].kind, Step::kDeleted);
    EXPECT_EQ(s.storageRoot, file.dir() + "/disk");
}

TEST(E2EPeerScenario, RejectsInvalidEntries) {
    const char* cases[] = {
        "<NotAScenario/>",
        "<Scenario><DevicePeer><Device/></DevicePeer></Scenario>",
        "<Scenario><DevicePeer><Device Number='1'><Clip File='a' Start='5' Stop='4'/>"
        "</Device></DevicePeer></Scenario>",
        "<Scenario><DevicePeer><Device Number='1'><Clip Start='1' Stop='4'/>"
        "</Device></DevicePeer></Scenario>",
        "<Scenario><DevicePeer><Device Number='1'><Failure/></Device></DevicePeer></Scenario>",
        "<Scenario><DevicePeer><Timeline><Connected At='1' Device='1'/></Timeline>"
        "</DevicePeer></Scenario>",
        "<Scenario><DevicePeer><Timeline><Jumped At='1'/></Timeline></DevicePeer></Scenario>",
        "<Scenario><unclosed>",
    };
    for (const char* text : cases) {
        ScenarioFile file(text);
        Scenario s;
        std::string error;
        EXPECT_FALSE(LoadScenario(file.path(), s, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    Scenario s;
    std::string error;
    EXPECT_FALSE(LoadScenario("/nonexistent/scenario.xml", s, error));
}

TEST(E2EPeerScenario, ClipsInGapTakesOnlyOverlappingClips) {
    Camera camera;
    camera.clips = {{"a", 100, 160}, {"b", 160, 220}, {"c", 300, 360}};
    struct Case {
        int32_t from, to;
        std::string expected;
    } cases[] = {
        {0, 1000, "abc"},  {160, 300, "b"},  // a ends where the gap starts, c starts where it ends
        {159, 301, "abc"}, {220, 300, ""},   // the hole between b and c
        {170, 171, "b"},                     // a gap inside one clip
        {400, 500, ""},
    };
    for (const Case& c : cases) {
        std::string names;
        for (const Clip* clip : ClipsInGap(camera, c.from, c.to)) names += clip->file;
        EXPECT_EQ(names, c.expected) << c.from << ".." << c.to;
    }
}

TEST(E2EPeerQuoting, QuotedPathsRoundTrip) {
    struct Case {
        std::string path, quoted;
    } cases[] = {
        {"/tmp/a.mp4", "\"/tmp/a.mp4\""},
        {"/tmp/with space/a.mp4", "\"/tmp/with space/a.mp4\""},
        {"/tmp/q\"uote&amp", "\"/tmp/q&\"uote&&amp\""},
        {"", "\"\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QuotePath(c.path), c.quoted);
        EXPECT_EQ(UnquotePath(c.quoted), c.path);
    }
    // Unquoted text ends at the first blank.
    EXPECT_EQ(UnquotePath("/tmp/a b"), "/tmp/a");
    // A missing closing quote ends the text; a trailing "&" is kept.
    EXPECT_EQ(UnquotePath("\"/tmp/x&"), "/tmp/x&");
}

}  // namespace
}  // namespace kiv::peers
