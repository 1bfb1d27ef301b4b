#include "peers/Scenario.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cstring>

namespace kiv::peers {
namespace {

using tinyxml2::XMLElement;

std::string Join(const std::string& dir, const char* path) {
    if (path[0] == '/' || dir.empty()) return path;
    return dir + "/" + path;
}

bool ReadCamera(const XMLElement& e, const std::string& dir, Camera& camera, std::string& error) {
    if (e.QueryUnsignedAttribute("Number", &camera.number) != tinyxml2::XML_SUCCESS ||
        camera.number == 0) {
        error = "Device without a positive Number";
        return false;
    }
    camera.capable = e.Attribute("RimvaultSupported", "1") != nullptr;
    camera.answers = e.IntAttribute("Answers", 1) != 0;
    if (const char* name = e.Attribute("InputName")) camera.inputName = name;
    const char* edge = e.Attribute("EdgeStorage");
    std::string edgeDir = edge != nullptr ? Join(dir, edge) : dir;
    for (const XMLElement* c = e.FirstChildElement("Clip"); c; c = c->NextSiblingElement("Clip")) {
        Clip clip;
        const char* file = c->Attribute("File");
        if (file == nullptr ||
            c->QueryIntAttribute("Start", &clip.start) != tinyxml2::XML_SUCCESS ||
            c->QueryIntAttribute("Stop", &clip.stop) != tinyxml2::XML_SUCCESS ||
            clip.stop < clip.start) {
            error = "Clip needs File, Start and Stop (Stop not before Start)";
            return false;
        }
        clip.file = Join(edgeDir, file);
        camera.clips.push_back(clip);
    }
    std::stable_sort(camera.clips.begin(), camera.clips.end(),
                     [](const Clip& a, const Clip& b) { return a.start < b.start; });
    if (const XMLElement* f = e.FirstChildElement("Failure")) {
        Failure failure;
        const char* clip = f->Attribute("Clip");
        if (clip == nullptr) {
            error = "Failure without Clip";
            return false;
        }
        failure.clip = clip;
        failure.errorCode = f->IntAttribute("ErrorCode", 1);
        failure.count = f->IntAttribute("Count", 1);
        camera.failure = failure;
    }
    return true;
}

bool ReadStep(const XMLElement& e, Step& step, std::string& error) {
    if (std::strcmp(e.Name(), "Connected") == 0) {
        step.kind = Step::kConnected;
    } else if (std::strcmp(e.Name(), "Disconnected") == 0) {
        step.kind = Step::kDisconnected;
    } else if (std::strcmp(e.Name(), "Deleted") == 0) {
        step.kind = Step::kDeleted;
    } else {
        error = std::string("unknown timeline step ") + e.Name();
        return false;
    }
    step.atMs = e.IntAttribute("At", 0);
    step.device = e.UnsignedAttribute("Device", 0);
    step.channel = e.UnsignedAttribute("Channel", 0);
    if (step.kind != Step::kDeleted &&
        e.QueryIntAttribute("Time", &step.time) != tinyxml2::XML_SUCCESS) {
        error = "Connected and Disconnected need a Time";
        return false;
    }
    return true;
}

}  // namespace

bool LoadScenario(const std::string& path, Scenario& out, std::string& error) {
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        error = "cannot read scenario " + path;
        return false;
    }
    const XMLElement* root = doc.FirstChildElement("Scenario");
    if (root == nullptr) {
        error = "no Scenario element in " + path;
        return false;
    }
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);

    Scenario scenario;
    if (const XMLElement* dp = root->FirstChildElement("DevicePeer")) {
        scenario.deviceOwner = dp->UnsignedAttribute("ID", scenario.deviceOwner);
        for (const XMLElement* e = dp->FirstChildElement("Device"); e;
             e = e->NextSiblingElement("Device")) {
            Camera camera;
            if (!ReadCamera(*e, dir, camera, error)) return false;
            scenario.cameras.push_back(camera);
        }
        if (const XMLElement* t = dp->FirstChildElement("Timeline")) {
            for (const XMLElement* e = t->FirstChildElement(); e; e = e->NextSiblingElement()) {
                Step step;
                if (!ReadStep(*e, step, error)) return false;
                scenario.timeline.push_back(step);
            }
        }
        std::stable_sort(scenario.timeline.begin(), scenario.timeline.end(),
                         [](const Step& a, const Step& b) { return a.atMs < b.atMs; });
    }
    if (const XMLElement* sp = root->FirstChildElement("StoragePeer")) {
        if (const char* r = sp->Attribute("Root")) scenario.storageRoot = Join(dir, r);
    }
    out = std::move(scenario);
    return true;
}

std::vector<const Clip*> ClipsInGap(const Camera& camera, int32_t from, int32_t to) {
    std::vector<const Clip*> clips;
    for (const Clip& clip : camera.clips) {
        if (clip.start < to && clip.stop > from) clips.push_back(&clip);
    }
    return clips;
}

}  // namespace kiv::peers
