// The core's periodic housekeeping on the I/O thread, every 100 ms: the
// wall-clock jump check, the memory sample once per wall-clock second and the
// video throttling that follows it, and the return of idle event data blocks.
#include "core/housekeeping.h"

#include <chrono>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <unistd.h>

#include <boost/asio/post.hpp>

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

Housekeeping::Housekeeping(boost::asio::io_context& io, Hooks hooks)
    : io_(io), hooks_(std::move(hooks)), timer_(io, std::chrono::nanoseconds(SCHEDULER_PERIOD_NS))
{}

void Housekeeping::Start()
{
    Arm();
}

void Housekeeping::Cancel()
{
    // The timer belongs to the I/O thread, which may be re-arming it right now.
    boost::asio::post(io_, [this] {
        cancelled_ = true; // a completion already queued must not re-arm
        timer_.cancel();
    });
}

void Housekeeping::Arm()
{
    timer_.async_wait([this](const boost::system::error_code& error) { Run(error); });
}

void Housekeeping::Run(const boost::system::error_code& error)
{
    if (error || cancelled_)
        return; // cancelled at shutdown
    if (memoryLimit_ == 0) {
        memoryLimit_ = MEMORY_LIMIT;
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "memory limit set to %zu", memoryLimit_);
    }
    const time_t wallClock = hooks_.wallClock();
    bool sample = false;
    if (lastWallClock_ != 0) {
        // Consecutive runs are 100 ms apart: a larger step is the clock being
        // set, or this thread held up by another handler.
        const int seconds = SecondsBetween(lastWallClock_, wallClock);
        if (seconds > 1 || seconds < -1)
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "system time changed by %d seconds", seconds);
        sample = throttlingEnabled && wallClock != lastWallClock_;
    } else if (throttlingEnabled) {
        hooks_.announce(); // plugins learn the state, still off, at once
        sample = true;
    }
    if (sample)
        SampleMemory();
    lastWallClock_ = wallClock;
    // Data blocks no event needed during the last period go back.
    EventDataPool().ReleaseUnused();

    // From the end of the run, so runs never overlap; clamped at the far end.
    using Clock = boost::asio::steady_timer::clock_type;
    const Clock::time_point current = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(SCHEDULER_PERIOD_NS));
    timer_.expires_at(current > Clock::time_point::max() - period ? Clock::time_point::max() : current + period);
    Arm();
}

void Housekeeping::SampleMemory()
{
    const size_t resident = hooks_.residentBytes();
    SetVideoThrottle(resident > memoryLimit_);
    if (!LogLevelEnabled(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL))
        return;
    if (lastMemoryReport_ != NO_MEMORY_REPORT && hooks_.now() - lastMemoryReport_ < MEMORY_REPORT_INTERVAL_NS)
        return;
    // Toward zero, so that a shrink of less than 1 MiB reads 0, not -1.
    const int64_t delta = static_cast<int64_t>(resident) - static_cast<int64_t>(lastReportedResident_);
    const long long deltaMB = delta / MIB;
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "memory usage changed %lldMB (total usage: %zuMB)",
               deltaMB, resident / static_cast<size_t>(MIB));
    lastMemoryReport_ = hooks_.now();
    lastReportedResident_ = resident;
}

void Housekeeping::SetVideoThrottle(bool low)
{
    const int64_t current = hooks_.now();
    throttled_ = low;
    if (low) {
        if (lowMemorySince_ == NO_LOW_MEMORY) {
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING,
                       "available system memory is low, throttling video");
            EventDataPool().Drain();
            hooks_.announce();
        }
        lowMemorySince_ = current; // every low sample extends the episode
        return;
    }
    // No episode open, or an over-limit sample less than 60 s ago.
    if (lowMemorySince_ == NO_LOW_MEMORY || current - lowMemorySince_ < THROTTLE_RELEASE_NS)
        return;
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "available system memory ok, not throttling video");
    hooks_.announce();
    lowMemorySince_ = NO_LOW_MEMORY;
}
