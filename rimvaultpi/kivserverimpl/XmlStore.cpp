#include "rimvaultpi/kivserverimpl/XmlStore.h"

#include <fcntl.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "rimvaultpi/kivserverimpl/Guid.h"
#include "rimvaultpi/kivserverimpl/XmlWriter.h"

namespace rimvault {

const char* const rimvaultStateFilename = "rimvaultpi_state.xml";

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

bool PositiveInt32(int64_t value) { return value > 0 && value <= kInt32Max; }

// The reader rejects the whole rest of the file at a record it cannot take back, so such a
// record is not written.
bool Readable(const DisconnectRecord& record) {
    return PositiveInt32(record.key.ownerId) && PositiveInt32(record.key.number) &&
           PositiveInt32(WholeSeconds(record.disconnectedAt));
}

[[noreturn]] void WriteFailed(const std::string& what, const std::string& file, int error) {
    throw std::runtime_error(what + " '" + file + "': " + std::strerror(error));
}

// Replaces `path` with `text` so that a crash at any moment leaves either the old or the new
// complete file: write a temporary file beside it, flush it to disk, rename it over `path`.
void ReplaceFile(const std::string& path, const char* text, size_t size) {
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) WriteFailed("cannot create", temporary, errno);
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, text + written, size - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temporary.c_str());
            WriteFailed("cannot write", temporary, error);
        }
        written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        WriteFailed("cannot flush", temporary, error);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        WriteFailed("cannot close", temporary, error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        WriteFailed("cannot rename", temporary, error);
    }
    // Make the rename itself durable; the new file is complete whether or not this succeeds.
    std::string directory = boost::filesystem::path(path).parent_path().string();
    if (directory.empty()) directory = ".";
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
}

}  // namespace

CXmlStore::CXmlStore(std::string path, Clock clock)
    : path(std::move(path)), clock(std::move(clock)) {
    if (!this->clock) this->clock = [] { return std::chrono::system_clock::now(); };
}

TimePoint CXmlStore::Now() { return clock(); }

void CXmlStore::WriteRimvaultState(std::vector<DisconnectRecord>& disconnectRecords,
                                   std::vector<SRetrieveOperation>& operations) {
    std::stable_sort(disconnectRecords.begin(), disconnectRecords.end(),
                     [](const DisconnectRecord& a, const DisconnectRecord& b) {
                         return a.key.Device() < b.key.Device();
                     });

    // The text is what the XML library prints, indented, for a "Kivrec" root holding one
    // "Devices" group per run of records of one owner and an "Operations" list; it is written
    // directly, which costs a fraction of building and printing the document.
    std::string text;
    text.reserve(64 + disconnectRecords.size() * 64 + operations.size() * 160);
    text += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Kivrec";
    bool rootEmpty = true;
    auto beginRootChild = [&] {
        if (rootEmpty) text += '>';
        rootEmpty = false;
    };

    bool groupOpen = false;
    uint32_t groupOwner = 0;
    for (const DisconnectRecord& record : disconnectRecords) {
        if (!Readable(record)) continue;
        if (!groupOpen || groupOwner != record.key.ownerId) {
            if (groupOpen) text += "\n    </Devices>";
            beginRootChild();
            text += "\n    <Devices ID=\"";
            AppendDecimal(text, static_cast<int32_t>(record.key.ownerId));
            text += "\">";
            groupOpen = true;
            groupOwner = record.key.ownerId;
        }
        text += "\n        <Device Number=\"";
        AppendDecimal(text, static_cast<int32_t>(record.key.number));
        text += "\" DisconnectTime=\"";
        AppendDecimal(text, static_cast<int32_t>(WholeSeconds(record.disconnectedAt)));
        // The channel that reported the gap: after a restart only a report of the same channel
        // closes it. Channel 0 is what a file without the attribute means.
        if (record.key.channel != 0) {
            text += "\" Channel=\"";
            AppendDecimal(text, record.key.channel);
        }
        text += "\"/>";
    }
    if (groupOpen) text += "\n    </Devices>";

    if (!operations.empty()) {
        beginRootChild();
        text += "\n    <Operations>";
        for (const SRetrieveOperation& operation : operations) {
            text += "\n        <Operation Devices=\"";
            AppendDecimal(text, operation.device.ownerId);
            text += "\" Device=\"";
            AppendDecimal(text, operation.device.number);
            text += "\" GUID=\"";
            text += UuidText(operation.id);
            text += "\" StartTime=\"";
            AppendDecimal(text, static_cast<int32_t>(WholeSeconds(operation.gapStart)));
            text += "\" EndTime=\"";
            AppendDecimal(text, static_cast<int32_t>(WholeSeconds(operation.gapEnd)));
            text += "\" Attempts=\"";
            AppendDecimal(text, operation.attempts);
            text += "\"/>";
        }
        text += "\n    </Operations>";
    }
    text += rootEmpty ? "/>\n" : "\n</Kivrec>\n";
    ReplaceFile(path, text.data(), text.size());
}

void CXmlStore::ReadRimvaultState(std::vector<DisconnectRecord>& disconnectRecords,
                                  std::vector<SRetrieveOperation>& operations) {
    XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        throw std::invalid_argument("error opening or parsing rimvaultpi.xml");
    }
    const XMLElement* root = doc.FirstChildElement("Kivrec");
    if (root == nullptr) return;

    // A bad record is skipped and reported once everything else was read: one damaged line must
    // not cost the gaps and operations after it, which the next write would drop for good.
    const char* firstError = nullptr;
    auto skip = [&firstError](const char* error) {
        if (firstError == nullptr) firstError = error;
    };
    for (const XMLElement* devices = root->FirstChildElement("Devices"); devices != nullptr;
         devices = devices->NextSiblingElement("Devices")) {
        int ownerId = 0;
        if (devices->QueryIntAttribute("ID", &ownerId) != tinyxml2::XML_SUCCESS || ownerId <= 0) {
            skip("invalid or missing plug-in id");
            continue;
        }
        // The first "Device" and every element after it, whatever its name.
        for (const XMLElement* device = devices->FirstChildElement("Device"); device != nullptr;
             device = device->NextSiblingElement()) {
            int number = 0;
            if (device->QueryIntAttribute("Number", &number) != tinyxml2::XML_SUCCESS ||
                number <= 0) {
                skip("invalid or missing device number");
                continue;
            }
            int seconds = 0;
            if (device->QueryIntAttribute("DisconnectTime", &seconds) != tinyxml2::XML_SUCCESS ||
                seconds <= 0) {
                skip("invalid or missing disconnect time");
                continue;
            }
            const ConnectionKey key{static_cast<uint32_t>(ownerId), static_cast<uint32_t>(number),
                                    0, device->UnsignedAttribute("Channel", 0)};
            disconnectRecords.push_back(DisconnectRecord{key, FromSeconds(seconds)});
        }
    }

    const XMLElement* list = root->FirstChildElement("Operations");
    for (const XMLElement* element = list ? list->FirstChildElement("Operation") : nullptr;
         element != nullptr; element = element->NextSiblingElement("Operation")) {
        // An operation whose identifier is missing or unreadable cannot be matched to any
        // answer; it is skipped.
        const char* guid = element->Attribute("GUID");
        if (guid == nullptr) continue;
        SRetrieveOperation operation;
        try {
            operation.id = ParseGuid(guid);
        } catch (const std::runtime_error&) {
            continue;
        }
        operation.device.ownerId = element->UnsignedAttribute("Devices", 0xFFFFFFFFu);
        operation.device.number = element->UnsignedAttribute("Device", 0xFFFFFFFFu);
        operation.gapStart = FromSeconds(element->IntAttribute("StartTime", -1));
        operation.gapEnd = FromSeconds(element->IntAttribute("EndTime", -1));
        operation.attempts = element->IntAttribute("Attempts", -1);
        operations.push_back(operation);
    }
    if (firstError != nullptr) throw std::invalid_argument(firstError);
}

}  // namespace rimvault
