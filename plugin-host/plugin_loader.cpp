// Discovery, loading and opening of plugin libraries, on the start-up thread.
#include "plugin-host/plugin_loader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <boost/filesystem/operations.hpp>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "plugin-host/plugin_acceptance.h"
#include "plugin-host/plugin_threads.h"

namespace fs = boost::filesystem;

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

DvrEntryPoint Symbol(void* handle, const char* name)
{
    return reinterpret_cast<DvrEntryPoint>(dlsym(handle, name));
}

int64_t WholeMilliseconds(int64_t nanoseconds)
{
    return nanoseconds / 1'000'000;
}

} // namespace

bool dvrcore::LoadPlugins()
{
    const fs::path base = fs::path(executablePath).parent_path();
    std::vector<fs::path> paths;
    ScanPluginDirectory(base / PLUGIN_DIR, PLUGIN_EXTENSION, paths);
    ScanPluginDirectory(base / PROTECTED_PLUGIN_DIR, PLUGIN_EXTENSION, paths);
    OrderPluginPaths(paths);
    for (const fs::path& path : paths)
        LoadPlugin(path.string());
    return !plugins.empty();
}

void dvrcore::LoadPlugin(const std::string& path)
{
    const std::string fileName = fs::path(path).filename().string();
    LibraryHandle library(dlopen(path.c_str(), RTLD_NOW));
    if (!library) {
        const char* error = dlerror();
        const std::string reason = error ? error : "";
        const PluginVerdict verdict = OpenFailureVerdict(fileName, reason);
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, verdict.level, "%s", verdict.message.c_str());
        failedPlugins[fileName] = reason;
        return;
    }

    PLUGININFO plugin;
    plugin.Filename = fileName;
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "Core: Loaded plugin: %s", fileName.c_str());
    plugin.Load = Symbol(library.get(), "Load");
    plugin.Unload = Symbol(library.get(), "Unload");
    plugin.Open = Symbol(library.get(), "Open");
    plugin.Close = Symbol(library.get(), "Close");
    plugin.Read = Symbol(library.get(), "Read");
    plugin.Write = Symbol(library.get(), "Write");
    plugin.Seek = Symbol(library.get(), "Seek");
    plugin.IOCTL = Symbol(library.get(), "IOCTL");
    if (!plugin.Load) {
        library.reset();
        const PluginVerdict verdict = MissingLoadVerdict(fileName);
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, verdict.level, "%s", verdict.message.c_str());
        return;
    }

    _LoadParmsIn in = LoadRecord(this, FlatPluginEvent);
    _LoadParmsOut out = LoadResultRecord();
    // The plugin names itself only by filling `out`: until then the call is
    // known by its library's file name.
    const PluginCallResult call = ::CallPlugin(
        plugin.Load, 0, PluginEntry::Load, in, out, [this] { return now(); }, CallTiming::Measure, fileName.c_str());
    plugin.LoadTimeMs = WholeMilliseconds(call.elapsedNs);
    const uint32_t systemID = out.systemID;
    bool known;
    {
        std::shared_lock lock(moduleNamesMutex);
        known = moduleNames.count(systemID) != 0;
    }
    const PluginVerdict verdict = LoadVerdict(fileName, call.result, out, known);
    if (!verdict.accepted) {
        library.reset();
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, verdict.level, "%s", verdict.message.c_str());
        return;
    }
    const uint32_t moduleIndex = DVR_MODULE_INDEX(systemID);

    const int32_t level = out.logLevelDefault;
    if (AppliesLogLevelDefault(moduleIndex, level)) {
        defaultLogLevels[moduleIndex] = static_cast<int8_t>(level);
        // A level configured before loading wins over the plugin's default.
        int8_t unset = NO_THRESHOLD;
        logLevels[moduleIndex].compare_exchange_strong(unset, static_cast<int8_t>(level));
    }
    {
        std::unique_lock lock(moduleNamesMutex);
        moduleNames[systemID] = ModuleName(fileName);
    }
    plugin.info = out;
    plugin.handle = library.release();
    plugin.counters = &pluginSide.Add(systemID, fileName).counters;

    // The worker runs while later libraries load; it holds no reference into
    // the list, so the insertion below may move the record.
    ProvideWorkerThread(plugin);
    std::unique_lock lock(pluginsMutex);
    if (systemID == FRONT_PLUGIN_ID && !plugins.empty())
        plugins.insert(plugins.begin(), std::move(plugin));
    else
        plugins.push_back(std::move(plugin));
}

bool dvrcore::OpenPlugins()
{
    // Only this thread changes the list, so it walks it without the lock.
    for (PLUGININFO& plugin : plugins) {
        if (!plugin.Open)
            continue; // nothing to call: OpenCode stays 0
        _OpenParmsIn in = OpenRecord();
        _OpenParmsOut out = OpenResultRecord();
        const PluginCallResult call = CallPlugin(plugin, plugin.Open, PluginEntry::Open, in, out, CallTiming::Measure);
        std::unique_lock lock(pluginsMutex);
        plugin.OpenCode = call.result;
        plugin.OpenTimeMs = WholeMilliseconds(call.elapsedNs);
    }
    return true;
}
