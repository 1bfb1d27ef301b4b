#pragma once
// Test helpers shared by the translator, store and engine tests.

#include <tinyxml2.h>

#include <boost/filesystem.hpp>
#include <cstdlib>
#include <string>
#include <vector>

#include "rimvaultpi/kivserverimpl/Guid.h"
#include "rimvaultpi/rimvault/RimvaultTypes.h"
#include "rimvaultpi/synclayer/Poster.h"

namespace rimvault::testing {

// A disconnect record and a retrieval operation as the state file holds them.
inline DisconnectRecord Record(uint32_t ownerId, uint32_t number, int64_t seconds,
                               uint32_t channel = 0) {
    return DisconnectRecord{ConnectionKey{ownerId, number, 0, channel}, FromSeconds(seconds)};
}

inline SRetrieveOperation Operation(uint32_t ownerId, uint32_t number, const char* guid,
                                    int64_t start, int64_t end, int32_t attempts) {
    SRetrieveOperation operation;
    operation.device = DeviceKey{ownerId, number};
    operation.id = ParseGuid(guid);
    operation.gapStart = FromSeconds(start);
    operation.gapEnd = FromSeconds(end);
    operation.attempts = attempts;
    return operation;
}

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        path_ = boost::filesystem::temp_directory_path() /
                boost::filesystem::unique_path("rimvault-test-%%%%-%%%%-%%%%");
        boost::filesystem::create_directories(path_);
        path_ = boost::filesystem::canonical(path_);
    }
    ~TempDir() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const boost::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    boost::filesystem::path path_;
};

// One document as the sync layer would post it: printed compactly, with its routing flags.
struct PostedDocument {
    std::string text;
    unsigned long flags;
};

inline std::string CompactText(const tinyxml2::XMLDocument& doc) {
    tinyxml2::XMLPrinter printer(nullptr, true);
    doc.Print(&printer);
    return printer.CStr();
}

// Collects every posted document in order.
struct RecordingPoster {
    std::vector<PostedDocument> documents;

    kivsvr::rimvault::Poster Poster() {
        return [this](const tinyxml2::XMLDocument& doc, unsigned long flags) {
            documents.push_back(PostedDocument{CompactText(doc), flags});
        };
    }

    // Texts of the log lines ("log_msg" documents), as "<level> <text>".
    std::vector<std::string> Logs() const {
        std::vector<std::string> logs;
        for (const PostedDocument& d : documents) {
            tinyxml2::XMLDocument doc;
            doc.Parse(d.text.c_str());
            const tinyxml2::XMLElement* log = doc.FirstChildElement("log_msg");
            if (log == nullptr) continue;
            logs.push_back(std::string(log->Attribute("level")) + " " +
                           (log->GetText() ? log->GetText() : ""));
        }
        return logs;
    }

    // Every document that is not a log line, in order.
    std::vector<PostedDocument> Requests() const {
        std::vector<PostedDocument> requests;
        for (const PostedDocument& d : documents) {
            if (d.text.find("<log_msg") == std::string::npos) requests.push_back(d);
        }
        return requests;
    }

    void Clear() { documents.clear(); }
};

inline constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

}  // namespace rimvault::testing
