// The core's periodic housekeeping on the I/O thread, every 100 ms: the
// wall-clock jump check, the memory sample once per wall-clock second and the
// video throttling that follows it, and the return of idle event data blocks.
// Everything but the throttle flag and the setting is touched only by the I/O
// thread (and by tests that run it on theirs).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <limits>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

// The scheduler runs every 100 ms.
inline constexpr int64_t SCHEDULER_PERIOD_NS = 100'000'000;
// Resident size above which video frames are refused (190 MiB).
inline constexpr size_t MEMORY_LIMIT = 199'229'440;

class Housekeeping {
public:
    struct Hooks {
        std::function<int64_t()> now;          // the core's monotonic clock, ns
        std::function<time_t()> wallClock;     // wall-clock seconds
        std::function<size_t()> residentBytes; // the process's resident size, 0 when unreadable
        std::function<void()> announce;        // tells the plugins the throttle state (throttled())
    };

    Housekeeping(boost::asio::io_context& io, Hooks hooks);
    Housekeeping(const Housekeeping&) = delete;
    Housekeeping& operator=(const Housekeeping&) = delete;

    // Arms the first run, one period from now.
    void Start();
    // Ends the runs; from any thread (posted to the I/O thread).
    void Cancel();
    // One run; `error` is the timer's (cancelled: nothing happens). The
    // timer's handler, public for tests that run it on a fake clock.
    void Run(const boost::system::error_code& error);

    // Whether video frames are refused; read by the event entry on any thread.
    const std::atomic<bool>& throttled() const { return throttled_; }
    // Sets that verdict as a sample would, without a word to anyone (tests).
    void SetThrottled(bool on) { throttled_ = on; }
    // The setting (core.xml's Memory Throttling): without it memory is not sampled.
    bool throttlingEnabled = true;

private:
    void Arm();
    void SampleMemory();
    void SetVideoThrottle(bool low);

    boost::asio::io_context& io_;
    Hooks hooks_;
    boost::asio::steady_timer timer_;
    bool cancelled_ = false;
    std::atomic<bool> throttled_{false};
    size_t memoryLimit_ = 0;
    time_t lastWallClock_ = 0;
    // Not yet reported: the first sample reports, however soon after boot.
    static constexpr int64_t NO_MEMORY_REPORT = std::numeric_limits<int64_t>::min();
    int64_t lastMemoryReport_ = NO_MEMORY_REPORT;
    size_t lastReportedResident_ = 0;
    // Time of the latest over-limit sample of an open throttling episode.
    static constexpr int64_t NO_LOW_MEMORY = std::numeric_limits<int64_t>::max();
    int64_t lowMemorySince_ = NO_LOW_MEMORY;
};
