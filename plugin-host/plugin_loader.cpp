// Discovery, loading and opening of plugin libraries, on the start-up thread.
#include "plugin-host/plugin_loader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include <boost/filesystem/operations.hpp>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "plugin-host/plugin_threads.h"

namespace fs = boost::filesystem;

namespace {

// Highest moduleIndex the core accepts. It is one past the last log-level
// slot: such a plugin loads but keeps no threshold of its own.
constexpr uint32_t kHighestModuleIndex = LogLevelArraySize;
// A plugin's default threshold is taken when it lies in -1..100 and is not 0
// (0 means it gave none).
constexpr int32_t kLowestDefaultLevel = NO_THRESHOLD;
constexpr int32_t kHighestDefaultLevel = LEVEL_CRITICAL;
constexpr int32_t kNoDefaultLevel = 0;

// Closes a library on every rejection path; released once it is accepted.
struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// The file name from its last dot on; empty without a dot.
std::string Extension(const std::string& fileName)
{
    const size_t dot = fileName.rfind('.');
    return dot == std::string::npos ? std::string() : fileName.substr(dot);
}

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

void ScanPluginDirectory(const fs::path& dir, const std::string& extension, std::vector<fs::path>& list)
{
    boost::system::error_code error;
    const fs::file_status dirStatus = fs::status(dir, error);
    if (error || !fs::is_directory(dirStatus))
        return;
    fs::directory_iterator entry(dir, error);
    for (const fs::directory_iterator end; !error && entry != end; entry.increment(error)) {
        boost::system::error_code entryError;
        const fs::file_status status = fs::status(entry->path(), entryError);
        if (entryError || !fs::is_regular_file(status))
            continue;
        if (Extension(entry->path().filename().string()) == extension)
            list.push_back(entry->path());
    }
}

void OrderPluginPaths(std::vector<fs::path>& list)
{
    auto marked = [](const fs::path& path) { return path.string().find(PLUGIN_ORDER_MARKER) != std::string::npos; };
    std::sort(list.begin(), list.end(), [&](const fs::path& a, const fs::path& b) {
        const bool aMarked = marked(a);
        if (aMarked != marked(b))
            return aMarked;
        return a < b;
    });
}

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
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "Core: Failed to load plugin '%s': %s",
                   fileName.c_str(), reason.c_str());
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
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "Core: Failed to load plugin: %s (missing symbol)",
                   fileName.c_str());
        return;
    }

    _LoadParmsIn in = LoadRecord(this, FlatPluginEvent);
    _LoadParmsOut out = LoadResultRecord();
    // The plugin names itself only by filling `out`: until then the call is
    // known by its library's file name.
    const PluginCallResult call = ::CallPlugin(plugin.Load, 0, PluginEntry::Load, in, out, [this] { return now(); },
                                               CallTiming::Measure, fileName.c_str());
    plugin.LoadTimeMs = WholeMilliseconds(call.elapsedNs);
    if (call.failed()) {
        library.reset();
        LogPluginFailure(fileName.c_str(), "load", call, LEVEL_CRITICAL);
        return;
    }

    const uint32_t systemID = out.systemID;
    bool known;
    {
        std::shared_lock lock(moduleNamesMutex);
        known = moduleNames.count(systemID) != 0;
    }
    if (known) {
        library.reset();
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "plugin %s ID 0x%08lX already loaded",
                   fileName.c_str(), static_cast<unsigned long>(systemID));
        return;
    }
    const uint32_t moduleIndex = DVR_MODULE_INDEX(systemID);
    if (moduleIndex > kHighestModuleIndex) {
        library.reset();
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL,
                   "plugin %s ID 0x%08lX exceeds the log level array size, set LogLevelArraySize to 0xfff",
                   fileName.c_str(), static_cast<unsigned long>(systemID));
        return;
    }

    const int32_t level = out.logLevelDefault;
    if (moduleIndex < LogLevelArraySize && level >= kLowestDefaultLevel && level <= kHighestDefaultLevel &&
        level != kNoDefaultLevel) {
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
