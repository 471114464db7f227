// The status document: built from the core's state, saved as core.xml and
// plugins.xml (both with the safe save; failures logged once per cause),
// then raised to the plugins with the product description added.
#include "config/status_document.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "config/documents.h"
#include "config/xml_document.h"
#include "core/logging.h"
#include "plugin-host/plugin_host.h"
#include "plugin-host/plugin_records.h"

namespace {

// The low 32 bits, as the document writes times.
int32_t Low32(int64_t value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

} // namespace

TiXmlElement* AddModuleElement(TiXmlElement* parent, int32_t id, const std::string& name, const std::string& version)
{
    auto* module = new TiXmlElement("Module");
    module->SetAttribute("ID", id);
    module->SetAttribute("Name", name);
    module->SetAttribute("Version", version);
    parent->LinkEndChild(module);
    return module;
}

void AddPluginElement(TiXmlElement* parent, int32_t id, const std::string& filename, int32_t loadTimeMs,
                      int32_t openTimeMs, int32_t openCode, int32_t logLevel, int32_t logLevelDefault)
{
    auto* plugin = new TiXmlElement("Plugin");
    plugin->SetAttribute("ID", id);
    plugin->SetAttribute("Filename", filename);
    plugin->SetAttribute("Opened", 1);
    plugin->SetAttribute("LoadTimeMs", loadTimeMs);
    plugin->SetAttribute("OpenTimeMs", openTimeMs);
    plugin->SetAttribute("OpenCode", openCode);
    plugin->SetAttribute("LogLevel", logLevel);
    plugin->SetAttribute("LogLevelDefault", logLevelDefault);
    parent->LinkEndChild(plugin);
}

bool ReadIntAttribute(const TiXmlElement& element, const char* name, int32_t& value)
{
    const char* text = element.Attribute(name);
    if (!text)
        return false;
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r')
        ++text;
    if (!(*text == '-' || *text == '+' || (*text >= '0' && *text <= '9')))
        return false;
    errno = 0;
    char* end;
    const long long number = strtoll(text, &end, 10);
    if (errno || end == text || !(end[-1] >= '0' && end[-1] <= '9'))
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')
        ++end;
    if (*end || number < std::numeric_limits<int32_t>::min() || number > std::numeric_limits<int32_t>::max())
        return false;
    value = static_cast<int32_t>(number);
    return true;
}

bool StatusFiles::IsNews(const std::string& name, bool saved, const std::string& cause)
{
    const auto failure = failures.find(name);
    if (saved) {
        if (failure == failures.end())
            return false;
        failures.erase(failure);
        return true;
    }
    if (failure != failures.end() && failure->second == cause)
        return false;
    failures[name] = cause;
    return true;
}

namespace {

// One save of the status document, logged when its outcome is news. Both
// lines are warnings, so that whoever sees the failure sees the recovery.
void SaveStatusFile(StatusFiles& files, XmlDocument& status, const char* name)
{
    const bool held = files.Held(name);
    const bool saved = !held && status.SaveFileSafely(name);
    const std::string cause =
        held ? "an unusable file is in its place and could not be moved aside" : status.ErrorDesc();
    if (!files.IsNews(name, saved, cause))
        return;
    if (saved)
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "saved %s again", name);
    else
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "cannot save %s: %s", name, cause.c_str());
}

} // namespace

void Documents::SetSupervisor(std::string filename, std::optional<std::string> version)
{
    std::lock_guard lock(supervisorMutex_);
    supervisor_.filename = std::move(filename);
    if (version)
        supervisor_.version = std::move(*version);
}

Documents::Supervisor Documents::supervisor() const
{
    std::lock_guard lock(supervisorMutex_);
    return supervisor_;
}

void Documents::WriteStatus()
{
    const Supervisor library = supervisor();
    const auto coreID = static_cast<int32_t>(CORE_PROVIDER_ID);

    auto* root = new TiXmlElement("Kavo");
    root->SetAttribute("Delta", 0);
    auto* memory = new TiXmlElement("Memory");
    memory->SetAttribute("ID", coreID);
    memory->SetAttribute("Throttling", *links_.throttlingEnabled ? 1 : 0);
    root->LinkEndChild(memory);

    auto* modules = new TiXmlElement("Modules");
    const LogLevelTable& levels = *links_.logLevels;
    const LogLevelTable& defaults = *links_.defaultLogLevels;
    TiXmlElement* coreModule = AddModuleElement(modules, coreID, "Core", coreVersion_);
    AddPluginElement(coreModule, coreID, boost::filesystem::path(links_.executablePath).filename().string(), 0, 0, 0,
                     levels[0].load(), defaults[0].load());
    uint32_t totalLoadMs = 0, totalOpenMs = 0;
    // After an update this runs on the I/O thread, and the shutdown reorders
    // the list for closing while that thread still runs.
    links_.host->WithList([&](const std::vector<PLUGININFO>& plugins) {
        for (const PLUGININFO& plugin : plugins) {
            const uint32_t slot = DVR_MODULE_INDEX(plugin.info.systemID);
            const bool hasSlot = slot < LogLevelArraySize;
            AddPluginElement(coreModule, static_cast<int32_t>(plugin.info.systemID), plugin.Filename,
                             Low32(plugin.LoadTimeMs), Low32(plugin.OpenTimeMs), plugin.OpenCode,
                             hasSlot ? levels[slot].load() : -1, hasSlot ? defaults[slot].load() : -1);
            totalLoadMs += static_cast<uint32_t>(plugin.LoadTimeMs);
            totalOpenMs += static_cast<uint32_t>(plugin.OpenTimeMs);
        }
    });
    modules->SetAttribute("TotalLoadTimeMs", static_cast<int32_t>(totalLoadMs));
    modules->SetAttribute("TotalOpenTimeMs", static_cast<int32_t>(totalOpenMs));
    if (!library.version.empty()) {
        auto* element = new TiXmlElement("Library");
        element->SetAttribute("Name", "tarvod");
        element->SetAttribute("Filename", library.filename);
        element->SetAttribute("Version", library.version);
        coreModule->LinkEndChild(element);
    }
    int32_t failedNumber = 0;
    for (const auto& [filename, error] : links_.host->failures()) {
        ++failedNumber;
        AddModuleElement(modules, failedNumber, filename, error);
        AddPluginElement(coreModule, failedNumber, filename, 0, 0, FAILED_LIBRARY_OPEN_CODE, -1, -1);
    }
    root->LinkEndChild(modules);

    XmlDocument status;
    status.document.LinkEndChild(new TiXmlDeclaration("", "", ""));
    status.document.LinkEndChild(root);
    // A failed save keeps the previous file and does not stop the other one
    // or the event.
    for (const char* name : {"core.xml", "plugins.xml"})
        SaveStatusFile(statusFiles_, status, name);

    auto* product = new TiXmlElement("Product");
    product->SetAttribute("Family", productName_);
    product->SetAttribute("Version", coreVersion_);
    root->LinkEndChild(product);
    Raise(status.document, EVENT_TYPE_CONFIG);
}

void Documents::Raise(const TiXmlDocument& document, uint32_t eventType)
{
    const std::string text = PrintCompact(document);
    _EventParmsIn event =
        EventRecord(CORE_PROVIDER_ID, eventType, EVENT_FLAGS_XML, text.data(), static_cast<uint32_t>(text.size()));
    // Refused while the core stops: the document is simply not delivered.
    links_.raise(event);
}
