// The core's record per accepted plugin.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "dvrplugin.h"

struct PluginCounters;

struct PLUGININFO {
    void* handle = nullptr; // from dlopen
    DvrEntryPoint Load = nullptr;
    DvrEntryPoint Unload = nullptr;
    DvrEntryPoint Open = nullptr;
    DvrEntryPoint Close = nullptr;
    DvrEntryPoint Read = nullptr;
    DvrEntryPoint Write = nullptr;
    DvrEntryPoint Seek = nullptr;
    DvrEntryPoint IOCTL = nullptr;
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
