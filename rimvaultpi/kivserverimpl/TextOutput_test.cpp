// Documents written straight to text must be byte for byte what the XML library prints for the
// same document: the writer against the library's printer, the translator's text postings
// against its document postings, and the state file against the library's indented printing.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rimvaultpi/kivserverimpl/Guid.h"
#include "rimvaultpi/kivserverimpl/KivServerImpl.h"
#include "rimvaultpi/kivserverimpl/TestSupport.h"
#include "rimvaultpi/kivserverimpl/XmlStore.h"
#include "rimvaultpi/kivserverimpl/XmlWriter.h"

namespace rimvault {
namespace {

using testing::CompactText;
using testing::Operation;
using testing::PostedDocument;
using testing::Record;
using testing::RecordingPoster;
using testing::TempDir;

// Every byte but NUL, so that each character the printer escapes, and each it does not, occurs.
std::string AllBytes() {
    std::string text;
    for (int c = 1; c < 256; ++c) text += static_cast<char>(c);
    return text;
}

// Writes the same document through `build` as text and as a library document; returns both
// texts, the second printed by the library.
template <typename Build>
std::pair<std::string, std::string> BothWays(const Build& build) {
    XmlWriter text;
    build(text);
    text.Finish();
    tinyxml2::XMLDocument doc;
    XmlWriter tree(doc);
    build(tree);
    tree.Finish();
    return {text.Str(), CompactText(doc)};
}

TEST(XmlWriterText, MatchesTheLibraryPrinter) {
    const std::string all = AllBytes();
    const struct {
        const char* name;
        void (*build)(XmlWriter&, const std::string&);
    } cases[] = {
        {"declaration only", [](XmlWriter& out, const std::string&) { out.Declaration(); }},
        {"empty root",
         [](XmlWriter& out, const std::string&) {
             out.Declaration();
             out.Open("Kivrec");
         }},
        {"every byte in an attribute and in text",
         [](XmlWriter& out, const std::string& bytes) {
             out.Declaration();
             out.Open("log_msg");
             out.Attribute("level", 25);
             out.Attribute("raw", bytes.c_str());
             out.Text(bytes.c_str());
         }},
        {"empty text and empty attribute",
         [](XmlWriter& out, const std::string&) {
             out.Open("log_msg");
             out.Attribute("a", "");
             out.Text("");
         }},
        {"integer limits",
         [](XmlWriter& out, const std::string&) {
             out.Open("n");
             out.Attribute("min", static_cast<int32_t>(INT32_MIN));
             out.Attribute("max", static_cast<int32_t>(INT32_MAX));
             out.Attribute("zero", 0);
             out.Attribute("minus", -1);
             out.Attribute("umax", static_cast<uint32_t>(UINT32_MAX));
             out.Attribute("uzero", 0u);
         }},
        {"nesting, siblings and closing in the middle",
         [](XmlWriter& out, const std::string&) {
             out.Declaration();
             out.Open("Kivrec");
             out.Attribute("Delta", 1);
             out.Open("Devices");
             out.Open("Device");
             out.Attribute("Number", 3u);
             out.Close();
             out.Open("Device");
             out.Text("a&b");
             out.Close();
             out.Close();
             out.Open("Storage");
             out.Open("Reservation");
             out.Attribute("GUID", "x'y\"z");
         }},
    };
    for (const auto& c : cases) {
        const auto texts = BothWays([&](XmlWriter& out) { c.build(out, all); });
        EXPECT_EQ(texts.first, texts.second) << c.name;
    }
}

TEST(XmlWriterText, NullTextIsEmpty) {
    XmlWriter out;
    out.Open("log_msg");
    out.Text(nullptr);
    out.Finish();
    EXPECT_EQ(out.Str(), "<log_msg></log_msg>");
}

TEST(XmlWriterDecimal, MatchesPrintf) {
    const int32_t signedValues[] = {0, 1, -1, 9, 10, -10, 1700000000, INT32_MAX, INT32_MIN};
    for (int32_t v : signedValues) {
        std::string text;
        AppendDecimal(text, v);
        char expected[16];
        std::snprintf(expected, sizeof expected, "%d", v);
        EXPECT_EQ(text, expected);
    }
    const uint32_t unsignedValues[] = {0u, 7u, 4000000000u, UINT32_MAX};
    for (uint32_t v : unsignedValues) {
        std::string text;
        AppendDecimal(text, v);
        char expected[16];
        std::snprintf(expected, sizeof expected, "%u", v);
        EXPECT_EQ(text, expected);
    }
}

// ---- the translator's postings ------------------------------------------------------------

// Runs every outbound request on a translator that posts text and on one that posts documents.
TEST(KivServerTextPosting, SameTextsAndFlagsAsDocuments) {
    TempDir dir;
    std::vector<PostedDocument> texts;
    CKivServerImpl textServer(
        kivsvr::rimvault::TextPoster([&texts](const std::string& text, unsigned long flags) {
            texts.push_back(PostedDocument{text, flags});
        }));
    RecordingPoster documents;
    CKivServerImpl documentServer(documents.Poster());

    const Uuid id = ParseGuid("0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b");
    const std::string all = AllBytes();
    for (CKivServerImpl* server : {&textServer, &documentServer}) {
        server->ReserveDiskSpace(id, 7);
        server->CancelDiskSpaceReservation(id);
        server->SendStatusRequest(id, 4000000000u, 4000000000u,
                                  TimePoint(std::chrono::milliseconds(-1500)), FromSeconds(2000));
        server->SendRetrievalRequest(id, 7, 3, FromSeconds(1000), FromSeconds(2000),
                                     dir.path() / "say \"hi\" & <go> 'now'", dir.path() / "out");
        // Cannot be created below a file: a log line instead of a request.
        std::ofstream((dir / "file").c_str()) << "x";
        server->SendRetrievalRequest(id, 7, 3, FromSeconds(1000), FromSeconds(2000),
                                     dir.path() / "file" / "sub", dir.path() / "out");
        server->SendRimvaultStarting(FromSeconds(1456826390));
        server->SendRimvaultDone(kiv::rimvault::RIMVAULT_DONE, FromSeconds(-5));
        server->LogInfo("a < b & c > \"d\" 'e'");
        server->LogError(all);
        server->LogInfo("");
        server->PostLogMessage(INT32_MIN, "x");
    }
    ASSERT_EQ(texts.size(), 11u);
    ASSERT_EQ(documents.documents.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(texts[i].text, documents.documents[i].text) << i;
        EXPECT_EQ(texts[i].flags, documents.documents[i].flags) << i;
    }
}

// A conversion's log lines arrive as documents; a text-posting translator prints them compactly.
TEST(KivServerTextPosting, ConversionDocumentsArePrintedCompactly) {
    TempDir dir;
    std::vector<PostedDocument> texts;
    CKivServerImpl server(
        kivsvr::rimvault::TextPoster([&texts](const std::string& text, unsigned long flags) {
            texts.push_back(PostedDocument{text, flags});
        }));
    const Uuid id = ParseGuid("0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b");
    const boost::filesystem::path temporary = dir.path() / "tmp";
    server.SendRetrievalRequest(id, 7, 3, FromSeconds(1000), FromSeconds(2000), temporary,
                                dir.path() / "out");
    const std::string file = (temporary / "clip.mp4").string();
    std::ofstream(file) << "not really an mp4";
    texts.clear();
    server.DecontainerizeAndStore(id, 7, 3, file, "Door", FromSeconds(1200), FromSeconds(1260),
                                  kiv::ERecordingType(1));
    ASSERT_FALSE(texts.empty());
    for (const PostedDocument& posted : texts) {
        EXPECT_EQ(posted.text.compare(0, std::strlen(testing::kDeclaration), testing::kDeclaration),
                  0)
            << posted.text;
        EXPECT_NE(posted.text.find("<log_msg level="), std::string::npos) << posted.text;
        // Printed compactly: parsed and printed compactly again, it is the same text.
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(doc.Parse(posted.text.c_str()), tinyxml2::XML_SUCCESS) << posted.text;
        EXPECT_EQ(CompactText(doc), posted.text);
        EXPECT_EQ(posted.flags, kRouteLog);
    }
}

// ---- the state file -----------------------------------------------------------------------

// The state file as the library prints it: the document built element by element.
std::string LibraryStateText(std::vector<DisconnectRecord> records,
                             const std::vector<SRetrieveOperation>& operations) {
    std::stable_sort(records.begin(), records.end(),
                     [](const DisconnectRecord& a, const DisconnectRecord& b) {
                         return a.key.Device() < b.key.Device();
                     });
    tinyxml2::XMLDocument doc;
    doc.InsertEndChild(doc.NewDeclaration());
    tinyxml2::XMLElement* root = doc.NewElement("Kivrec");
    doc.InsertEndChild(root);
    tinyxml2::XMLElement* devices = nullptr;
    for (const DisconnectRecord& record : records) {
        const int64_t seconds = WholeSeconds(record.disconnectedAt);
        if (record.key.ownerId < 1 || record.key.ownerId > INT32_MAX || record.key.number < 1 ||
            record.key.number > INT32_MAX || seconds < 1 || seconds > INT32_MAX) {
            continue;
        }
        if (devices == nullptr ||
            devices->IntAttribute("ID") != static_cast<int32_t>(record.key.ownerId)) {
            devices = doc.NewElement("Devices");
            root->InsertEndChild(devices);
            devices->SetAttribute("ID", static_cast<int32_t>(record.key.ownerId));
        }
        tinyxml2::XMLElement* device = doc.NewElement("Device");
        devices->InsertEndChild(device);
        device->SetAttribute("Number", static_cast<int32_t>(record.key.number));
        device->SetAttribute("DisconnectTime", static_cast<int32_t>(seconds));
    }
    if (!operations.empty()) {
        tinyxml2::XMLElement* list = doc.NewElement("Operations");
        root->InsertEndChild(list);
        for (const SRetrieveOperation& operation : operations) {
            tinyxml2::XMLElement* element = doc.NewElement("Operation");
            list->InsertEndChild(element);
            element->SetAttribute("Devices", operation.device.ownerId);
            element->SetAttribute("Device", operation.device.number);
            element->SetAttribute("GUID", UuidText(operation.id).c_str());
            element->SetAttribute("StartTime",
                                  static_cast<int32_t>(WholeSeconds(operation.gapStart)));
            element->SetAttribute("EndTime", static_cast<int32_t>(WholeSeconds(operation.gapEnd)));
            element->SetAttribute("Attempts", operation.attempts);
        }
    }
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    return printer.CStr();
}

TEST(XmlStoreText, SameBytesAsTheLibraryPrints) {
    const std::vector<DisconnectRecord> records = {
        Record(2097152, 5, 1700000000),
        Record(7, 2, 1),
        Record(2097152, 1, 1700000100),
        Record(7, 0, 5),            // number the reader rejects
        Record(0x80000000u, 1, 5),  // owner the reader rejects
        Record(7, 9, 0),            // time the reader rejects
        Record(2147483647, 2147483647, 2147483647),
        Record(7, 1, 1700000000)};
    const std::vector<SRetrieveOperation> operations = {
        Operation(2097152, 1, "0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b", 1700000000, 1700003600, 1),
        Operation(UINT32_MAX, 0, "FFFFFFFF-FFFF-4FFF-BFFF-FFFFFFFFFFFF", -1, 4102444800, INT32_MIN),
        Operation(7, 2, "00000000-0000-0000-0000-000000000000", -3000000000, 0, INT32_MAX)};
    const std::vector<DisconnectRecord> noRecords;
    const std::vector<DisconnectRecord> onlyRejected = {Record(7, 0, 5)};
    const std::vector<SRetrieveOperation> noOperations;
    const struct {
        const char* name;
        const std::vector<DisconnectRecord>& records;
        const std::vector<SRetrieveOperation>& operations;
    } cases[] = {
        {"empty", noRecords, noOperations}, {"only rejected records", onlyRejected, noOperations},
        {"records", records, noOperations}, {"operations", noRecords, operations},
        {"both", records, operations},
    };
    TempDir dir;
    CXmlStore store(dir / rimvaultStateFilename);
    for (const auto& c : cases) {
        std::vector<DisconnectRecord> written = c.records;
        std::vector<SRetrieveOperation> writtenOperations = c.operations;
        store.WriteRimvaultState(written, writtenOperations);
        std::ifstream in(store.Path());
        std::ostringstream text;
        text << in.rdbuf();
        EXPECT_EQ(text.str(), LibraryStateText(c.records, c.operations)) << c.name;
    }
}

}  // namespace
}  // namespace rimvault
