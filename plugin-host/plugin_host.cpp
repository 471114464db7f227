// The plugin host's list, names and the supervisor's packets for plugins.
#include "plugin-host/plugin_host.h"

#include <climits>
#include <cstdio>
#include <cstring>

PluginHost::PluginHost(Links links) : links_(std::move(links)), watchdog_(WatchdogHooks(), *links_.stopping)
{
    moduleNames_[CORE_PROVIDER_ID] = "core";
}

PLUGININFO& PluginHost::AddListed(PLUGININFO plugin)
{
    std::unique_lock lock(listMutex_);
    plugins_.push_back(std::move(plugin));
    return plugins_.back();
}

void PluginHost::CopyModuleName(uint32_t sourceID, char* name, size_t size)
{
    std::shared_lock lock(moduleNamesMutex_);
    auto found = moduleNames_.find(sourceID);
    if (found != moduleNames_.end())
        snprintf(name, size, "%s", found->second.c_str());
}

void PluginHost::SupervisorPacket(const unsigned char* packet, uint32_t length)
{
    if (length < IPC_HEADER_SIZE)
        return;
    IpcHeader header;
    memcpy(&header, packet, sizeof header);
    const uint32_t moduleIndex = DVR_IPC_TARGET_MODULE_INDEX(header.target);
    DvrEntryPoint ioctl = nullptr;
    uint32_t systemID = 0;
    {
        std::shared_lock lock(listMutex_);
        for (const PLUGININFO& plugin : plugins_) {
            if (DVR_MODULE_INDEX(plugin.info.systemID) == moduleIndex) {
                ioctl = plugin.IOCTL;
                systemID = plugin.info.systemID;
                break;
            }
        }
    }
    // Only the first plugin with the index is addressed, with or without IOCTL.
    if (!ioctl)
        return;

    _IoctlParmsIn in = IoctlRecord(IOCTL_SUPERVISOR, length, const_cast<unsigned char*>(packet));
    _IoctlParmsOut out = IoctlResultRecord(IOCTL_SUPERVISOR);
    const PluginCallResult call = CallPlugin(ioctl, systemID, PluginEntry::IOCTL, in, out, links_.now);
    if (PluginSideState* side = side_.FindFast(systemID))
        side->counters.supervisorCalls.fetch_add(1, std::memory_order_relaxed);
    if (!call.failed())
        return;

    // Only a failure needs the name; copied into a fixed buffer so that no
    // lock is held while logging and nothing is allocated.
    char name[NAME_MAX + 1];
    side_.CopyFileName(systemID, name, sizeof name);
    LogPluginFailure(name, "ipc ioctl", call);
}
