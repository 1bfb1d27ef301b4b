#pragma once
// The plug-in's translator between the server's XML documents and the retrieval engine:
// inbound documents become calls on the engine (`ParseEvent`), and the engine's requests,
// status documents and log lines become documents handed to the poster.
//
// [plug-in worker thread] every operation; no lock of its own.

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rimvaultpi/kivserverimpl/PlainXml.h"
#include "rimvaultpi/rimvault/IEventSink.h"
#include "rimvaultpi/rimvault/IKivServer.h"
#include "rimvaultpi/rimvault/RimvaultTypes.h"
#include "rimvaultpi/synclayer/Message.h"
#include "rimvaultpi/synclayer/Poster.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace rimvault {

// Routing flags of the documents the translator posts.
constexpr unsigned long kRouteToPlugins = 0x100;  // device requests
constexpr unsigned long kRouteStorage = 0x004;    // reservations and status documents
constexpr unsigned long kRouteLog = 0x040;        // log lines

constexpr uint32_t kStoragePluginId = 327680;    // 0x00050000
constexpr uint32_t kRimvaultPluginId = 5308416;  // 0x00510000

constexpr int32_t kLogInfo = 25;
constexpr int32_t kLogError = 75;

// Quoted path text: the path in double quotes, with "&" before every double quote and "&".
std::string QuotedPath(const std::string& path);
// Reads one token that may be quoted as above; unquoted text ends at the first white space.
std::string ReadQuotedToken(const std::string& text);

class CKivServerImpl : public IKivServer {
  public:
    using Clock = std::function<TimePoint()>;
    // Runs one conversion of a downloaded file to its end; returns the converter's result
    // (0 success, 1 failure, 3 aborted input).
    using Converter = std::function<int(const kivsvr::rimvault::Message&)>;

    // Inbound documents up to this many bytes are read by readers reused from one document
    // to the next; larger ones by readers of their own.
    static constexpr int32_t kReusedDocumentSize = 16 * 1024;

    // `poster` sends every document; `clock` is the time of downloads reported without one.
    explicit CKivServerImpl(kivsvr::rimvault::Poster poster, Clock clock = {});
    ~CKivServerImpl() override;
    // Every document goes to `poster` as its compact text, written without building a document
    // tree; the documents of a conversion are printed compactly and go the same way.
    explicit CKivServerImpl(kivsvr::rimvault::TextPoster poster, Clock clock = {});

    // Parses `length` bytes of XML (not NUL-terminated) and reports what they say to the
    // registered sink. Malformed XML is dropped. Raises std::runtime_error("invalid uuid
    // string") for a malformed "GUID"; calls made for earlier parts of the document stand.
    void ParseEvent(const char* text, int32_t length);

    // Replaces the conversion of downloaded files, which by default runs the MP4 conversion
    // command on the calling thread.
    void SetConverter(Converter converter);

    void RegisterEventSink(IEventSink* sink) override;
    void ReserveDiskSpace(const Uuid& id, uint32_t gigabytes) override;
    void CancelDiskSpaceReservation(const Uuid& id) override;
    Uuid CreateOperation(uint32_t ownerId, uint32_t number) override;
    void SendStatusRequest(Uuid id, uint32_t ownerId, uint32_t number, TimePoint gapStart,
                           TimePoint gapEnd) override;
    void SendRetrievalRequest(const Uuid& id, uint32_t ownerId, uint32_t number, TimePoint gapStart,
                              TimePoint gapEnd, const boost::filesystem::path& temporaryDirectory,
                              const boost::filesystem::path& outputDirectory) override;
    bool DecontainerizeAndStore(const Uuid& id, uint32_t ownerId, uint32_t number,
                                const boost::filesystem::path& file, const std::string& inputName,
                                TimePoint start, TimePoint end, kiv::ERecordingType type) override;
    void SendRimvaultStarting(TimePoint now) override;
    void SendRimvaultDone(kiv::rimvault::RIMVAULT_STATUS status, TimePoint now) override;
    void LogInfo(const std::string& text) override;
    void LogError(const std::string& text) override;

    void PostLogMessage(int32_t level, const char* text);

  private:
    // Where one retrieval request of an operation downloads to and stores its conversions.
    struct RetrievalDirectories {
        boost::filesystem::path temporary;
        boost::filesystem::path output;
    };

    // The walk over a parsed document, for the library's elements and the plain reader's.
    template <typename Document>
    void ParseDocument(const Document& doc);
    // Returns false when the document must not be looked at any further.
    template <typename Element>
    bool ParseDevice(const Element& device, uint32_t ownerId);
    template <typename Element>
    void ParseStorageAnswer(const Element& storage);
    template <typename Element>
    void ParseDownload(const Element& device);
    template <typename Element>
    void ParseReservation(const Element& root);
    void BuildClientStatus(int32_t status, TimePoint time);

    // Set: documents are posted as text. Otherwise `poster` receives them as documents.
    kivsvr::rimvault::TextPoster textPoster;
    kivsvr::rimvault::Poster poster;
    IEventSink* sink = nullptr;
    Clock clock;
    Converter converter;
    // The directories of every retrieval request sent for an operation whose reservation
    // has not been cancelled.
    std::map<Uuid, std::vector<RetrievalDirectories>> retrievals;
    // Plain documents (nearly all) are read by the quick reader; the others are parsed by the
    // XML library. Both are reused for documents up to kReusedDocumentSize bytes, so that
    // their memory is not allocated and freed again for each.
    std::unique_ptr<PlainXmlDocument> plain;
    std::unique_ptr<tinyxml2::XMLDocument> inbound;
    bool inboundInUse = false;
};

}  // namespace rimvault
