// Likely mistakes in a descriptor the core accepts without complaint: a mask
// holding a raw eventFlags bit, masks without writeEnabled, a flag for a call
// the library does not export. The core logs them at load; the inspector
// prints them. One set of rules, so both say the same in the same words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dvrplugin.h"
#include "plugin-host/plugin_entry_points.h"

// Bit i set: the entry point kEntryPointNames[i] is exported.
uint32_t ExportedEntryBits(const PluginEntryPoints& entries);

// The warnings for the descriptor `d` of a library exporting `exportedEntries`
// (ExportedEntryBits); empty when nothing looks wrong.
std::vector<std::string> DescriptorWarnings(const _LoadParmsOut& d, uint32_t exportedEntries);

// Name of the subscribable event type of eventMasks[maskIndex] ("0x0001 media").
const char* EventTypeName(int maskIndex);

// Delivery order: the plugin with FRONT_PLUGIN_ID goes ahead of every plugin
// loaded before it; any other goes after them.
inline bool GoesToTheFront(uint32_t systemID)
{
    return systemID == FRONT_PLUGIN_ID;
}

// Plugins close and unload in descending order of this key, their
// subscription mask for eventType 0x0020, compared unsigned; plugins with
// equal keys close in no set order among themselves.
inline uint32_t CloseOrderKey(const _LoadParmsOut& descriptor)
{
    return descriptor.eventMasks[DVR_EVENT_MASK_INDEX_0020];
}
