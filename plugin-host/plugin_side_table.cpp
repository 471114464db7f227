#include "plugin-host/plugin_side_table.h"

#include <cstdio>
#include <mutex>

PluginSideState& PluginSideTable::Add(uint32_t systemID, const std::string& fileName)
{
    auto state = std::make_unique<PluginSideState>();
    snprintf(state->fileName, sizeof state->fileName, "%s", fileName.c_str());
    std::unique_lock lock(mutex_);
    auto& entry = entries_[systemID];
    entry = std::move(state);
    return *entry;
}

PluginSideState* PluginSideTable::Find(uint32_t systemID)
{
    std::shared_lock lock(mutex_);
    auto found = entries_.find(systemID);
    return found == entries_.end() ? nullptr : found->second.get();
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
    entries_.clear();
}
