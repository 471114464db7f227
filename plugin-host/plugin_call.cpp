#include "plugin-host/plugin_call.h"

#include <cstdio>

#include "core/logging.h"

void LogPluginFailure(const char* fileName, const char* action, const PluginCallResult& call, int32_t level)
{
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, level, "plugin %s %s returned %d error %d", fileName, action,
               call.result, call.error);
}

const char* PluginEntryName(PluginEntry entry) noexcept
{
    switch (entry) {
    case PluginEntry::Load:
        return "Load";
    case PluginEntry::Unload:
        return "Unload";
    case PluginEntry::Open:
        return "Open";
    case PluginEntry::Close:
        return "Close";
    case PluginEntry::Read:
        return "Read";
    case PluginEntry::Write:
        return "Write";
    case PluginEntry::Seek:
        return "Seek";
    case PluginEntry::IOCTL:
        return "IOCTL";
    }
    return "?";
}

void PluginCallScope::ShowLibrary(PluginCallWatch& watch, const char* library) noexcept
{
    std::lock_guard lock(watch.libraryMutex);
    snprintf(watch.library, sizeof watch.library, "%s", library);
}
