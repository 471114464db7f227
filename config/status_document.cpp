// The status document: built from the core's state, saved as core.xml and
// plugins.xml (both with the safe save; failures logged once per cause),
// then raised to the plugins with the product description added.
#include "config/status_document.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <shared_mutex>

#include <boost/filesystem/path.hpp>

#include "config/xml_document.h"
#include "core/dvrcore.h"
#include "core/logging.h"

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

void dvrcore::WriteStatusDocuments()
{
    // The I/O thread writes these when a configuration packet arrives.
    std::string libraryFilename, libraryVersion;
    {
        std::lock_guard lock(coreMutex);
        libraryFilename = supervisorFilename;
        libraryVersion = supervisorVersion;
    }
    const auto coreID = static_cast<int32_t>(CORE_PROVIDER_ID);

    auto* root = new TiXmlElement("Kavo");
    root->SetAttribute("Delta", 0);
    auto* memory = new TiXmlElement("Memory");
    memory->SetAttribute("ID", coreID);
    memory->SetAttribute("Throttling", throttlingEnabled ? 1 : 0);
    root->LinkEndChild(memory);

    auto* modules = new TiXmlElement("Modules");
    TiXmlElement* coreModule = AddModuleElement(modules, coreID, "Core", coreVersion);
    AddPluginElement(coreModule, coreID, boost::filesystem::path(executablePath).filename().string(), 0, 0, 0,
                     logLevels[0].load(), defaultLogLevels[0].load());
    uint32_t totalLoadMs = 0, totalOpenMs = 0;
    // After an update this runs on the I/O thread, and the shutdown reorders
    // the list for closing while that thread still runs.
    std::shared_lock pluginsLock(pluginsMutex);
    for (const PLUGININFO& plugin : plugins) {
        const uint32_t slot = DVR_MODULE_INDEX(plugin.info.systemID);
        const bool hasSlot = slot < LogLevelArraySize;
        AddPluginElement(coreModule, static_cast<int32_t>(plugin.info.systemID), plugin.Filename,
                         Low32(plugin.LoadTimeMs), Low32(plugin.OpenTimeMs), plugin.OpenCode,
                         hasSlot ? logLevels[slot].load() : -1, hasSlot ? defaultLogLevels[slot].load() : -1);
        totalLoadMs += static_cast<uint32_t>(plugin.LoadTimeMs);
        totalOpenMs += static_cast<uint32_t>(plugin.OpenTimeMs);
    }
    pluginsLock.unlock();
    modules->SetAttribute("TotalLoadTimeMs", static_cast<int32_t>(totalLoadMs));
    modules->SetAttribute("TotalOpenTimeMs", static_cast<int32_t>(totalOpenMs));
    if (!libraryVersion.empty()) {
        auto* library = new TiXmlElement("Library");
        library->SetAttribute("Name", "tarvod");
        library->SetAttribute("Filename", libraryFilename);
        library->SetAttribute("Version", libraryVersion);
        coreModule->LinkEndChild(library);
    }
    int32_t failedNumber = 0;
    for (const auto& [filename, error] : failedPlugins) {
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
        SaveStatusFile(statusFiles, status, name);

    auto* product = new TiXmlElement("Product");
    product->SetAttribute("Family", productName);
    product->SetAttribute("Version", coreVersion);
    root->LinkEndChild(product);
    RaiseDocument(status.document, EVENT_TYPE_CONFIG);
}

void dvrcore::RaiseDocument(const TiXmlDocument& document, uint32_t eventType)
{
    std::string text = PrintCompact(document);
    _EventParmsIn event;
    memset(&event, 0, sizeof event);
    event.structSize = sizeof event;
    event.version = DVR_RECORD_VERSION;
    event.dataSize = static_cast<uint32_t>(text.size());
    event.data = text.data();
    event.providerID = CORE_PROVIDER_ID;
    event.eventType = eventType;
    event.eventFlags = EVENT_FLAGS_XML;
    _EventParmsOut out{sizeof out, DVR_RECORD_VERSION, 0};
    // Refused while the core stops: the document is simply not delivered.
    PluginEvent(&event, &out);
}
