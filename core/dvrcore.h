// The core object of the process: the wiring of its components. It creates
// them in order, hands each the callbacks it needs of the others, and runs
// the start and stop sequences. The work is the components':
//   EventBus          events/event_bus.h        raising, the inbox, delivery, holds, release, read requests
//   PluginHost        plugin-host/plugin_host.h the plugins, their calls, threads, names and watchdog
//   SupervisorChannel ipc/supervisor_channel.h  the supervisor's socket, packets in, blocks out
//   Housekeeping      core/housekeeping.h       the scheduler, the memory monitor, the video throttle
//   Documents         config/documents.h        the operator's files, updates, the status documents
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "config/documents.h"
#include "core/housekeeping.h"
#include "core/log_levels.h"
#include "dvrplugin.h"
#include "events/event_bus.h"
#include "ipc/supervisor_channel.h"
#include "plugin-host/plugin_host.h"

// How long the start-up waits for the supervisor's configuration packet.
inline constexpr int64_t STARTUP_WAIT_NS = 10'000'000'000;
// After losing its supervisor the core waits this long before closing its
// plugins, so that the supervisor's watchdogs expire first.
inline constexpr int64_t SUPERVISOR_LOST_PAUSE_NS = 60'000'000'000;

// The core version text, also printed by -h.
const char* CoreVersion();

// Blocks the signals the core takes on its signal thread (SIGINT, SIGTERM,
// SIGQUIT, SIGHUP: a stop; SIGUSR1: the counter lines) on the calling thread,
// and so on every thread it starts, and ignores SIGPIPE. The first thing main
// does; Start does it too.
void BlockCoreSignals();

class dvrcore {
public:
    explicit dvrcore(std::string executablePath);
    virtual ~dvrcore();

    dvrcore(const dvrcore&) = delete;
    dvrcore& operator=(const dvrcore&) = delete;

    // --- seams: time, waiting, the log sink (tests stand in their own) ---

    // Monotonic time in nanoseconds; every duration the core measures uses it.
    virtual int64_t now();
    // Waits on `condition` (`lock` holds its mutex) until `ready` holds or
    // `timeoutNs` passed; returns `ready()`. The start-up wait goes through here.
    virtual bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& condition, int64_t timeoutNs,
                         const std::function<bool()>& ready);
    // Sleeps `durationNs`, cut short by nothing.
    virtual void Pause(int64_t durationNs);
    // Wall-clock seconds (`time`): the clock-jump check and the memory document.
    virtual time_t WallClock();
    // The process's resident size in bytes, 0 when unreadable.
    virtual size_t ResidentBytes();
    // The log sink: one terminal line and, for level 100, one syslog message.
    virtual void WriteLog(uint32_t sourceID, uint32_t level, const char* text);

    // --- the start and stop sequences ---
    bool Init(int pipe);
    void Start();
    void RequestStop();

    // --- the entry points, by the names the parts know them ---
    int PluginEvent(_EventParmsIn* in, _EventParmsOut* out) { return bus_.Raise(in, out); }
    int ReleaseBlock(const _EventParmsIn& event, uint32_t owner)
    {
        bus_.Release(event, owner);
        return 0;
    }
    void WriterLoop() { bus_.RunWriter(); }
    void ProcessIPC(const boost::system::error_code& error, unsigned int bytes) { channel_.Received(error, bytes); }
    void ParseConfig(const std::string& text) { documents_.ApplyUpdate(text); }
    void CountRaised(const _EventParmsIn& event, const _EventParmsOut& result) { host_.CountRaised(event, result); }
    void LogPluginCounters(int32_t level) { host_.LogCounters(level); }

    // --- what the supervisor said in its configuration packet, and whether it is gone ---
    struct SupervisorState {
        std::string filename;
        std::string version;
        bool background = false;
        bool lost = false;
    };
    SupervisorState supervisorState();
    bool stopping() const { return stopRequested; }

    // --- the components, for tests and the benchmark ---
    EventBus& events() { return bus_; }
    PluginHost& pluginHost() { return host_; }
    SupervisorChannel& supervisor() { return channel_; }
    Housekeeping& housekeeping() { return housekeeping_; }
    Documents& documents() { return documents_; }
    boost::asio::io_context& ioContext() { return ioService; }

    // --- log thresholds per source slot ---
    LogLevelTable logLevels{LEVEL_INFO};
    LogLevelTable defaultLogLevels{LEVEL_INFO};

protected:
    // The signal thread: takes the blocked signals with sigwait. It never
    // calls a plugin, so a plugin call that blocks any other thread (a
    // supervisor IOCTL on the I/O thread) cannot hold up a stop.
    void StartSignals();
    void TakeSignals();
    void StopSignals();
    void SupervisorConfigured(SupervisorConfig config);
    void SupervisorLost();

    // Members in declaration order; destroyed in reverse.

    // The I/O thread's service: supervisor packets, housekeeping,
    // configuration updates.
    boost::asio::io_context ioService;
    // Set once, under the inbox's lock (EventBus::Stop); read anywhere.
    std::atomic<bool> stopRequested{false};

    // --- run state: what the supervisor said ---
    std::atomic<bool> backgroundMode{false};
    std::atomic<bool> supervisorLost{false}; // the I/O thread sets it while the shutdown reads it
    std::string executablePath;

    // --- the components, in the order they are created ---
    Housekeeping housekeeping_;
    SupervisorChannel channel_;
    PluginHost host_;
    EventBus bus_;
    Documents documents_;

    std::thread signalThread;
    std::atomic<bool> signalThreadEnding{false};
    std::thread ioThread;
};

// The one core object of the process, set by its constructor.
extern dvrcore* instance;
