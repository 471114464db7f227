// Closing and unloading the plugins at shutdown, on the start-up thread.
#include <dlfcn.h>

#include <algorithm>

#include "core/dvrcore.h"
#include "core/logging.h"

bool dvrcore::ClosePlugins()
{
    if (plugins.empty())
        return true;
    {
        // The I/O thread still routes supervisor packets through the list.
        std::unique_lock lock(pluginsMutex);
        std::sort(plugins.begin(), plugins.end(), [](const PLUGININFO& a, const PLUGININFO& b) {
            return a.info.eventMasks[DVR_EVENT_MASK_INDEX_0020] > b.info.eventMasks[DVR_EVENT_MASK_INDEX_0020];
        });
    }
    for (PLUGININFO& plugin : plugins) {
        if (!plugin.Close)
            continue;
        _CloseParmsIn in{sizeof in, DVR_RECORD_VERSION, 0};
        _CloseParmsOut out{sizeof out, DVR_RECORD_VERSION, 0};
        const int32_t result = plugin.Close(&in, &out);
        if (result || out.error)
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "plugin %s close returned %d error %d",
                       plugin.Filename.c_str(), result, out.error);
    }
    return true;
}

bool dvrcore::UnloadPlugins()
{
    for (PLUGININFO& plugin : plugins) {
        if (plugin.readerThread.joinable())
            plugin.readerThread.join();
        if (plugin.workerThread.joinable())
            plugin.workerThread.join();
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
            _UnloadParmsIn in{sizeof in, DVR_RECORD_VERSION};
            _UnloadParmsOut out{sizeof out, DVR_RECORD_VERSION, 0};
            const int32_t result = plugin.Unload(&in, &out);
            if (result || out.error)
                LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "plugin %s unload returned %d error %d",
                           plugin.Filename.c_str(), result, out.error);
        }
        // The resident plugin's code stays mapped until the process ends.
        if (plugin.info.systemID != RESIDENT_PLUGIN_ID)
            dlclose(plugin.handle);
        plugin.handle = nullptr;
    }
    std::unique_lock lock(pluginsMutex);
    plugins.clear();
    return true;
}
