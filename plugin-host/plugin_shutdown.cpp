// Closing and unloading the plugins at shutdown, on the start-up thread.
#include <dlfcn.h>

#include <algorithm>

#include "core/dvrcore.h"
#include "core/logging.h"

namespace {

// The close-order key: a plugin's subscription mask for eventType 0x0020.
// Plugins close (and unload) in descending order of it, compared unsigned.
uint32_t CloseOrderKey(const PLUGININFO& plugin)
{
    return plugin.info.eventMasks[DVR_EVENT_MASK_INDEX_0020];
}

} // namespace

bool dvrcore::ClosePlugins()
{
    if (plugins.empty())
        return true;
    {
        // The I/O thread still routes supervisor packets through the list.
        std::unique_lock lock(pluginsMutex);
        std::sort(plugins.begin(), plugins.end(),
                  [](const PLUGININFO& a, const PLUGININFO& b) { return CloseOrderKey(a) > CloseOrderKey(b); });
    }
    for (PLUGININFO& plugin : plugins) {
        if (!plugin.Close)
            continue;
        _CloseParmsIn in = CloseRecord();
        _CloseParmsOut out = CloseResultRecord();
        const PluginCallResult call = CallPlugin(plugin, plugin.Close, PluginEntry::Close, in, out);
        if (call.failed())
            LogPluginFailure(plugin.Filename.c_str(), "close", call);
    }
    return true;
}

bool dvrcore::UnloadPlugins()
{
    for (PLUGININFO& plugin : plugins) {
        // The watchdog names the plugin whose thread the stop waits for.
        if (plugin.readerThread.joinable()) {
            PluginCallScope::ShowJoining(plugin.info.systemID, PluginEntry::Read, now());
            plugin.readerThread.join();
        }
        if (plugin.workerThread.joinable()) {
            PluginCallScope::ShowJoining(plugin.info.systemID, PluginEntry::IOCTL, now());
            plugin.workerThread.join();
        }
        PluginCallScope::ShowIdle();
        {
            // Read requests raised by plugins still running must not start
            // in this one; those already running are waited for below.
            std::unique_lock lock(pluginsMutex);
            plugin.Read = nullptr;
            plugin.IOCTL = nullptr;
            plugin.Write = nullptr;
        }
        WaitForRequestThreads();
        if (plugin.Unload) {
            _UnloadParmsIn in = UnloadRecord();
            _UnloadParmsOut out = UnloadResultRecord();
            const PluginCallResult call = CallPlugin(plugin, plugin.Unload, PluginEntry::Unload, in, out);
            if (call.failed())
                LogPluginFailure(plugin.Filename.c_str(), "unload", call);
        }
        // The resident plugin's code stays mapped until the process ends.
        if (plugin.info.systemID != RESIDENT_PLUGIN_ID)
            dlclose(plugin.handle);
        plugin.handle = nullptr;
    }
    std::unique_lock lock(pluginsMutex);
    plugins.clear();
    pluginSide.Clear();
    return true;
}
