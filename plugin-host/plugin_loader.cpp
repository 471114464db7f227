// Loading and opening plugin libraries, on the main thread.
#include "plugin-host/plugin_loader.h"
#include "plugin-host/plugin_host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "core/logging.h"
#include "plugin-host/plugin_acceptance.h"
#include "plugin-host/plugin_descriptor_rules.h"
#include "plugin-host/plugin_entry_points.h"
#include "plugin-host/plugin_threads.h"

namespace fs = std::filesystem;

namespace {

// Closes a library on every rejection path; released once it is accepted.
struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// The file name without its last extension, ASCII upper case lowered.
std::string ModuleName(const std::string& fileName)
{
    std::string stem = fileName.substr(0, fileName.rfind('.'));
    for (char& c : stem)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return stem;
}

int64_t WholeMilliseconds(int64_t nanoseconds)
{
    return nanoseconds / 1'000'000;
}

} // namespace

bool PluginHost::LoadAll(const std::string& executablePath)
{
    const fs::path base = fs::path(executablePath).parent_path();
    std::vector<fs::path> paths;
    ScanPluginDirectory(base / PLUGIN_DIR, PLUGIN_EXTENSION, paths);
    ScanPluginDirectory(base / PROTECTED_PLUGIN_DIR, PLUGIN_EXTENSION, paths);
    OrderPluginPaths(paths);
    for (const fs::path& path : paths)
        Load(path.string());
    return !plugins_.empty();
}

void PluginHost::Load(const std::string& path)
{
    const std::string fileName = fs::path(path).filename().string();
    LibraryHandle library(dlopen(path.c_str(), RTLD_NOW));
    if (!library) {
        const char* error = dlerror();
        const std::string reason = error ? error : "";
        const PluginVerdict verdict = OpenFailureVerdict(fileName, reason);
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, verdict.level, "%s", verdict.message.c_str());
        failedPlugins_[fileName] = reason;
        return;
    }

    PLUGININFO plugin;
    plugin.Filename = fileName;
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "Core: Loaded plugin: %s", fileName.c_str());
    static_cast<PluginEntryPoints&>(plugin) = LookUpEntryPoints(library.get());
    if (!plugin.Load) {
        library.reset();
        const PluginVerdict verdict = MissingLoadVerdict(fileName);
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, verdict.level, "%s", verdict.message.c_str());
        return;
    }

    _LoadParmsIn in = LoadRecord(links_.coreContext, FlatPluginEvent);
    _LoadParmsOut out = LoadResultRecord();
    // The plugin names itself only by filling `out`: until then the call is
    // known by its library's file name.
    const PluginCallResult call =
        CallPlugin(plugin.Load, 0, PluginEntry::Load, in, out, links_.now, CallTiming::Measure, fileName.c_str());
    plugin.LoadTimeMs = WholeMilliseconds(call.elapsedNs);
    const uint32_t systemID = out.systemID;
    bool known;
    {
        std::shared_lock lock(moduleNamesMutex_);
        known = moduleNames_.count(systemID) != 0;
    }
    const PluginVerdict verdict = LoadVerdict(fileName, call.result, out, known);
    if (!verdict.accepted) {
        library.reset();
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, verdict.level, "%s", verdict.message.c_str());
        return;
    }
    const uint32_t moduleIndex = DVR_MODULE_INDEX(systemID);
    // Accepted, but probably not what its author meant: said once, here,
    // where the operator sees it, and not only by the inspector.
    for (const std::string& warning : DescriptorWarnings(out, ExportedEntryBits(plugin)))
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "plugin %s accepted with a warning: %s",
                   fileName.c_str(), warning.c_str());

    const int32_t level = out.logLevelDefault;
    if (AppliesLogLevelDefault(moduleIndex, level)) {
        (*links_.defaultLogLevels)[moduleIndex] = static_cast<int8_t>(level);
        // A level configured before loading wins over the plugin's default.
        int8_t unset = NO_THRESHOLD;
        (*links_.logLevels)[moduleIndex].compare_exchange_strong(unset, static_cast<int8_t>(level));
    }
    {
        std::unique_lock lock(moduleNamesMutex_);
        moduleNames_[systemID] = ModuleName(fileName);
        fileNames_[systemID] = fileName;
    }
    plugin.info = out;
    plugin.handle = library.release();
    plugin.counters = &side_.Add(systemID, fileName).counters;

    // The worker runs while later libraries load; it holds no reference into
    // the list, so the insertion below may move the record.
    ProvideWorkerThread(plugin, links_.now);
    std::unique_lock lock(listMutex_);
    if (GoesToTheFront(systemID) && !plugins_.empty())
        plugins_.insert(plugins_.begin(), std::move(plugin));
    else
        plugins_.push_back(std::move(plugin));
}

std::string PluginHost::FileName(uint32_t systemID)
{
    std::shared_lock lock(moduleNamesMutex_);
    const auto found = fileNames_.find(systemID);
    return found == fileNames_.end() ? std::string() : found->second;
}

void PluginHost::OpenAll()
{
    // Only this thread changes the list, so it walks it without the lock.
    for (PLUGININFO& plugin : plugins_) {
        if (!plugin.Open)
            continue; // nothing to call: OpenCode stays 0
        _OpenParmsIn in = OpenRecord();
        _OpenParmsOut out = OpenResultRecord();
        const PluginCallResult call = Call(plugin, plugin.Open, PluginEntry::Open, in, out, CallTiming::Measure);
        std::unique_lock lock(listMutex_);
        plugin.OpenCode = call.result;
        plugin.OpenTimeMs = WholeMilliseconds(call.elapsedNs);
    }
}

void PluginHost::StartReaders()
{
    for (PLUGININFO& plugin : plugins_)
        StartAsyncReader(plugin, links_.now);
}
