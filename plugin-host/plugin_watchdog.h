// The hung-call watchdog: a small thread that looks once a second at what the
// watched threads (the main thread, the I/O thread, the request threads) show
// about the plugin call they are in, and says which plugin has not returned,
// for how long, and when it finally does. The stop names the plugin it waits for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "plugin-host/plugin_call.h"

// A call still running this long is reported...
inline constexpr int64_t HUNG_CALL_FIRST_REPORT_NS = 5'000'000'000;
// ...and again every this long while it lasts.
inline constexpr int64_t HUNG_CALL_REPEAT_NS = 60'000'000'000;

class PluginWatchdog {
public:
    struct Hooks {
        std::function<int64_t()> now;                                         // the core's clock
        std::function<void(uint32_t systemID, char* name, size_t size)> name; // file name by ID
        std::function<void(const char* text)> report;                         // one warning line
        // A call the watchdog saw end after `elapsedNs` (feeds the longest duration).
        std::function<void(uint32_t systemID, PluginEntry entry, int64_t elapsedNs)> returned;
    };

    PluginWatchdog(Hooks hooks, const std::atomic<bool>& stopping);
    ~PluginWatchdog();
    PluginWatchdog(const PluginWatchdog&) = delete;
    PluginWatchdog& operator=(const PluginWatchdog&) = delete;

    // Adds a thread's watch, at any time.
    void Watch(PluginCallWatch& watch);
    // Removes it, once its thread makes no more calls; a call reported hung
    // is reported as returned.
    void Unwatch(PluginCallWatch& watch);

    // Watches the calling thread's plugin calls for the life of the object:
    // a thread the core starts for a call (a read request's Read).
    class ThreadWatch {
    public:
        explicit ThreadWatch(PluginWatchdog& watchdog) : watchdog_(watchdog)
        {
            watchdog_.Watch(watch_);
            PluginCallScope::WatchThisThread(&watch_);
        }
        ~ThreadWatch()
        {
            PluginCallScope::WatchThisThread(nullptr);
            watchdog_.Unwatch(watch_);
        }
        ThreadWatch(const ThreadWatch&) = delete;
        ThreadWatch& operator=(const ThreadWatch&) = delete;

    private:
        PluginWatchdog& watchdog_;
        PluginCallWatch watch_;
    };
    // The thread that runs Check once a second; Stop ends it (also the destructor).
    void Start();
    void Stop();
    // One look at every watch. Called by the thread; tests call it on a fake clock.
    void Check();

private:
    struct Watched {
        PluginCallWatch* watch;
        uint32_t sequence = 0;  // the call last seen (odd), 0 for none
        int64_t start = 0;      // its entry time, or when first seen
        int64_t lastSeen = 0;   // the last look that saw it running
        int64_t nextReport = 0; // elapsed time of the next report
        bool reported = false;
        bool stopNamed = false; // the line saying the stop waits for it came
        bool joining = false;
        uint32_t systemID = 0;
        PluginEntry entry = PluginEntry::Load;
        char name[NAME_MAX + 1] = "";
    };

    void Returned(Watched& watched, int64_t now);
    void Report(Watched& watched, int64_t mark);
    void ReportStopWaits(Watched& watched);

    Hooks hooks_;
    const std::atomic<bool>& stopping_;
    std::mutex watchedMutex_; // the list and its entries; held through a look
    std::vector<Watched> watched_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};
