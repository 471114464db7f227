// Threads the core runs for a plugin: one worker call and one reader call.
#pragma once

#include "plugin-host/plugininfo.h"

// Starts IOCTL(IOCTL_WORKER) on a thread of its own when info.workerEnabled.
void ProvideWorkerThread(PLUGININFO& plugin);
// Starts Read on a thread of its own when info.readEnabled.
void StartAsyncReader(PLUGININFO& plugin);
