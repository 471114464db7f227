#include "plugin-host/plugin_call.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "core/logging.h"

namespace {

// Every output record starts zeroed with its size and version; the few
// fields the core presets beyond that are named where it sets them.
template <class Record>
Record Zeroed(uint32_t version = DVR_RECORD_VERSION)
{
    Record record;
    memset(&record, 0, sizeof record);
    record.structSize = sizeof record;
    record.version = version;
    return record;
}

// presetSize and presetCount mean nothing to the core; plugins have always
// been handed these values.
constexpr uint32_t kIoctlInPresetSize = 16;
constexpr uint32_t kWorkerIoctlInPresetSize = 8;
constexpr uint32_t kIoctlOutPresetSize = 8;
constexpr uint32_t kIoctlPresetCount = 1;
// Read records say they are read records; Write records carry 0 there.
constexpr uint8_t kReadModeRead = 1;

} // namespace

_LoadParmsIn LoadRecord(void* coreContext, DvrEventFunction eventFunction)
{
    _LoadParmsIn in = Zeroed<_LoadParmsIn>(DVR_LOAD_IN_VERSION);
    in.coreContext = coreContext;
    in.eventFunction = eventFunction;
    return in;
}

_LoadParmsOut LoadResultRecord()
{
    return Zeroed<_LoadParmsOut>(DVR_LOAD_OUT_VERSION);
}

_OpenParmsIn OpenRecord()
{
    return Zeroed<_OpenParmsIn>();
}

_OpenParmsOut OpenResultRecord()
{
    return Zeroed<_OpenParmsOut>();
}

_CloseParmsIn CloseRecord()
{
    return Zeroed<_CloseParmsIn>();
}

_CloseParmsOut CloseResultRecord()
{
    return Zeroed<_CloseParmsOut>();
}

_UnloadParmsIn UnloadRecord()
{
    return Zeroed<_UnloadParmsIn>();
}

_UnloadParmsOut UnloadResultRecord()
{
    return Zeroed<_UnloadParmsOut>();
}

_ReadParmsIn ReadRecord(uint32_t dataSize, void* data, uint32_t requestID)
{
    _ReadParmsIn in = Zeroed<_ReadParmsIn>();
    in.readMode = kReadModeRead;
    in.dataSize = dataSize;
    in.data = data;
    in.requestID = requestID;
    return in;
}

_ReadParmsOut ReadResultRecord()
{
    return Zeroed<_ReadParmsOut>();
}

_IoctlParmsIn IoctlRecord(uint32_t request, uint32_t dataSize, void* data)
{
    _IoctlParmsIn in = Zeroed<_IoctlParmsIn>();
    in.request = request;
    in.presetSize = request == IOCTL_WORKER ? kWorkerIoctlInPresetSize : kIoctlInPresetSize;
    in.presetCount = kIoctlPresetCount;
    in.dataSize = dataSize;
    in.data = data;
    return in;
}

_IoctlParmsOut IoctlResultRecord(uint32_t request)
{
    _IoctlParmsOut out = Zeroed<_IoctlParmsOut>();
    out.request = request;
    out.presetSize = kIoctlOutPresetSize;
    out.presetCount = kIoctlPresetCount;
    return out;
}

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
