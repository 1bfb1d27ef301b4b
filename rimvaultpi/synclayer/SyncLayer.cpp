#include "rimvaultpi/synclayer/SyncLayer.h"

#include <tinyxml2.h>

#include <climits>
#include <exception>
#include <string>
#include <utility>

#include "core/pluginabi/KivVersion.h"
#include "rimvaultpi/kivserverimpl/KivServerImpl.h"
#include "rimvaultpi/kivserverimpl/XmlStore.h"
#include "rimvaultpi/kivserverimpl/XmlWriter.h"
#include "rimvaultpi/rimvault/Rimvault.h"

namespace kivsvr::rimvault {
namespace {

constexpr int kLevelInfo = 25;
constexpr int kLevelError = 75;

// Calls the core's callback with an event from this plug-in; returns the
// callback's return value and its nResult.
std::pair<int, int32_t> Post(PFN_PLUGIN_EVENT callback, uint32_t size, void* data, uint32_t flags,
                             uint32_t type) {
    _EventParmsIn in{};
    in.cbSize = sizeof(in);
    in.dwVersion = KIV_PARMS_VERSION;
    in.cbData = size;
    in.pData = data;
    in.dwSource = KIV_ID_RIMVAULTPI;
    in.dwFlags = flags;
    in.dwType = type;
    _EventParmsOut out{};
    out.cbSize = sizeof(out);
    out.dwVersion = KIV_PARMS_VERSION;
    if (callback == nullptr) return {0, 0};
    int returned = callback(&in, &out);
    return {returned, out.nResult};
}

// The standard declaration and the root "Kivrec" Delta="0", left open.
void NewStatusDocument(::rimvault::XmlWriter& out) {
    out.Declaration();
    out.Open("Kivrec");
    out.Attribute("Delta", 0);
}

}  // namespace

std::atomic<PFN_PLUGIN_EVENT> SyncLayer::pfn_event_call_back_{nullptr};

SyncLayer::SyncLayer(PFN_PLUGIN_EVENT callback, Clock clockSource)
    : clock(clockSource ? std::move(clockSource)
                        : [] { return std::chrono::system_clock::now(); }) {
    pfn_event_call_back_ = callback;
    store = std::make_unique<::rimvault::CXmlStore>();
    // Each downloaded file is converted at once, on the worker, by the
    // translator; an error that escapes a conversion ends the document being
    // parsed (see parse()). Its documents are written straight to compact text
    // and posted as such.
    translator = std::make_unique<::rimvault::CKivServerImpl>(
        TextPoster([](const std::string& text, unsigned long flags) { PostText(text, flags); }));
    engine_ = std::make_unique<::rimvault::CRimvault>(*translator, *store);
    translator->RegisterEventSink(engine_.get());
    lastCheckpoint = clock();
}

SyncLayer::~SyncLayer() {
    engine_.reset();
    translator.reset();
    store.reset();
    std::lock_guard<std::mutex> lock(mutex);
    release_resources();
}

bool SyncLayer::queue(const Message& message) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cancelled) return false;
        pending.push_back(message);
    }
    wakeup.notify_one();
    return true;
}

int SyncLayer::execute() {
    std::deque<Message> batch;
    {
        std::unique_lock<std::mutex> lock(mutex);
        wakeup.wait_for(lock, kPassWait, [this] { return !pending.empty() || cancelled; });
        batch.swap(pending);
    }
    while (!batch.empty() && !cancelled) {
        parse(batch.front());
        decrement_reference(batch.front().data);
        batch.pop_front();
    }
    // Cancelled: what was taken out of the queue is given back unparsed.
    for (const Message& message : batch) decrement_reference(message.data);
    if (!cancelled) save_state();
    return 0;
}

int SyncLayer::cancel() {
    std::lock_guard<std::mutex> lock(mutex);
    release_resources();
    cancelled = true;
    wakeup.notify_all();
    return 0;
}

void SyncLayer::release_resources() {
    for (const Message& message : pending) decrement_reference(message.data);
    pending.clear();
}

void SyncLayer::parse(const Message& message) {
    try {
        if (message.size > static_cast<uint32_t>(INT32_MAX)) {
            throw std::length_error("document too large");
        }
        translator->ParseEvent(message.data, static_cast<int32_t>(message.size));
    } catch (const std::exception& e) {
        post_log_message(kLevelError, (std::string("Error '") + e.what() +
                                       "' parsing a document; the document was dropped.")
                                          .c_str());
    } catch (...) {
        post_log_message(kLevelError,
                         "Unknown error parsing a document; the document was dropped.");
    }
}

void SyncLayer::save_state() {
    std::chrono::system_clock::time_point now = clock();
    try {
        // Changes the engine only noted while it spaced its writes go to disk after each
        // batch, so a crash loses nothing that was parsed.
        engine_->Flush();
        // A clock set back restarts the period instead of stopping checkpoints.
        if (now >= lastCheckpoint && now - lastCheckpoint < kCheckpointPeriod) return;
        lastCheckpoint = now;
        engine_->Checkpoint(now);
    } catch (const std::exception& e) {
        post_log_message(kLevelError,
                         (std::string("Error '") + e.what() + "' saving the state.").c_str());
    }
}

void SyncLayer::PostDocument(const tinyxml2::XMLDocument& document, unsigned long routingFlags) {
    tinyxml2::XMLPrinter printer(nullptr, true);
    document.Print(&printer);
    // The length includes the terminating NUL.
    Post(pfn_event_call_back_, static_cast<uint32_t>(printer.CStrSize()),
         const_cast<char*>(printer.CStr()), static_cast<uint32_t>(routingFlags), KIV_TYPE_XML);
}

void SyncLayer::PostText(const std::string& text, unsigned long routingFlags) {
    // The length includes the terminating NUL.
    Post(pfn_event_call_back_, static_cast<uint32_t>(text.size() + 1),
         const_cast<char*>(text.c_str()), static_cast<uint32_t>(routingFlags), KIV_TYPE_XML);
}

void SyncLayer::BroadcastVersion() {
    ::rimvault::XmlWriter out;
    NewStatusDocument(out);
    out.Open("Modules");
    out.Open("Module");
    out.Attribute("Name", "rimvaultpi");
    out.Attribute("ID", KIV_ID_RIMVAULTPI);
    out.Attribute("Version", kiv::GetVersion());
    out.Finish();
    PostText(out.Str(), KIV_FLAG_BROADCAST);
}

void SyncLayer::BroadcastConfig() {
    ::rimvault::XmlWriter out;
    NewStatusDocument(out);
    out.Open("Rimvault");
    out.Attribute("ID", KIV_ID_RIMVAULTPI);
    out.Finish();
    PostText(out.Str(), KIV_FLAG_BROADCAST);
}

void SyncLayer::post_log_message(int level, const char* text) {
    ::rimvault::XmlWriter out;
    out.Declaration();
    out.Open("log_msg");
    out.Attribute("level", static_cast<int32_t>(level));
    out.Text(text);
    out.Finish();
    PostText(out.Str(), KIV_FLAG_LOG);
}

void SyncLayer::decrement_reference(void* buffer) {
    std::pair<int, int32_t> result = Post(pfn_event_call_back_, 0, buffer, KIV_FLAG_RELEASE, 0);
    if (result.first != 0 || result.second != 0) {
        std::string text = "Decrement reference event returned : " + std::to_string(result.first) +
                           " error : " + std::to_string(result.second) + "\n";
        post_log_message(kLevelInfo, text.c_str());
    }
}

}  // namespace kivsvr::rimvault
