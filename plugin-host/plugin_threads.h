// Threads the core runs for a plugin: one worker call and one reader call.
#pragma once

#include <cstdint>
#include <functional>

#include "plugin-host/plugininfo.h"

// Starts IOCTL(IOCTL_WORKER) on a thread of its own when info.workerEnabled;
// `now` is the core's clock, which outlives the thread.
void ProvideWorkerThread(PLUGININFO& plugin, const std::function<int64_t()>& now);
// Starts Read on a thread of its own when info.readEnabled.
void StartAsyncReader(PLUGININFO& plugin, const std::function<int64_t()>& now);
