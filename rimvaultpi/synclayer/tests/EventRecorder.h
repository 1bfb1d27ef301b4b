#pragma once
// Test stand-in for the core's event callback: records every event the plug-in
// posts, and a working directory of its own for the state file.

#include <tinyxml2.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/pluginabi/PluginInterface.h"

namespace kiv::testing {

struct RecordedEvent {
    uint32_t flags = 0;
    uint32_t source = 0;
    uint32_t type = 0;
    const void* data = nullptr;  // the pointer as posted
    std::string text;            // copy of the data (empty for releases)

    bool IsRelease() const { return flags == KIV_FLAG_RELEASE; }
    // For "log_msg" documents: "<level> <text>", else "".
    std::string Log() const {
        tinyxml2::XMLDocument doc;
        if (doc.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) return "";
        const tinyxml2::XMLElement* log = doc.FirstChildElement("log_msg");
        if (log == nullptr) return "";
        return std::string(log->Attribute("level")) + " " + (log->GetText() ? log->GetText() : "");
    }
};

// One process-wide recorder: the callback is a plain function.
class EventRecorder {
  public:
    static EventRecorder& Get() {
        static EventRecorder recorder;
        return recorder;
    }

    static int Callback(_EventParmsIn* in, _EventParmsOut* out) {
        EventRecorder& r = Get();
        std::lock_guard<std::mutex> lock(r.mutex_);
        RecordedEvent e;
        e.flags = in->dwFlags;
        e.source = in->dwSource;
        e.type = in->dwType;
        e.data = in->pData;
        if (in->pData != nullptr && in->dwFlags != KIV_FLAG_RELEASE) {
            e.text.assign(static_cast<const char*>(in->pData), in->cbData);
        }
        out->nResult = e.IsRelease() ? r.releaseResult_ : 0;
        r.events_.push_back(e);
        r.changed_.notify_all();
        return 0;
    }

    void Reset(int32_t releaseResult = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
        releaseResult_ = releaseResult;
    }

    std::vector<RecordedEvent> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    // Waits (at most 10 s) until `done` holds for the recorded events.
    bool WaitFor(const std::function<bool(const std::vector<RecordedEvent>&)>& done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return done(events_); });
    }

    // Number of release events for `buffer`.
    size_t Releases(const void* buffer) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const RecordedEvent& e : events_) n += e.IsRelease() && e.data == buffer;
        return n;
    }

    std::vector<std::string> Logs() {
        std::vector<std::string> logs;
        for (const RecordedEvent& e : Events()) {
            std::string log = e.Log();
            if (!log.empty()) logs.push_back(log);
        }
        return logs;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<RecordedEvent> events_;
    int32_t releaseResult_ = 0;
};

// Makes a fresh temporary directory the working directory for the test's life.
class ScopedWorkingDirectory {
  public:
    ScopedWorkingDirectory() {
        previous_ = std::filesystem::current_path();
        char pattern[] = "/tmp/rimvaultpi-test-XXXXXX";
        dir_ = mkdtemp(pattern);
        std::filesystem::current_path(dir_);
    }
    ~ScopedWorkingDirectory() {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::filesystem::path& path() const { return dir_; }

  private:
    std::filesystem::path previous_;
    std::filesystem::path dir_;
};

// A document text held in a buffer of its own, as the core would deliver it.
struct Buffer {
    explicit Buffer(std::string t) : text(std::move(t)) {}
    char* data() { return &text[0]; }
    uint32_t size() const { return static_cast<uint32_t>(text.size()); }
    std::string text;
};

// A reservation answer for an operation the engine does not know: parsing it
// logs "Rimvault - operation <guid> in disk space response was not found.",
// which shows that (and when) the document was parsed.
inline std::string UnknownReservation(const std::string& guid) {
    return "<Kivrec><Storage><Reservation GUID=\"" + guid +
           "\" TmpDir=\"/t\" OutDir=\"/o\"/></Storage></Kivrec>";
}

inline std::string NotFoundLog(const std::string& guid) {
    return "75 Rimvault - operation " + guid + " in disk space response was not found.";
}

}  // namespace kiv::testing
