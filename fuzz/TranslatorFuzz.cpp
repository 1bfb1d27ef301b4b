// The translator's ParseEvent on a fuzzed document, as the sync layer calls it for every routed
// document: a sink records each call; the one error ParseEvent may raise is caught as the sync
// layer catches it. The translator's quick reader of plain documents is also checked against
// the XML library: a document it accepts must give the library's elements and attributes.
#include <tinyxml2.h>

#include <exception>
#include <string>
#include <vector>

#include "fuzz/FuzzScratch.h"
#include "fuzz/FuzzTargets.h"
#include "rimvaultpi/kivserverimpl/KivServerImpl.h"
#include "rimvaultpi/kivserverimpl/PlainXml.h"

namespace kivfuzz {
namespace {

// Records every report as one line, touching every argument.
class RecordingSink : public rimvault::IEventSink {
  public:
    std::vector<std::string> calls;

    void OnCapableDevice(uint32_t ownerId, uint32_t number) override {
        calls.push_back("capable " + std::to_string(ownerId) + " " + std::to_string(number));
    }
    void OnStorageStatus(const rimvault::Uuid& id, uint32_t gigabytes) override {
        if (gigabytes < 1) Fail("storage status below 1 GB");
        calls.push_back("status " + rimvault::UuidText(id) + " " + std::to_string(gigabytes));
    }
    void OnDeviceConnectStateChange(const rimvault::ConnectionKey& key,
                                    rimvault::EConnectedState state, uint32_t,
                                    rimvault::TimePoint when) override {
        if (state != rimvault::CONNECTED && state != rimvault::DISCONNECTED) {
            Fail("connection state out of range");
        }
        calls.push_back("connect " + std::to_string(key.ownerId) + " " +
                        std::to_string(key.channel) + " " + rimvault::FormatUtc(when));
    }
    void OnRecordingDownloaded(const rimvault::Uuid& id, const boost::filesystem::path& file,
                               kiv::ERecordingType type, rimvault::TimePoint start,
                               rimvault::TimePoint end, uint32_t inputNumber,
                               const std::string& inputName) override {
        calls.push_back("download " + rimvault::UuidText(id) + " " + file.string() + " " +
                        std::to_string(static_cast<int32_t>(type)) + " " +
                        rimvault::FormatUtc(start) + " " + rimvault::FormatUtc(end) + " " +
                        std::to_string(inputNumber) + " " + inputName);
    }
    void OperationSucceeded(const rimvault::Uuid& id) override {
        calls.push_back("succeeded " + rimvault::UuidText(id));
    }
    void OperationFailed(const rimvault::Uuid& id, int32_t errorCode,
                         rimvault::TimePoint failedClipStart) override {
        calls.push_back("failed " + rimvault::UuidText(id) + " " + std::to_string(errorCode) + " " +
                        rimvault::FormatUtc(failedClipStart));
    }
    void OnDiskSpaceReserved(rimvault::Uuid id, const boost::filesystem::path& temporaryDirectory,
                             const boost::filesystem::path& outputDirectory) override {
        calls.push_back("reserved " + rimvault::UuidText(id) + " " + temporaryDirectory.string() +
                        " " + outputDirectory.string());
    }
    void OnDeviceDeleted(uint32_t ownerId, uint32_t number) override {
        calls.push_back("deleted " + std::to_string(ownerId) + " " + std::to_string(number));
    }
};

// True when the two element trees have the same names and attributes, in the same order.
bool SameTree(const rimvault::PlainXmlDocument::Element* plain,
              const tinyxml2::XMLElement* library) {
    for (; plain != nullptr || library != nullptr;
         plain = plain->NextSiblingElement(), library = library->NextSiblingElement()) {
        if (plain == nullptr || library == nullptr) return false;
        if (std::string(plain->Name()) != library->Name()) return false;
        size_t i = 0;
        for (const tinyxml2::XMLAttribute* a = library->FirstAttribute(); a != nullptr;
             a = a->Next(), ++i) {
            if (i >= plain->AttributeCount() || std::string(plain->AttributeName(i)) != a->Name() ||
                std::string(plain->AttributeValue(i)) != a->Value()) {
                return false;
            }
        }
        if (i != plain->AttributeCount()) return false;
        if (!SameTree(plain->FirstChildElement(), library->FirstChildElement())) return false;
    }
    return true;
}

void CheckQuickReader(const char* text, size_t size) {
    rimvault::PlainXmlDocument plain;
    if (!plain.Parse(text, size)) return;  // refused: the library decides alone
    tinyxml2::XMLDocument library;
    if (library.Parse(text, size) != tinyxml2::XML_SUCCESS) {
        Fail("the quick reader accepted a document the XML library refuses");
    }
    if (!SameTree(plain.FirstChildElement(), library.FirstChildElement())) {
        Fail("the quick reader read other elements or attributes than the XML library");
    }
}

}  // namespace

int TranslatorParseEvent(const uint8_t* data, size_t size) {
    if (size > 0x7FFFFFFF) return 0;  // lengths travel as int32
    CheckQuickReader(reinterpret_cast<const char*>(data), size);
    // Documents the translator posts are printed, as the sync layer would before posting them.
    rimvault::CKivServerImpl translator([](const tinyxml2::XMLDocument& document, unsigned long) {
        tinyxml2::XMLPrinter printer;
        document.Print(&printer);
    });
    // Conversions never run here: the sink records downloads without acting on them.
    translator.SetConverter([](const kivsvr::rimvault::Message&) {
        Fail("the translator converted a file while parsing");
        return 1;
    });
    RecordingSink sink;
    translator.RegisterEventSink(&sink);
    try {
        translator.ParseEvent(reinterpret_cast<const char*>(data), static_cast<int32_t>(size));
    } catch (const std::exception&) {
        // A malformed "GUID": the sync layer logs it and releases the buffer.
    }
    return 0;
}

}  // namespace kivfuzz
