// The engine driven through the translator with documents, as the plug-in's worker drives it:
// a recording poster, a real state file in a temporary directory and a fixed clock.
#include "rimvaultpi/rimvault/Rimvault.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "rimvaultpi/kivserverimpl/Guid.h"
#include "rimvaultpi/kivserverimpl/KivServerImpl.h"
#include "rimvaultpi/kivserverimpl/TestSupport.h"
#include "rimvaultpi/kivserverimpl/XmlStore.h"

namespace rimvault {
namespace {

namespace fs = boost::filesystem;
using testing::PostedDocument;
using testing::RecordingPoster;
using testing::TempDir;

// 2016-03-01T10:00:00Z
constexpr int64_t T = 1456826400;
constexpr uint32_t kOwner = 2097152;

std::string S(int64_t value) { return std::to_string(value); }

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One line per posted document: "log <level> <text>", "status <id> <owner> <number> <start>
// <stop>", "retrieve ... <TmpFileDir>", "reserve <id> <GB>", "cancel <id>", "rimvault <status>
// <time>".
std::string Summary(const PostedDocument& posted) {
    tinyxml2::XMLDocument doc;
    doc.Parse(posted.text.c_str());
    if (const tinyxml2::XMLElement* log = doc.FirstChildElement("log_msg")) {
        return std::string("log ") + log->Attribute("level") + " " + log->GetText();
    }
    const tinyxml2::XMLElement* root = doc.FirstChildElement("Kivrec");
    if (const tinyxml2::XMLElement* devices = root->FirstChildElement("Devices")) {
        const tinyxml2::XMLElement* device = devices->FirstChildElement("Device");
        const tinyxml2::XMLElement* storage = device->FirstChildElement("Storage");
        std::string line =
            std::string(storage->Attribute("Command", "1") ? "status " : "retrieve ") +
            storage->Attribute("GUID") + " " + devices->Attribute("ID") + " " +
            device->Attribute("Number") + " " + storage->Attribute("Start") + " " +
            storage->Attribute("Stop");
        if (const char* tmp = storage->Attribute("TmpFileDir")) line += std::string(" ") + tmp;
        return line;
    }
    if (const tinyxml2::XMLElement* storage = root->FirstChildElement("Storage")) {
        const tinyxml2::XMLElement* reservation = storage->FirstChildElement("Reservation");
        if (reservation->Attribute("Command", "4")) {
            return std::string("reserve ") + reservation->Attribute("GUID") + " " +
                   reservation->Attribute("ReserveGB");
        }
        return std::string("cancel ") + reservation->Attribute("GUID");
    }
    const tinyxml2::XMLElement* rimvault = root->FirstChildElement("Rimvault");
    return std::string("rimvault ") + rimvault->Attribute("Status") + " " +
           rimvault->Attribute("Time");
}

class RimvaultEngine : public ::testing::Test {
  protected:
    RimvaultEngine()
        : store(dir / rimvaultStateFilename, [this] { return now; }),
          server(poster.Poster(), [this] { return now; }) {
        server.SetConverter([this](const kivsvr::rimvault::Message& message) {
            conversions.push_back(message);
            if (conversionResult != 0 && !conversionKeepsSource) fs::remove(message.source_path);
            return conversionResult;
        });
    }

    void Start() {
        engine = std::make_unique<CRimvault>(server, store, [this] { return steady += step; });
        server.RegisterEventSink(engine.get());
    }

    void Stop() {
        server.RegisterEventSink(nullptr);
        engine.reset();
    }

    void Send(const std::string& document) {
        server.ParseEvent(document.data(), static_cast<int32_t>(document.size()));
    }

    static std::string Device(uint32_t number, const std::string& content,
                              const std::string& attributes = "") {
        return "<Kivrec><Devices ID=\"" + S(kOwner) + "\"><Device Number=\"" + S(number) + "\"" +
               attributes + ">" + content + "</Device></Devices></Kivrec>";
    }

    void Capable(uint32_t number) { Send(Device(number, "", " RimvaultSupported=\"1\"")); }

    void Channel(uint32_t number, int connected, const std::string& time, uint32_t channel = 1) {
        Send(Device(number, "<Codec><Encoder Number=\"0\"><Channel Connected=\"" + S(connected) +
                                "\" Number=\"" + S(channel) + "\"" + time +
                                "/></Encoder></Codec>"));
    }
    void Connect(uint32_t number, int64_t time, uint32_t channel = 1) {
        Channel(number, 1, " Time=\"" + S(time) + "\"", channel);
    }
    void Disconnect(uint32_t number, int64_t time, uint32_t channel = 1) {
        Channel(number, 2, " Time=\"" + S(time) + "\"", channel);
    }

    void StatusAnswer(uint32_t number, const std::string& id, int totalSize) {
        Send(Device(number, "<Storage GUID=\"" + id +
                                "\"><Input><Context Number=\"0\" Recordings=\"2\" TotalSize=\"" +
                                S(totalSize) +
                                "\" OldestStart=\"1\" NewestEnd=\"2\"/></Input></Storage>"));
    }
    void Reserved(const std::string& id, const fs::path& temporary, const fs::path& output) {
        Send("<Kivrec><Storage><Reservation GUID=\"" + id + "\" TmpDir=\"" + temporary.string() +
             "\" OutDir=\"" + output.string() + "\"/></Storage></Kivrec>");
    }
    void Downloaded(uint32_t number, const std::string& id, const fs::path& file) {
        Send(Device(number, "<Input><Context><Storage GUID=\"" + id +
                                "\" RetrievalStatus=\"3\" FileName=\"" + file.string() +
                                "\" Start=\"" + S(T) + "\" Stop=\"" + S(T + 60) +
                                "\" Type=\"1\"/></Context></Input>"));
    }
    void Succeeded(uint32_t number, const std::string& id) {
        Send(Device(number, "<Storage GUID=\"" + id + "\" RetrievalStatus=\"3\"/>"));
    }
    void Failed(uint32_t number, const std::string& id, const std::string& clip) {
        Send(Device(number, "<Storage GUID=\"" + id + "\" RetrievalStatus=\"4\" ErrorCode=\"-7\"" +
                                clip + "/>"));
    }

    // A capable device with a closed gap [T - 10, T + 1800] and so one operation; returns its
    // identifier.
    std::string GapClosed(uint32_t number, int64_t shift = 0) {
        Capable(number);
        Disconnect(number, T + shift);
        Connect(number, T + 1800 + shift);
        return OperationId(engine->Operations().size() - 1);
    }

    std::string OperationId(size_t index) const {
        return UuidText(engine->Operations().at(index).id);
    }

    // The summaries of the documents posted since the last call.
    std::vector<std::string> Posted(bool withLogs = false) {
        std::vector<std::string> lines;
        for (const PostedDocument& posted : poster.documents) {
            const std::string line = Summary(posted);
            if (withLogs || line.compare(0, 4, "log ") != 0) lines.push_back(line);
        }
        poster.Clear();
        return lines;
    }

    std::string Status(const std::string& id, uint32_t number, int64_t start, int64_t stop) {
        return "status " + id + " " + S(kOwner) + " " + S(number) + " " + S(start) + " " + S(stop);
    }

    std::vector<DisconnectRecord> StoredRecords() {
        CXmlStore reader(store.Path());
        std::vector<DisconnectRecord> records;
        std::vector<SRetrieveOperation> operations;
        reader.ReadRimvaultState(records, operations);
        return records;
    }
    std::vector<SRetrieveOperation> StoredOperations() {
        CXmlStore reader(store.Path());
        std::vector<DisconnectRecord> records;
        std::vector<SRetrieveOperation> operations;
        reader.ReadRimvaultState(records, operations);
        return operations;
    }

    TempDir dir;
    TimePoint now = FromSeconds(T + 3600);
    // The engine's clock for spacing state writes; by default far enough apart that every
    // change is written at once.
    std::chrono::steady_clock::time_point steady;
    std::chrono::steady_clock::duration step = std::chrono::hours(1);
    RecordingPoster poster;
    CXmlStore store;
    CKivServerImpl server;
    std::vector<kivsvr::rimvault::Message> conversions;
    // What the stand-in converter answers: 0 stored, otherwise the converter's failure.
    int conversionResult = 0;
    bool conversionKeepsSource = true;  // after a failure, as for an output that failed
    std::unique_ptr<CRimvault> engine;
};

// ---- gaps ---------------------------------------------------------------------------------

TEST_F(RimvaultEngine, ClosedGapBecomesAnOperationAndStarts) {
    Start();
    Capable(3);
    Connect(3, T - 600);
    Disconnect(3, T);
    poster.Clear();
    Connect(3, T + 1800);

    const std::vector<SRetrieveOperation> operations = engine->Operations();
    ASSERT_EQ(operations.size(), 1u);
    EXPECT_EQ(operations[0].device, (DeviceKey{kOwner, 3}));
    EXPECT_EQ(operations[0].gapStart, FromSeconds(T - 10));
    EXPECT_EQ(operations[0].gapEnd, FromSeconds(T + 1800));
    EXPECT_EQ(operations[0].attempts, 1);  // created with 0, started at once
    EXPECT_FALSE(engine->Idle());
    const std::string id = UuidText(operations[0].id);
    EXPECT_EQ(Posted(true),
              (std::vector<std::string>{
                  "log 25 Rimvault - operation starting.",
                  "rimvault 2 " + S(T + 3600),
                  "log 25 Rimvault - creating operation id " + id + " for device 2097152 3",
                  "log 25 Rimvault - requesting device storage info for 2097152 3 from "
                  "2016-03-01T09:59:50Z to 2016-03-01T10:30:00Z",
                  Status(id, 3, T - 10, T + 1800),
              }));
    EXPECT_TRUE(engine->DisconnectRecords().empty());
    EXPECT_TRUE(engine->DeviceIsConnected(DeviceKey{kOwner, 3}));
}

TEST_F(RimvaultEngine, SecondDisconnectKeepsTheFirstGapStart) {
    Start();
    Capable(3);
    Disconnect(3, T);
    Disconnect(3, T + 300);
    Connect(3, T + 1800);
    ASSERT_EQ(engine->Operations().size(), 1u);
    EXPECT_EQ(engine->Operations()[0].gapStart, FromSeconds(T - 10));
}

TEST_F(RimvaultEngine, ReconnectOnAnotherChannelClosesNoGap) {
    Start();
    Capable(3);
    Disconnect(3, T, 1);
    Connect(3, T + 1800, 2);
    EXPECT_TRUE(engine->Operations().empty());
    ASSERT_EQ(engine->DisconnectRecords().size(), 1u);
    EXPECT_EQ(engine->DisconnectRecords()[0].key, (ConnectionKey{kOwner, 3, 0, 1}));
    EXPECT_TRUE(engine->DeviceIsConnected(DeviceKey{kOwner, 3}));
}

TEST_F(RimvaultEngine, DeviceNeverReportedCapableIsIgnored) {
    Start();
    Connect(3, T - 600);
    Disconnect(3, T);
    Connect(3, T + 1800);
    EXPECT_FALSE(engine->DeviceIsConnected(DeviceKey{kOwner, 3}));
    EXPECT_TRUE(engine->DisconnectRecords().empty());
    EXPECT_TRUE(engine->Operations().empty());
    EXPECT_TRUE(Posted().empty());
}

TEST_F(RimvaultEngine, DisconnectWithoutTimeOpensTheGapNow) {
    Start();
    Capable(3);
    Channel(3, 2, "");
    ASSERT_EQ(engine->DisconnectRecords().size(), 1u);
    EXPECT_EQ(engine->DisconnectRecords()[0].disconnectedAt, now - std::chrono::seconds(10));
}

TEST_F(RimvaultEngine, DisconnectDuringCurrentAndLaterOperations) {
    Start();
    const std::string a = GapClosed(1);
    const std::string b = GapClosed(2, 60);
    EXPECT_EQ(engine->Operations()[1].attempts, 0);  // waits behind the first
    poster.Clear();

    // The device of a later operation goes away: logged, nothing else.
    Disconnect(2, T + 4000);
    EXPECT_EQ(Posted(true),
              std::vector<std::string>{"log 25 Rimvault - disconnect during operation " + b +
                                       " for device 2097152 2"});
    Connect(2, T + 4100);  // a third operation for device 2, behind the others
    ASSERT_EQ(engine->Operations().size(), 3u);
    EXPECT_TRUE(Posted().empty());

    // The device of the current operation goes away: the next one whose device is connected
    // starts.
    Disconnect(1, T + 5000);
    EXPECT_EQ(
        Posted(true),
        (std::vector<std::string>{
            "log 25 Rimvault - disconnect during current operation " + a + " for device 2097152 1",
            "log 25 Rimvault - requesting device storage info for 2097152 2 from "
            "2016-03-01T10:00:50Z to 2016-03-01T10:31:00Z",
            Status(b, 2, T + 60 - 10, T + 1860),
        }));
    EXPECT_EQ(engine->Operations()[0].attempts, 1);
    EXPECT_EQ(engine->Operations()[1].attempts, 1);
    EXPECT_EQ(engine->Operations()[2].attempts, 0);
}

TEST_F(RimvaultEngine, NoStartableOperationMakesTheEngineIdle) {
    Start();
    const std::string a = GapClosed(1);
    poster.Clear();
    Disconnect(1, T + 4000);
    EXPECT_TRUE(engine->Idle());
    EXPECT_TRUE(Posted().empty());

    // The gap closes: a second operation; the first in the list starts.
    Connect(1, T + 4100);
    ASSERT_EQ(engine->Operations().size(), 2u);
    EXPECT_EQ(Posted(), std::vector<std::string>{Status(a, 1, T - 10, T + 1800)});
    EXPECT_EQ(engine->Operations()[0].attempts, 2);
    EXPECT_EQ(engine->Operations()[1].attempts, 0);
}

TEST_F(RimvaultEngine, DeletedDevices) {
    Start();
    const std::string a = GapClosed(1);
    Capable(2);
    Disconnect(2, T);
    Connect(2, T + 100, 5);  // connected, while its gap on channel 1 stays open

    // A connected device leaves both sets; its records and operations stay.
    Send(Device(1, "", " ipAddress=\"\""));
    EXPECT_FALSE(engine->DeviceIsCapable(DeviceKey{kOwner, 1}));
    EXPECT_FALSE(engine->DeviceIsConnected(DeviceKey{kOwner, 1}));
    EXPECT_EQ(engine->Operations().size(), 1u);

    Send(Device(2, "", " ipAddress=\"\""));
    EXPECT_FALSE(engine->DeviceIsConnected(DeviceKey{kOwner, 2}));
    EXPECT_EQ(engine->DisconnectRecords().size(), 1u);

    // A device that is not connected loses its channel-0 record.
    Capable(4);
    Disconnect(4, T, 0);
    Send(Device(4, "", " ipAddress=\"\""));
    EXPECT_EQ(engine->DisconnectRecords().size(), 1u);
    EXPECT_EQ(engine->DisconnectRecords()[0].key.number, 2u);
}

// ---- sequencing ---------------------------------------------------------------------------

TEST_F(RimvaultEngine, StatusReservationAndRetrieval) {
    Start();
    const std::string a = GapClosed(1);
    const std::string b = GapClosed(2, 60);
    poster.Clear();

    // An answer for an operation that waits in the list is acted on too.
    StatusAnswer(2, b, 1024);
    EXPECT_EQ(Posted(true), (std::vector<std::string>{
                                "log 25 Rimvault - requesting disk space reservation of 2 GB for "
                                "operation " +
                                    b + " device 2097152 2",
                                "reserve " + b + " 2"}));

    Reserved(a, dir.path() / "tmp a", dir.path() / "out");
    EXPECT_EQ(Posted(true), (std::vector<std::string>{
                                "log 25 Rimvault - requesting recordings from 2097152 1 gap start "
                                "time2016-03-01T09:59:50Z gap end time 2016-03-01T10:30:00Z",
                                "retrieve " + a + " 2097152 1 " + S(T - 10) + " " + S(T + 1800) +
                                    " \"" + (dir.path() / "tmp a").string() + "\""}));
    EXPECT_TRUE(fs::is_directory(dir.path() / "tmp a"));
}

TEST_F(RimvaultEngine, AnswersForUnknownOperations) {
    Start();
    Capable(1);
    poster.Clear();
    const std::string unknown = "11111111-2222-4333-8444-555555555555";
    StatusAnswer(1, unknown, 10);
    Reserved(unknown, dir.path() / "t", dir.path() / "o");
    Succeeded(1, unknown);
    Failed(1, unknown, "");
    std::ofstream(dir / "x.mp4") << "x";
    Downloaded(1, unknown, dir.path() / "x.mp4");
    EXPECT_EQ(
        Posted(true),
        (std::vector<std::string>{
            "log 75 Rimvault - operation " + unknown + " not found.",
            "log 75 Rimvault - operation " + unknown + " in disk space response was not found.",
            "log 25 Rimvault - done signal for unknown operation.",
            "log 25 Rimvault - operation failed received for unknown operation.",
        }));
    EXPECT_TRUE(conversions.empty());
    EXPECT_TRUE(fs::exists(dir.path() / "x.mp4"));
}

// ---- completion, failure and retry --------------------------------------------------------

TEST_F(RimvaultEngine, RetryCountingAndTheLimit) {
    Start();
    const std::string a = GapClosed(1);
    EXPECT_EQ(engine->Operations()[0].attempts, 1);
    poster.Clear();

    Failed(1, a, " FailedClipStartTime=\"" + S(T + 720) + "\"");  // 10:12:00
    EXPECT_EQ(engine->Operations()[0].attempts, 3);  // 2 by the failure, 3 by the restart
    EXPECT_EQ(engine->Operations()[0].gapStart, FromSeconds(T + 720));
    EXPECT_EQ(Posted(true),
              (std::vector<std::string>{
                  "log 75 Rimvault - retrieve operation " + a +
                      " for device 2097152 1 completed with error -7",
                  "cancel " + a,
                  "log 25 Rimvault - requesting device storage info for 2097152 1 from "
                  "2016-03-01T10:12:00Z to 2016-03-01T10:30:00Z",
                  Status(a, 1, T + 720, T + 1800),
              }));

    Failed(1, a, " FailedClipStartTime=\"" + S(T + 900) + "\"");
    EXPECT_TRUE(engine->Operations().empty());
    EXPECT_TRUE(engine->Idle());
    EXPECT_EQ(Posted(true), (std::vector<std::string>{
                                "log 75 Rimvault - retrieve operation " + a +
                                    " for device 2097152 1 completed with error -7",
                                "log 75 Rimvault - operation " + a +
                                    " for device 2097152 1 exceeded the retry limit.",
                                "cancel " + a,
                                "rimvault 3 " + S(T + 3600),
                                "log 25 Rimvault - all operations completed successfully.",
                            }));
}

TEST_F(RimvaultEngine, StartsCutShortByADisconnectCount) {
    Start();
    const std::string a = GapClosed(1);
    Disconnect(1, T + 4000);  // the start is cut short
    Connect(1, T + 4100);     // a second operation; the first one starts again
    EXPECT_EQ(engine->Operations()[0].attempts, 2);
    poster.Clear();
    Failed(1, a, "");  // 3: beyond the limit
    EXPECT_EQ(Posted(), (std::vector<std::string>{"cancel " + a,
                                                  Status(OperationId(0), 1, T + 3990, T + 4100)}));
}

TEST_F(RimvaultEngine, FailedClipTimeMovesTheGapStartOnlyForwardWithinTheGap) {
    const struct {
        const char* name;
        std::string clip;
        int64_t expectedStart;
    } cases[] = {
        {"inside the gap", " FailedClipStartTime=\"" + S(T + 720) + "\"", T + 720},
        {"at the gap end", " FailedClipStartTime=\"" + S(T + 1800) + "\"", T + 1800},
        {"missing", "", T - 10},
        {"-1", " FailedClipStartTime=\"-1\"", T - 10},
        {"before the gap", " FailedClipStartTime=\"" + S(T - 3600) + "\"", T - 10},
        {"after the gap", " FailedClipStartTime=\"" + S(T + 1801) + "\"", T - 10},
    };
    Start();
    uint32_t number = 1;
    for (const auto& c : cases) {
        const std::string id = GapClosed(number);
        poster.Clear();
        Failed(number, id, c.clip);
        EXPECT_EQ(Posted().back(), Status(id, number, c.expectedStart, T + 1800)) << c.name;
        Succeeded(number, id);
        ++number;
    }
}

TEST_F(RimvaultEngine, SuccessOfAnOperationThatIsNotInProgress) {
    Start();
    const std::string a = GapClosed(1);
    const std::string b = GapClosed(2, 60);
    poster.Clear();
    Succeeded(2, b);
    ASSERT_EQ(engine->Operations().size(), 1u);
    // The first startable operation is under way already: it is not asked for again.
    EXPECT_EQ(Posted(true),
              (std::vector<std::string>{"log 25 Rimvault - retrieve operation " + b +
                                            " for device 2097152 2 completed successfully.",
                                        "cancel " + b}));
    EXPECT_EQ(engine->Operations()[0].attempts, 1);
    EXPECT_FALSE(engine->Idle());
}

// A camera drops in the middle of its retrieval, so the next operation starts; the dropped
// camera's plug-in then reports the interrupted retrieval as failed. The operation under way
// must not be asked for a second time (its clips would be fetched and stored twice), and its
// attempts must not grow.
TEST_F(RimvaultEngine, FailureOfADroppedOperationLeavesTheOneUnderWay) {
    Start();
    const std::string a = GapClosed(1);
    const std::string b = GapClosed(2, 60);
    Disconnect(1, T + 5000);  // a is cut short, b starts
    ASSERT_EQ(engine->Operations()[1].attempts, 1);
    poster.Clear();

    Failed(1, a, "");
    EXPECT_EQ(Posted(), std::vector<std::string>{"cancel " + a});
    EXPECT_EQ(engine->Operations()[1].attempts, 1);

    // b's own first failure is a retry, not the end of b.
    Failed(2, b, "");
    EXPECT_EQ(Posted(), (std::vector<std::string>{"cancel " + b, Status(b, 2, T + 50, T + 1860)}));
    EXPECT_EQ(engine->Operations()[1].attempts, 3);

    // a starts again once its camera is back and b has ended.
    Connect(1, T + 6000);
    Succeeded(2, b);
    EXPECT_EQ(Posted().back(), Status(a, 1, T - 10, T + 1800));
}

TEST_F(RimvaultEngine, ThreeDownloadsThenSuccess) {
    Start();
    const std::string a = GapClosed(1);
    const std::string b = GapClosed(2, 60);
    const fs::path temporary = dir.path() / "tmp";
    const fs::path output = dir.path() / "out";
    Reserved(a, temporary, output);
    poster.Clear();

    for (const char* name : {"1.mp4", "2.mp4", "3.mp4"}) {
        std::ofstream((temporary / name).string()) << name;
        Downloaded(1, a, temporary / name);
    }
    ASSERT_EQ(conversions.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(conversions[i].source_path, (temporary / (S(i + 1) + ".mp4")).string());
        EXPECT_EQ(conversions[i].output_root, output.string());
        EXPECT_EQ(conversions[i].source, kOwner);
        EXPECT_EQ(conversions[i].device, 1);
        EXPECT_EQ(conversions[i].start_time, static_cast<uint32_t>(T));
        EXPECT_EQ(conversions[i].end_time, static_cast<uint32_t>(T + 60));
        EXPECT_EQ(conversions[i].input_name, "input 1");
        EXPECT_EQ(conversions[i].record_flags, 0x80);
    }
    EXPECT_TRUE(Posted().empty());
    EXPECT_EQ(engine->Operations().size(), 2u);

    Succeeded(1, a);
    EXPECT_EQ(Posted(), (std::vector<std::string>{"cancel " + a, Status(b, 2, T + 50, T + 1860)}));

    Succeeded(2, b);
    EXPECT_EQ(Posted(), (std::vector<std::string>{"cancel " + b, "rimvault 3 " + S(T + 3600)}));
    EXPECT_TRUE(engine->Idle());
}

// A clip whose recording could not be written (the converter failed and kept the MP4) must be
// fetched again: the operation's success becomes a retry from that clip, and a failure retries
// from the earlier of the two. A clip the converter failed on and deleted is not fetched again.
TEST_F(RimvaultEngine, RecordingNotStoredIsFetchedAgain) {
    const struct {
        const char* name;
        bool keepFile;       // the converter kept the MP4 after failing
        bool failureAnswer;  // the device answers with a failure at 10:12:00 instead of success
    } cases[] = {
        {"kept, success answer", true, false},
        {"kept, failure answer", true, true},
        {"deleted, success answer", false, false},
    };
    Start();
    uint32_t number = 1;
    for (const auto& c : cases) {
        const std::string id = GapClosed(number);
        const fs::path temporary = dir.path() / ("tmp" + S(number));
        Reserved(id, temporary, dir.path() / "out");
        poster.Clear();
        const fs::path clip = temporary / "clip.mp4";
        std::ofstream(clip.string()) << "mp4";
        conversionResult = 1;
        conversionKeepsSource = c.keepFile;
        Downloaded(number, id, clip);  // a clip from 10:00:00
        conversionResult = 0;
        const std::string device = "2097152 " + S(number);
        if (!c.keepFile) {
            EXPECT_TRUE(Posted(true).empty()) << c.name;
            Succeeded(number, id);
            EXPECT_TRUE(engine->Operations().empty()) << c.name;
            ++number;
            continue;
        }
        EXPECT_EQ(
            Posted(true),
            (std::vector<std::string>{"log 75 Rimvault - recording from 2016-03-01T10:00:00Z of "
                                      "operation " +
                                      id + " for device " + device + " was not stored."}))
            << c.name;
        if (c.failureAnswer) {
            Failed(number, id, " FailedClipStartTime=\"" + S(T + 720) + "\"");
        } else {
            Succeeded(number, id);
        }
        const std::vector<std::string> posted = Posted(true);
        ASSERT_EQ(posted.size(), 4u) << c.name;
        EXPECT_EQ(posted[0], c.failureAnswer
                                 ? "log 75 Rimvault - retrieve operation " + id + " for device " +
                                       device + " completed with error -7"
                                 : "log 75 Rimvault - retrieve operation " + id + " for device " +
                                       device + " completed, but not every recording was stored.")
            << c.name;
        EXPECT_EQ(posted[1], "cancel " + id) << c.name;
        EXPECT_EQ(posted[3], Status(id, number, T, T + 1800)) << c.name;
        ASSERT_EQ(engine->Operations().size(), 1u) << c.name;
        EXPECT_EQ(engine->Operations()[0].attempts, 3) << c.name;
        EXPECT_TRUE(fs::exists(clip)) << c.name;

        // The retry stores everything: the operation ends as a success.
        Succeeded(number, id);
        EXPECT_TRUE(engine->Operations().empty()) << c.name;
        EXPECT_EQ(Posted(true).at(0), "log 25 Rimvault - retrieve operation " + id +
                                          " for device " + device + " completed successfully.")
            << c.name;
        ++number;
    }
}

TEST_F(RimvaultEngine, RecordingNotStoredBeyondTheRetryLimitEndsTheOperation) {
    Start();
    const std::string a = GapClosed(1);
    const fs::path temporary = dir.path() / "tmp";
    const fs::path clip = temporary / "clip.mp4";
    conversionResult = 1;  // a full disk: every conversion fails and keeps its MP4
    for (int round = 0; round < 2; ++round) {
        Reserved(a, temporary, dir.path() / "out");
        std::ofstream(clip.string()) << "mp4";
        Downloaded(1, a, clip);
        Succeeded(1, a);
    }
    EXPECT_TRUE(engine->Operations().empty());
    const std::vector<std::string> logs = poster.Logs();
    EXPECT_NE(std::find(logs.begin(), logs.end(),
                        "75 Rimvault - operation " + a +
                            " for device 2097152 1 exceeded the retry limit."),
              logs.end());
    EXPECT_TRUE(fs::exists(clip));  // the only copy of that video stays where it was fetched
}

TEST_F(RimvaultEngine, DownloadOutsideTheTemporaryDirectoryIsNotConverted) {
    Start();
    const std::string a = GapClosed(1);
    Reserved(a, dir.path() / "tmp", dir.path() / "out");
    std::ofstream(dir / "precious") << "keep";
    poster.Clear();
    Downloaded(1, a, dir.path() / "tmp" / ".." / "precious");
    EXPECT_TRUE(conversions.empty());
    ASSERT_EQ(poster.Logs().size(), 1u);
    EXPECT_EQ(poster.Logs()[0].compare(0, 9, "75 Error "), 0) << poster.Logs()[0];
}

// ---- persisted state ----------------------------------------------------------------------

TEST_F(RimvaultEngine, StartWithoutStateFile) {
    Start();
    EXPECT_EQ(Posted(true),
              (std::vector<std::string>{
                  "log 25 Rimvault - reading saved state and loading.",
                  "log 75 Rimvault - Error 'error opening or parsing rimvaultpi.xml' reading Rim "
                  "Vault persisted state.",
              }));
    EXPECT_TRUE(engine->Operations().empty());
    EXPECT_FALSE(fs::exists(store.Path()));
    // Capable and connected devices alone change nothing that is kept.
    Capable(1);
    Connect(1, T);
    EXPECT_FALSE(fs::exists(store.Path()));
}

TEST_F(RimvaultEngine, StartRestoresTheStateAndLeavesTheFileAsItIs) {
    std::vector<DisconnectRecord> records = {
        DisconnectRecord{ConnectionKey{kOwner, 5, 0, 0}, FromSeconds(T - 50)}};
    std::vector<SRetrieveOperation> operations(2);
    operations[0].device = DeviceKey{kOwner, 1};
    operations[0].id = ParseGuid("11111111-2222-4333-8444-555555555555");
    operations[0].gapStart = FromSeconds(T - 10);
    operations[0].gapEnd = FromSeconds(T + 1800);
    operations[0].attempts = 1;
    operations[1] = operations[0];
    operations[1].device = DeviceKey{kOwner, 2};
    operations[1].id = ParseGuid("21111111-2222-4333-8444-555555555555");
    store.WriteRimvaultState(records, operations);
    const std::string saved = ReadAll(store.Path());

    Start();
    EXPECT_EQ(Posted(true),
              std::vector<std::string>{"log 25 Rimvault - reading saved state and loading."});
    ASSERT_EQ(engine->Operations().size(), 2u);
    EXPECT_EQ(engine->Operations()[1].id, operations[1].id);
    ASSERT_EQ(engine->DisconnectRecords().size(), 1u);
    EXPECT_EQ(ReadAll(store.Path()), saved);

    // The restored gap closes on channel 0 and becomes the third operation; the first
    // operation of the list (device 1 not connected) is skipped, nothing starts.
    Capable(5);
    Connect(5, T + 100, 0);
    ASSERT_EQ(engine->Operations().size(), 3u);
    EXPECT_EQ(engine->Operations()[2].gapStart, FromSeconds(T - 50));
    EXPECT_EQ(Posted(), std::vector<std::string>{Status(OperationId(2), 5, T - 50, T + 100)});
}

TEST_F(RimvaultEngine, RestoredOperationStartsWhenItsDeviceConnects) {
    std::vector<DisconnectRecord> records;
    std::vector<SRetrieveOperation> operations(1);
    operations[0].device = DeviceKey{kOwner, 1};
    operations[0].id = ParseGuid("11111111-2222-4333-8444-555555555555");
    operations[0].gapStart = FromSeconds(T - 10);
    operations[0].gapEnd = FromSeconds(T + 1800);
    operations[0].attempts = 1;
    store.WriteRimvaultState(records, operations);

    Start();
    Capable(1);
    poster.Clear();
    Connect(1, T + 4000, 3);  // no gap of this channel is open
    EXPECT_EQ(Posted(), std::vector<std::string>{
                            Status("11111111-2222-4333-8444-555555555555", 1, T - 10, T + 1800)});
    EXPECT_EQ(engine->Operations()[0].attempts, 2);
    EXPECT_EQ(StoredOperations().at(0).attempts, 2);
}

TEST_F(RimvaultEngine, ShutdownTurnsConnectedDevicesIntoGaps) {
    Start();
    Capable(3);
    Capable(4);
    Capable(6);
    Connect(3, T);
    Connect(4, T);
    Connect(4, T, 2);  // connected twice: still one gap
    Disconnect(6, T);
    Capable(7);
    Disconnect(7, T, 0);
    Connect(7, T + 60, 5);  // connected, with a gap already open that starts earlier
    now = FromSeconds(T + 7200);
    poster.Clear();
    Stop();
    EXPECT_EQ(Posted(true).at(0), "log 25 Rimvault - saving state and unloading.");

    // Each gap keeps the channel that reported it: a connected device's gap from the shutdown
    // has the channel of its latest connect report.
    const std::vector<DisconnectRecord> stored = StoredRecords();
    ASSERT_EQ(stored.size(), 5u);
    EXPECT_EQ(stored[0].key, (ConnectionKey{kOwner, 3, 0, 1}));
    EXPECT_EQ(stored[0].disconnectedAt, FromSeconds(T + 7200));
    EXPECT_EQ(stored[1].key, (ConnectionKey{kOwner, 4, 0, 2}));
    EXPECT_EQ(stored[1].disconnectedAt, FromSeconds(T + 7200));
    EXPECT_EQ(stored[2].key, (ConnectionKey{kOwner, 6, 0, 1}));
    EXPECT_EQ(stored[2].disconnectedAt, FromSeconds(T - 10));
    EXPECT_EQ(stored[3].key, (ConnectionKey{kOwner, 7, 0, 0}));
    EXPECT_EQ(stored[3].disconnectedAt, FromSeconds(T - 10));
    EXPECT_EQ(stored[4].key, (ConnectionKey{kOwner, 7, 0, 5}));
    EXPECT_EQ(stored[4].disconnectedAt, FromSeconds(T + 7200));

    // After the restart, the reconnects on the same channels close the gap from the shutdown
    // and the gap that was open before it; another channel closes nothing.
    Start();
    Capable(3);
    Capable(6);
    Connect(3, T + 9000, 0);
    EXPECT_TRUE(engine->Operations().empty());
    Connect(3, T + 9000, 1);
    Connect(6, T + 9100, 1);
    ASSERT_EQ(engine->Operations().size(), 2u);
    EXPECT_EQ(engine->Operations()[0].gapStart, FromSeconds(T + 7200));
    EXPECT_EQ(engine->Operations()[0].gapEnd, FromSeconds(T + 9000));
    EXPECT_EQ(engine->Operations()[1].device, (DeviceKey{kOwner, 6}));
    EXPECT_EQ(engine->Operations()[1].gapStart, FromSeconds(T - 10));
}

TEST_F(RimvaultEngine, StateFileIsCurrentAfterEveryChange) {
    Start();
    Capable(1);
    Capable(2);
    Connect(2, T);
    Disconnect(1, T);
    // As if the process died now: the gap is on disk.
    ASSERT_EQ(StoredRecords().size(), 2u);
    EXPECT_EQ(StoredRecords()[0].key, (ConnectionKey{kOwner, 1, 0, 1}));
    EXPECT_EQ(StoredRecords()[0].disconnectedAt, FromSeconds(T - 10));
    EXPECT_EQ(StoredRecords()[1].key.number, 2u);  // connected: a gap from the write
    EXPECT_EQ(StoredRecords()[1].disconnectedAt, now);

    Connect(1, T + 1800);
    ASSERT_EQ(StoredOperations().size(), 1u);
    EXPECT_EQ(StoredOperations()[0].attempts, 1);
    EXPECT_EQ(StoredOperations()[0].gapStart, FromSeconds(T - 10));

    // The periodic checkpoint moves the connected devices' gaps to its time.
    engine->Checkpoint(FromSeconds(T + 5000));
    ASSERT_EQ(StoredRecords().size(), 2u);
    EXPECT_EQ(StoredRecords()[0].disconnectedAt, FromSeconds(T + 5000));
    EXPECT_EQ(StoredRecords()[1].disconnectedAt, FromSeconds(T + 5000));

    // A second engine started from the file (after a crash) has the pending operation.
    RecordingPoster otherPoster;
    CKivServerImpl otherServer(otherPoster.Poster());
    CXmlStore otherStore(store.Path(), [this] { return now; });
    {
        CRimvault restarted(otherServer, otherStore);
        ASSERT_EQ(restarted.Operations().size(), 1u);
        EXPECT_EQ(restarted.Operations()[0].id, engine->Operations()[0].id);
    }

    const std::string id = OperationId(0);
    Succeeded(1, id);
    EXPECT_TRUE(StoredOperations().empty());
}

TEST_F(RimvaultEngine, BurstsOfChangesAreWrittenTogether) {
    step = std::chrono::steady_clock::duration::zero();
    Start();
    Capable(1);
    Capable(2);
    Disconnect(1, T);  // the first change is written at once
    ASSERT_EQ(StoredRecords().size(), 1u);
    Disconnect(2, T);  // within the interval: noted only
    EXPECT_EQ(StoredRecords().size(), 1u);
    engine->Flush();
    EXPECT_EQ(StoredRecords().size(), 2u);

    Connect(1, T + 100);
    EXPECT_TRUE(StoredOperations().empty());
    steady += CRimvault::kMinimumWriteInterval;
    Connect(2, T + 100);  // after the interval: both reconnects are written
    EXPECT_EQ(StoredOperations().size(), 2u);
    ASSERT_EQ(StoredRecords().size(), 2u);  // connected devices, as gaps from the write
    EXPECT_EQ(StoredRecords()[0].disconnectedAt, now);

    Disconnect(1, T + 200);
    EXPECT_EQ(StoredRecords()[0].disconnectedAt, now);
    engine->Checkpoint(FromSeconds(T + 5000));  // also writes what was noted
    ASSERT_EQ(StoredRecords().size(), 2u);
    EXPECT_EQ(StoredRecords()[0].disconnectedAt, FromSeconds(T + 190));
    EXPECT_EQ(StoredRecords()[1].disconnectedAt, FromSeconds(T + 5000));

    // Nothing noted: flushing writes nothing.
    fs::remove(store.Path());
    engine->Flush();
    EXPECT_FALSE(fs::exists(store.Path()));
    Disconnect(2, T + 200);
    Stop();  // the destructor writes what was noted
    ASSERT_EQ(StoredRecords().size(), 2u);
    EXPECT_EQ(StoredRecords()[1].disconnectedAt, FromSeconds(T + 190));
}

TEST_F(RimvaultEngine, FailedWriteIsLogged) {
    Start();
    Capable(1);
    fs::create_directory(store.Path() + ".tmp");
    poster.Clear();
    Disconnect(1, T);
    ASSERT_EQ(poster.Logs().size(), 1u);
    EXPECT_EQ(poster.Logs()[0], "75 Rimvault - Error 'cannot create '" + store.Path() +
                                    ".tmp': Is a directory' writing Rim Vault persisted state.");
    // The write is tried again at the next checkpoint.
    fs::remove(store.Path() + ".tmp");
    engine->Checkpoint(now);
    EXPECT_EQ(StoredRecords().size(), 1u);
}

}  // namespace
}  // namespace rimvault
