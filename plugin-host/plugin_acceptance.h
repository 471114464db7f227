// The core's rules for accepting a plugin library, with the messages it logs.
// Shared by the loader, the inspector and the test harness so that all three
// give the same verdict in the same words.
#pragma once

#include <cstdint>
#include <string>

#include "core/log_levels.h"
#include "dvrplugin.h"

// Highest moduleIndex the core accepts: one past the last log-level slot, so
// such a plugin loads but keeps no threshold of its own.
inline constexpr uint32_t kHighestModuleIndex = LogLevelArraySize;

struct PluginVerdict {
    bool accepted = true;
    int32_t level = 0;   // level the core logs the message at
    std::string message; // the core's message; empty when accepted
};

// dlopen failed with `reason` (the dlerror text).
PluginVerdict OpenFailureVerdict(const std::string& fileName, const std::string& reason);
// The library exports no Load.
PluginVerdict MissingLoadVerdict(const std::string& fileName);
// Load returned `result` and filled `out`; `idTaken` tells whether another
// accepted library (or the core) already has out.systemID. Checks in the
// core's order: failure, duplicate ID, moduleIndex range.
PluginVerdict LoadVerdict(const std::string& fileName, int32_t result, const _LoadParmsOut& out, bool idTaken);

// Whether the core takes `level` as the default threshold of slot `moduleIndex`.
inline bool AppliesLogLevelDefault(uint32_t moduleIndex, int32_t level)
{
    // -1..100 are thresholds; 0 means the plugin gave none.
    return moduleIndex < LogLevelArraySize && level >= NO_THRESHOLD && level <= LEVEL_CRITICAL && level != 0;
}
