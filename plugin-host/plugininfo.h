// The core's record per accepted plugin.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "dvrplugin.h"
#include "plugin-host/plugin_entry_points.h"

struct PluginCounters;

// The entry points (Load ... IOCTL) come first, as the loader looked them up.
struct PLUGININFO : PluginEntryPoints {
    void* handle = nullptr;   // from dlopen
    std::thread workerThread; // IOCTL(IOCTL_WORKER), when info.workerEnabled
    std::thread readerThread; // Read, when info.readEnabled
    _LoadParmsOut info{};     // the descriptor the plugin filled in Load
    std::string Filename;     // last element of the library path
    int32_t OpenCode = 0;
    int64_t LoadTimeMs = 0;
    int64_t OpenTimeMs = 0;
    PluginCounters* counters = nullptr; // in the side table; null for a record the loader did not add

    PLUGININFO() = default;
    PLUGININFO(PLUGININFO&&) = default;
    PLUGININFO& operator=(PLUGININFO&&) = default;
    PLUGININFO(const PLUGININFO&) = delete;
    PLUGININFO& operator=(const PLUGININFO&) = delete;
};
