#include "rimvaultpi/kivserverimpl/XmlStore.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "rimvaultpi/kivserverimpl/Guid.h"
#include "rimvaultpi/kivserverimpl/TestSupport.h"

namespace rimvault {
namespace {

namespace fs = boost::filesystem;
using testing::Operation;
using testing::Record;
using testing::TempDir;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class XmlStoreTest : public ::testing::Test {
  protected:
    std::string Write(std::vector<DisconnectRecord> records,
                      std::vector<SRetrieveOperation> operations = {}) {
        store.WriteRimvaultState(records, operations);
        return ReadAll(store.Path());
    }

    void Put(const std::string& text) { std::ofstream(store.Path()) << text; }

    TempDir dir;
    CXmlStore store{dir / rimvaultStateFilename};
    std::vector<DisconnectRecord> records;
    std::vector<SRetrieveOperation> operations;
};

TEST_F(XmlStoreTest, GroupsRecordsByOwnerInOrder) {
    std::vector<DisconnectRecord> unsorted = {Record(5, 2, 1000), Record(3, 9, 2000),
                                              Record(5, 1, 3000, 4)};
    std::vector<SRetrieveOperation> none;
    store.WriteRimvaultState(unsorted, none);
    EXPECT_EQ(ReadAll(store.Path()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<Kivrec>\n"
              "    <Devices ID=\"3\">\n"
              "        <Device Number=\"9\" DisconnectTime=\"2000\"/>\n"
              "    </Devices>\n"
              "    <Devices ID=\"5\">\n"
              "        <Device Number=\"1\" DisconnectTime=\"3000\" Channel=\"4\"/>\n"
              "        <Device Number=\"2\" DisconnectTime=\"1000\"/>\n"
              "    </Devices>\n"
              "</Kivrec>\n");
    // The caller's list is left sorted.
    EXPECT_EQ(unsorted[0].key.ownerId, 3u);
    EXPECT_EQ(unsorted[1].key.number, 1u);
    EXPECT_EQ(unsorted[2].key.number, 2u);
}

TEST_F(XmlStoreTest, EmptyState) {
    EXPECT_EQ(Write({}), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Kivrec/>\n");
}

TEST_F(XmlStoreTest, Operations) {
    EXPECT_EQ(
        Write({},
              {Operation(2097152, 3, "0F5A6C1E-2B3D-4E8F-9A0B-1C2D3E4F5A6B", 1000, 2000, 1),
               Operation(327680, 4000000000u, "11111111-2222-4333-8444-555555555555", -5, 7, -1)}),
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<Kivrec>\n"
        "    <Operations>\n"
        "        <Operation Devices=\"2097152\" Device=\"3\" "
        "GUID=\"0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b\" StartTime=\"1000\" EndTime=\"2000\" "
        "Attempts=\"1\"/>\n"
        "        <Operation Devices=\"327680\" Device=\"4000000000\" "
        "GUID=\"11111111-2222-4333-8444-555555555555\" StartTime=\"-5\" EndTime=\"7\" "
        "Attempts=\"-1\"/>\n"
        "    </Operations>\n"
        "</Kivrec>\n");
}

TEST_F(XmlStoreTest, RoundTrip) {
    std::vector<DisconnectRecord> written = {
        Record(2097152, 3, 1456826390, 2),
        DisconnectRecord{ConnectionKey{2097152, 4, 0, 0},
                         TimePoint(std::chrono::milliseconds(1456826391900))},
        Record(65536, 1, 1000, 0xFFFFFFFFu)};  // a report without a channel number
    std::vector<SRetrieveOperation> pending = {
        Operation(2097152, 3, "0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b", 100, 200, 2),
        Operation(65536, 1, "11111111-2222-4333-8444-555555555555", 300, 400, 0)};
    store.WriteRimvaultState(written, pending);
    store.ReadRimvaultState(records, operations);

    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].key, (ConnectionKey{65536, 1, 0, 0xFFFFFFFFu}));
    EXPECT_EQ(records[0].disconnectedAt, FromSeconds(1000));
    // The channel is kept, the encoder (always 0) is not; time points come back in whole
    // seconds.
    EXPECT_EQ(records[1].key, (ConnectionKey{2097152, 3, 0, 2}));
    EXPECT_EQ(records[2].key, (ConnectionKey{2097152, 4, 0, 0}));
    EXPECT_EQ(records[2].disconnectedAt, FromSeconds(1456826391));

    ASSERT_EQ(operations.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(operations[i].device, pending[i].device);
        EXPECT_EQ(operations[i].id, pending[i].id);
        EXPECT_EQ(operations[i].gapStart, pending[i].gapStart);
        EXPECT_EQ(operations[i].gapEnd, pending[i].gapEnd);
        EXPECT_EQ(operations[i].attempts, pending[i].attempts);
    }

    // Reading appends: a second read doubles the lists.
    store.ReadRimvaultState(records, operations);
    EXPECT_EQ(records.size(), 6u);
    EXPECT_EQ(operations.size(), 4u);
}

TEST_F(XmlStoreTest, FractionalSecondsAreTruncated) {
    EXPECT_NE(Write({DisconnectRecord{ConnectionKey{1, 2, 0, 0},
                                      TimePoint(std::chrono::milliseconds(1900))}})
                  .find("DisconnectTime=\"1\""),
              std::string::npos);
    store.ReadRimvaultState(records, operations);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].disconnectedAt, FromSeconds(1));
}

TEST_F(XmlStoreTest, RecordsTheReaderWouldRejectAreNotWritten) {
    // Any of these would make the reader reject the file from that record on.
    Write({Record(0, 1, 1000), Record(0x80000000u, 1, 1000), Record(7, 0, 1000),
           Record(7, 0x80000000u, 1000), Record(7, 1, 0), Record(7, 2, -11), Record(7, 3, 1000)});
    EXPECT_NO_THROW(store.ReadRimvaultState(records, operations));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].key, (ConnectionKey{7, 3, 0, 0}));
}

TEST_F(XmlStoreTest, ReaderErrors) {
    const std::string decl = "<?xml version=\"1.0\"?>";
    const struct {
        const char* name;
        std::string text;
        const char* error;
        size_t recordsRead;  // the good records, before and after the bad one
    } cases[] = {
        {"not XML", "<Kivrec><Devices>", "error opening or parsing rimvaultpi.xml", 0},
        {"empty file", "", "error opening or parsing rimvaultpi.xml", 0},
        {"Devices without ID",
         decl + "<Kivrec><Devices><Device Number=\"1\" DisconnectTime=\"5\"/></Devices></Kivrec>",
         "invalid or missing plug-in id", 0},
        {"ID 0", decl + "<Kivrec><Devices ID=\"0\"/></Kivrec>", "invalid or missing plug-in id", 0},
        {"ID not a number", decl + "<Kivrec><Devices ID=\"x\"/></Kivrec>",
         "invalid or missing plug-in id", 0},
        {"second Devices without ID",
         decl + "<Kivrec><Devices ID=\"3\"><Device Number=\"1\" "
                "DisconnectTime=\"5\"/></Devices><Devices ID=\"-4\"/></Kivrec>",
         "invalid or missing plug-in id", 1},
        {"Device without Number",
         decl + "<Kivrec><Devices ID=\"3\"><Device DisconnectTime=\"5\"/></Devices></Kivrec>",
         "invalid or missing device number", 0},
        {"Number 0",
         decl + "<Kivrec><Devices ID=\"3\"><Device Number=\"0\" "
                "DisconnectTime=\"5\"/></Devices></Kivrec>",
         "invalid or missing device number", 0},
        {"DisconnectTime 0 after a good record",
         decl + "<Kivrec><Devices ID=\"3\"><Device Number=\"1\" DisconnectTime=\"5\"/><Device "
                "Number=\"2\" DisconnectTime=\"0\"/></Devices></Kivrec>",
         "invalid or missing disconnect time", 1},
        {"DisconnectTime missing",
         decl + "<Kivrec><Devices ID=\"3\"><Device Number=\"1\"/></Devices></Kivrec>",
         "invalid or missing disconnect time", 0},
        {"element of another name after the first Device is a Device",
         decl + "<Kivrec><Devices ID=\"3\"><Device Number=\"1\" DisconnectTime=\"5\"/><Note "
                "text=\"x\"/></Devices></Kivrec>",
         "invalid or missing device number", 1},
        {"good records after a bad group and a bad record",
         decl + "<Kivrec><Devices><Device Number=\"1\" DisconnectTime=\"5\"/></Devices>"
                "<Devices ID=\"3\"><Device Number=\"0\" DisconnectTime=\"5\"/><Device "
                "Number=\"2\" DisconnectTime=\"6\"/></Devices><Devices ID=\"4\"><Device "
                "Number=\"1\" DisconnectTime=\"7\"/></Devices></Kivrec>",
         "invalid or missing plug-in id", 2},
    };
    for (const auto& c : cases) {
        records.clear();
        Put(c.text);
        try {
            store.ReadRimvaultState(records, operations);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), c.error) << c.name;
        }
        EXPECT_EQ(records.size(), c.recordsRead) << c.name;
    }
}

// A damaged gap record is reported, but the pending operations after it are still read: the
// next write of the state would otherwise drop them for good.
TEST_F(XmlStoreTest, BadRecordDoesNotCostTheOperations) {
    Put("<?xml version=\"1.0\"?><Kivrec><Devices ID=\"3\"><Device Number=\"1\" "
        "DisconnectTime=\"0\"/></Devices><Operations><Operation Devices=\"3\" Device=\"1\" "
        "GUID=\"0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b\" StartTime=\"10\" EndTime=\"20\" "
        "Attempts=\"1\"/></Operations></Kivrec>");
    EXPECT_THROW(store.ReadRimvaultState(records, operations), std::invalid_argument);
    EXPECT_TRUE(records.empty());
    ASSERT_EQ(operations.size(), 1u);
    EXPECT_EQ(operations[0].gapStart, FromSeconds(10));
}

TEST_F(XmlStoreTest, EveryTruncationIsRejectedWhole) {
    const std::string whole =
        Write({Record(3, 1, 1000), Record(5, 2, 2000)},
              {Operation(7, 3, "0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b", 1, 2, 1)});
    for (size_t length = 0; length < whole.size(); ++length) {
        Put(whole.substr(0, length));
        records.clear();
        operations.clear();
        // A cut file is rejected whole; only the declaration alone (no root) or the file
        // without its last line feed read without an error.
        try {
            store.ReadRimvaultState(records, operations);
            const bool nothing = records.empty() && operations.empty();
            const bool all = records.size() == 2 && operations.size() == 1;
            EXPECT_TRUE(nothing || all) << length;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "error opening or parsing rimvaultpi.xml") << length;
            EXPECT_TRUE(records.empty() && operations.empty()) << length;
        }
    }
}

TEST_F(XmlStoreTest, MissingFile) {
    try {
        store.ReadRimvaultState(records, operations);
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& error) {
        EXPECT_STREQ(error.what(), "error opening or parsing rimvaultpi.xml");
    }
}

TEST_F(XmlStoreTest, LenientParts) {
    Put("<?xml version=\"1.0\"?><Other><Devices ID=\"0\"/></Other>");
    EXPECT_NO_THROW(store.ReadRimvaultState(records, operations));
    EXPECT_TRUE(records.empty());

    // An element of another name after the first Device is read as a Device.
    Put("<Kivrec><Devices ID=\"3\"><Device Number=\"1\" DisconnectTime=\"5\"/>"
        "<Camera Number=\"2\" DisconnectTime=\"6\"/></Devices></Kivrec>");
    store.ReadRimvaultState(records, operations);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].key, (ConnectionKey{3, 2, 0, 0}));
    EXPECT_EQ(records[1].disconnectedAt, FromSeconds(6));
}

TEST_F(XmlStoreTest, OperationsWithMissingParts) {
    Put("<Kivrec><Operations>"
        "<Operation Devices=\"7\" Device=\"3\" StartTime=\"1\" EndTime=\"2\" Attempts=\"1\"/>"
        "<Operation GUID=\"{0F5A6C1E-2B3D-4E8F-9A0B-1C2D3E4F5A6B}\" Devices=\"7\" Device=\"3\" "
        "StartTime=\"10\" EndTime=\"20\"/>"
        "<Operation GUID=\"not a uuid\" Devices=\"7\" Device=\"4\"/>"
        "<Note GUID=\"11111111-2222-4333-8444-555555555555\"/>"
        "<Operation GUID=\"11111111-2222-4333-8444-555555555555\"/>"
        "</Operations></Kivrec>");
    store.ReadRimvaultState(records, operations);
    ASSERT_EQ(operations.size(), 2u);
    EXPECT_EQ(UuidText(operations[0].id), "0f5a6c1e-2b3d-4e8f-9a0b-1c2d3e4f5a6b");
    EXPECT_EQ(operations[0].device, (DeviceKey{7, 3}));
    EXPECT_EQ(operations[0].gapStart, FromSeconds(10));
    EXPECT_EQ(operations[0].gapEnd, FromSeconds(20));
    EXPECT_EQ(operations[0].attempts, -1);
    EXPECT_EQ(operations[1].device, (DeviceKey{0xFFFFFFFFu, 0xFFFFFFFFu}));
    EXPECT_EQ(operations[1].gapStart, FromSeconds(-1));
    EXPECT_EQ(operations[1].attempts, -1);
}

TEST_F(XmlStoreTest, FailedWriteLeavesThePreviousFile) {
    const std::string previous = Write({Record(7, 3, 1000)});
    // The temporary file cannot be created where a directory of its name stands.
    fs::create_directory(store.Path() + ".tmp");
    std::vector<DisconnectRecord> more = {Record(7, 4, 2000)};
    EXPECT_THROW(store.WriteRimvaultState(more, operations), std::runtime_error);
    EXPECT_EQ(ReadAll(store.Path()), previous);

    CXmlStore nowhere((dir.path() / "missing" / rimvaultStateFilename).string());
    EXPECT_THROW(nowhere.WriteRimvaultState(more, operations), std::runtime_error);
}

TEST_F(XmlStoreTest, WriteLeavesNoTemporaryFile) {
    Write({Record(7, 3, 1000)});
    Write({Record(7, 3, 1000), Record(7, 4, 1000)});
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{rimvaultStateFilename});
}

TEST(XmlStoreClock, NowComesFromTheClock) {
    CXmlStore fixed("unused.xml", [] { return FromSeconds(42); });
    EXPECT_EQ(fixed.Now(), FromSeconds(42));
    CXmlStore system("unused.xml");
    const TimePoint before = std::chrono::system_clock::now();
    const TimePoint now = system.Now();
    EXPECT_LE(before, now);
    EXPECT_LE(now, std::chrono::system_clock::now());
}

}  // namespace
}  // namespace rimvault
