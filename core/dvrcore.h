// The one core object of the process: owns every piece of run-time state and
// runs the start-up sequence, the event writer loop and the shutdown sequence.
// Its methods live in the folder of the subsystem they belong to; each
// subsystem's self-contained state is a small type of its own, declared in
// that folder, and appears here as one member.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "config/status_files.h"
#include "core/core_wakeup.h"
#include "core/log_levels.h"
#include "dvrplugin.h"
#include "events/event_queue.h"
#include "events/event_ring.h"
#include "events/refblocktable.h"
#include "events/request_threads.h"
#include "events/video_admission.h"
#include "ipc/ipc_send_queue.h"
#include "plugin-host/plugin_call.h"
#include "plugin-host/plugin_side_table.h"
#include "plugin-host/plugin_watchdog.h"
#include "plugin-host/plugininfo.h"

class TiXmlDocument;

// The scheduler runs every 100 ms.
inline constexpr int64_t SCHEDULER_PERIOD_NS = 100'000'000;
// Resident size above which video frames are refused (190 MiB).
inline constexpr size_t MEMORY_LIMIT = 199'229'440;
// How long the start-up waits for the supervisor's configuration packet.
inline constexpr int64_t STARTUP_WAIT_NS = 10'000'000'000;
// After losing its supervisor the core waits this long before closing its
// plugins, so that the supervisor's watchdogs expire first.
inline constexpr int64_t SUPERVISOR_LOST_PAUSE_NS = 60'000'000'000;

// The core version text, also printed by -h.
const char* CoreVersion();

class dvrcore {
public:
    explicit dvrcore(std::string executablePath);
    virtual ~dvrcore();

    dvrcore(const dvrcore&) = delete;
    dvrcore& operator=(const dvrcore&) = delete;

    // --- seams: time, waiting, the log sink (tests stand in their own) ---

    // Monotonic time in nanoseconds; every duration the core measures uses it.
    virtual int64_t now();
    // Waits on coreCondition (`lock` holds coreMutex) until `ready` holds or
    // `timeoutNs` passed; returns `ready()`. Every timed wait of the core on
    // coreCondition goes through here.
    virtual bool WaitFor(std::unique_lock<std::mutex>& lock, int64_t timeoutNs, const std::function<bool()>& ready);
    // Sleeps `durationNs`, cut short by nothing.
    virtual void Pause(int64_t durationNs);
    // Builds the memory status document and raises it to the plugins.
    virtual void AnnounceThrottle();
    // Wall-clock seconds (`time`): the clock-jump check and the memory document.
    virtual time_t WallClock();
    // The process's resident size in bytes, 0 when unreadable.
    virtual size_t ResidentBytes();
    // The log sink: one terminal line and, for level 100, one syslog message.
    virtual void WriteLog(uint32_t sourceID, uint32_t level, const char* text);

    // --- core/ ---
    bool Init(int pipe);
    void Start();
    void RequestStop();

    // --- events/ ---
    int PluginEvent(_EventParmsIn* in, _EventParmsOut* out);
    int ReleaseBlock(const _EventParmsIn& event, uint32_t owner);
    void WriterLoop();

    // --- ipc/ ---
    void ProcessIPC(const boost::system::error_code& error, unsigned int bytes);

    // --- config/ ---
    void ParseConfig(const std::string& text);

    // --- plugin-host/: what each plugin costs ---
    // Counts an event a plugin raised, after the core answered it.
    void CountRaised(const _EventParmsIn& event, const _EventParmsOut& result);
    // One line per plugin with its counters, at `level`.
    void LogPluginCounters(int32_t level);

protected:
    // --- core/ ---
    void StartSignalWait();
    void Scheduler(const boost::system::error_code& error);
    void ArmScheduler();
    void SampleMemory();
    void SetVideoThrottle(bool low);

    // --- plugin-host/ ---
    bool LoadPlugins();
    bool OpenPlugins();
    bool ClosePlugins();
    bool UnloadPlugins();
    void LoadPlugin(const std::string& path);
    void StartWatching();
    void StartStatsSignal();
    PluginWatchdog::Hooks WatchdogHooks();
    // Calls one entry point of `plugin` on the one road (plugin_call.h).
    template <class In, class Out>
    PluginCallResult CallPlugin(const PLUGININFO& plugin, DvrEntryPoint function, PluginEntry entry, In& in, Out& out,
                                CallTiming timing = CallTiming::Stamp)
    {
        return ::CallPlugin(
            function, plugin.info.systemID, entry, in, out, [this] { return now(); }, timing);
    }

    // --- events/ ---
    void WriteLogText(const _EventParmsIn& event);
    void FreeBlock(void* block);
    bool IsCoreBlock(const void* block);
    void DeliverEvent(const _EventParmsIn& event, bool detail);
    void DeliverWrite(PLUGININFO& plugin, const _EventParmsIn& event, bool timed);
    void DeliverConfig(PLUGININFO& plugin, const _EventParmsIn& event);
    void LogQueueStatistics(size_t queued, uint32_t events);
    bool PollForEvents(bool streaming) const;
    void CloseReadRequest(uint32_t requestID);
    void DispatchReadRequest(const _EventParmsIn& request);
    bool CheckRequestEvent(uint32_t requestID, void* block);
    void RunReadRequest(DvrEntryPoint read, uint32_t systemID, uint32_t dataSize, void* copy, uint32_t requestID);
    void WaitForRequestThreads();

    // --- ipc/ ---
    void ArmIpcReceive();
    void QueueIpcBlock(IpcBlock block);
    void DeliverIpcPacket(const unsigned char* packet, uint32_t length);
    void DisconnectIpc();

    // --- config/ ---
    void ReadConfiguration();
    void WriteStatusDocuments();
    // Raises the document, printed on one line, as an event from the core.
    void RaiseDocument(const TiXmlDocument& document, uint32_t eventType);

    // Members in declaration order; destroyed in reverse.

    // --- plugin-host/: the plugins, in delivery order ---
    std::vector<PLUGININFO> plugins;
    // Guards the shape of `plugins` against readers on other threads (supervisor
    // packets, read requests) while the main thread inserts or reorders. The
    // main thread itself reads without it. Never held while a plugin is called.
    std::shared_mutex pluginsMutex;
    PluginSideTable pluginSide; // per-plugin state beside PLUGININFO, by systemID
    std::map<uint32_t, std::string> moduleNames;
    std::shared_mutex moduleNamesMutex; // plugin threads log while the loader inserts
    std::map<std::string, std::string> failedPlugins;

    // --- the I/O thread's service and the supervisor channel (ipc/) ---
    boost::asio::io_context ioService;
    boost::asio::steady_timer schedulerTimer;
    boost::asio::generic::seq_packet_protocol::socket ipcSocket;
    // Whether ipcSocket is open, readable from any thread (the socket object
    // itself belongs to the I/O thread once it runs).
    std::atomic<bool> ipcOpen{false};
    IpcSendQueue ipcSendQueue{ipcSocket};
    alignas(4) unsigned char ipcBuffer[IPC_BUFFER_SIZE];
    uint32_t ipcFill = 0;

    // --- the main thread's wake-up and the event queue (core/, events/) ---
    std::mutex coreMutex;
    std::condition_variable coreCondition;
    CoreWakeup coreWakeup{coreMutex, coreCondition};
    // Raised events reach the writer through the ring; when it is full, and
    // then until the writer has taken them all, through the overflow queue,
    // so that no event overtakes one raised before it.
    EventRing eventRing;
    EventQueue eventQueue; // the overflow; under coreMutex
    // eventQueue.size(), readable without coreMutex: the polling writer
    // watches it beside the ring.
    alignas(64) std::atomic<size_t> overflowEvents{0};
    // Under coreMutex: whether a raised event must notify coreCondition. The
    // running writer clears it while it is awake: it finds events by watching
    // the ring, so the raising thread spares the notification.
    bool notifyOnEvent = true;

    // --- event bus tables (events/) ---
    alignas(64) VideoAdmission videoAdmission;
    std::atomic<uint32_t> throttledVideoFrames{0};
    RefBlockTable refBlocks;

    // --- run state shared by several subsystems ---
    std::string executablePath;
    std::string productName = "tarvoSentry";
    std::string coreVersion;
    std::string supervisorFilename; // under coreMutex
    std::string supervisorVersion;  // under coreMutex
    std::atomic<bool> backgroundMode{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> supervisorLost{false}; // the I/O thread may set it while the shutdown reads it
    bool throttlingEnabled = true;
    std::atomic<bool> videoThrottled{false};
    // Time of the latest over-limit sample of an open throttling episode.
    static constexpr int64_t NO_LOW_MEMORY = std::numeric_limits<int64_t>::max();
    int64_t lowMemorySince = NO_LOW_MEMORY;

    // --- read requests (events/); waiting threads give up at the stop ---
    RequestThreads requestThreads{stopRequested};

    // --- config/: the status document's files; the saves never overlap ---
    StatusFiles statusFiles;

public:
    // --- log thresholds per source slot (core/logging) ---
    LogLevelTable logLevels{LEVEL_INFO};
    LogLevelTable defaultLogLevels{LEVEL_INFO};

protected:
    // --- scheduler state, touched only by the I/O thread (core/scheduler) ---
    size_t memoryLimit = 0;
    time_t lastWallClock = 0;
    // Not yet reported: the first sample reports, however soon after boot.
    static constexpr int64_t NO_MEMORY_REPORT = std::numeric_limits<int64_t>::min();
    int64_t lastMemoryReport = NO_MEMORY_REPORT;
    size_t lastReportedResident = 0;
    bool schedulerCancelled = false;

    std::unique_ptr<boost::asio::signal_set> signals;
    std::unique_ptr<boost::asio::signal_set> statsSignal; // SIGUSR1: the counter lines
    std::thread ioThread;

    // --- plugin-host/: the hung-call watchdog, stopped before anything else goes ---
    PluginCallWatch mainWatch; // the start-up, writer and shutdown thread
    PluginCallWatch ioWatch;   // the I/O thread (supervisor packets)
    PluginWatchdog watchdog{WatchdogHooks(), stopRequested};
};

// The one core object of the process, set by its constructor.
extern dvrcore* instance;
