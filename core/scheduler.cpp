// The core's periodic housekeeping on the I/O thread, every 100 ms: the
// wall-clock jump check, the memory sample once per wall-clock second and the
// video throttling that follows it, and the return of idle event data blocks.
#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <unistd.h>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "core/resident_size.h"
#include "events/block_pool.h"

namespace {

constexpr int64_t MEMORY_REPORT_INTERVAL_NS = 60'000'000'000;
constexpr int64_t THROTTLE_RELEASE_NS = 60'000'000'000;
constexpr int64_t MIB = int64_t{1} << 20;

// Whole seconds from `before` to `after`, held within int so that a wild
// step of a 64-bit clock still logs a sane number.
int SecondsBetween(time_t before, time_t after)
{
    const double seconds = difftime(after, before);
    if (seconds >= INT_MAX)
        return INT_MAX;
    if (seconds <= INT_MIN)
        return INT_MIN;
    return static_cast<int>(seconds);
}

} // namespace

size_t ReadResidentBytes(const char* statmPath)
{
    FILE* file = fopen(statmPath, "r");
    if (!file)
        return 0;
    unsigned long total = 0, resident = 0;
    if (fscanf(file, "%lu %lu", &total, &resident) < 2)
        resident = 0;
    fclose(file);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pageSize > 0 ? static_cast<size_t>(resident) * static_cast<size_t>(pageSize) : 0;
}

time_t dvrcore::WallClock()
{
    return time(nullptr);
}

size_t dvrcore::ResidentBytes()
{
    return ReadResidentBytes();
}

void dvrcore::ArmScheduler()
{
    schedulerTimer.async_wait([this](const boost::system::error_code& error) { Scheduler(error); });
}

void dvrcore::Scheduler(const boost::system::error_code& error)
{
    if (error || schedulerCancelled)
        return; // cancelled at shutdown
    if (memoryLimit == 0) {
        memoryLimit = MEMORY_LIMIT;
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "memory limit set to %zu", memoryLimit);
    }
    const time_t wallClock = WallClock();
    bool sample = false;
    if (lastWallClock != 0) {
        // Consecutive runs are 100 ms apart: a larger step is the clock being
        // set, or this thread held up by another handler.
        const int seconds = SecondsBetween(lastWallClock, wallClock);
        if (seconds > 1 || seconds < -1)
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "system time changed by %d seconds", seconds);
        sample = throttlingEnabled && wallClock != lastWallClock;
    } else if (throttlingEnabled) {
        AnnounceThrottle(); // plugins learn the state, still off, at once
        sample = true;
    }
    if (sample)
        SampleMemory();
    lastWallClock = wallClock;
    // Data blocks no event needed during the last period go back.
    EventDataPool().ReleaseUnused();

    // From the end of the run, so runs never overlap; clamped at the far end.
    using Clock = boost::asio::steady_timer::clock_type;
    const Clock::time_point current = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(SCHEDULER_PERIOD_NS));
    schedulerTimer.expires_at(current > Clock::time_point::max() - period ? Clock::time_point::max()
                                                                          : current + period);
    ArmScheduler();
}

void dvrcore::SampleMemory()
{
    const size_t resident = ResidentBytes();
    SetVideoThrottle(resident > memoryLimit);
    if (!LogLevelEnabled(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL))
        return;
    if (lastMemoryReport != NO_MEMORY_REPORT && now() - lastMemoryReport < MEMORY_REPORT_INTERVAL_NS)
        return;
    // Toward zero, so that a shrink of less than 1 MiB reads 0, not -1.
    const int64_t delta = static_cast<int64_t>(resident) - static_cast<int64_t>(lastReportedResident);
    const long long deltaMB = delta / MIB;
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "memory usage changed %lldMB (total usage: %zuMB)",
               deltaMB, resident / static_cast<size_t>(MIB));
    lastMemoryReport = now();
    lastReportedResident = resident;
}

void dvrcore::SetVideoThrottle(bool low)
{
    const int64_t current = now();
    videoThrottled = low;
    if (low) {
        if (lowMemorySince == NO_LOW_MEMORY) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING,
                       "available system memory is low, throttling video");
            EventDataPool().Drain();
            AnnounceThrottle();
        }
        lowMemorySince = current; // every low sample extends the episode
        return;
    }
    // No episode open, or an over-limit sample less than 60 s ago.
    if (lowMemorySince == NO_LOW_MEMORY || current - lowMemorySince < THROTTLE_RELEASE_NS)
        return;
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "available system memory ok, not throttling video");
    AnnounceThrottle();
    lowMemorySince = NO_LOW_MEMORY;
}
