// A substitute storage plug-in (identifier 327680): answers disk-space
// reservations (Command "4") with a temporary and an output directory under
// its root, repeating the request's "GUID", and tracks cancels (Command "3"),
// which need no answer. A real storage plug-in would also check free space.

#include <tinyxml2.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include "peers/PeerKit.h"
#include "peers/Scenario.h"

namespace kiv::peers {
namespace {

namespace fs = std::filesystem;
using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

constexpr int kCommandCancel = 3;
constexpr int kCommandReserve = 4;

class StoragePeer : public Peer {
  public:
    explicit StoragePeer(std::string root) : root_(std::move(root)) {}

    void Describe(_LoadParmsOut& out) const override {
        out.dwPluginID = KIV_ID_STORAGE;
        // Reservation requests are XML documents routed with flag 4.
        out.dwRouteMask[2] = 0x03000010;
        out.bEventSink = 1;
    }

    void OnDocument(const XMLElement& root, uint32_t) override {
        if (std::strcmp(root.Name(), "Kivrec") != 0) return;
        const XMLElement* storage = root.FirstChildElement("Storage");
        if (storage == nullptr || storage->UnsignedAttribute("ID", 0) != KIV_ID_STORAGE) return;
        const XMLElement* reservation = storage->FirstChildElement("Reservation");
        const char* guid = reservation ? reservation->Attribute("GUID") : nullptr;
        if (guid == nullptr) return;
        int command = reservation->IntAttribute("Command", 0);
        if (command == kCommandReserve) {
            Reserve(guid, reservation->UnsignedAttribute("ReserveGB", 0));
        } else if (command == kCommandCancel) {
            Cancel(guid);
        }
    }

  private:
    void Reserve(const std::string& guid, unsigned gigabytes) {
        // The output directory ends with "/": recordings are filed directly below it.
        std::string tmp = root_ + "/tmp/" + guid;
        std::string out = root_ + "/recordings/";
        std::error_code ec;
        fs::create_directories(tmp, ec);
        fs::create_directories(out, ec);
        reserved_[guid] = gigabytes;

        XMLDocument doc;
        doc.InsertEndChild(doc.NewDeclaration());
        XMLElement* answer = doc.InsertEndChild(doc.NewElement("Kivrec"))
                                 ->InsertEndChild(doc.NewElement("Storage"))
                                 ->InsertEndChild(doc.NewElement("Reservation"))
                                 ->ToElement();
        answer->SetAttribute("GUID", guid.c_str());
        answer->SetAttribute("TmpDir", tmp.c_str());
        answer->SetAttribute("OutDir", out.c_str());
        // Answers reach every other plug-in as IOCTL code 2.
        PostDocument(KIV_ID_STORAGE, doc, KIV_FLAG_BROADCAST);
        Journal("storage reserve guid=" + guid + " gb=" + std::to_string(gigabytes) +
                " tmp=" + tmp + " out=" + out);
    }

    void Cancel(const std::string& guid) {
        bool known = reserved_.erase(guid) > 0;
        // The temporary directory goes when nothing was left in it.
        std::error_code ec;
        fs::remove(root_ + "/tmp/" + guid, ec);
        Journal("storage cancel guid=" + guid + (known ? "" : " unknown") +
                " active=" + std::to_string(reserved_.size()));
    }

    std::string root_;
    std::map<std::string, unsigned> reserved_;  // active reservations by GUID
};

}  // namespace

std::unique_ptr<Peer> CreatePeer() {
    Scenario scenario;
    std::string error;
    if (!LoadScenario(ScenarioPath(), scenario, error)) {
        Journal("storage not-loaded " + error);
        return nullptr;
    }
    std::string root = scenario.storageRoot.empty() ? "storage" : scenario.storageRoot;
    std::error_code ec;
    root = std::filesystem::weakly_canonical(std::filesystem::absolute(root), ec).string();
    if (!root.empty() && root.back() == '/') root.pop_back();
    return std::make_unique<StoragePeer>(root);
}

}  // namespace kiv::peers
