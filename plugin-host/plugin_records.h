// The records the host passes to a plugin's entry points, zero-filled, with
// what the host sets named: built here for the core and for the plugin
// harness alike, so that a plugin meets the same records in both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dvrplugin.h"

namespace plugin_records {

// Every record starts zeroed with its size and version.
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
inline constexpr uint32_t kIoctlInPresetSize = 16;
inline constexpr uint32_t kWorkerIoctlInPresetSize = 8;
inline constexpr uint32_t kIoctlOutPresetSize = 8;
inline constexpr uint32_t kIoctlPresetCount = 1;
// Read records say they are read records; Write records carry 0 there.
inline constexpr uint8_t kReadModeRead = 1;

} // namespace plugin_records

inline _LoadParmsIn LoadRecord(void* coreContext, DvrEventFunction eventFunction)
{
    _LoadParmsIn in = plugin_records::Zeroed<_LoadParmsIn>(DVR_LOAD_IN_VERSION);
    in.coreContext = coreContext;
    in.eventFunction = eventFunction;
    return in;
}
inline _LoadParmsOut LoadResultRecord()
{
    return plugin_records::Zeroed<_LoadParmsOut>(DVR_LOAD_OUT_VERSION);
}
inline _OpenParmsIn OpenRecord()
{
    return plugin_records::Zeroed<_OpenParmsIn>();
}
inline _OpenParmsOut OpenResultRecord()
{
    return plugin_records::Zeroed<_OpenParmsOut>();
}
inline _CloseParmsIn CloseRecord()
{
    return plugin_records::Zeroed<_CloseParmsIn>();
}
inline _CloseParmsOut CloseResultRecord()
{
    return plugin_records::Zeroed<_CloseParmsOut>();
}
inline _UnloadParmsIn UnloadRecord()
{
    return plugin_records::Zeroed<_UnloadParmsIn>();
}
inline _UnloadParmsOut UnloadResultRecord()
{
    return plugin_records::Zeroed<_UnloadParmsOut>();
}

// A Read record: the reader thread passes no data (0, null, request 0).
inline _ReadParmsIn ReadRecord(uint32_t dataSize = 0, void* data = nullptr, uint32_t requestID = 0)
{
    _ReadParmsIn in = plugin_records::Zeroed<_ReadParmsIn>();
    in.readMode = plugin_records::kReadModeRead;
    in.dataSize = dataSize;
    in.data = data;
    in.requestID = requestID;
    return in;
}
inline _ReadParmsOut ReadResultRecord()
{
    return plugin_records::Zeroed<_ReadParmsOut>();
}

// A Write record carries the event as raised from its dataSize on; the
// writer builds one per plugin and event.
inline _WriteParmsIn WriteRecord(const _EventParmsIn& event)
{
    // The tail of the Write record is the event from dataSize on, field for
    // field; only the head before it is the host's.
    static_assert(sizeof(_WriteParmsIn) - offsetof(_WriteParmsIn, dataSize) ==
                  sizeof(_EventParmsIn) - offsetof(_EventParmsIn, dataSize));
    _WriteParmsIn in;
    memset(&in, 0, offsetof(_WriteParmsIn, dataSize));
    in.structSize = sizeof in;
    in.version = DVR_RECORD_VERSION;
    memcpy(reinterpret_cast<char*>(&in) + offsetof(_WriteParmsIn, dataSize),
           reinterpret_cast<const char*>(&event) + offsetof(_EventParmsIn, dataSize),
           sizeof(_EventParmsIn) - offsetof(_EventParmsIn, dataSize));
    return in;
}
inline _WriteParmsOut WriteResultRecord()
{
    return _WriteParmsOut{sizeof(_WriteParmsOut), DVR_RECORD_VERSION, {0, 0}, 0, 0};
}

// An IOCTL record for `request`; the worker call has no data.
inline _IoctlParmsIn IoctlRecord(uint32_t request, uint32_t dataSize = 0, void* data = nullptr)
{
    _IoctlParmsIn in = plugin_records::Zeroed<_IoctlParmsIn>();
    in.request = request;
    in.presetSize =
        request == IOCTL_WORKER ? plugin_records::kWorkerIoctlInPresetSize : plugin_records::kIoctlInPresetSize;
    in.presetCount = plugin_records::kIoctlPresetCount;
    in.dataSize = dataSize;
    in.data = data;
    return in;
}
inline _IoctlParmsOut IoctlResultRecord(uint32_t request)
{
    _IoctlParmsOut out = plugin_records::Zeroed<_IoctlParmsOut>();
    out.request = request;
    out.presetSize = plugin_records::kIoctlOutPresetSize;
    out.presetCount = plugin_records::kIoctlPresetCount;
    return out;
}

// An event the host raises itself (a log line, a document): `data` is
// copied by the raise like any plugin's.
inline _EventParmsIn EventRecord(uint32_t providerID, uint32_t eventType, uint32_t eventFlags,
                                 const void* data = nullptr, uint32_t dataSize = 0)
{
    _EventParmsIn in = plugin_records::Zeroed<_EventParmsIn>();
    in.providerID = providerID;
    in.eventType = eventType;
    in.eventFlags = eventFlags;
    in.data = const_cast<void*>(data);
    in.dataSize = dataSize;
    return in;
}
inline _EventParmsOut EventResultRecord()
{
    return _EventParmsOut{sizeof(_EventParmsOut), DVR_RECORD_VERSION, 0};
}
