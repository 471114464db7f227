// The worker and reader threads the core runs for a plugin. Each body owns
// only the entry point it calls (and the plugin's ID, a plain value), so the
// plugin list may move its records while the threads run.
#include "plugin-host/plugin_threads.h"

#include "plugin-host/plugin_call.h"

namespace {

void RunWorker(DvrEntryPoint ioctl, uint32_t systemID, std::function<int64_t()> now)
{
    _IoctlParmsIn in = IoctlRecord(IOCTL_WORKER);
    _IoctlParmsOut out = IoctlResultRecord(IOCTL_WORKER);
    // The plugin's own loop; its result means nothing to the core.
    CallPlugin(ioctl, systemID, PluginEntry::IOCTL, in, out, now);
}

void RunReader(DvrEntryPoint read, uint32_t systemID, std::function<int64_t()> now)
{
    _ReadParmsIn in = ReadRecord();
    _ReadParmsOut out = ReadResultRecord();
    CallPlugin(read, systemID, PluginEntry::Read, in, out, now);
}

} // namespace

// A plugin asking for a thread without exporting what it would run gets none.
// Assigning over a joinable thread terminates: each is started once.
void ProvideWorkerThread(PLUGININFO& plugin, const std::function<int64_t()>& now)
{
    if (plugin.info.workerEnabled && plugin.IOCTL)
        plugin.workerThread = std::thread(RunWorker, plugin.IOCTL, plugin.info.systemID, now);
}

void StartAsyncReader(PLUGININFO& plugin, const std::function<int64_t()>& now)
{
    if (plugin.info.readEnabled && plugin.Read)
        plugin.readerThread = std::thread(RunReader, plugin.Read, plugin.info.systemID, now);
}
