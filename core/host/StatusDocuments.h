#pragma once
// The core's XML documents: "plugins.xml", "core.xml" and the memory alarm.
// Each starts with an XML declaration without attributes and the root "Kivrec".

#include <cstdint>
#include <string>
#include <vector>

class TiXmlDocument;
class TiXmlElement;

namespace kiv {
namespace core {

// Appends a "Module" element with "ID", "Name", "Version"; returns it.
TiXmlElement* AddModuleDetails(TiXmlElement& parent, int id, const char* name, const char* version);
// Appends a "Plugin" element with "ID", "Filename", "Opened", "OpenCode"; returns it.
TiXmlElement* AddPluginDetails(TiXmlElement& parent, int id, const char* filename, int opened,
                               int openCode);

// One registered plug-in as "plugins.xml" lists it.
struct PluginStatus {
    uint32_t dwPluginID;
    std::string strFilename;
    int32_t nOpenCode;
    int64_t llLoadTime;
    int64_t llOpenTime;
};

// Builds "plugins.xml": the core's module with the executable's and every
// plug-in's "Plugin", then the libraries that failed to open.
void BuildPluginsDocument(TiXmlDocument& doc, const std::string& executableName,
                          const std::vector<PluginStatus>& plugins,
                          const std::vector<std::string>& notLoaded);
// Builds "core.xml" with the throttling setting.
void BuildCoreDocument(TiXmlDocument& doc, bool throttling);
// Builds the memory alarm.
void BuildAlarmDocument(TiXmlDocument& doc, bool throttling, long time);

// The compact text form that travels in events.
std::string PrintCompact(const TiXmlDocument& doc);

}  // namespace core
}  // namespace kiv
