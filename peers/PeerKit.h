#pragma once
// The small kit shared by the substitute peer plug-ins: the eight exports, a
// worker loop on the thread the core lends, a clock-driven timeline, document
// posting and a journal of what each peer saw and did.
//
// A peer is a class derived from `Peer`; its library defines `CreatePeer`.
// Everything a peer does happens on its worker thread: the core's event-handler
// thread only copies each received document into the peer's inbox.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "core/pluginabi/PluginInterface.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace kiv::peers {

using SteadyTime = std::chrono::steady_clock::time_point;

class Peer {
  public:
    virtual ~Peer() = default;

    // [main thread, Load] Fills the plug-in identifier, routing masks and flags.
    // The kit sets bWorkerThread itself.
    virtual void Describe(_LoadParmsOut& out) const = 0;

    // [worker thread] Called once when the plug-in was opened.
    virtual void OnStart(SteadyTime now) { (void)now; }

    // [worker thread] One received document (the root element of a parsed
    // document), in arrival order. `source` is the sender's identifier.
    virtual void OnDocument(const tinyxml2::XMLElement& root, uint32_t source) = 0;

    // [worker thread] One received log text (the core's log events).
    virtual void OnLogText(const std::string& text) { (void)text; }

    // [worker thread] Runs every step of the peer's own timeline that is due
    // at `now`; returns when the next step is due (SteadyTime::max() if none).
    virtual SteadyTime OnTimer(SteadyTime now) {
        (void)now;
        return SteadyTime::max();
    }
};

// Defined by each peer library: builds the peer from its scenario. Returns null
// when the peer cannot run (the load is then refused with dwError 1).
std::unique_ptr<Peer> CreatePeer();

// The core's event callback, taken at Load; PostDocument uses it.
void SetEventCallback(PFN_PLUGIN_EVENT callback);

// Prints `doc` compactly and posts it as an XML document from `source`.
void PostDocument(uint32_t source, const tinyxml2::XMLDocument& doc, uint32_t flags);

// Appends one line to the peers' journal ("peers.journal" in the working
// directory, or the file named by KIV_PEER_JOURNAL). Each line is written with
// one append so that the peers' lines never interleave.
void Journal(const std::string& line);

// The scenario file ("peer_scenario.xml" in the working directory, or the file
// named by KIV_PEER_SCENARIO).
std::string ScenarioPath();

// Path text in the server's quoted form: enclosed in double quotes, with "&"
// put before every double quote and every "&".
std::string QuotePath(const std::string& path);

// Reverses QuotePath. Text that does not begin with a double quote is taken up
// to its first white space.
std::string UnquotePath(const std::string& text);

}  // namespace kiv::peers
