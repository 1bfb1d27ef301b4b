#pragma once
// The queue between the core's event-handler thread and the plug-in's worker.
// `Write` and `IOCTL` only append a message that refers to the core's buffer;
// the worker parses the queued documents in batches through the translator,
// which drives the retrieval engine, and gives each buffer back afterwards.
// The sync layer owns the store, the translator and the engine, and it is the
// plug-in's only way of posting anything to the core.
//
// Locks: the queue mutex guards `pending` only; it is held to append, to swap
// the queue out, and during `cancel`. Parsing runs without it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/pluginabi/PluginInterface.h"
#include "rimvaultpi/synclayer/ICommand.h"
#include "rimvaultpi/synclayer/Message.h"
#include "rimvaultpi/synclayer/Poster.h"

namespace tinyxml2 {
class XMLDocument;
}

namespace rimvault {
class CKivServerImpl;
class CRimvault;
class IPersistentStore;
}  // namespace rimvault

namespace kivsvr::rimvault {

class SyncLayer : public ICommand {
  public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // How often the worker has the engine rewrite its state file.
    static constexpr std::chrono::seconds kCheckpointPeriod{60};
    // Longest wait of one `execute` pass for work.
    static constexpr std::chrono::milliseconds kPassWait{100};

    // [main thread] Stores the core's callback for every posting, then builds
    // the store, the translator and the engine (which reads the saved state).
    // `clock` drives the periodic checkpoint (the system clock when empty).
    explicit SyncLayer(PFN_PLUGIN_EVENT callback, Clock clock = {});
    // [main thread] Destroys the engine (which writes the state), the
    // translator and the store. Gives back the buffer of any message that
    // `cancel` did not already release.
    ~SyncLayer() override;

    SyncLayer(const SyncLayer&) = delete;
    SyncLayer& operator=(const SyncLayer&) = delete;

    // [event-handler thread] Appends a copy of `message` and wakes the worker.
    // Returns false, and keeps nothing, once `cancel` has run: the caller then
    // must not keep the buffer either.
    bool queue(const Message& message);

    // [worker thread] One pass: waits up to kPassWait for work, then parses
    // every queued document in arrival order, giving each buffer back once.
    // An error raised while parsing one document is logged (level 75) and
    // ends only that document. About once every kCheckpointPeriod the engine
    // rewrites its state file. Returns 0.
    int execute() override;

    // [main thread] Gives back the buffers of all queued messages, stops
    // further parsing and wakes the worker. Returns 0.
    int cancel() override;

    // Any thread. Prints `document` compactly and posts it as an XML
    // document from this plug-in with the given routing flags.
    static void PostDocument(const tinyxml2::XMLDocument& document, unsigned long routingFlags);
    // Any thread. Posts a document already printed compactly, as PostDocument
    // would post the document it prints to `text`.
    static void PostText(const std::string& text, unsigned long routingFlags);
    // Any thread. The version document and the configuration document,
    // broadcast to all other plug-ins.
    static void BroadcastVersion();
    static void BroadcastConfig();
    // Any thread. A "log_msg" document with the given level (25 information,
    // 75 error).
    static void post_log_message(int level, const char* text);
    // Any thread. Gives one kept core buffer back with a release event.
    static void decrement_reference(void* buffer);

    // The engine, for tests and the plug-in's own checks.
    ::rimvault::CRimvault& engine() { return *engine_; }

  private:
    // REQUIRES: `mutex` held. Releases and drops every pending message.
    void release_resources();
    void parse(const Message& message);
    // Writes changes the engine only noted, and a checkpoint once a period.
    void save_state();

    std::condition_variable wakeup;
    std::mutex mutex;
    std::atomic<bool> cancelled{false};
    std::deque<Message> pending;

    std::unique_ptr<::rimvault::IPersistentStore> store;
    std::unique_ptr<::rimvault::CKivServerImpl> translator;
    std::unique_ptr<::rimvault::CRimvault> engine_;

    Clock clock;
    std::chrono::system_clock::time_point lastCheckpoint;

    static std::atomic<PFN_PLUGIN_EVENT> pfn_event_call_back_;
};

}  // namespace kivsvr::rimvault
