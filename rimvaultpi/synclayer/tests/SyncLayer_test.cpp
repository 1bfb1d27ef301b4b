#include "rimvaultpi/synclayer/SyncLayer.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rimvaultpi/synclayer/tests/EventRecorder.h"

namespace kivsvr::rimvault {
namespace {

using kiv::testing::Buffer;
using kiv::testing::EventRecorder;
using kiv::testing::NotFoundLog;
using kiv::testing::RecordedEvent;
using kiv::testing::UnknownReservation;

const char kGuid1[] = "11111111-1111-4111-8111-111111111111";
const char kGuid2[] = "22222222-2222-4222-8222-222222222222";
const char kGuid3[] = "33333333-3333-4333-8333-333333333333";
const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

Message Document(Buffer& buffer) {
    Message m;
    m.size = buffer.size();
    m.data = buffer.data();
    m.record_flags = 128;
    return m;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class PluginSyncLayer : public ::testing::Test {
  protected:
    void SetUp() override { EventRecorder::Get().Reset(); }

    // Events posted since the layer was built (its construction logs a line).
    std::vector<RecordedEvent> EventsAfter(size_t first) {
        std::vector<RecordedEvent> all = EventRecorder::Get().Events();
        return std::vector<RecordedEvent>(all.begin() + std::min(first, all.size()), all.end());
    }

    kiv::testing::ScopedWorkingDirectory cwd;
};

TEST_F(PluginSyncLayer, PassWithNothingQueuedWaitsAndParsesNothing) {
    SyncLayer layer(&EventRecorder::Callback);
    size_t before = EventRecorder::Get().Events().size();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(layer.execute(), 0);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(95));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    EXPECT_TRUE(EventsAfter(before).empty());
}

TEST_F(PluginSyncLayer, BatchIsParsedInOrderEachFollowedByOneRelease) {
    SyncLayer layer(&EventRecorder::Callback);
    Buffer b1(UnknownReservation(kGuid1)), b2(UnknownReservation(kGuid2)),
        b3(UnknownReservation(kGuid3));
    size_t before = EventRecorder::Get().Events().size();
    ASSERT_TRUE(layer.queue(Document(b1)));
    ASSERT_TRUE(layer.queue(Document(b2)));
    ASSERT_TRUE(layer.queue(Document(b3)));
    layer.execute();

    std::vector<RecordedEvent> events = EventsAfter(before);
    ASSERT_EQ(events.size(), 6u);
    const char* guids[] = {kGuid1, kGuid2, kGuid3};
    Buffer* buffers[] = {&b1, &b2, &b3};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(events[2 * i].Log(), NotFoundLog(guids[i]));
        const RecordedEvent& release = events[2 * i + 1];
        EXPECT_TRUE(release.IsRelease());
        EXPECT_EQ(release.data, buffers[i]->data());
        EXPECT_EQ(release.source, KIV_ID_RIMVAULTPI);
        EXPECT_EQ(release.type, 0u);
    }
}

// An error raised by one document ends that document only: it is logged at
// level 75 with its text, its buffer is released once, and the next document
// is parsed.
TEST_F(PluginSyncLayer, ParseErrorIsLoggedAndTheWorkerGoesOn) {
    SyncLayer layer(&EventRecorder::Callback);
    Buffer bad(UnknownReservation("1234")), good(UnknownReservation(kGuid2));
    size_t before = EventRecorder::Get().Events().size();
    layer.queue(Document(bad));
    layer.queue(Document(good));
    layer.execute();

    std::vector<RecordedEvent> events = EventsAfter(before);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].Log(),
              "75 Error 'invalid uuid string' parsing a document; the document was dropped.");
    EXPECT_TRUE(events[1].IsRelease());
    EXPECT_EQ(events[1].data, bad.data());
    EXPECT_EQ(events[2].Log(), NotFoundLog(kGuid2));
    EXPECT_EQ(EventRecorder::Get().Releases(bad.data()), 1u);
    EXPECT_EQ(EventRecorder::Get().Releases(good.data()), 1u);
}

// Malformed XML and text that is not NUL-terminated are handled by length.
TEST_F(PluginSyncLayer, DocumentIsReadByItsLengthOnly) {
    SyncLayer layer(&EventRecorder::Callback);
    // The buffer holds a second, valid document after the first one's length.
    std::string first = UnknownReservation(kGuid1);
    Buffer both(first + UnknownReservation(kGuid2));
    Message m = Document(both);
    m.size = static_cast<uint32_t>(first.size());
    Buffer broken("<Kivrec><Storage><Reserv");
    layer.queue(m);
    layer.queue(Document(broken));
    layer.execute();
    EXPECT_EQ(EventRecorder::Get().Logs().back(), NotFoundLog(kGuid1));
    EXPECT_EQ(EventRecorder::Get().Releases(both.data()), 1u);
    EXPECT_EQ(EventRecorder::Get().Releases(broken.data()), 1u);
}

TEST_F(PluginSyncLayer, CancelReleasesEveryQueuedBufferExactlyOnce) {
    Buffer b1(UnknownReservation(kGuid1)), b2(UnknownReservation(kGuid2));
    {
        SyncLayer layer(&EventRecorder::Callback);
        size_t before = EventRecorder::Get().Events().size();
        layer.queue(Document(b1));
        layer.queue(Document(b2));
        EXPECT_EQ(layer.cancel(), 0);
        std::vector<RecordedEvent> events = EventsAfter(before);
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].data, b1.data());
        EXPECT_EQ(events[1].data, b2.data());

        // Later passes parse nothing and release nothing again; a document
        // offered after cancel is refused, so the caller keeps no reference.
        Buffer late(UnknownReservation(kGuid3));
        EXPECT_FALSE(layer.queue(Document(late)));
        layer.execute();
        EXPECT_EQ(EventRecorder::Get().Releases(late.data()), 0u);
    }
    EXPECT_EQ(EventRecorder::Get().Releases(b1.data()), 1u);
    EXPECT_EQ(EventRecorder::Get().Releases(b2.data()), 1u);
    for (const std::string& log : EventRecorder::Get().Logs()) {
        EXPECT_EQ(log.find("was not found"), std::string::npos) << log;
    }
}

// A layer destroyed without cancel still gives back what it holds.
TEST_F(PluginSyncLayer, DestructionReleasesWhatCancelDidNotSee) {
    Buffer b1(UnknownReservation(kGuid1));
    {
        SyncLayer layer(&EventRecorder::Callback);
        layer.queue(Document(b1));
    }
    EXPECT_EQ(EventRecorder::Get().Releases(b1.data()), 1u);
}

TEST_F(PluginSyncLayer, RefusedReleaseIsLoggedAtInformationLevel) {
    SyncLayer layer(&EventRecorder::Callback);
    EventRecorder::Get().Reset(/*releaseResult=*/1);
    int buffer = 0;
    SyncLayer::decrement_reference(&buffer);
    std::vector<RecordedEvent> events = EventRecorder::Get().Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].IsRelease());
    EXPECT_EQ(events[0].data, &buffer);
    EXPECT_EQ(events[1].Log(), "25 Decrement reference event returned : 0 error : 1\n");
    EXPECT_EQ(events[1].flags, KIV_FLAG_LOG);
}

TEST_F(PluginSyncLayer, VersionConfigAndLogDocuments) {
    SyncLayer layer(&EventRecorder::Callback);
    EventRecorder::Get().Reset();
    SyncLayer::BroadcastVersion();
    SyncLayer::BroadcastConfig();
    SyncLayer::post_log_message(75, "x & y");
    std::vector<RecordedEvent> events = EventRecorder::Get().Events();
    ASSERT_EQ(events.size(), 3u);
    struct Expected {
        std::string text;
        uint32_t flags;
    } expected[] = {
        {std::string(kDeclaration) +
             "<Kivrec Delta=\"0\"><Modules><Module Name=\"rimvaultpi\" ID=\"5308416\" "
             "Version=\"3.2.7.40511\"/></Modules></Kivrec>",
         KIV_FLAG_BROADCAST},
        {std::string(kDeclaration) + "<Kivrec Delta=\"0\"><Rimvault ID=\"5308416\"/></Kivrec>",
         KIV_FLAG_BROADCAST},
        {std::string(kDeclaration) + "<log_msg level=\"75\">x &amp; y</log_msg>", KIV_FLAG_LOG},
    };
    for (int i = 0; i < 3; ++i) {
        // The posted length includes the terminating NUL.
        EXPECT_EQ(events[i].text, expected[i].text + std::string(1, '\0'));
        EXPECT_EQ(events[i].flags, expected[i].flags);
        EXPECT_EQ(events[i].type, KIV_TYPE_XML);
        EXPECT_EQ(events[i].source, KIV_ID_RIMVAULTPI);
    }
}

// The worker has the engine rewrite its state file once the checkpoint period
// has passed, so a connected device appears as a gap from that moment.
TEST_F(PluginSyncLayer, CheckpointRewritesTheStateFileAboutOnceAMinute) {
    using std::chrono::seconds;
    std::atomic<int64_t> now{1700000000};
    SyncLayer layer(&EventRecorder::Callback,
                    [&now] { return std::chrono::system_clock::time_point(seconds(now.load())); });
    Buffer connect(
        "<Kivrec><Devices ID=\"2097152\"><Device Number=\"3\" RimvaultSupported=\"1\">"
        "<Codec><Encoder Number=\"0\"><Channel Number=\"0\" Connected=\"1\" Time=\"1699999990\"/>"
        "</Encoder></Codec></Device></Devices></Kivrec>");
    layer.queue(Document(connect));
    now += 59;
    layer.execute();
    EXPECT_EQ(ReadFile("rimvaultpi_state.xml").find("DisconnectTime"), std::string::npos);

    now += 1;
    layer.execute();
    std::string state = ReadFile("rimvaultpi_state.xml");
    EXPECT_NE(state.find("<Device Number=\"3\" DisconnectTime=\"1700000060\""), std::string::npos)
        << state;

    // Not again before another period has passed.
    now += 30;
    layer.execute();
    EXPECT_NE(ReadFile("rimvaultpi_state.xml").find("DisconnectTime=\"1700000060\""),
              std::string::npos);

    // A clock set back restarts the period.
    now = 1600000000;
    layer.execute();
    EXPECT_NE(ReadFile("rimvaultpi_state.xml").find("DisconnectTime=\"1600000000\""),
              std::string::npos);
}

// The engine spaces its state-file writes; whatever a batch changed must still be on disk when
// the pass ends, or a crash right after it would lose an open gap.
TEST_F(PluginSyncLayer, EveryChangeOfABatchIsOnDiskWhenThePassEnds) {
    SyncLayer layer(&EventRecorder::Callback);
    auto disconnect = [](int device) {
        return "<Kivrec><Devices ID=\"2097152\"><Device Number=\"" + std::to_string(device) +
               "\" RimvaultSupported=\"1\"><Codec><Encoder Number=\"0\"><Channel Number=\"0\" "
               "Connected=\"0\" Time=\"1700000000\"/></Encoder></Codec></Device></Devices>"
               "</Kivrec>";
    };
    Buffer first(disconnect(3)), second(disconnect(4));
    layer.queue(Document(first));
    layer.queue(Document(second));
    layer.execute();
    std::string state = ReadFile("rimvaultpi_state.xml");
    EXPECT_NE(state.find("<Device Number=\"3\" DisconnectTime=\"1699999990\""), std::string::npos)
        << state;
    EXPECT_NE(state.find("<Device Number=\"4\" DisconnectTime=\"1699999990\""), std::string::npos)
        << state;
}

}  // namespace
}  // namespace kivsvr::rimvault
