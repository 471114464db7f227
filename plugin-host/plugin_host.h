// The plugin host: the plugins in delivery order with their side table and
// names, the calls into them, their threads, and the hung-call watchdog over
// the main and I/O threads. Loading, opening, closing and unloading run on
// the main thread, which alone changes the list; other threads (supervisor
// packets, read requests, the status document) read it under listMutex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/log_levels.h"
#include "dvrplugin.h"
#include "plugin-host/raised_event.h"
#include "plugin-host/plugin_call.h"
#include "plugin-host/plugin_side_table.h"
#include "plugin-host/plugin_watchdog.h"
#include "plugin-host/plugininfo.h"

class PluginHost {
public:
    struct Links {
        std::function<int64_t()> now;                // the core's monotonic clock, ns
        void* coreContext = nullptr;                 // handed to every Load as coreContext
        LogLevelTable* logLevels;                    // a plugin's default threshold applies here...
        LogLevelTable* defaultLogLevels;             // ...and is kept here
        const std::atomic<bool>* stopping;           // the watchdog then names what the stop waits for
        std::function<void()> waitForRequestThreads; // before a plugin is unloaded
    };

    explicit PluginHost(Links links);
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // --- the start and stop sequences (main thread) ---

    // Crash attribution, and the watchdog over this (the main) thread and the I/O thread.
    void StartWatching();
    // This thread's plugin calls are the main thread's for the watchdog
    // (StartWatching does it; the benchmark's writer thread too).
    void WatchMainThread() { PluginCallScope::WatchThisThread(&mainWatch_); }
    // Called first on the I/O thread: its plugin calls are watched from then on.
    void WatchIoThread() { PluginCallScope::WatchThisThread(&ioWatch_); }
    // For a thread the core starts for one call (PluginWatchdog::ThreadWatch).
    PluginWatchdog& watchdog() { return watchdog_; }
    // Loads the libraries in plugins/ and protected-plugins/ beside the
    // executable, in load order; false when none was accepted.
    bool LoadAll(const std::string& executablePath);
    void Load(const std::string& path);
    void OpenAll();
    void StartReaders();
    // In close order (which then stays the list's order).
    void CloseAll();
    // Joins each plugin's threads, waits for its read requests, unloads it.
    void UnloadAll();
    // Stops the watchdog after its last look, then forgets the plugins'
    // side states (counters, file names).
    void StopWatching();

    // --- the plugins ---

    // The list; the main thread reads it without the lock, and only it
    // changes the list (under the lock).
    std::vector<PLUGININFO>& list() { return plugins_; }
    std::shared_mutex& listMutex() { return listMutex_; }
    // Calls `visit(const std::vector<PLUGININFO>&)` under the shared lock;
    // no plugin may be called from it.
    template <class Visit>
    void WithList(Visit&& visit)
    {
        std::shared_lock lock(listMutex_);
        visit(std::as_const(plugins_));
    }
    // Lists a record as the last plugin (tests and the benchmark: records
    // whose entry points are functions of their own).
    PLUGININFO& AddListed(PLUGININFO plugin);
    PluginSideTable& side() { return side_; }
    // Libraries that could not be opened, by file name, with the reason.
    std::map<std::string, std::string>& failures() { return failedPlugins_; }
    // Copies the short name of `sourceID` ("core", a plugin's lowered stem)
    // into `name`; leaves it alone for an unknown source.
    void CopyModuleName(uint32_t sourceID, char* name, size_t size);
    // The file name of the accepted plugin with this systemID, kept after
    // unloading (for the leak report); empty for an unknown ID.
    std::string FileName(uint32_t systemID);

    // --- calls from other threads ---

    // A supervisor packet for a plugin (header included): handed to the
    // IOCTL of the first plugin with the target's moduleIndex. I/O thread.
    void SupervisorPacket(const unsigned char* packet, uint32_t length);
    // Calls one entry point of `plugin` on the one road (plugin_call.h).
    template <class In, class Out>
    PluginCallResult Call(const PLUGININFO& plugin, DvrEntryPoint function, PluginEntry entry, In& in, Out& out,
                          CallTiming timing = CallTiming::Stamp)
    {
        return CallPlugin(function, plugin.info.systemID, entry, in, out, links_.now, timing);
    }

    // --- what each plugin costs ---

    // Counts an event a plugin raised, after the core answered it; a log
    // line by its fate against its threshold.
    void CountRaised(const _EventParmsIn& event, const _EventParmsOut& result,
                     LogLineFate logLine = LogLineFate::WrittenAndPassedOn);
    // "plugin <file> (<entry>)" for the call the main thread (the writer) is
    // in, or "no plugin call"; from any thread.
    void DescribeMainThreadCall(char* text, size_t size);
    // One line per plugin with its counters, at `level`.
    void LogCounters(int32_t level);
    // A hold observer for the block table (RefBlockTable::ObserveHolds),
    // with the host as its context: counts each plugin's holds.
    static void CountHold(void* host, uint32_t owner, int32_t blocks, int64_t bytes);

private:
    PluginWatchdog::Hooks WatchdogHooks();

    Links links_;
    std::vector<PLUGININFO> plugins_;
    // Guards the shape of the list against readers on other threads while
    // the main thread inserts or reorders. Never held while a plugin is called.
    std::shared_mutex listMutex_;
    PluginSideTable side_; // per-plugin state beside PLUGININFO, by systemID
    std::map<uint32_t, std::string> moduleNames_;
    std::shared_mutex moduleNamesMutex_; // plugin threads log while the loader inserts
    // Accepted plugins' files by systemID, under moduleNamesMutex_ too.
    std::map<uint32_t, std::string> fileNames_;
    std::map<std::string, std::string> failedPlugins_;
    // The watchdog goes first at the stop, and last at destruction.
    PluginCallWatch mainWatch_; // the start-up, writer and shutdown thread
    PluginCallWatch ioWatch_;   // the I/O thread (supervisor packets)
    PluginWatchdog watchdog_;
};
