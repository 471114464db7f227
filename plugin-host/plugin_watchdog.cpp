#include "plugin-host/plugin_watchdog.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;

int Seconds(int64_t ns)
{
    return static_cast<int>(ns / kNsPerSecond);
}

} // namespace

PluginWatchdog::PluginWatchdog(Hooks hooks, const std::atomic<bool>& stopping)
    : hooks_(std::move(hooks)), stopping_(stopping)
{}

PluginWatchdog::~PluginWatchdog()
{
    Stop();
}

void PluginWatchdog::Watch(PluginCallWatch& watch)
{
    std::lock_guard lock(watchedMutex_);
    watched_.push_back(Watched{&watch});
}

void PluginWatchdog::Unwatch(PluginCallWatch& watch)
{
    std::lock_guard lock(watchedMutex_);
    for (auto it = watched_.begin(); it != watched_.end(); ++it) {
        if (it->watch != &watch)
            continue;
        if (it->sequence != 0)
            Returned(*it, hooks_.now());
        watched_.erase(it);
        return;
    }
}

void PluginWatchdog::Start()
{
    if (thread_.joinable())
        return;
    stop_ = false;
    thread_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        // Real seconds between looks; what a call has lasted is measured on
        // the core's clock.
        while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
            lock.unlock();
            Check();
            lock.lock();
        }
    });
}

void PluginWatchdog::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (!thread_.joinable())
        return;
    thread_.join();
    // A last look, so that a call that ended since the previous one is still
    // reported as returned.
    Check();
}

void PluginWatchdog::Check()
{
    const int64_t now = hooks_.now();
    std::lock_guard lock(watchedMutex_);
    for (Watched& watched : watched_) {
        const PluginCallWatch& watch = *watched.watch;
        const uint32_t sequence = watch.sequence.load(std::memory_order_acquire);
        if (watched.sequence != 0 && sequence != watched.sequence)
            Returned(watched, now);
        if (!(sequence & 1))
            continue;
        if (sequence != watched.sequence) {
            // A call not seen before. The event path's Write carries no entry
            // time: it is taken as starting now, at most a second late.
            watched.sequence = sequence;
            watched.start =
                watch.stamped.load(std::memory_order_relaxed) ? watch.since.load(std::memory_order_relaxed) : now;
            watched.nextReport = HUNG_CALL_FIRST_REPORT_NS;
            watched.reported = false;
            watched.stopNamed = false;
            watched.joining = watch.joining.load(std::memory_order_relaxed);
            watched.systemID = watch.systemID.load(std::memory_order_relaxed);
            watched.entry = static_cast<PluginEntry>(watch.entry.load(std::memory_order_relaxed));
        }
        watched.lastSeen = now;
        const int64_t elapsed = now - watched.start;
        if (elapsed >= watched.nextReport) {
            // The line names the mark the call has passed (5, 65, 125...
            // seconds), not when this look happened to come: looks are a
            // second apart, so the elapsed time alone would say 5 or 6 by chance.
            int64_t mark = watched.nextReport;
            while (watched.nextReport <= elapsed) {
                mark = watched.nextReport;
                watched.nextReport += HUNG_CALL_REPEAT_NS;
            }
            Report(watched, mark);
        } else if (watched.reported && !watched.stopNamed && stopping_.load()) {
            // Hung since before the stop: named at once, not at its next mark.
            ReportStopWaits(watched);
        }
    }
}

void PluginWatchdog::Report(Watched& watched, int64_t mark)
{
    if (!watched.reported) {
        if (watched.entry == PluginEntry::Load) {
            // Load runs before the plugin has an ID: its library names it.
            std::lock_guard lock(watched.watch->libraryMutex);
            snprintf(watched.name, sizeof watched.name, "%s", watched.watch->library);
        } else {
            hooks_.name(watched.systemID, watched.name, sizeof watched.name);
        }
        watched.reported = true;
    }
    char line[512];
    const char* entry = PluginEntryName(watched.entry);
    if (!watched.joining) {
        snprintf(line, sizeof line, "plugin %s has not returned from %s for %d seconds", watched.name, entry,
                 Seconds(mark));
        hooks_.report(line);
    }
    if (watched.joining || stopping_.load())
        ReportStopWaits(watched);
}

void PluginWatchdog::ReportStopWaits(Watched& watched)
{
    char line[512];
    snprintf(line, sizeof line, "core stop is waiting for plugin %s to return from %s", watched.name,
             PluginEntryName(watched.entry));
    hooks_.report(line);
    watched.stopNamed = true;
}

void PluginWatchdog::Returned(Watched& watched, int64_t now)
{
    const int64_t elapsed = now - watched.start;
    if (!watched.joining) {
        // Only what the call surely lasted: from its start to the last look
        // that still saw it.
        if (hooks_.returned && watched.lastSeen > watched.start)
            hooks_.returned(watched.systemID, watched.entry, watched.lastSeen - watched.start);
        if (watched.reported) {
            char line[512];
            snprintf(line, sizeof line, "plugin %s returned from %s after %d seconds", watched.name,
                     PluginEntryName(watched.entry), Seconds(elapsed));
            hooks_.report(line);
        }
    }
    watched.sequence = 0;
    watched.reported = false;
}
