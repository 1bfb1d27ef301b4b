#include "rimvaultpi/kivserverimpl/KivServerImpl.h"

#include <tinyxml2.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <boost/io/quoted.hpp>
#include <boost/system/error_code.hpp>
#include <boost/uuid/random_generator.hpp>
#include <cstdint>
#include <sstream>
#include <utility>

#include "rimvaultpi/kivserverimpl/Guid.h"
#include "rimvaultpi/kivserverimpl/XmlWriter.h"
#include "rimvaultpi/mp4parser/Mp4Parser.h"
#include "rimvaultpi/synclayer/VideoContainerConverterCommand.h"

namespace rimvault {

using tinyxml2::XMLDocument;
namespace fs = boost::filesystem;

namespace {

// Reads what sscanf's "%d" reads from text that is an optional minus sign and one to ten
// digits, followed by anything but a digit, whose value fits in 32 bits. Anything else, such
// as text starting "0x" (hexadecimal to the XML library) or a value out of range (read
// differently by the C library of each platform), is left to the library.
bool PlainDecimal(const char* text, int& value) {
    const bool negative = *text == '-';
    const char* p = negative ? text + 1 : text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) return false;
    int64_t magnitude = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (++digits > 10) return false;
        magnitude = magnitude * 10 + (*p - '0');
    }
    if (digits == 0) return false;
    const int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue < INT32_MIN || signedValue > INT32_MAX) return false;
    value = static_cast<int>(signedValue);
    return true;
}

// Attribute readers, for the library's elements and the plain reader's: true when the attribute
// is present and an integer as the XML library reads one. Plain decimal text, nearly every
// value, is read without the library's sscanf.
template <typename Element>
bool IntAttribute(const Element& element, const char* name, int& value) {
    const char* text = element.Attribute(name);
    if (text == nullptr) return false;
    return PlainDecimal(text, value) || tinyxml2::XMLUtil::ToInt(text, &value);
}

template <typename Element>
int IntAttributeOr(const Element& element, const char* name, int fallback) {
    int value = fallback;
    return IntAttribute(element, name, value) ? value : fallback;
}

// The signed 32-bit seconds by which times travel in documents.
int32_t DocumentSeconds(TimePoint t) { return static_cast<int32_t>(WholeSeconds(t)); }

// Gigabytes to reserve for recordings of `totalSizeMb` megabytes: twice the size, rounded to
// the nearest gigabyte, at least 1. Computed in 64 bits so that a huge or negative size
// cannot wrap around into a wrong reservation.
uint32_t ReservationGigabytes(int totalSizeMb) {
    const int64_t doubledPlusHalf = 2 * static_cast<int64_t>(totalSizeMb) + 512;
    if (doubledPlusHalf < 1025) return 1;
    return static_cast<uint32_t>(doubledPlusHalf >> 10);
}

// Builds one outbound document with `build(XmlWriter&)`, closes what it left open and posts
// it: as compact text when a text poster is set, otherwise as a document for `poster`.
template <typename Build>
void PostBuilt(const kivsvr::rimvault::TextPoster& textPoster,
               const kivsvr::rimvault::Poster& poster, unsigned long flags, const Build& build) {
    if (textPoster) {
        XmlWriter writer;
        build(writer);
        writer.Finish();
        textPoster(writer.Str(), flags);
    } else {
        XMLDocument doc;
        XmlWriter writer(doc);
        build(writer);
        writer.Finish();
        poster(doc, flags);
    }
}

// The shared shape of device requests; leaves "Storage" open for the caller to extend.
void setup_storage_element(XmlWriter& out, const char* command, const Uuid& id, uint32_t ownerId,
                           uint32_t number, TimePoint gapStart, TimePoint gapEnd) {
    out.Declaration();
    out.Open("Kivrec");
    out.Attribute("Delta", 1);
    out.Open("Devices");
    out.Attribute("ID", static_cast<int32_t>(ownerId));
    out.Open("Device");
    out.Attribute("Number", number);
    out.Open("Storage");
    out.Attribute("GUID", UuidText(id).c_str());
    out.Attribute("Command", command);
    out.Attribute("Start", DocumentSeconds(gapStart));
    out.Attribute("Stop", DocumentSeconds(gapEnd));
}

// A reservation request; leaves "Reservation" open for the caller to extend.
void NewReservation(XmlWriter& out, const Uuid& id, int32_t command) {
    out.Declaration();
    out.Open("Kivrec");
    out.Open("Storage");
    out.Attribute("ID", kStoragePluginId);
    out.Open("Reservation");
    out.Attribute("GUID", UuidText(id).c_str());
    out.Attribute("Command", command);
}

// True when `file` is a regular file whose real path lies below the real path of `directory`;
// `realFile` then receives that real path.
bool IsRegularFileInside(const fs::path& file, const fs::path& directory, fs::path& realFile) {
    boost::system::error_code error;
    const fs::path real = fs::canonical(file, error);
    if (error || !fs::is_regular_file(real, error)) return false;
    const fs::path base = fs::canonical(directory, error);
    if (error) return false;
    auto r = real.begin();
    for (auto b = base.begin(); b != base.end(); ++b, ++r) {
        if (r == real.end() || *r != *b) return false;
    }
    if (r == real.end()) return false;
    realFile = real;
    return true;
}

}  // namespace

std::string QuotedPath(const std::string& path) {
    std::ostringstream out;
    out << boost::io::quoted(path, '&', '"');
    return out.str();
}

std::string ReadQuotedToken(const std::string& text) {
    std::istringstream in(text);
    std::string token;
    in >> boost::io::quoted(token, '&', '"');
    return token;
}

CKivServerImpl::CKivServerImpl(kivsvr::rimvault::Poster poster, Clock clock)
    : poster(std::move(poster)),
      clock(std::move(clock)),
      plain(std::make_unique<PlainXmlDocument>()),
      inbound(std::make_unique<XMLDocument>(true, tinyxml2::PRESERVE_WHITESPACE)) {
    if (!this->clock) this->clock = [] { return std::chrono::system_clock::now(); };
    converter = [this](const kivsvr::rimvault::Message& message) {
        // The converter reports through its own log lines.
        kivsvr::rimvault::VideoContainerConverterCommand<Mp4Parser> command(message, this->poster);
        return command.execute();
    };
}

CKivServerImpl::CKivServerImpl(kivsvr::rimvault::TextPoster textPoster, Clock clock)
    : CKivServerImpl(
          [textPoster](const XMLDocument& doc, unsigned long flags) {
              tinyxml2::XMLPrinter printer(nullptr, true);
              doc.Print(&printer);
              textPoster(std::string(printer.CStr(), static_cast<size_t>(printer.CStrSize() - 1)),
                         flags);
          },
          std::move(clock)) {
    this->textPoster = std::move(textPoster);
}

CKivServerImpl::~CKivServerImpl() = default;

void CKivServerImpl::SetConverter(Converter replacement) { converter = std::move(replacement); }

void CKivServerImpl::RegisterEventSink(IEventSink* registered) { sink = registered; }

// ---- inbound ------------------------------------------------------------------------------

void CKivServerImpl::ParseEvent(const char* text, int32_t length) {
    if (sink == nullptr || text == nullptr || length < 0) return;
    // The reused readers serve one small document at a time. A large document gets readers of
    // its own, so that the reused ones never keep the memory of a large document; so does a
    // document parsed from within another (by a sink).
    std::unique_ptr<PlainXmlDocument> ownPlain;
    std::unique_ptr<XMLDocument> own;
    PlainXmlDocument* plainDoc = plain.get();
    XMLDocument* doc = inbound.get();
    if (inboundInUse || length > kReusedDocumentSize) {
        ownPlain = std::make_unique<PlainXmlDocument>();
        plainDoc = ownPlain.get();
        own = std::make_unique<XMLDocument>(true, tinyxml2::PRESERVE_WHITESPACE);
        doc = own.get();
    }
    struct InUse {
        bool& flag;
        const bool before;
        explicit InUse(bool& f) : flag(f), before(f) { flag = true; }
        ~InUse() { flag = before; }
    } inUse(inboundInUse);

    // Plain documents are read quickly; whatever the quick reader refuses, the library parses.
    if (plainDoc->Parse(text, static_cast<size_t>(length))) {
        ParseDocument(*plainDoc);
        return;
    }
    if (doc->Parse(text, static_cast<size_t>(length)) != tinyxml2::XML_SUCCESS) return;
    ParseDocument(*doc);
}

template <typename Document>
void CKivServerImpl::ParseDocument(const Document& doc) {
    const auto* root = doc.FirstChildElement("Kivrec");
    if (root == nullptr) return;

    if (const auto* devices = root->FirstChildElement("Devices")) {
        const uint32_t ownerId = static_cast<uint32_t>(IntAttributeOr(*devices, "ID", 0));
        // The first "Device" and every element after it, whatever its name.
        for (const auto* device = devices->FirstChildElement("Device"); device != nullptr;
             device = device->NextSiblingElement()) {
            if (!ParseDevice(*device, ownerId)) return;
        }
    }
    ParseReservation(*root);
}

template <typename Element>
bool CKivServerImpl::ParseDevice(const Element& device, uint32_t ownerId) {
    const uint32_t number = static_cast<uint32_t>(IntAttributeOr(device, "Number", 0));

    const char* ipAddress = device.Attribute("ipAddress");
    if (ipAddress != nullptr && *ipAddress == '\0') {
        sink->OnDeviceDeleted(ownerId, number);
        return false;
    }

    if (device.Attribute("RimvaultSupported", "1") != nullptr && ownerId != 0 && number != 0) {
        sink->OnCapableDevice(ownerId, number);
    }

    // Only encoder 0 reports the connection state.
    const Element* codec = device.FirstChildElement("Codec");
    const Element* encoder = codec ? codec->FirstChildElement("Encoder") : nullptr;
    int encoderNumber = -1;
    if (encoder != nullptr && IntAttribute(*encoder, "Number", encoderNumber) &&
        encoderNumber == 0) {
        const Element* channel = encoder->FirstChildElement("Channel");
        int connected = 0;
        if (channel != nullptr && IntAttribute(*channel, "Connected", connected)) {
            const ConnectionKey key{ownerId, number, 0,
                                    static_cast<uint32_t>(IntAttributeOr(*channel, "Number", -1))};
            sink->OnDeviceConnectStateChange(key, connected == 1 ? CONNECTED : DISCONNECTED, 0,
                                             FromSeconds(IntAttributeOr(*channel, "Time", -1)));
        }
    }

    // A file reported together with the end of its retrieval is converted before the
    // operation ends: afterwards no operation would take it.
    ParseDownload(device);
    if (const Element* storage = device.FirstChildElement("Storage")) {
        ParseStorageAnswer(*storage);
    }
    return true;
}

template <typename Element>
void CKivServerImpl::ParseStorageAnswer(const Element& storage) {
    // An answer without "GUID" cannot belong to any operation.
    const char* guid = storage.Attribute("GUID");
    if (guid == nullptr) return;
    const Uuid id = ParseGuid(guid);

    int status = 0;
    if (IntAttribute(storage, "RetrievalStatus", status)) {
        if (status == 3) {
            sink->OperationSucceeded(id);
        } else if (status == 4) {
            sink->OperationFailed(id, IntAttributeOr(storage, "ErrorCode", -1),
                                  FromSeconds(IntAttributeOr(storage, "FailedClipStartTime", -1)));
        }
    }

    // The retrieval that follows fetches every input of the device at once. So the answer
    // reserves once, for all inputs together, and there is nothing to retrieve only when no
    // input holds recordings: an empty input must not end the operation of the others.
    uint64_t gigabytes = 0;
    bool emptyInput = false;
    bool recordingsFound = false;
    for (const Element* input = storage.FirstChildElement("Input"); input != nullptr;
         input = input->NextSiblingElement("Input")) {
        for (const Element* context = input->FirstChildElement("Context"); context != nullptr;
             context = context->NextSiblingElement("Context")) {
            int contextNumber = -1;
            if (!IntAttribute(*context, "Number", contextNumber) || contextNumber != 0) continue;
            int recordings = 0;
            if (!IntAttribute(*context, "Recordings", recordings) || recordings < 1) {
                emptyInput = true;
                continue;
            }
            recordingsFound = true;
            int totalSize = 0;
            int oldestStart = 0;
            int newestEnd = 0;
            if (!IntAttribute(*context, "TotalSize", totalSize)) continue;
            if (!IntAttribute(*context, "OldestStart", oldestStart) ||
                !IntAttribute(*context, "NewestEnd", newestEnd)) {
                continue;
            }
            gigabytes += ReservationGigabytes(totalSize);
        }
    }
    if (gigabytes != 0) {
        sink->OnStorageStatus(id, static_cast<uint32_t>(std::min<uint64_t>(gigabytes, UINT32_MAX)));
    } else if (emptyInput && !recordingsFound) {
        sink->OperationSucceeded(id);  // nothing to retrieve
    }
}

template <typename Element>
void CKivServerImpl::ParseDownload(const Element& device) {
    const Element* input = device.FirstChildElement("Input");
    const Element* context = input ? input->FirstChildElement("Context") : nullptr;
    const Element* storage = context ? context->FirstChildElement("Storage") : nullptr;
    if (storage == nullptr) return;
    const char* guid = storage->Attribute("GUID");
    if (guid == nullptr) return;
    const Uuid id = ParseGuid(guid);

    int status = -1;
    const char* fileName = storage->Attribute("FileName");
    if (!IntAttribute(*storage, "RetrievalStatus", status) || status != 3 || fileName == nullptr) {
        return;
    }
    const fs::path file(ReadQuotedToken(fileName));

    const TimePoint now = clock();
    auto timeOrNow = [&](const char* name) {
        int seconds = -1;
        if (!IntAttribute(*storage, name, seconds) || seconds == -1) return now;
        return FromSeconds(seconds);
    };
    const TimePoint start = timeOrNow("Start");
    const TimePoint stop = timeOrNow("Stop");
    int inputNumber = 0;
    if (!IntAttribute(*storage, "InputNumber", inputNumber) || inputNumber < 1) inputNumber = 0;
    const char* inputName = storage->Attribute("InputName");
    const int type = IntAttributeOr(*storage, "Type", 1);

    sink->OnRecordingDownloaded(id, file, static_cast<kiv::ERecordingType>(type), start, stop,
                                static_cast<uint32_t>(inputNumber),
                                inputName ? inputName : "input 1");
}

template <typename Element>
void CKivServerImpl::ParseReservation(const Element& root) {
    const Element* storage = root.FirstChildElement("Storage");
    const Element* reservation = storage ? storage->FirstChildElement("Reservation") : nullptr;
    if (reservation == nullptr) return;
    const char* guid = reservation->Attribute("GUID");
    const char* temporary = reservation->Attribute("TmpDir");
    const char* output = reservation->Attribute("OutDir");
    if (guid == nullptr || temporary == nullptr || output == nullptr) return;
    sink->OnDiskSpaceReserved(ParseGuid(guid), fs::path(temporary), fs::path(output));
}

Uuid CKivServerImpl::CreateOperation(uint32_t /*ownerId*/, uint32_t /*number*/) {
    boost::uuids::random_generator generate;  // version 4, RFC 4122 variant
    return generate();
}

// ---- outbound -----------------------------------------------------------------------------

void CKivServerImpl::ReserveDiskSpace(const Uuid& id, uint32_t gigabytes) {
    PostBuilt(textPoster, poster, kRouteStorage, [&](XmlWriter& out) {
        NewReservation(out, id, 4);
        out.Attribute("ReserveGB", gigabytes);
    });
}

void CKivServerImpl::CancelDiskSpaceReservation(const Uuid& id) {
    // The operation's download directories are given back with its reservation.
    retrievals.erase(id);
    PostBuilt(textPoster, poster, kRouteStorage,
              [&](XmlWriter& out) { NewReservation(out, id, 3); });
}

void CKivServerImpl::SendStatusRequest(Uuid id, uint32_t ownerId, uint32_t number,
                                       TimePoint gapStart, TimePoint gapEnd) {
    PostBuilt(textPoster, poster, kRouteToPlugins, [&](XmlWriter& out) {
        setup_storage_element(out, "1", id, ownerId, number, gapStart, gapEnd);
    });
}

void CKivServerImpl::SendRetrievalRequest(const Uuid& id, uint32_t ownerId, uint32_t number,
                                          TimePoint gapStart, TimePoint gapEnd,
                                          const fs::path& temporaryDirectory,
                                          const fs::path& outputDirectory) {
    boost::system::error_code error;
    const fs::file_status status = fs::status(temporaryDirectory, error);
    if (error || !fs::exists(status)) {
        error.clear();
        fs::create_directories(temporaryDirectory, error);
        if (error) {
            LogError("Error '" + std::string(error.category().name()) + ":" +
                     std::to_string(error.value()) + "' trying to create directory '" +
                     QuotedPath(temporaryDirectory.string()) + "'");
            return;
        }
    }
    std::vector<RetrievalDirectories>& known = retrievals[id];
    bool seen = false;
    for (const RetrievalDirectories& directories : known) {
        seen = seen || (directories.temporary == temporaryDirectory &&
                        directories.output == outputDirectory);
    }
    if (!seen) known.push_back(RetrievalDirectories{temporaryDirectory, outputDirectory});

    const std::string quotedTemporary = QuotedPath(temporaryDirectory.string());
    PostBuilt(textPoster, poster, kRouteToPlugins, [&](XmlWriter& out) {
        setup_storage_element(out, "2", id, ownerId, number, gapStart, gapEnd);
        out.Attribute("TmpFileDir", quotedTemporary.c_str());
    });
}

bool CKivServerImpl::DecontainerizeAndStore(const Uuid& id, uint32_t ownerId, uint32_t number,
                                            const fs::path& file, const std::string& inputName,
                                            TimePoint start, TimePoint end,
                                            kiv::ERecordingType type) {
    // Only a file that a retrieval of this operation downloaded may be converted: the
    // conversion deletes its input, so a path from a document must never reach anything else.
    const RetrievalDirectories* directories = nullptr;
    fs::path realFile;
    const auto known = retrievals.find(id);
    if (known != retrievals.end()) {
        for (const RetrievalDirectories& candidate : known->second) {
            if (IsRegularFileInside(file, candidate.temporary, realFile)) {
                directories = &candidate;
                break;
            }
        }
    }
    if (directories == nullptr) {
        LogError("Error 'not a regular file inside the temporary directory of operation " +
                 UuidText(id) + "' converting '" + QuotedPath(file.string()) + "'");
        return true;  // not a file of this operation: nothing of it was to be stored
    }

    kivsvr::rimvault::Message message;
    message.source = ownerId;
    message.device = static_cast<int32_t>(number);
    message.start_time = static_cast<uint32_t>(WholeSeconds(start));
    message.end_time = static_cast<uint32_t>(WholeSeconds(end));
    message.source_path = realFile.string();
    message.input_name = inputName;
    message.output_root = directories->output.string();
    message.record_flags = type == 1 ? 0x80 : type == 3 ? 0x40 : 0;
    message.record_flags2 = 0;
    // A failed conversion deletes a clip it cannot read, but keeps one whose recording it could
    // not write (a full disk, say): that video is still to be stored.
    if (converter(message) == 0) return true;
    boost::system::error_code error;  // a file that cannot be looked at counts as kept
    return fs::symlink_status(realFile, error).type() == fs::file_not_found;
}

void CKivServerImpl::BuildClientStatus(int32_t status, TimePoint time) {
    PostBuilt(textPoster, poster, kRouteStorage, [&](XmlWriter& out) {
        out.Declaration();
        out.Open("Kivrec");
        out.Open("Rimvault");
        out.Attribute("ID", kRimvaultPluginId);
        out.Attribute("Status", status);
        out.Attribute("Time", DocumentSeconds(time));
    });
}

void CKivServerImpl::SendRimvaultStarting(TimePoint now) {
    BuildClientStatus(kiv::rimvault::RIMVAULT_STARTING, now);
}

void CKivServerImpl::SendRimvaultDone(kiv::rimvault::RIMVAULT_STATUS status, TimePoint now) {
    BuildClientStatus(status, now);
}

void CKivServerImpl::LogInfo(const std::string& text) { PostLogMessage(kLogInfo, text.c_str()); }

void CKivServerImpl::LogError(const std::string& text) { PostLogMessage(kLogError, text.c_str()); }

void CKivServerImpl::PostLogMessage(int32_t level, const char* text) {
    PostBuilt(textPoster, poster, kRouteLog, [&](XmlWriter& out) {
        out.Declaration();
        out.Open("log_msg");
        out.Attribute("level", level);
        out.Text(text);
    });
}

}  // namespace rimvault
