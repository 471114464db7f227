// What the core tells an operator about its plugins: which one hangs (the
// watchdog), which one crashed (installed at start-up) and what each one costs
// (the counters, logged on SIGUSR1 and at the stop).
#include <cstdio>
#include <string>
#include <vector>

#include "core/crash_report.h"
#include "core/logging.h"
#include "plugin-host/raised_event.h"
#include "plugin-host/plugin_host.h"

namespace {

constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kNsPerMs = 1'000'000;

unsigned long long Load(const std::atomic<uint64_t>& counter)
{
    return counter.load(std::memory_order_relaxed);
}

long long Load(const std::atomic<int64_t>& counter)
{
    return counter.load(std::memory_order_relaxed);
}

std::string CounterLine(const std::string& fileName, const PluginCounters& c)
{
    const unsigned long long calls = Load(c.writeCalls);
    const unsigned long long timed = Load(c.writeTimedCalls);
    const unsigned long long averageNs = timed ? Load(c.writeTimedNs) / timed : 0;
    using R = PluginCounters;
    char line[768];
    snprintf(line, sizeof line,
             "plugin %s: write %llu calls, avg %llu us, longest %lld us, total ~%llu ms; ioctl config %llu "
             "supervisor %llu; raised ok %llu refused %llu unadmitted %llu expired %llu throttled %llu "
             "nomemory %llu other %llu; released %llu; holds %lld blocks %lld bytes, peak %lld blocks %lld bytes; "
             "log lines shown %llu not forwarded %llu below threshold %llu",
             fileName.c_str(), calls, averageNs / kNsPerUs, Load(c.writeLongestNs) / kNsPerUs,
             averageNs * calls / kNsPerMs, Load(c.configCalls), Load(c.supervisorCalls), Load(c.raised[R::Ok]),
             Load(c.raised[R::Refused]), Load(c.raised[R::NotAdmitted]), Load(c.raised[R::KeyframeExpired]),
             Load(c.raised[R::Throttled]), Load(c.raised[R::NoMemory]), Load(c.raised[R::Other]), Load(c.released),
             Load(c.heldBlocks), Load(c.heldBytes), Load(c.peakBlocks), Load(c.peakBytes), Load(c.logShown),
             Load(c.logNotForwarded), Load(c.logBelowThreshold));
    return line;
}

} // namespace

PluginWatchdog::Hooks PluginHost::WatchdogHooks()
{
    PluginWatchdog::Hooks hooks;
    hooks.now = links_.now;
    hooks.name = [this](uint32_t systemID, char* name, size_t size) { side_.CopyFileName(systemID, name, size); };
    hooks.report = [](const char* text) { LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "%s", text); };
    hooks.returned = [this](uint32_t systemID, PluginEntry entry, int64_t elapsedNs) {
        if (entry != PluginEntry::Write)
            return;
        if (PluginSideState* side = side_.FindFast(systemID))
            side->counters.RaiseLongest(elapsedNs);
    };
    return hooks;
}

void PluginHost::StartWatching()
{
    InstallCrashReport(side_);
    WatchMainThread();
    watchdog_.Watch(mainWatch_);
    watchdog_.Watch(ioWatch_);
    watchdog_.Start();
}

void PluginHost::StopWatching()
{
    watchdog_.Stop();
    PluginCallScope::WatchThisThread(nullptr);
    // No thread looks plugins up any more: the watchdog's last look is done
    // and every plugin is unloaded.
    side_.Clear();
}

void PluginHost::CountHold(void* host, uint32_t owner, int32_t blocks, int64_t bytes)
{
    if (owner == CORE_PROVIDER_ID)
        return; // the core's own hold on every event
    if (PluginSideState* side = static_cast<PluginHost*>(host)->side_.FindFast(owner))
        side->counters.HoldChanged(blocks, bytes);
}

void PluginHost::CountRaised(const _EventParmsIn& event, const _EventParmsOut& result, LogLineFate logLine)
{
    // Read requests (source 0) and the core's own lines are not a plugin's;
    // level queries are questions, not events.
    const uint32_t source = event.providerID;
    if (source == 0 || source == CORE_PROVIDER_ID)
        return;
    const RaisedKind kind = ClassifyRaised(event);
    if (kind == RaisedKind::LogQuery)
        return;
    // A plugin raising for several cameras raises under several IDs of its
    // module: all count as the plugin's. A release gives a block back and is
    // counted apart, not as an event raised.
    PluginSideState* side = side_.FindBySource(source);
    if (!side)
        return;
    PluginCounters& counters = side->counters;
    if (kind == RaisedKind::Release) {
        counters.CountRelease();
    } else if (kind == RaisedKind::LogLine) {
        // A line is counted as the terminal shows it: shown (and passed on
        // or not), or dropped below its threshold; never as a refused event.
        if (logLine == LogLineFate::Dropped) {
            counters.logBelowThreshold.fetch_add(1, std::memory_order_relaxed);
        } else {
            counters.logShown.fetch_add(1, std::memory_order_relaxed);
            if (logLine == LogLineFate::WrittenAndPassedOn && result.result != EVENT_RESULT_OK)
                counters.logNotForwarded.fetch_add(1, std::memory_order_relaxed);
        }
    } else {
        counters.CountRaised(result.result);
    }
}

void PluginHost::DescribeMainThreadCall(char* text, size_t size)
{
    const uint32_t sequence = mainWatch_.sequence.load(std::memory_order_relaxed);
    if (!(sequence & 1) || mainWatch_.joining.load(std::memory_order_relaxed)) {
        snprintf(text, size, "no plugin call");
        return;
    }
    const uint32_t systemID = mainWatch_.systemID.load(std::memory_order_relaxed);
    const auto entry = static_cast<PluginEntry>(mainWatch_.entry.load(std::memory_order_relaxed));
    char name[NAME_MAX + 1];
    side_.CopyFileName(systemID, name, sizeof name);
    snprintf(text, size, "plugin %s (%s)", name, PluginEntryName(entry));
}

void PluginHost::LogCounters(int32_t level)
{
    if (!LogLevelEnabled(CORE_PROVIDER_ID, FlatPluginEvent, level))
        return;
    std::vector<std::string> lines;
    {
        std::shared_lock lock(listMutex_);
        for (const PLUGININFO& plugin : plugins_)
            if (plugin.counters)
                lines.push_back(CounterLine(plugin.Filename, *plugin.counters));
    }
    for (const std::string& line : lines)
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, level, "%s", line.c_str());
}
