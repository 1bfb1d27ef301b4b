// A substitute for the server's log viewer: writes to the peers' journal every
// log line, status document and module version that reaches it, so that tests
// and the demo can see what the retrieval plug-in did.

#include <tinyxml2.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "peers/PeerKit.h"

namespace kiv::peers {
namespace {

using tinyxml2::XMLElement;

constexpr uint32_t kMonitorId = 0x00700000;

// One journal line per entry: line breaks inside a text become blanks.
std::string OneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

std::string Text(const XMLElement& e, const char* name) {
    const char* value = e.Attribute(name);
    return value != nullptr ? value : "";
}

class MonitorPeer : public Peer {
  public:
    void Describe(_LoadParmsOut& out) const override {
        out.dwPluginID = kMonitorId;
        out.dwRouteMask[2] = 0x03000010;  // XML documents on flag 4: status documents
        out.dwRouteMask[6] = 0x03000012;  // log lines: XML and plain text
        out.bEventSink = 1;
    }

    void OnLogText(const std::string& text) override {
        Journal("monitor core-log " + OneLine(text));
    }

    void OnDocument(const XMLElement& root, uint32_t) override {
        if (std::strcmp(root.Name(), "log_msg") == 0) {
            const char* text = root.GetText();
            Journal("monitor log level=" + Text(root, "level") + " " + OneLine(text ? text : ""));
            return;
        }
        if (std::strcmp(root.Name(), "Kivrec") != 0) return;
        if (const XMLElement* status = root.FirstChildElement("Rimvault")) {
            if (status->Attribute("Status") != nullptr) {
                Journal("monitor status status=" + Text(*status, "Status") +
                        " time=" + Text(*status, "Time"));
            }
        }
        if (const XMLElement* modules = root.FirstChildElement("Modules")) {
            for (const XMLElement* m = modules->FirstChildElement("Module"); m;
                 m = m->NextSiblingElement("Module")) {
                Journal("monitor module name=" + Text(*m, "Name") + " id=" + Text(*m, "ID") +
                        " version=" + Text(*m, "Version"));
            }
        }
    }
};

}  // namespace

std::unique_ptr<Peer> CreatePeer() { return std::make_unique<MonitorPeer>(); }

}  // namespace kiv::peers
