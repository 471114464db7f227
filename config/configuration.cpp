// Product and core configuration at start-up, and configuration updates at
// run time. A missing file and missing or malformed attributes are skipped
// silently; a file that is there but cannot be used, and an update that is
// refused, are logged, because an operator's setting is lost with them.
#include "config/documents.h"

#include <string>

#include "config/status_document.h"
#include "config/xml_document.h"
#include "core/logging.h"

namespace {

// Slot of a configured ID in the log-level tables.
uint32_t SlotOf(int32_t id)
{
    return DVR_MODULE_INDEX(static_cast<uint32_t>(id));
}

// Calls `visit` for every Plugin of every Module of the first Modules below
// `root`, in document order.
template <typename Visit>
void ForEachPlugin(const TiXmlElement& root, Visit visit)
{
    const TiXmlElement* modules = root.FirstChildElement("Modules");
    if (!modules)
        return;
    for (const TiXmlElement* module = modules->FirstChildElement("Module"); module;
         module = module->NextSiblingElement("Module"))
        for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin;
             plugin = plugin->NextSiblingElement("Plugin"))
            visit(*plugin);
}

// Loads an operator's file with its backup; says which file could not be
// used, why, where it was kept and what the core starts with instead.
bool LoadOperatorFile(XmlDocument& document, const std::string& name, StatusFiles& statusFiles)
{
    const BackupLoad outcome = LoadFileWithBackup(document, name);
    const std::string instead = outcome.fromBackup ? "using " + name + ".bak" : "using the defaults";
    for (const RejectedFile& rejected : outcome.rejected) {
        const std::string why = ErrorReport(rejected.error);
        if (rejected.keptAs.empty()) {
            // Left where it is: no save may replace it.
            statusFiles.Hold(name);
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING,
                       "%s cannot be used: %s; it could not be kept aside (%s) and will not be replaced; %s",
                       rejected.name.c_str(), why.c_str(), rejected.keepError.c_str(), instead.c_str());
        } else {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "%s cannot be used: %s; kept as %s; %s",
                       rejected.name.c_str(), why.c_str(), rejected.keptAs.c_str(), instead.c_str());
        }
    }
    return outcome.loaded;
}

} // namespace

void Documents::ReadConfiguration()
{
    XmlDocument product;
    if (LoadOperatorFile(product, "product.xml", statusFiles_)) {
        const TiXmlElement* root = product.document.RootElement();
        const TiXmlElement* description = root ? root->FirstChildElement("Product") : nullptr;
        if (description) {
            if (const char* family = description->Attribute("Family"))
                productName_ = family;
            if (const char* version = description->Attribute("Version"))
                coreVersion_ = version;
        }
    }

    XmlDocument core;
    if (!LoadOperatorFile(core, "core.xml", statusFiles_))
        return;
    const TiXmlElement* root = core.document.RootElement();
    int32_t value;
    if (const TiXmlElement* memory = root->FirstChildElement("Memory"))
        if (ReadIntAttribute(*memory, "Throttling", value))
            *links_.throttlingEnabled = value != 0;
    ForEachPlugin(*root, [this](const TiXmlElement& plugin) {
        int32_t id, level, fallback;
        if (!ReadIntAttribute(plugin, "ID", id) || !ReadIntAttribute(plugin, "LogLevel", level))
            return;
        const uint32_t slot = SlotOf(id);
        if (slot >= LogLevelArraySize || level < -1 || level > 100)
            return;
        if (!ReadIntAttribute(plugin, "LogLevelDefault", fallback))
            fallback = -1;
        // The default is not range-checked: its low 8 bits are stored.
        (*links_.logLevels)[slot] = static_cast<int8_t>(level != -1 ? level : fallback);
    });
}

void Documents::ApplyUpdate(const std::string& text)
{
    XmlDocument update;
    const bool parsed = update.Parse(text);
    // Only a root with Delta 1 addresses the core; plugins' other documents
    // pass by silently, broken or not.
    const TiXmlElement* root = update.document.RootElement();
    int32_t delta;
    if (!root || !ReadIntAttribute(*root, "Delta", delta) || delta != 1)
        return;
    // Applied whole or not at all: the part before an error is not used.
    if (!parsed) {
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "configuration update refused: %s",
                   update.ErrorReport().c_str());
        return;
    }
    bool changed = false;
    ForEachPlugin(*root, [&](const TiXmlElement& plugin) {
        int32_t id, level;
        if (!ReadIntAttribute(plugin, "ID", id) || !ReadIntAttribute(plugin, "LogLevel", level))
            return;
        const uint32_t slot = SlotOf(id);
        if (slot >= LogLevelArraySize)
            return;
        LogLevelTable& levels = *links_.logLevels;
        const int8_t fallback = (*links_.defaultLogLevels)[slot].load();
        const int8_t current = levels[slot].load();
        if (level >= -1 && level <= 100 && level != current) {
            levels[slot] = static_cast<int8_t>(level);
            changed = true;
        } else if (level == -1 && fallback != -1) {
            // A second -1 in a row brings back the plugin's own default.
            levels[slot] = fallback;
            changed = true;
        }
    });
    if (changed)
        WriteStatus();
}

void Documents::AnnounceThrottle()
{
    auto* memory = new TiXmlElement("Memory");
    memory->SetAttribute("ID", static_cast<int32_t>(CORE_PROVIDER_ID));
    memory->SetAttribute("Throttling", links_.videoThrottled->load() ? 1 : 0);
    // The low 32 bits as a signed number, whatever the width of time_t.
    memory->SetAttribute("Time", static_cast<int32_t>(static_cast<uint32_t>(links_.wallClock())));
    auto* root = new TiXmlElement("Kavo");
    root->LinkEndChild(memory);
    TiXmlDocument document;
    document.LinkEndChild(new TiXmlDeclaration("", "", ""));
    document.LinkEndChild(root);
    Raise(document, EVENT_TYPE_STATUS);
}
