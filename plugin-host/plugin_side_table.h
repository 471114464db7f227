// Per-plugin state the core keeps beside PLUGININFO, keyed by systemID: what
// threads other than the start-up thread need to know about a plugin without
// walking the plugin list (whose records move), and a home for per-plugin
// state that PLUGININFO does not carry.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

struct PluginSideState {
    char fileName[NAME_MAX + 1] = "?"; // PLUGININFO.Filename, for logging from any thread
};

class PluginSideTable {
public:
    // Adds (or replaces) the entry of an accepted plugin. Entries stay where
    // they are until Clear, so a pointer to one stays valid until then.
    PluginSideState& Add(uint32_t systemID, const std::string& fileName);
    // Null when no plugin with this ID was accepted.
    PluginSideState* Find(uint32_t systemID);
    // Copies the plugin's file name into `name` ("?" when unknown); takes no
    // allocation and holds the lock only for the copy.
    void CopyFileName(uint32_t systemID, char* name, size_t size) const;
    // Once no thread runs plugin code any more.
    void Clear();

private:
    mutable std::shared_mutex mutex_;
    std::map<uint32_t, std::unique_ptr<PluginSideState>> entries_;
};
