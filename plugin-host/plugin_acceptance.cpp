#include "plugin-host/plugin_acceptance.h"

#include <cstdarg>
#include <cstdio>

namespace {

PluginVerdict Rejected(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

PluginVerdict Rejected(int32_t level, const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return PluginVerdict{false, level, text};
}

} // namespace

PluginVerdict OpenFailureVerdict(const std::string& fileName, const std::string& reason)
{
    return Rejected(LEVEL_CRITICAL, "Core: Failed to load plugin '%s': %s", fileName.c_str(), reason.c_str());
}

PluginVerdict MissingLoadVerdict(const std::string& fileName)
{
    return Rejected(LEVEL_CRITICAL, "Core: Failed to load plugin: %s (missing symbol)", fileName.c_str());
}

PluginVerdict LoadVerdict(const std::string& fileName, int32_t result, const _LoadParmsOut& out, bool idTaken)
{
    if (result || out.error)
        return Rejected(LEVEL_CRITICAL, "plugin %s load returned %d error %d", fileName.c_str(), result, out.error);
    const unsigned long systemID = out.systemID;
    if (idTaken)
        return Rejected(LEVEL_WARNING, "plugin %s ID 0x%08lX already loaded", fileName.c_str(), systemID);
    if (DVR_MODULE_INDEX(out.systemID) > kHighestModuleIndex)
        return Rejected(LEVEL_CRITICAL,
                        "plugin %s ID 0x%08lX exceeds the log level array size, set LogLevelArraySize to 0xfff",
                        fileName.c_str(), systemID);
    return PluginVerdict{};
}
