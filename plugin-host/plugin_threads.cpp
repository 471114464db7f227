// The worker and reader threads the core runs for a plugin. Each body owns
// only the entry point it calls, so the plugin list may move its records
// while the threads run.
#include "plugin-host/plugin_threads.h"

#include <cstring>

namespace {

void RunWorker(DvrEntryPoint ioctl)
{
    _IoctlParmsIn in{sizeof in, DVR_RECORD_VERSION, IOCTL_WORKER, 8, 1, 0, nullptr};
    _IoctlParmsOut out{sizeof out, DVR_RECORD_VERSION, IOCTL_WORKER, 0, 0, 8, 1};
    ioctl(&in, &out); // the plugin's own loop; its result means nothing to the core
}

void RunReader(DvrEntryPoint read)
{
    _ReadParmsIn in;
    memset(&in, 0, sizeof in);
    in.structSize = sizeof in;
    in.version = DVR_RECORD_VERSION;
    in.readMode = 1;
    _ReadParmsOut out{sizeof out, DVR_RECORD_VERSION, {0, 0, 0}};
    read(&in, &out);
}

} // namespace

// A plugin asking for a thread without exporting what it would run gets none.
// Assigning over a joinable thread terminates: each is started once.
void ProvideWorkerThread(PLUGININFO& plugin)
{
    if (plugin.info.workerEnabled && plugin.IOCTL)
        plugin.workerThread = std::thread(RunWorker, plugin.IOCTL);
}

void StartAsyncReader(PLUGININFO& plugin)
{
    if (plugin.info.readEnabled && plugin.Read)
        plugin.readerThread = std::thread(RunReader, plugin.Read);
}
