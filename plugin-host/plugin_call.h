// The one road for every call the core makes into a plugin: the call records
// are built here with their fields named, the calling thread is marked as
// inside the plugin for the length of the call, the call is timed where the
// caller asks, and a failure is logged in the one format
// "plugin <file> <action> returned <result> error <error>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "dvrplugin.h"

// The entry points a plugin exports, in the order the loader resolves them.
enum class PluginEntry : uint8_t { Load, Unload, Open, Close, Read, Write, Seek, IOCTL };

// Marks the calling thread as inside a plugin's entry point for the life of
// the object: "this thread is in plugin systemID, entry point `entry`, since
// `since`". Scopes nest per thread. The watchdog, crash attribution and
// per-plugin counters read or hook in here; nothing else needs to know.
class PluginCallScope {
public:
    // `systemID` is 0 during Load, before the plugin has named itself;
    // `library` (the file name) is set only then, and valid for the call.
    PluginCallScope(uint32_t systemID, PluginEntry entry, int64_t since, const char* library = nullptr) noexcept
        : systemID(systemID), entry(entry), since(since), library(library), outer_(current_)
    {
        current_ = this;
    }
    ~PluginCallScope() { current_ = outer_; }
    PluginCallScope(const PluginCallScope&) = delete;
    PluginCallScope& operator=(const PluginCallScope&) = delete;

    // The innermost plugin call on this thread; null outside any.
    static const PluginCallScope* Current() noexcept { return current_; }

    const uint32_t systemID;
    const PluginEntry entry;
    const int64_t since; // the core's clock (dvrcore::now) at entry; 0 when not stamped
    const char* const library;

private:
    // Inline: the event path enters a scope per plugin and event.
    static inline thread_local const PluginCallScope* current_ = nullptr;
    const PluginCallScope* const outer_;
};

// The outcome of one call: the entry point's return value and the output
// record's error word (0 for records without one).
struct PluginCallResult {
    int32_t result = 0;
    int32_t error = 0;
    int64_t elapsedNs = 0; // measured only with CallTiming::Measure

    bool failed() const { return result != 0 || error != 0; }
};

// --- call records, zero-filled, with what the core sets named -------------

_LoadParmsIn LoadRecord(void* coreContext, DvrEventFunction eventFunction);
_LoadParmsOut LoadResultRecord();
_OpenParmsIn OpenRecord();
_OpenParmsOut OpenResultRecord();
_CloseParmsIn CloseRecord();
_CloseParmsOut CloseResultRecord();
_UnloadParmsIn UnloadRecord();
_UnloadParmsOut UnloadResultRecord();
// A Read record: the reader thread passes no data (0, null, request 0).
_ReadParmsIn ReadRecord(uint32_t dataSize = 0, void* data = nullptr, uint32_t requestID = 0);
_ReadParmsOut ReadResultRecord();
// A Write record carries the event as raised from its dataSize on. Inline:
// the writer builds one per plugin and event.
inline _WriteParmsIn WriteRecord(const _EventParmsIn& event)
{
    // The tail of the Write record is the event from dataSize on, field for
    // field; only the head before it is the core's.
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
_IoctlParmsIn IoctlRecord(uint32_t request, uint32_t dataSize = 0, void* data = nullptr);
_IoctlParmsOut IoctlResultRecord(uint32_t request);

// --- the call ---------------------------------------------------------------

// The error word of each output record; Open and Read have none.
inline int32_t ErrorWord(const _LoadParmsOut& out)
{
    return out.error;
}
inline int32_t ErrorWord(const _CloseParmsOut& out)
{
    return out.error;
}
inline int32_t ErrorWord(const _UnloadParmsOut& out)
{
    return out.error;
}
inline int32_t ErrorWord(const _WriteParmsOut& out)
{
    return out.error;
}
inline int32_t ErrorWord(const _IoctlParmsOut& out)
{
    return out.error;
}
inline int32_t ErrorWord(const _OpenParmsOut&)
{
    return 0;
}
inline int32_t ErrorWord(const _ReadParmsOut&)
{
    return 0;
}

// What the one road reads from the core's clock around a call.
enum class CallTiming : uint8_t {
    Stamp,   // the entry time, for the scope
    Measure, // the entry time and the call's duration
    // The event path's untimed Write: no clock read at all (one per plugin
    // and event would double the writer's cost per plugin); the scope's
    // `since` is 0 and whoever watches the thread stamps it when it first
    // sees the call.
    Unstamped,
};

// Calls `function(&in, &out)` inside a PluginCallScope. `clock` is the core's
// clock (dvrcore::now).
template <class In, class Out, class Clock>
PluginCallResult CallPlugin(DvrEntryPoint function, uint32_t systemID, PluginEntry entry, In& in, Out& out,
                            Clock&& clock, CallTiming timing = CallTiming::Stamp, const char* library = nullptr)
{
    const int64_t start = timing == CallTiming::Unstamped ? 0 : clock();
    PluginCallResult call;
    {
        PluginCallScope scope(systemID, entry, start, library);
        call.result = function(&in, &out);
    }
    if (timing == CallTiming::Measure)
        call.elapsedNs = clock() - start;
    call.error = ErrorWord(out);
    return call;
}

// "plugin %s <action> returned %d error %d" through the core's log.
void LogPluginFailure(const char* fileName, const char* action, const PluginCallResult& call,
                      int32_t level = LEVEL_DETAIL);
