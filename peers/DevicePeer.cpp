// A substitute device plug-in: owns the cameras of the scenario and their
// on-camera ("edge") storage, and keeps the device side of the retrieval
// contract:
//  - unsolicited device documents: which cameras can keep recordings
//    ("RimvaultSupported"="1"), every connect and disconnect of a channel with
//    its "Time", and "ipAddress"="" when a camera is deleted;
//  - status request (Command "1"): the clips that overlap the requested gap,
//    as one "Input"/"Context" with "Recordings", "TotalSize" (megabytes),
//    "OldestStart" and "NewestEnd", repeating the request's "GUID";
//  - retrieval request (Command "2"): each clip copied into the requested
//    temporary directory and reported complete, one document per file, then a
//    final "Storage" with "RetrievalStatus" 3, or 4 with "ErrorCode" and
//    "FailedClipStartTime" when the scenario injects a failure.
// A real device plug-in fetches from the camera instead of a folder; the
// documents are the same.

#include <tinyxml2.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
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

constexpr int32_t kRetrievalDone = 3;
constexpr int32_t kRetrievalFailed = 4;
constexpr int32_t kRecordingTypeNormal = 1;
// Error codes of failed retrievals (besides the scenario's injected ones).
constexpr int32_t kErrorCopyFailed = 2;
constexpr int32_t kErrorNoDirectory = 3;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

class DevicePeer : public Peer {
  public:
    explicit DevicePeer(Scenario scenario) : scenario_(std::move(scenario)) {}

    void Describe(_LoadParmsOut& out) const override {
        out.dwPluginID = scenario_.deviceOwner;
        // Requests reach every plug-in as IOCTL code 2; nothing is subscribed.
        out.bEventSink = 0;
    }

    void OnStart(SteadyTime now) override {
        start_ = now;
        for (const Camera& camera : scenario_.cameras) {
            XMLDocument doc;
            XMLElement* device = NewDevice(doc, camera.number);
            device->SetAttribute("RimvaultSupported", camera.capable ? "1" : "0");
            Post(doc);
            Journal(Format("device announce %" PRIu32 "/%" PRIu32 " capable=%d", Owner(),
                           camera.number, camera.capable ? 1 : 0));
        }
    }

    SteadyTime OnTimer(SteadyTime now) override {
        while (next_ < scenario_.timeline.size()) {
            const Step& step = scenario_.timeline[next_];
            SteadyTime due = start_ + std::chrono::milliseconds(step.atMs);
            if (due > now) return due;
            RunStep(step);
            ++next_;
        }
        return SteadyTime::max();
    }

    void OnDocument(const XMLElement& root, uint32_t) override {
        // Device requests: Kivrec/Devices[ID = ours]/Device/Storage[Command].
        if (std::strcmp(root.Name(), "Kivrec") != 0) return;
        const XMLElement* devices = root.FirstChildElement("Devices");
        if (devices == nullptr || devices->UnsignedAttribute("ID", 0) != Owner()) return;
        for (const XMLElement* d = devices->FirstChildElement("Device"); d;
             d = d->NextSiblingElement("Device")) {
            const XMLElement* storage = d->FirstChildElement("Storage");
            const char* guid = storage ? storage->Attribute("GUID") : nullptr;
            if (guid == nullptr || storage->Attribute("Command") == nullptr) continue;
            Camera* camera = Find(d->UnsignedAttribute("Number", 0));
            int command = storage->IntAttribute("Command", 0);
            int32_t from = storage->IntAttribute("Start", 0);
            int32_t to = storage->IntAttribute("Stop", 0);
            std::string request =
                Format("guid=%s device=%" PRIu32 " start=%" PRId32 " stop=%" PRId32, guid,
                       d->UnsignedAttribute("Number", 0), from, to);
            if (camera == nullptr || !camera->answers) {
                Journal("device unanswered command=" + std::to_string(command) + " " + request);
            } else if (command == 1) {
                AnswerStatus(*camera, guid, from, to, request);
            } else if (command == 2) {
                const char* tmp = storage->Attribute("TmpFileDir");
                Retrieve(*camera, guid, from, to, UnquotePath(tmp ? tmp : ""), request);
            }
        }
    }

  private:
    uint32_t Owner() const { return scenario_.deviceOwner; }

    Camera* Find(uint32_t number) {
        for (Camera& camera : scenario_.cameras) {
            if (camera.number == number) return &camera;
        }
        return nullptr;
    }

    // Starts a document Kivrec/Devices/Device for one of our cameras.
    XMLElement* NewDevice(XMLDocument& doc, uint32_t number) const {
        doc.InsertEndChild(doc.NewDeclaration());
        XMLElement* devices = doc.InsertEndChild(doc.NewElement("Kivrec"))
                                  ->InsertEndChild(doc.NewElement("Devices"))
                                  ->ToElement();
        devices->SetAttribute("ID", Owner());
        XMLElement* device = devices->InsertEndChild(doc.NewElement("Device"))->ToElement();
        device->SetAttribute("Number", number);
        return device;
    }

    // Device documents travel with routing flag 4: the retrieval plug-in
    // subscribes to XML documents on that flag.
    void Post(const XMLDocument& doc) const { PostDocument(Owner(), doc, KIV_FLAG_ROUTE2); }

    void RunStep(const Step& step) {
        XMLDocument doc;
        XMLElement* device = NewDevice(doc, step.device);
        if (step.kind == Step::kDeleted) {
            device->SetAttribute("ipAddress", "");
            Post(doc);
            Journal(Format("device deleted %" PRIu32 "/%" PRIu32, Owner(), step.device));
            return;
        }
        const Camera* camera = Find(step.device);
        device->SetAttribute("ipAddress", Format("192.0.2.%" PRIu32, step.device % 250).c_str());
        device->SetAttribute("RimvaultSupported", camera && camera->capable ? "1" : "0");
        XMLElement* encoder = device->InsertEndChild(doc.NewElement("Codec"))
                                  ->InsertEndChild(doc.NewElement("Encoder"))
                                  ->ToElement();
        encoder->SetAttribute("Number", 0);
        XMLElement* channel = encoder->InsertEndChild(doc.NewElement("Channel"))->ToElement();
        bool connected = step.kind == Step::kConnected;
        channel->SetAttribute("Number", step.channel);
        channel->SetAttribute("Connected", connected ? 1 : 0);
        channel->SetAttribute("Time", step.time);
        Post(doc);
        Journal(Format("device %s %" PRIu32 "/%" PRIu32 " channel=%" PRIu32 " time=%" PRId32,
                       connected ? "connected" : "disconnected", Owner(), step.device, step.channel,
                       step.time));
    }

    void AnswerStatus(const Camera& camera, const char* guid, int32_t from, int32_t to,
                      const std::string& request) {
        std::vector<const Clip*> clips = ClipsInGap(camera, from, to);
        uint64_t bytes = 0;
        for (const Clip* clip : clips) {
            std::error_code ec;
            uintmax_t size = fs::file_size(clip->file, ec);
            if (!ec) bytes += size;
        }
        const uint64_t megabyte = 1024 * 1024;
        uint64_t megabytes = (bytes + megabyte - 1) / megabyte;

        XMLDocument doc;
        XMLElement* storage =
            NewDevice(doc, camera.number)->InsertEndChild(doc.NewElement("Storage"))->ToElement();
        storage->SetAttribute("GUID", guid);
        XMLElement* input = storage->InsertEndChild(doc.NewElement("Input"))->ToElement();
        input->SetAttribute("Number", 1);
        XMLElement* context = input->InsertEndChild(doc.NewElement("Context"))->ToElement();
        context->SetAttribute("Number", 0);
        context->SetAttribute("Recordings", static_cast<unsigned>(clips.size()));
        if (!clips.empty()) {
            context->SetAttribute("TotalSize", static_cast<int64_t>(megabytes));
            context->SetAttribute("OldestStart", clips.front()->start);
            context->SetAttribute("NewestEnd", clips.back()->stop);
        }
        Post(doc);
        Journal(Format("device status %s recordings=%u total_mb=%" PRIu64, request.c_str(),
                       static_cast<unsigned>(clips.size()), megabytes));
    }

    void Retrieve(Camera& camera, const char* guid, int32_t from, int32_t to,
                  const std::string& tmpDir, const std::string& request) {
        Journal("device retrieve " + request + " tmp=" + tmpDir);
        if (tmpDir.empty()) {
            // Nowhere to put the files: the whole retrieval fails at its first clip.
            std::vector<const Clip*> clips = ClipsInGap(camera, from, to);
            Finish(camera, guid, kRetrievalFailed, kErrorNoDirectory,
                   clips.empty() ? from : clips.front()->start);
            return;
        }
        for (const Clip* clip : ClipsInGap(camera, from, to)) {
            std::string name = fs::path(clip->file).filename().string();
            if (camera.failure && camera.failure->count > 0 && camera.failure->clip == name) {
                --camera.failure->count;
                Finish(camera, guid, kRetrievalFailed, camera.failure->errorCode, clip->start);
                return;
            }
            // Copy under a temporary name and rename: the file is complete
            // when its document arrives.
            std::error_code ec;
            fs::path target = fs::path(tmpDir) / name;
            fs::path part = fs::path(tmpDir) / ("." + name + ".part");
            fs::copy_file(clip->file, part, fs::copy_options::overwrite_existing, ec);
            if (!ec) fs::rename(part, target, ec);
            if (ec) {
                Journal("device copy-failed file=" + clip->file + " error=" + ec.message());
                Finish(camera, guid, kRetrievalFailed, kErrorCopyFailed, clip->start);
                return;
            }
            Deliver(camera, guid, target.string(), *clip);
        }
        Finish(camera, guid, kRetrievalDone, 0, 0);
    }

    void Deliver(const Camera& camera, const char* guid, const std::string& file,
                 const Clip& clip) {
        XMLDocument doc;
        XMLElement* context = NewDevice(doc, camera.number)
                                  ->InsertEndChild(doc.NewElement("Input"))
                                  ->InsertEndChild(doc.NewElement("Context"))
                                  ->ToElement();
        context->SetAttribute("Number", 0);
        XMLElement* storage = context->InsertEndChild(doc.NewElement("Storage"))->ToElement();
        storage->SetAttribute("GUID", guid);
        storage->SetAttribute("RetrievalStatus", kRetrievalDone);
        storage->SetAttribute("FileName", QuotePath(file).c_str());
        storage->SetAttribute("Start", clip.start);
        storage->SetAttribute("Stop", clip.stop);
        storage->SetAttribute("InputNumber", 1);
        storage->SetAttribute("InputName", camera.inputName.c_str());
        storage->SetAttribute("Type", kRecordingTypeNormal);
        Post(doc);
        Journal(Format("device delivered guid=%s file=%s start=%" PRId32 " stop=%" PRId32, guid,
                       file.c_str(), clip.start, clip.stop));
    }

    void Finish(const Camera& camera, const char* guid, int32_t status, int32_t errorCode,
                int32_t failedClipStart) {
        XMLDocument doc;
        XMLElement* storage =
            NewDevice(doc, camera.number)->InsertEndChild(doc.NewElement("Storage"))->ToElement();
        storage->SetAttribute("GUID", guid);
        storage->SetAttribute("RetrievalStatus", status);
        if (status == kRetrievalFailed) {
            storage->SetAttribute("ErrorCode", errorCode);
            storage->SetAttribute("FailedClipStartTime", failedClipStart);
        }
        Post(doc);
        if (status == kRetrievalFailed) {
            Journal(Format("device failed guid=%s error=%" PRId32 " failed_clip_start=%" PRId32,
                           guid, errorCode, failedClipStart));
        } else {
            Journal(Format("device done guid=%s", guid));
        }
    }

    Scenario scenario_;
    SteadyTime start_;
    size_t next_ = 0;  // next timeline step
};

}  // namespace

std::unique_ptr<Peer> CreatePeer() {
    Scenario scenario;
    std::string error;
    if (!LoadScenario(ScenarioPath(), scenario, error)) {
        Journal("device not-loaded " + error);
        return nullptr;
    }
    return std::make_unique<DevicePeer>(std::move(scenario));
}

}  // namespace kiv::peers
