#include "core_settings.h"

#include <tinyxml.h>

namespace {

constexpr int kCoreID = -2147483648; // CORE_PROVIDER_ID as documents write it

} // namespace

std::string SetCoreLogLevel(const std::string& directory, int level)
{
    const std::string path = directory + "/core.xml";
    TiXmlDocument document;
    if (!document.LoadFile(path.c_str())) {
        if (document.ErrorId() != TiXmlBase::TIXML_ERROR_OPENING_FILE)
            return path + " is not readable XML: " + document.ErrorDesc();
        document = TiXmlDocument();
        document.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
        document.LinkEndChild(new TiXmlElement("Kavo"));
    }
    TiXmlElement* root = document.RootElement();
    if (!root)
        return path + " has no root element";
    TiXmlElement* modules = root->FirstChildElement("Modules");
    if (!modules)
        modules = root->LinkEndChild(new TiXmlElement("Modules"))->ToElement();
    // Every entry for the core's slot gets the level: the core takes the last.
    bool found = false;
    for (TiXmlElement* module = modules->FirstChildElement("Module"); module;
         module = module->NextSiblingElement("Module")) {
        for (TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin;
             plugin = plugin->NextSiblingElement("Plugin")) {
            int id = 0;
            if (plugin->QueryIntAttribute("ID", &id) == TIXML_SUCCESS && ((id >> 16) & 0xFFF) == 0) {
                plugin->SetAttribute("LogLevel", level);
                found = true;
            }
        }
    }
    if (!found) {
        auto* module = new TiXmlElement("Module");
        module->SetAttribute("Name", "core");
        auto* plugin = new TiXmlElement("Plugin");
        plugin->SetAttribute("ID", kCoreID);
        plugin->SetAttribute("LogLevel", level);
        module->LinkEndChild(plugin);
        modules->LinkEndChild(module);
    }
    if (!document.SaveFile(path.c_str()))
        return "cannot write " + path;
    return "";
}
