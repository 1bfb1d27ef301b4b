// Inbound parsing details that are invisible in normal documents: integers read without the
// XML library's sscanf must read exactly as the library reads them, and the document reused
// from one parse to the next must never let one document show through in another.
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <functional>
#include <string>
#include <vector>

#include "rimvaultpi/kivserverimpl/KivServerImpl.h"
#include "rimvaultpi/kivserverimpl/TestSupport.h"

namespace rimvault {
namespace {

// Records capable devices and connection reports (with the reported time in seconds).
class Sink : public IEventSink {
  public:
    std::vector<std::string> calls;
    std::function<void()> onCapable;

    void OnCapableDevice(uint32_t ownerId, uint32_t number) override {
        calls.push_back("capable " + std::to_string(ownerId) + " " + std::to_string(number));
        if (onCapable) onCapable();
    }
    void OnDeviceConnectStateChange(const ConnectionKey& key, EConnectedState state, uint32_t,
                                    TimePoint when) override {
        calls.push_back("state " + std::to_string(key.number) + " " + std::to_string(key.channel) +
                        " " + std::to_string(state) + " " + std::to_string(WholeSeconds(when)));
    }
    void OnStorageStatus(const Uuid&, uint32_t) override {}
    void OnRecordingDownloaded(const Uuid&, const boost::filesystem::path&, kiv::ERecordingType,
                               TimePoint, TimePoint, uint32_t, const std::string&) override {}
    void OperationSucceeded(const Uuid&) override {}
    void OperationFailed(const Uuid&, int32_t, TimePoint) override {}
    void OnDiskSpaceReserved(Uuid, const boost::filesystem::path&,
                             const boost::filesystem::path&) override {}
    void OnDeviceDeleted(uint32_t, uint32_t) override {}
};

std::string Device(int number, const std::string& time, const std::string& extra = "") {
    return "<Device Number=\"" + std::to_string(number) +
           "\" RimvaultSupported=\"1\"><Codec><Encoder Number=\"0\"><Channel Number=\"0\" "
           "Connected=\"1\" Time=\"" +
           time + "\"" + extra + "/></Encoder></Codec></Device>";
}

std::string Document(const std::string& devices) {
    return "<?xml version=\"1.0\"?><Kivrec><Devices ID=\"2097152\">" + devices +
           "</Devices></Kivrec>";
}

class KivServerInbound : public ::testing::Test {
  protected:
    KivServerInbound() : server(poster.Poster()) { server.RegisterEventSink(&sink); }

    std::vector<std::string> Parse(const std::string& document) {
        sink.calls.clear();
        server.ParseEvent(document.data(), static_cast<int32_t>(document.size()));
        return sink.calls;
    }

    testing::RecordingPoster poster;
    CKivServerImpl server;
    Sink sink;
};

// Each value as the "Time" of a connection report: the time the sink receives must be what the
// XML library reads from the attribute (-1 when it reads no integer).
TEST_F(KivServerInbound, IntegersReadAsTheLibraryReadsThem) {
    const char* values[] = {
        "0",          "7",           "-7",         "1700000000",  "2147483647", "-2147483648",
        "2147483648", "-2147483649", "4294967296", "99999999999", "00012",      "0001700000000",
        "0x10",       "0X1f",        "-0x10",      "0x",          " 12",        "\t-12",
        "+12",        "12abc",       "1.9",        "1e3",         "",           "-",
        "abc",        "--1",         "1 2",        "&#49;&#50;"};
    for (const char* value : values) {
        const std::string document = Document(Device(1, value));
        tinyxml2::XMLDocument reference;
        ASSERT_EQ(reference.Parse(document.c_str()), tinyxml2::XML_SUCCESS) << value;
        int expected = -1;
        reference.FirstChildElement("Kivrec")
            ->FirstChildElement("Devices")
            ->FirstChildElement("Device")
            ->FirstChildElement("Codec")
            ->FirstChildElement("Encoder")
            ->FirstChildElement("Channel")
            ->QueryIntAttribute("Time", &expected);
        EXPECT_EQ(Parse(document),
                  (std::vector<std::string>{"capable 2097152 1",
                                            "state 1 0 1 " + std::to_string(expected)}))
            << "[" << value << "]";
    }
}

// The reused document is cleared by every parse: a document that fails to parse after one that
// parsed reports nothing, and the next good one only itself.
TEST_F(KivServerInbound, NothingOfAPreviousDocumentShowsThrough) {
    EXPECT_EQ(Parse(Document(Device(1, "100") + Device(2, "200"))).size(), 4u);
    EXPECT_TRUE(Parse(Document(Device(3, "300")).substr(0, 60)).empty());
    EXPECT_TRUE(Parse("").empty());
    EXPECT_EQ(Parse(Document(Device(4, "400"))),
              (std::vector<std::string>{"capable 2097152 4", "state 4 0 1 400"}));
}

// A document above the reused size is read by readers of its own, and the small documents
// before and after it are still read whole.
TEST_F(KivServerInbound, LargeDocumentsBetweenSmallOnes) {
    std::string many;
    int count = 0;
    while (many.size() <= static_cast<size_t>(CKivServerImpl::kReusedDocumentSize)) {
        ++count;
        many += Device(count, std::to_string(1000 + count));
    }
    EXPECT_EQ(Parse(Document(Device(1, "5"))).size(), 2u);
    const std::vector<std::string> calls = Parse(Document(many));
    ASSERT_EQ(calls.size(), 2u * static_cast<size_t>(count));
    EXPECT_EQ(calls.back(),
              "state " + std::to_string(count) + " 0 1 " + std::to_string(1000 + count));
    // Not plain (a comment): the library parses it, also in a document of its own.
    EXPECT_EQ(Parse(Document("<!-- large -->" + many)), calls);
    EXPECT_EQ(Parse(Document(Device(2, "6"))),
              (std::vector<std::string>{"capable 2097152 2", "state 2 0 1 6"}));
}

// A sink that has another document parsed while the first is being read (the first one's
// elements are still in use) gets both read whole.
TEST_F(KivServerInbound, DocumentParsedFromWithinAnother) {
    const std::string inner = Document(Device(9, "900"));
    bool nested = false;
    sink.onCapable = [&] {
        if (nested) return;
        nested = true;
        server.ParseEvent(inner.data(), static_cast<int32_t>(inner.size()));
    };
    EXPECT_EQ(
        Parse(Document(Device(1, "100") + Device(2, "200"))),
        (std::vector<std::string>{"capable 2097152 1", "capable 2097152 9", "state 9 0 1 900",
                                  "state 1 0 1 100", "capable 2097152 2", "state 2 0 1 200"}));
}

}  // namespace
}  // namespace rimvault
