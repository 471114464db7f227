// The worker and reader threads the core runs for a plugin. Each body owns
// only the entry point it calls (and the plugin's ID, a plain value), so the
// plugin list may move its records while the threads run.
#include "plugin-host/plugin_threads.h"

#include "core/dvrcore.h"
#include "plugin-host/plugin_call.h"

namespace {

int64_t CoreNow()
{
    return instance->now(); // the core outlives every plugin thread
}

void RunWorker(DvrEntryPoint ioctl, uint32_t systemID)
{
    _IoctlParmsIn in = IoctlRecord(IOCTL_WORKER);
    _IoctlParmsOut out = IoctlResultRecord(IOCTL_WORKER);
    // The plugin's own loop; its result means nothing to the core.
    CallPlugin(ioctl, systemID, PluginEntry::IOCTL, in, out, CoreNow);
}

void RunReader(DvrEntryPoint read, uint32_t systemID)
{
    _ReadParmsIn in = ReadRecord();
    _ReadParmsOut out = ReadResultRecord();
    CallPlugin(read, systemID, PluginEntry::Read, in, out, CoreNow);
}

} // namespace

// A plugin asking for a thread without exporting what it would run gets none.
// Assigning over a joinable thread terminates: each is started once.
void ProvideWorkerThread(PLUGININFO& plugin)
{
    if (plugin.info.workerEnabled && plugin.IOCTL)
        plugin.workerThread = std::thread(RunWorker, plugin.IOCTL, plugin.info.systemID);
}

void StartAsyncReader(PLUGININFO& plugin)
{
    if (plugin.info.readEnabled && plugin.Read)
        plugin.readerThread = std::thread(RunReader, plugin.Read, plugin.info.systemID);
}
