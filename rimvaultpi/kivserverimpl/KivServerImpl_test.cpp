#include "rimvaultpi/kivserverimpl/KivServerImpl.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "rimvaultpi/kivserverimpl/Guid.h"
#include "rimvaultpi/kivserverimpl/TestSupport.h"

namespace rimvault {
namespace {

namespace fs = boost::filesystem;
using testing::kDeclaration;
using testing::PostedDocument;
using testing::RecordingPoster;
using testing::TempDir;

const char* const kGuid = "0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b";

std::string Seconds(TimePoint t) {
    return std::to_string(
               std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() /
               1000000000) +
           "s";
}

// Writes every call it receives as one line of text.
class RecordingSink : public IEventSink {
  public:
    std::vector<std::string> calls;

    void OnCapableDevice(uint32_t ownerId, uint32_t number) override {
        Add("capable " + std::to_string(ownerId) + " " + std::to_string(number));
    }
    void OnStorageStatus(const Uuid& id, uint32_t gigabytes) override {
        Add("storage " + UuidText(id) + " " + std::to_string(gigabytes));
    }
    void OnDeviceConnectStateChange(const ConnectionKey& key, EConnectedState state,
                                    uint32_t unused, TimePoint when) override {
        Add("state " + std::to_string(key.ownerId) + " " + std::to_string(key.number) + " " +
            std::to_string(key.encoder) + " " + std::to_string(key.channel) + " " +
            std::to_string(state) + " " + std::to_string(unused) + " " + Seconds(when));
    }
    void OnRecordingDownloaded(const Uuid& id, const fs::path& file, kiv::ERecordingType type,
                               TimePoint start, TimePoint end, uint32_t inputNumber,
                               const std::string& inputName) override {
        Add("download " + UuidText(id) + " [" + file.string() + "] " + std::to_string(type) + " " +
            Seconds(start) + " " + Seconds(end) + " " + std::to_string(inputNumber) + " [" +
            inputName + "]");
    }
    void OperationSucceeded(const Uuid& id) override { Add("succeeded " + UuidText(id)); }
    void OperationFailed(const Uuid& id, int32_t errorCode, TimePoint failedClipStart) override {
        Add("failed " + UuidText(id) + " " + std::to_string(errorCode) + " " +
            Seconds(failedClipStart));
    }
    void OnDiskSpaceReserved(Uuid id, const fs::path& temporaryDirectory,
                             const fs::path& outputDirectory) override {
        Add("reserved " + UuidText(id) + " [" + temporaryDirectory.string() + "] [" +
            outputDirectory.string() + "]");
    }
    void OnDeviceDeleted(uint32_t ownerId, uint32_t number) override {
        Add("deleted " + std::to_string(ownerId) + " " + std::to_string(number));
    }

  private:
    void Add(const std::string& call) { calls.push_back(call); }
};

constexpr int64_t kNow = 1500000000;

class KivServerParse : public ::testing::Test {
  protected:
    KivServerParse() : server(poster.Poster(), [] { return FromSeconds(kNow); }) {
        server.RegisterEventSink(&sink);
    }

    std::vector<std::string> Parse(const std::string& document) {
        sink.calls.clear();
        server.ParseEvent(document.data(), static_cast<int32_t>(document.size()));
        return sink.calls;
    }

    RecordingPoster poster;
    CKivServerImpl server;
    RecordingSink sink;
};

struct ParseCase {
    const char* name;
    const char* document;
    std::vector<std::string> calls;
};

const std::string G(kGuid);

TEST_F(KivServerParse, DocumentShapes) {
    const std::vector<ParseCase> cases = {
        {"capable device",
         R"(<Kivrec><Devices ID="7"><Device Number="3" RimvaultSupported="1"/></Devices></Kivrec>)",
         {"capable 7 3"}},
        {"RimvaultSupported true does not count",
         R"(<Kivrec><Devices ID="7"><Device Number="3" RimvaultSupported="true"/></Devices></Kivrec>)",
         {}},
        {"no ID: not capable, channel still read",
         R"(<Kivrec><Devices><Device Number="3" ipAddress="10.0.0.1" RimvaultSupported="1"><Codec><Encoder Number="0"><Channel Connected="1" Number="2" Time="100"/></Encoder></Codec></Device></Devices></Kivrec>)",
         {"state 0 3 0 2 1 0 100s"}},
        {"number 0 is not capable",
         R"(<Kivrec><Devices ID="7"><Device Number="0" RimvaultSupported="1"/></Devices></Kivrec>)",
         {}},
        {"ipAddress empty deletes and ends the document",
         R"(<Kivrec><Devices ID="7"><Device Number="1" ipAddress=""/><Device Number="2" RimvaultSupported="1"/></Devices><Storage><Reservation GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" TmpDir="/t" OutDir="/o"/></Storage></Kivrec>)",
         {"deleted 7 1"}},
        {"connected channel",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Codec><Encoder Number="0"><Channel Connected="1" Number="1" Time="1000"/></Encoder></Codec></Device></Devices></Kivrec>)",
         {"state 7 3 0 1 1 0 1000s"}},
        {"Connected 0 is disconnected",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Codec><Encoder Number="0"><Channel Connected="0" Number="1" Time="1000"/></Encoder></Codec></Device></Devices></Kivrec>)",
         {"state 7 3 0 1 2 0 1000s"}},
        {"Connected 5 is disconnected",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Codec><Encoder Number="0"><Channel Connected="5" Number="1" Time="1000"/></Encoder></Codec></Device></Devices></Kivrec>)",
         {"state 7 3 0 1 2 0 1000s"}},
        {"channel without Time or Number",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Codec><Encoder Number="0"><Channel Connected="1"/></Encoder></Codec></Device></Devices></Kivrec>)",
         {"state 7 3 0 4294967295 1 0 -1s"}},
        {"channel without Connected",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Codec><Encoder Number="0"><Channel Number="1" Time="1000"/></Encoder></Codec></Device></Devices></Kivrec>)",
         {}},
        {"Encoder Number 1",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Codec><Encoder Number="1"><Channel Connected="1" Number="1" Time="1000"/></Encoder></Codec></Device></Devices></Kivrec>)",
         {}},
        {"Encoder without Number",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Codec><Encoder><Channel Connected="1" Number="1" Time="1000"/></Encoder></Codec></Device></Devices></Kivrec>)",
         {}},
        {"element of another name after the first Device is a Device",
         R"(<Kivrec><Devices ID="7"><Other Number="9" RimvaultSupported="1"/><Device Number="3" RimvaultSupported="1"/><Camera Number="4" RimvaultSupported="1"/></Devices></Kivrec>)",
         {"capable 7 3", "capable 7 4"}},
        {"retrieval completed",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" RetrievalStatus="3"/></Device></Devices></Kivrec>)",
         {"succeeded " + G}},
        {"retrieval failed",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" RetrievalStatus="4" ErrorCode="-12" FailedClipStartTime="1200"/></Device></Devices></Kivrec>)",
         {"failed " + G + " -12 1200s"}},
        {"retrieval failed without code and clip time",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" RetrievalStatus="4"/></Device></Devices></Kivrec>)",
         {"failed " + G + " -1 -1s"}},
        {"other retrieval status",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" RetrievalStatus="2"/></Device></Devices></Kivrec>)",
         {}},
        {"storage answer without GUID is skipped",
         R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage RetrievalStatus="3"><Input><Context Number="0" Recordings="0"/></Input></Storage></Device></Devices></Kivrec>)",
         {}},
        {"reservation",
         R"(<Kivrec><Storage ID="327680"><Reservation GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" TmpDir="&quot;/tmp/a b&quot;" OutDir="/out"/></Storage></Kivrec>)",
         {"reserved " + G + " [\"/tmp/a b\"] [/out]"}},
        {"reservation without OutDir",
         R"(<Kivrec><Storage><Reservation GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" TmpDir="/t"/></Storage></Kivrec>)",
         {}},
        {"reservation without GUID",
         R"(<Kivrec><Storage><Reservation TmpDir="/t" OutDir="/o"/></Storage></Kivrec>)",
         {}},
        {"malformed XML",
         R"(<Kivrec><Devices ID="7"><Device Number="3" RimvaultSupported="1"></Kivrec>)",
         {}},
        {"other root",
         R"(<Other><Devices ID="7"><Device Number="3" RimvaultSupported="1"/></Devices></Other>)",
         {}},
        {"empty document", "", {}},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(Parse(c.document), c.calls) << c.name;
    }
}

TEST_F(KivServerParse, StorageContexts) {
    auto context = [](const std::string& attributes) {
        return R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage GUID=")" + G +
               R"("><Input><Context )" + attributes +
               R"(/></Input></Storage></Device></Devices></Kivrec>)";
    };
    const std::string times = R"( OldestStart="100" NewestEnd="200")";
    const struct {
        std::string attributes;
        std::vector<std::string> calls;
    } cases[] = {
        {R"(Number="0" Recordings="0")", {"succeeded " + G}},
        {R"(Number="0")", {"succeeded " + G}},
        {R"(Number="0" Recordings="x")", {"succeeded " + G}},
        {R"(Number="0" Recordings="3" TotalSize="256")" + times, {"storage " + G + " 1"}},
        {R"(Number="0" Recordings="3" TotalSize="257")" + times, {"storage " + G + " 1"}},
        {R"(Number="0" Recordings="3" TotalSize="1024")" + times, {"storage " + G + " 2"}},
        {R"(Number="0" Recordings="3" TotalSize="0")" + times, {"storage " + G + " 1"}},
        {R"(Number="0" Recordings="3" TotalSize="10240")" + times, {"storage " + G + " 20"}},
        // A negative size must not wrap around into a reservation of petabytes.
        {R"(Number="0" Recordings="3" TotalSize="-300")" + times, {"storage " + G + " 1"}},
        // Nor a huge one into a tiny reservation.
        {R"(Number="0" Recordings="3" TotalSize="2147483647")" + times,
         {"storage " + G + " 4194304"}},
        {R"(Number="0" Recordings="3" TotalSize="abc")" + times, {}},
        {R"(Number="0" Recordings="3")" + times, {}},
        {R"(Number="0" Recordings="3" TotalSize="256" OldestStart="100")", {}},
        {R"(Number="1" Recordings="0")", {}},
        {R"(Recordings="0")", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(context(c.attributes)), c.calls) << c.attributes;
    }
}

// The retrieval asked for after a status answer fetches every input of the device, so the
// answer of a device with several inputs reserves once for all of them, and only an answer
// without recordings on any input means there is nothing to retrieve.
TEST_F(KivServerParse, StatusAnswerOfSeveralInputs) {
    auto answer = [](const std::string& inputs) {
        return R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage GUID=")" + G + R"(">)" +
               inputs + R"(</Storage></Device></Devices></Kivrec>)";
    };
    auto input = [](const std::string& contexts) { return "<Input>" + contexts + "</Input>"; };
    const std::string empty = R"(<Context Number="0" Recordings="0"/>)";
    auto full = [](int totalSize) {
        return R"(<Context Number="0" Recordings="2" TotalSize=")" + std::to_string(totalSize) +
               R"(" OldestStart="1" NewestEnd="2"/>)";
    };
    std::string largest;  // 1 025 inputs of 4 194 304 GB each: more than 32 bits can count
    for (int i = 0; i < 1025; ++i) largest += input(full(2147483647));
    const struct {
        const char* name;
        std::string inputs;
        std::vector<std::string> calls;
    } cases[] = {
        {"one empty input beside one with recordings",
         input(empty) + input(full(1024)),
         {"storage " + G + " 2"}},
        {"recordings first, then an empty input",
         input(full(1024)) + input(empty),
         {"storage " + G + " 2"}},
        {"two inputs with recordings",
         input(full(1024)) + input(empty + full(10240)),
         {"storage " + G + " 22"}},
        {"every input empty", input(empty) + input(empty + empty), {"succeeded " + G}},
        {"recordings without a size",
         input(empty) + input(R"(<Context Number="0" Recordings="2"/>)"),
         {}},
        {"no context of number 0", input(R"(<Context Number="1" Recordings="0"/>)"), {}},
        // The sum saturates rather than wrapping into a small reservation.
        {"sizes beyond the counter", largest, {"storage " + G + " 4294967295"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(answer(c.inputs)), c.calls) << c.name;
    }
}

// A device may report its last file together with the end of the retrieval: the file is
// handed on before the operation ends, or no operation would take it.
TEST_F(KivServerParse, LastFileReportedWithTheCompletion) {
    const std::string document =
        R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage GUID=")" + G +
        R"(" RetrievalStatus="3"/><Input><Context><Storage GUID=")" + G +
        R"(" RetrievalStatus="3" FileName="/tmp/last.mp4" Start="100" Stop="160"/></Context></Input></Device></Devices></Kivrec>)";
    const std::vector<std::string> calls = Parse(document);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].compare(0, 9, "download "), 0) << calls[0];
    EXPECT_EQ(calls[1], "succeeded " + G);
}

TEST_F(KivServerParse, DownloadedRecordings) {
    auto download = [](const std::string& attributes) {
        return R"(<Kivrec><Devices ID="7"><Device Number="3"><Input><Context><Storage GUID=")" + G +
               "\" " + attributes + R"(/></Context></Input></Device></Devices></Kivrec>)";
    };
    const std::string now = std::to_string(kNow) + "s";
    const struct {
        std::string attributes;
        std::vector<std::string> calls;
    } cases[] = {
        {R"(RetrievalStatus="3" FileName="/tmp/a.mp4" Start="100" Stop="200" InputNumber="2" InputName="Door" Type="3")",
         {"download " + G + " [/tmp/a.mp4] 3 100s 200s 2 [Door]"}},
        {R"(RetrievalStatus="3" FileName="/tmp/a.mp4")",
         {"download " + G + " [/tmp/a.mp4] 1 " + now + " " + now + " 0 [input 1]"}},
        {R"(RetrievalStatus="3" FileName="/tmp/a.mp4" Start="-1" Stop="-1" InputNumber="0")",
         {"download " + G + " [/tmp/a.mp4] 1 " + now + " " + now + " 0 [input 1]"}},
        {R"(RetrievalStatus="3" FileName="&quot;/tmp/a &amp;&quot;b&amp;&amp;.mp4&quot;" Start="1" Stop="2")",
         {"download " + G + " [/tmp/a \"b&.mp4] 1 1s 2s 0 [input 1]"}},
        {R"(RetrievalStatus="3" FileName="/tmp/a b.mp4" Start="1" Stop="2")",
         {"download " + G + " [/tmp/a] 1 1s 2s 0 [input 1]"}},
        {R"(RetrievalStatus="4" FileName="/tmp/a.mp4")", {}},
        {R"(RetrievalStatus="-3" FileName="/tmp/a.mp4")", {}},
        {R"(FileName="/tmp/a.mp4")", {}},
        {R"(RetrievalStatus="3")", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Parse(download(c.attributes)), c.calls) << c.attributes;
    }
}

TEST_F(KivServerParse, DownloadWithoutGuidIsSkipped) {
    EXPECT_EQ(
        Parse(
            R"(<Kivrec><Devices ID="7"><Device Number="3"><Input><Context><Storage RetrievalStatus="3" FileName="/x"/></Context></Input></Device></Devices></Kivrec>)"),
        std::vector<std::string>{});
}

TEST_F(KivServerParse, GuidForms) {
    const char* forms[] = {
        "{0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b}",       "0f5a6c1e2b3d4e8f9a0b1c2d3e4f5a6b",
        "{0f5a6c1e2b3d4e8f9a0b1c2d3e4f5a6b}",           "0F5A6C1E-2B3D-4E8F-9A0B-1C2D3E4F5A6B",
        "0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6bTRAILING",
    };
    for (const char* form : forms) {
        EXPECT_EQ(UuidText(ParseGuid(form)), kGuid) << form;
        const std::string document =
            std::string(R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage GUID=")") + form +
            R"(" RetrievalStatus="3"/></Device></Devices></Kivrec>)";
        EXPECT_EQ(Parse(document), std::vector<std::string>{"succeeded " + G}) << form;
    }
}

TEST_F(KivServerParse, InvalidGuidsAreRejected) {
    const char* invalid[] = {
        "1234",
        "",
        "{0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b",   // no closing brace
        "{0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b)",  // wrong closing brace
        "0f5a6c1e-2b3d4e8f-9a0b-1c2d3e4f5a6b",     // a dash missing
        "0f5a6c1e2b3d-4e8f-9a0b-1c2d3e4f5a6b",     // dashes only after the first
        "zz5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b",    // not hexadecimal
        "0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6",     // ends early
        "0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6 ",    // space in a digit position
    };
    for (const char* text : invalid) {
        try {
            ParseGuid(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "invalid uuid string") << text;
        }
    }
}

TEST_F(KivServerParse, InvalidGuidStopsTheDocumentAfterEarlierCalls) {
    const std::string document =
        R"(<Kivrec><Devices ID="7"><Device Number="3" RimvaultSupported="1"/><Device Number="4" RimvaultSupported="1"><Storage GUID="1234" RetrievalStatus="3"/></Device><Device Number="5" RimvaultSupported="1"/></Devices><Storage><Reservation GUID=")" +
        G + R"(" TmpDir="/t" OutDir="/o"/></Storage></Kivrec>)";
    sink.calls.clear();
    try {
        server.ParseEvent(document.data(), static_cast<int32_t>(document.size()));
        ADD_FAILURE() << "no error raised";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "invalid uuid string");
    }
    EXPECT_EQ(sink.calls, (std::vector<std::string>{"capable 7 3", "capable 7 4"}));
}

TEST_F(KivServerParse, ReadsOnlyTheGivenLength) {
    // The buffer is not NUL-terminated: what follows the length must not be read.
    const std::string document =
        R"(<Kivrec><Devices ID="7"><Device Number="3" RimvaultSupported="1"/></Devices></Kivrec>)";
    std::vector<char> buffer(document.begin(), document.end());
    const std::string tail = R"(<Devices ID="9"><Device Number="9" RimvaultSupported="1"/>)";
    buffer.insert(buffer.end(), tail.begin(), tail.end());
    sink.calls.clear();
    server.ParseEvent(buffer.data(), static_cast<int32_t>(document.size()));
    EXPECT_EQ(sink.calls, std::vector<std::string>{"capable 7 3"});

    // Cut short, the same document is malformed and dropped.
    sink.calls.clear();
    server.ParseEvent(buffer.data(), static_cast<int32_t>(document.size() - 10));
    server.ParseEvent(buffer.data(), -1);
    server.ParseEvent(nullptr, 5);
    EXPECT_TRUE(sink.calls.empty());
}

TEST_F(KivServerParse, EveryTruncationIsDroppedWhole) {
    const std::string document =
        R"(<?xml version="1.0"?><Kivrec><Devices ID="7"><Device Number="3" RimvaultSupported="1"><Codec><Encoder Number="0"><Channel Connected="1" Number="1" Time="5"/></Encoder></Codec><Storage GUID=")" +
        G +
        R"(" RetrievalStatus="4"><Input><Context Number="0" Recordings="2" TotalSize="9" OldestStart="1" NewestEnd="2"/></Input></Storage><Input><Context><Storage GUID=")" +
        G +
        R"(" RetrievalStatus="3" FileName="&quot;/a&quot;"/></Context></Input></Device></Devices><Storage><Reservation GUID=")" +
        G + R"(" TmpDir="/t" OutDir="/o"/></Storage></Kivrec>)";
    EXPECT_EQ(Parse(document).size(), 6u);
    for (size_t length = 0; length < document.size(); ++length) {
        const std::vector<char> prefix(document.begin(), document.begin() + length);
        sink.calls.clear();
        server.ParseEvent(prefix.data(), static_cast<int32_t>(length));
        EXPECT_TRUE(sink.calls.empty()) << length;
    }
}

TEST(KivServerParseWithoutSink, DropsDocuments) {
    RecordingPoster poster;
    CKivServerImpl server(poster.Poster());
    const std::string document =
        R"(<Kivrec><Devices ID="7"><Device Number="3"><Storage GUID="1234"/></Device></Devices></Kivrec>)";
    EXPECT_NO_THROW(server.ParseEvent(document.data(), static_cast<int32_t>(document.size())));
    EXPECT_TRUE(poster.documents.empty());
}

TEST(KivServerQuotedPath, WritesAndReadsBack) {
    const struct {
        std::string path;
        std::string quoted;
    } cases[] = {
        {"/tmp/a", "\"/tmp/a\""},
        {"/tmp/a b", "\"/tmp/a b\""},
        {"/tmp/\"x\"", "\"/tmp/&\"x&\"\""},
        {"/tmp/a&b", "\"/tmp/a&&b\""},
        {"", "\"\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QuotedPath(c.path), c.quoted);
        EXPECT_EQ(ReadQuotedToken(c.quoted), c.path);
    }
    EXPECT_EQ(ReadQuotedToken("/tmp/a b"), "/tmp/a");
    EXPECT_EQ(ReadQuotedToken("\"/tmp/unterminated"), "/tmp/unterminated");
}

TEST(KivServerCreateOperation, RandomVersion4Identifiers) {
    RecordingPoster poster;
    CKivServerImpl server(poster.Poster());
    const Uuid a = server.CreateOperation(7, 3);
    const Uuid b = server.CreateOperation(7, 3);
    EXPECT_NE(a, b);
    for (const Uuid& id : {a, b}) {
        EXPECT_EQ(id.data[6] >> 4, 4) << UuidText(id);
        EXPECT_EQ(id.data[8] >> 6, 2) << UuidText(id);
        EXPECT_EQ(UuidText(ParseGuid(UuidText(id))), UuidText(id));
    }
}

// ---- outbound documents -------------------------------------------------------------------

class KivServerOutbound : public ::testing::Test {
  protected:
    KivServerOutbound() : server(poster.Poster()) {
        server.SetConverter([this](const kivsvr::rimvault::Message& message) {
            conversions.push_back(message);
            return 0;
        });
    }

    const PostedDocument& Only() {
        EXPECT_EQ(poster.documents.size(), 1u);
        static const PostedDocument none{"", 0};
        return poster.documents.empty() ? none : poster.documents.back();
    }

    RecordingPoster poster;
    CKivServerImpl server;
    std::vector<kivsvr::rimvault::Message> conversions;
    const Uuid id = ParseGuid(kGuid);
    TempDir dir;
};

TEST_F(KivServerOutbound, StatusRequest) {
    server.SendStatusRequest(id, 7, 3, FromSeconds(1000), FromSeconds(2000));
    EXPECT_EQ(
        Only().text,
        std::string(kDeclaration) +
            R"(<Kivrec Delta="1"><Devices ID="7"><Device Number="3"><Storage GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" Command="1" Start="1000" Stop="2000"/></Device></Devices></Kivrec>)");
    EXPECT_EQ(Only().flags, 256u);
}

TEST_F(KivServerOutbound, TimesAreTruncatedTowardZero) {
    server.SendStatusRequest(id, 2097152, 4000000000u, TimePoint(std::chrono::milliseconds(-1500)),
                             TimePoint(std::chrono::milliseconds(2999)));
    EXPECT_NE(
        Only().text.find(
            R"(<Devices ID="2097152"><Device Number="4000000000"><Storage GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" Command="1" Start="-1" Stop="2"/>)"),
        std::string::npos)
        << Only().text;
}

TEST_F(KivServerOutbound, RetrievalRequestQuotesTheTemporaryDirectory) {
    const fs::path temporary = dir.path() / "say \"hi\" & go";
    server.SendRetrievalRequest(id, 7, 3, FromSeconds(1000), FromSeconds(2000), temporary,
                                dir.path() / "out");
    const std::string quoted =
        "&quot;" + dir.path().string() + "/say &amp;&quot;hi&amp;&quot; &amp;&amp; go&quot;";
    EXPECT_EQ(
        Only().text,
        std::string(kDeclaration) +
            R"(<Kivrec Delta="1"><Devices ID="7"><Device Number="3"><Storage GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" Command="2" Start="1000" Stop="2000" TmpFileDir=")" +
            quoted + R"("/></Device></Devices></Kivrec>)");
    EXPECT_EQ(Only().flags, 256u);
    EXPECT_TRUE(fs::is_directory(temporary));  // created for the download
}

TEST_F(KivServerOutbound, RetrievalRequestWhoseDirectoryCannotBeMade) {
    std::ofstream(dir / "file") << "x";
    const fs::path temporary = dir.path() / "file" / "sub";
    server.SendRetrievalRequest(id, 7, 3, FromSeconds(1000), FromSeconds(2000), temporary,
                                dir.path() / "out");
    ASSERT_EQ(poster.documents.size(), 1u);
    EXPECT_EQ(poster.documents[0].text, std::string(kDeclaration) +
                                            "<log_msg level=\"75\">Error 'system:20' trying to "
                                            "create directory '\"" +
                                            temporary.string() + "\"'</log_msg>");
    EXPECT_EQ(poster.documents[0].flags, 64u);
}

TEST_F(KivServerOutbound, Reservations) {
    server.ReserveDiskSpace(id, 7);
    server.CancelDiskSpaceReservation(id);
    ASSERT_EQ(poster.documents.size(), 2u);
    EXPECT_EQ(
        poster.documents[0].text,
        std::string(kDeclaration) +
            R"(<Kivrec><Storage ID="327680"><Reservation GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" Command="4" ReserveGB="7"/></Storage></Kivrec>)");
    EXPECT_EQ(
        poster.documents[1].text,
        std::string(kDeclaration) +
            R"(<Kivrec><Storage ID="327680"><Reservation GUID="0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b" Command="3"/></Storage></Kivrec>)");
    EXPECT_EQ(poster.documents[0].flags, 4u);
    EXPECT_EQ(poster.documents[1].flags, 4u);
}

TEST_F(KivServerOutbound, StatusDocumentsAndLogLines) {
    server.SendRimvaultStarting(FromSeconds(1456826390));
    server.SendRimvaultDone(kiv::rimvault::RIMVAULT_DONE, FromSeconds(1456826400));
    server.LogError("x");
    server.LogInfo("a < b & c");
    ASSERT_EQ(poster.documents.size(), 4u);
    const std::string decl = kDeclaration;
    EXPECT_EQ(poster.documents[0].text,
              decl + R"(<Kivrec><Rimvault ID="5308416" Status="2" Time="1456826390"/></Kivrec>)");
    EXPECT_EQ(poster.documents[1].text,
              decl + R"(<Kivrec><Rimvault ID="5308416" Status="3" Time="1456826400"/></Kivrec>)");
    EXPECT_EQ(poster.documents[2].text, decl + R"(<log_msg level="75">x</log_msg>)");
    EXPECT_EQ(poster.documents[3].text, decl + R"(<log_msg level="25">a &lt; b &amp; c</log_msg>)");
    const unsigned long flags[] = {4, 4, 64, 64};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(poster.documents[i].flags, flags[i]) << i;
}

TEST_F(KivServerOutbound, UnsetPosterRaises) {
    CKivServerImpl unset{kivsvr::rimvault::Poster()};
    EXPECT_THROW(unset.ReserveDiskSpace(id, 1), std::bad_function_call);
}

// ---- conversion of downloaded files -------------------------------------------------------

class KivServerConversion : public KivServerOutbound {
  protected:
    void SetUp() override {
        fs::create_directories(temporary);
        server.SendRetrievalRequest(id, 7, 3, FromSeconds(1000), FromSeconds(2000), temporary,
                                    output);
        poster.Clear();
    }

    std::string MakeFile(const fs::path& path) {
        std::ofstream(path.string()) << "not really an mp4";
        return path.string();
    }

    void Convert(const fs::path& file, kiv::ERecordingType type = kiv::ERecordingType(1)) {
        server.DecontainerizeAndStore(id, 7, 3, file, "Door", FromSeconds(1200), FromSeconds(1260),
                                      type);
    }

    const fs::path temporary = dir.path() / "tmp";
    const fs::path output = dir.path() / "out";
};

TEST_F(KivServerConversion, BuildsTheConversionMessage) {
    const fs::path file = MakeFile(temporary / "clip.mp4");
    server.DecontainerizeAndStore(id, 2097152, 3, file, "Door",
                                  TimePoint(std::chrono::milliseconds(1200999)), FromSeconds(1260),
                                  kiv::ERecordingType(1));
    ASSERT_EQ(conversions.size(), 1u);
    const kivsvr::rimvault::Message& m = conversions[0];
    EXPECT_EQ(m.source, 2097152u);
    EXPECT_EQ(m.device, 3);
    EXPECT_EQ(m.start_time, 1200u);
    EXPECT_EQ(m.end_time, 1260u);
    EXPECT_EQ(m.source_path, file.string());
    EXPECT_EQ(m.input_name, "Door");
    EXPECT_EQ(m.output_root, output.string());
    EXPECT_EQ(m.record_flags, 0x80);
    EXPECT_EQ(m.record_flags2, 0);
    EXPECT_EQ(m.reserved, 0u);
    EXPECT_EQ(m.size, 0u);
    EXPECT_EQ(m.data, nullptr);
    EXPECT_EQ(m.stream, 0);
    EXPECT_EQ(m.channel_class, 0);
    EXPECT_TRUE(m.spare_text_1.empty());
    EXPECT_TRUE(m.spare_text_2.empty());
    EXPECT_TRUE(poster.documents.empty());
}

TEST_F(KivServerConversion, RecordingFlagsFollowTheType) {
    const struct {
        int type;
        uint8_t flags;
    } cases[] = {{1, 0x80}, {2, 0}, {3, 0x40}, {0, 0}, {-1, 0}};
    for (const auto& c : cases) {
        conversions.clear();
        Convert(MakeFile(temporary / "clip.mp4"), kiv::ERecordingType(c.type));
        ASSERT_EQ(conversions.size(), 1u) << c.type;
        EXPECT_EQ(conversions[0].record_flags, c.flags) << c.type;
    }
}

TEST_F(KivServerConversion, RelativeNamesAndSymlinksInsideAreResolved) {
    fs::create_directories(temporary / "sub");
    MakeFile(temporary / "sub" / "clip.mp4");
    fs::create_symlink(temporary / "sub" / "clip.mp4", temporary / "link.mp4");
    Convert(temporary / "sub" / ".." / "sub" / "clip.mp4");
    Convert(temporary / "link.mp4");
    ASSERT_EQ(conversions.size(), 2u);
    EXPECT_EQ(conversions[0].source_path, (temporary / "sub" / "clip.mp4").string());
    EXPECT_EQ(conversions[1].source_path, (temporary / "sub" / "clip.mp4").string());
}

TEST_F(KivServerConversion, FilesOutsideTheOperationsDirectoryAreNotTouched) {
    const fs::path outside = MakeFile(dir.path() / "precious.mp4");
    fs::create_symlink(outside, temporary / "link.mp4");
    fs::create_directories(temporary / "dir.mp4");
    fs::create_directories(dir.path() / "tmp2");
    MakeFile(dir.path() / "tmp2" / "clip.mp4");
    const fs::path rejected[] = {
        outside,
        temporary / ".." / "precious.mp4",
        temporary / "link.mp4",            // points outside
        temporary / "dir.mp4",             // not a regular file
        temporary / "missing.mp4",         // does not exist
        temporary,                         // the directory itself
        dir.path() / "tmp2" / "clip.mp4",  // a sibling whose name starts the same
        "/etc/passwd",
    };
    for (const fs::path& file : rejected) {
        poster.Clear();
        Convert(file);
        EXPECT_EQ(poster.Logs(),
                  std::vector<std::string>{
                      "75 Error 'not a regular file inside the temporary directory of operation " +
                      std::string(kGuid) + "' converting '" + QuotedPath(file.string()) + "'"})
            << file;
    }
    EXPECT_TRUE(conversions.empty());
    EXPECT_TRUE(fs::exists(outside));
}

TEST_F(KivServerConversion, OnlyTheOperationsOwnDirectoriesCount) {
    const Uuid other = ParseGuid("11111111-2222-4333-8444-555555555555");
    const fs::path otherTemporary = dir.path() / "other-tmp";
    server.SendRetrievalRequest(other, 7, 4, FromSeconds(1), FromSeconds(2), otherTemporary,
                                dir.path() / "other-out");
    const fs::path mine = MakeFile(temporary / "mine.mp4");
    const fs::path theirs = MakeFile(otherTemporary / "theirs.mp4");

    Convert(theirs);  // a file of the other operation
    EXPECT_TRUE(conversions.empty());

    // Each operation's files go under its own output directory, whichever request came last.
    Convert(mine);
    server.DecontainerizeAndStore(other, 7, 4, theirs, "x", FromSeconds(1), FromSeconds(2),
                                  kiv::ERecordingType(1));
    ASSERT_EQ(conversions.size(), 2u);
    EXPECT_EQ(conversions[0].output_root, output.string());
    EXPECT_EQ(conversions[1].output_root, (dir.path() / "other-out").string());

    // Once the reservation is given back, the operation's directories are forgotten.
    server.CancelDiskSpaceReservation(id);
    Convert(mine);
    EXPECT_EQ(conversions.size(), 2u);
}

TEST_F(KivServerConversion, EveryRetrievalRequestOfTheOperationCounts) {
    const fs::path second = dir.path() / "tmp-second";
    server.SendRetrievalRequest(id, 7, 3, FromSeconds(1000), FromSeconds(2000), second,
                                dir.path() / "out-second");
    Convert(MakeFile(temporary / "a.mp4"));
    Convert(MakeFile(second / "b.mp4"));
    ASSERT_EQ(conversions.size(), 2u);
    EXPECT_EQ(conversions[0].output_root, output.string());
    EXPECT_EQ(conversions[1].output_root, (dir.path() / "out-second").string());
}

TEST_F(KivServerConversion, FailedDirectoryCreationRegistersNothing) {
    const Uuid other = ParseGuid("11111111-2222-4333-8444-555555555555");
    MakeFile(dir.path() / "plain");
    server.SendRetrievalRequest(other, 7, 4, FromSeconds(1), FromSeconds(2),
                                dir.path() / "plain" / "x", dir.path());
    server.DecontainerizeAndStore(other, 7, 4, dir.path() / "plain", "x", FromSeconds(1),
                                  FromSeconds(2), kiv::ERecordingType(1));
    EXPECT_TRUE(conversions.empty());
}

}  // namespace
}  // namespace rimvault

namespace rimvault {
namespace {

// The default conversion: a real MP4, made by ffmpeg, downloaded into the operation's
// temporary directory, becomes a PS recording under the operation's output directory and is
// deleted.
TEST(KivServerRealConversion, ConvertsUnderTheOperationsOutputDirectory) {
    TempDir dir;
    RecordingPoster poster;
    CKivServerImpl server(poster.Poster());
    const Uuid id = ParseGuid(kGuid);
    const fs::path temporary = dir.path() / "tmp";
    const fs::path output = dir.path() / "out";
    server.SendRetrievalRequest(id, 2097152, 3, FromSeconds(1456826400), FromSeconds(1456826460),
                                temporary, output);
    const auto makeClip = [](const fs::path& mp4) {
        const std::string command =
            "ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 1 -c:v libx264 -bf 0 "
            "-pix_fmt yuv420p '" +
            mp4.string() + "'";
        return std::system(command.c_str()) == 0;
    };
    const fs::path mp4 = temporary / "clip.mp4";
    ASSERT_TRUE(makeClip(mp4));
    poster.Clear();

    EXPECT_TRUE(server.DecontainerizeAndStore(id, 2097152, 3, mp4, "Door", FromSeconds(1456826400),
                                              FromSeconds(1456826401), kiv::ERecordingType(1)));

    EXPECT_FALSE(fs::exists(mp4));
    std::vector<std::string> recordings;
    for (fs::recursive_directory_iterator entry(output), end; entry != end; ++entry) {
        if (fs::is_regular_file(entry->path())) {
            recordings.push_back(fs::relative(entry->path(), output).string());
        }
    }
    ASSERT_EQ(recordings.size(), 2u);  // the media file and its index
    for (const std::string& log : poster.Logs()) EXPECT_NE(log.compare(0, 3, "75 "), 0) << log;

    // An output directory that cannot be made: the clip is kept and reported as not stored.
    const fs::path blocked = dir.path() / "blocked";
    std::ofstream(blocked.string()) << "a file where the output directory should be";
    const fs::path retried = dir.path() / "tmp2";
    server.SendRetrievalRequest(id, 2097152, 3, FromSeconds(1456826400), FromSeconds(1456826460),
                                retried, blocked / "out");
    const fs::path kept = retried / "clip.mp4";
    ASSERT_TRUE(makeClip(kept));
    EXPECT_FALSE(server.DecontainerizeAndStore(id, 2097152, 3, kept, "Door",
                                               FromSeconds(1456826400), FromSeconds(1456826401),
                                               kiv::ERecordingType(1)));
    EXPECT_TRUE(fs::exists(kept));
}

}  // namespace
}  // namespace rimvault
