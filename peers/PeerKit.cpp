#include "peers/PeerKit.h"

#include <fcntl.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace kiv::peers {
namespace {

PFN_PLUGIN_EVENT g_pfnEvent = nullptr;

}  // namespace

void SetEventCallback(PFN_PLUGIN_EVENT callback) { g_pfnEvent = callback; }

void PostDocument(uint32_t source, const tinyxml2::XMLDocument& doc, uint32_t flags) {
    if (g_pfnEvent == nullptr) return;
    tinyxml2::XMLPrinter printer(nullptr, true);
    doc.Print(&printer);
    _EventParmsIn in{};
    in.cbSize = sizeof(in);
    in.dwVersion = KIV_PARMS_VERSION;
    in.cbData = static_cast<uint32_t>(printer.CStrSize() - 1);  // without the NUL
    in.pData = const_cast<char*>(printer.CStr());
    in.dwSource = source;
    in.dwFlags = flags;
    in.dwType = KIV_TYPE_XML;
    _EventParmsOut out{};
    out.cbSize = sizeof(out);
    out.dwVersion = KIV_PARMS_VERSION;
    g_pfnEvent(&in, &out);
}

void Journal(const std::string& line) {
    const char* name = std::getenv("KIV_PEER_JOURNAL");
    int fd = ::open(name != nullptr ? name : "peers.journal",
                    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string text = line + "\n";
    ssize_t written = ::write(fd, text.data(), text.size());
    (void)written;
    ::close(fd);
}

std::string ScenarioPath() {
    const char* name = std::getenv("KIV_PEER_SCENARIO");
    return name != nullptr ? name : "peer_scenario.xml";
}

std::string QuotePath(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '&') out += '&';
        out += c;
    }
    return out + "\"";
}

std::string UnquotePath(const std::string& text) {
    std::string out;
    if (text.empty() || text[0] != '"') {
        for (char c : text) {
            if (std::isspace(static_cast<unsigned char>(c))) break;
            out += c;
        }
        return out;
    }
    for (size_t i = 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') break;
        if (c == '&' && i + 1 < text.size()) c = text[++i];
        out += c;
    }
    return out;
}

}  // namespace kiv::peers
