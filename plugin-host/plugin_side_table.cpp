#include "plugin-host/plugin_side_table.h"

#include <cstdio>
#include <mutex>

#include "dvrplugin.h"

void PluginCounters::CountRaised(int32_t result) noexcept
{
    Raised kind;
    switch (result) {
    case EVENT_RESULT_OK:
        kind = Ok;
        break;
    case EVENT_RESULT_REFUSED:
        kind = Refused;
        break;
    case EVENT_RESULT_NOT_ADMITTED:
        kind = NotAdmitted;
        break;
    case EVENT_RESULT_KEYFRAME_EXPIRED:
        kind = KeyframeExpired;
        break;
    case EVENT_RESULT_THROTTLED:
        kind = Throttled;
        break;
    case EVENT_RESULT_NO_MEMORY:
        kind = NoMemory;
        break;
    default:
        kind = Other;
        break;
    }
    // Any thread of the plugin may raise: a locked add.
    raised[kind].fetch_add(1, std::memory_order_relaxed);
}

void PluginCounters::HoldChanged(int64_t blocks, int64_t bytes) noexcept
{
    // Called under the block table's lock, so plain load and store suffice.
    const int64_t nowBlocks = heldBlocks.load(std::memory_order_relaxed) + blocks;
    const int64_t nowBytes = heldBytes.load(std::memory_order_relaxed) + bytes;
    heldBlocks.store(nowBlocks, std::memory_order_relaxed);
    heldBytes.store(nowBytes, std::memory_order_relaxed);
    if (nowBlocks > peakBlocks.load(std::memory_order_relaxed))
        peakBlocks.store(nowBlocks, std::memory_order_relaxed);
    if (nowBytes > peakBytes.load(std::memory_order_relaxed))
        peakBytes.store(nowBytes, std::memory_order_relaxed);
}

PluginSideState& PluginSideTable::Add(uint32_t systemID, const std::string& fileName)
{
    auto state = std::make_unique<PluginSideState>();
    state->systemID = systemID;
    snprintf(state->fileName, sizeof state->fileName, "%s", fileName.c_str());
    std::unique_lock lock(mutex_);
    auto& entry = entries_[systemID];
    PluginSideState* replaced = entry.get();
    entry = std::move(state);
    auto& fast = byModuleIndex_[DVR_MODULE_INDEX(systemID)];
    if (!fast.load() || fast.load() == replaced)
        fast.store(entry.get());
    return *entry;
}

PluginSideState* PluginSideTable::Find(uint32_t systemID)
{
    std::shared_lock lock(mutex_);
    auto found = entries_.find(systemID);
    return found == entries_.end() ? nullptr : found->second.get();
}

PluginSideState* PluginSideTable::FindFast(uint32_t systemID, bool signalSafe)
{
    PluginSideState* state = byModuleIndex_[DVR_MODULE_INDEX(systemID)].load(std::memory_order_acquire);
    if (state && state->systemID == systemID)
        return state;
    return state && !signalSafe ? Find(systemID) : nullptr;
}

PluginSideState* PluginSideTable::FindBySource(uint32_t sourceID)
{
    PluginSideState* state = byModuleIndex_[DVR_MODULE_INDEX(sourceID)].load(std::memory_order_acquire);
    if (state && (state->systemID & 0xFFFF0000u) == (sourceID & 0xFFFF0000u))
        return state;
    return state ? FindFast(sourceID & 0xFFFF0000u) : nullptr;
}

void PluginSideTable::CopyFileName(uint32_t systemID, char* name, size_t size) const
{
    std::shared_lock lock(mutex_);
    auto found = entries_.find(systemID);
    snprintf(name, size, "%s", found == entries_.end() ? "?" : found->second->fileName);
}

void PluginSideTable::Clear()
{
    std::unique_lock lock(mutex_);
    for (auto& fast : byModuleIndex_)
        fast.store(nullptr);
    entries_.clear();
}
