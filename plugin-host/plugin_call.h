// The one road for every call the core makes into a plugin: the call records
// are built here with their fields named, the calling thread is marked as
// inside the plugin for the length of the call, the call is timed where the
// caller asks, and a failure is logged in the one format
// "plugin <file> <action> returned <result> error <error>".
#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "dvrplugin.h"
#include "plugin-host/plugin_records.h"

// The entry points a plugin exports, in the order the loader resolves them.
enum class PluginEntry : uint8_t { Load, Unload, Open, Close, Read, Write, Seek, IOCTL };

// The entry point's name as plugin authors know it.
const char* PluginEntryName(PluginEntry entry) noexcept;

// What a watched thread (the main thread, the I/O thread) shows the watchdog
// about the plugin call it is in. Written by the thread's own call scopes with
// relaxed stores only (a few plain stores on the event path); the watchdog
// samples it once a second and only acts on what stayed the same for seconds.
struct PluginCallWatch {
    std::atomic<uint32_t> sequence{0}; // odd while inside a call
    std::atomic<uint32_t> systemID{0};
    std::atomic<uint8_t> entry{0};
    std::atomic<bool> stamped{false}; // `since` holds the entry time
    std::atomic<bool> joining{false}; // not in a call: waiting for the plugin's thread to end
    std::atomic<int64_t> since{0};
    // The library's file name while Load runs (the plugin has no ID yet).
    std::mutex libraryMutex;
    char library[NAME_MAX + 1] = "";
};

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
        if (watch_)
            Show(*this);
    }
    ~PluginCallScope()
    {
        current_ = outer_;
        if (!watch_)
            return;
        if (outer_)
            Show(*outer_);
        else
            ShowIdle();
    }
    PluginCallScope(const PluginCallScope&) = delete;
    PluginCallScope& operator=(const PluginCallScope&) = delete;

    // The innermost plugin call on this thread; null outside any.
    static const PluginCallScope* Current() noexcept { return current_; }

    // Makes this thread's calls visible in `watch` from now on (null: no more).
    static void WatchThisThread(PluginCallWatch* watch) noexcept { watch_ = watch; }
    // Shows on this thread's watch that it waits, since `since`, for a thread
    // of plugin `systemID` running `entry` to end (the stop joining a reader or
    // worker); ShowIdle ends that.
    static void ShowJoining(uint32_t systemID, PluginEntry entry, int64_t since) noexcept
    {
        if (watch_)
            ShowOn(*watch_, systemID, entry, since, nullptr, true);
    }
    static void ShowIdle() noexcept
    {
        if (!watch_)
            return;
        const uint32_t sequence = watch_->sequence.load(std::memory_order_relaxed);
        if (sequence & 1)
            watch_->sequence.store(sequence + 1, std::memory_order_relaxed);
    }

    const uint32_t systemID;
    const PluginEntry entry;
    const int64_t since; // the core's clock (dvrcore::now) at entry; 0 when not stamped
    const char* const library;

private:
    static void Show(const PluginCallScope& scope) noexcept
    {
        ShowOn(*watch_, scope.systemID, scope.entry, scope.since, scope.library, false);
    }
    // A new odd sequence number tells the watchdog a new call began.
    static void ShowOn(PluginCallWatch& watch, uint32_t systemID, PluginEntry entry, int64_t since, const char* library,
                       bool joining) noexcept
    {
        watch.systemID.store(systemID, std::memory_order_relaxed);
        watch.entry.store(static_cast<uint8_t>(entry), std::memory_order_relaxed);
        watch.stamped.store(since != 0, std::memory_order_relaxed);
        if (since != 0)
            watch.since.store(since, std::memory_order_relaxed);
        watch.joining.store(joining, std::memory_order_relaxed);
        if (library)
            ShowLibrary(watch, library);
        const uint32_t sequence = watch.sequence.load(std::memory_order_relaxed);
        watch.sequence.store(sequence + ((sequence & 1) ? 2 : 1), std::memory_order_relaxed);
    }
    static void ShowLibrary(PluginCallWatch& watch, const char* library) noexcept;

    // Inline: the event path enters a scope per plugin and event.
    static inline thread_local const PluginCallScope* current_ = nullptr;
    static inline thread_local PluginCallWatch* watch_ = nullptr;
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
