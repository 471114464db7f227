// Closing and unloading the plugins at shutdown, on the main thread.
#include <dlfcn.h>

#include <algorithm>

#include "core/logging.h"
#include "plugin-host/plugin_descriptor_rules.h"
#include "plugin-host/plugin_host.h"

void PluginHost::CloseAll()
{
    if (plugins_.empty())
        return;
    {
        // The I/O thread still routes supervisor packets through the list.
        std::unique_lock lock(listMutex_);
        std::sort(plugins_.begin(), plugins_.end(), [](const PLUGININFO& a, const PLUGININFO& b) {
            return CloseOrderKey(a.info) > CloseOrderKey(b.info);
        });
    }
    for (PLUGININFO& plugin : plugins_) {
        if (!plugin.Close)
            continue;
        _CloseParmsIn in = CloseRecord();
        _CloseParmsOut out = CloseResultRecord();
        const PluginCallResult call = Call(plugin, plugin.Close, PluginEntry::Close, in, out);
        if (call.failed())
            LogPluginFailure(plugin.Filename.c_str(), "close", call);
    }
}

void PluginHost::UnloadAll()
{
    for (PLUGININFO& plugin : plugins_) {
        // The watchdog names the plugin whose thread the stop waits for.
        if (plugin.readerThread.joinable()) {
            PluginCallScope::ShowJoining(plugin.info.systemID, PluginEntry::Read, links_.now());
            plugin.readerThread.join();
        }
        if (plugin.workerThread.joinable()) {
            PluginCallScope::ShowJoining(plugin.info.systemID, PluginEntry::IOCTL, links_.now());
            plugin.workerThread.join();
        }
        PluginCallScope::ShowIdle();
        {
            // Read requests raised by plugins still running must not start
            // in this one; those already running are waited for below.
            std::unique_lock lock(listMutex_);
            plugin.Read = nullptr;
            plugin.IOCTL = nullptr;
            plugin.Write = nullptr;
        }
        links_.waitForRequestThreads();
        if (plugin.Unload) {
            _UnloadParmsIn in = UnloadRecord();
            _UnloadParmsOut out = UnloadResultRecord();
            const PluginCallResult call = Call(plugin, plugin.Unload, PluginEntry::Unload, in, out);
            if (call.failed())
                LogPluginFailure(plugin.Filename.c_str(), "unload", call);
        }
        // The resident plugin's code stays mapped until the process ends.
        if (plugin.info.systemID != RESIDENT_PLUGIN_ID)
            dlclose(plugin.handle);
        plugin.handle = nullptr;
    }
    std::unique_lock lock(listMutex_);
    plugins_.clear();
    // The side table stays until the watchdog has stopped (StopWatching):
    // its thread may still be looking up a plugin whose call just returned.
}
