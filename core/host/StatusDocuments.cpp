#include "core/host/StatusDocuments.h"

#include <tinyxml.h>

#include "core/pluginabi/KivVersion.h"
#include "core/pluginabi/PluginInterface.h"

namespace kiv {
namespace core {

namespace {

// Identifiers are written as signed decimal: 0x80000000 becomes -2147483648.
int AsInt(uint32_t id) { return static_cast<int>(id); }

// The envelope: declaration without attributes, then the root "Kivrec".
TiXmlElement* StartDocument(TiXmlDocument& doc) {
    doc.Clear();
    doc.LinkEndChild(new TiXmlDeclaration("", "", ""));
    TiXmlElement* root = new TiXmlElement("Kivrec");
    doc.LinkEndChild(root);
    return root;
}

}  // namespace

TiXmlElement* AddModuleDetails(TiXmlElement& parent, int id, const char* name,
                               const char* version) {
    TiXmlElement* module = new TiXmlElement("Module");
    module->SetAttribute("ID", id);
    module->SetAttribute("Name", name);
    module->SetAttribute("Version", version);
    parent.LinkEndChild(module);
    return module;
}

TiXmlElement* AddPluginDetails(TiXmlElement& parent, int id, const char* filename, int opened,
                               int openCode) {
    TiXmlElement* plugin = new TiXmlElement("Plugin");
    plugin->SetAttribute("ID", id);
    plugin->SetAttribute("Filename", filename);
    plugin->SetAttribute("Opened", opened);
    plugin->SetAttribute("OpenCode", openCode);
    parent.LinkEndChild(plugin);
    return plugin;
}

void BuildPluginsDocument(TiXmlDocument& doc, const std::string& executableName,
                          const std::vector<PluginStatus>& plugins,
                          const std::vector<std::string>& notLoaded) {
    TiXmlElement* root = StartDocument(doc);
    root->SetAttribute("Delta", 0);
    TiXmlElement* modules = new TiXmlElement("Modules");
    root->LinkEndChild(modules);

    TiXmlElement* core = AddModuleDetails(*modules, AsInt(KIV_ID_CORE), "Core", GetVersion());
    AddPluginDetails(*core, AsInt(KIV_ID_CORE), executableName.c_str(), 1, 0);
    for (const PluginStatus& p : plugins) {
        TiXmlElement* e =
            AddPluginDetails(*core, AsInt(p.dwPluginID), p.strFilename.c_str(), 1, p.nOpenCode);
        // Milliseconds, written as their low 32 bits.
        e->SetAttribute("LoadTime", static_cast<int>(static_cast<uint32_t>(p.llLoadTime)));
        e->SetAttribute("OpenTime", static_cast<int>(static_cast<uint32_t>(p.llOpenTime)));
    }
    // A library that failed to open is numbered from 1 in the order it was tried.
    int n = 1;
    for (const std::string& name : notLoaded) AddPluginDetails(*core, n++, name.c_str(), 1, 79);
    n = 1;
    for (const std::string& name : notLoaded)
        AddModuleDetails(*modules, n++, name.c_str(), "not loaded");
}

void BuildCoreDocument(TiXmlDocument& doc, bool throttling) {
    TiXmlElement* root = StartDocument(doc);
    root->SetAttribute("Delta", 0);
    TiXmlElement* memory = new TiXmlElement("Memory");
    memory->SetAttribute("ID", AsInt(KIV_ID_CORE));
    memory->SetAttribute("Throttling", throttling ? 1 : 0);
    root->LinkEndChild(memory);
}

void BuildAlarmDocument(TiXmlDocument& doc, bool throttling, long time) {
    TiXmlElement* root = StartDocument(doc);
    TiXmlElement* memory = new TiXmlElement("Memory");
    memory->SetAttribute("ID", AsInt(KIV_ID_CORE));
    memory->SetAttribute("Throttling", throttling ? 1 : 0);
    memory->SetAttribute("Time", static_cast<int>(time));
    root->LinkEndChild(memory);
}

std::string PrintCompact(const TiXmlDocument& doc) {
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    doc.Accept(&printer);
    return printer.Str();
}

}  // namespace core
}  // namespace kiv
