// The one core object of the process: owns every piece of run-time state and
// runs the start-up sequence, the event writer loop and the shutdown sequence.
// Its methods live in the folder of the subsystem they belong to.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "dvrplugin.h"
#include "events/event_queue.h"
#include "events/refblocktable.h"
#include "plugin-host/plugininfo.h"

class TiXmlDocument;

// Slots of the log-level tables: indices 0..254.
inline constexpr int LogLevelArraySize = 255;
inline constexpr int64_t SCHEDULER_PERIOD_NS = 100'000'000;

// The core version text, also printed by -h.
const char* CoreVersion();

// One block waiting to be written to the supervisor; allocated with malloc.
struct IpcBlock {
    void* data;
    uint32_t dataSize;
};

// Flow control of one thread running a plugin's Read for a read request.
struct ReaderSlot {
    std::mutex mutex;
    std::condition_variable condition;
    void* pendingBlock = nullptr; // last block raised and not yet released by all holders
};

class dvrcore {
public:
    explicit dvrcore(std::string executablePath);
    virtual ~dvrcore();

    dvrcore(const dvrcore&) = delete;
    dvrcore& operator=(const dvrcore&) = delete;

    // Monotonic time in nanoseconds; every duration the core measures uses it.
    virtual int64_t now();
    // Builds the memory status document and raises it to the plugins.
    virtual void AnnounceThrottle();
    // The log sink: one terminal line and, for level 100, one syslog message.
    virtual void WriteLog(uint32_t sourceID, uint32_t level, const char* text);

    // core/
    bool Init(int pipe);
    void Start();
    void RequestStop();

    // events/
    int PluginEvent(_EventParmsIn* in, _EventParmsOut* out);
    int ReleaseBlock(const _EventParmsIn& event, uint32_t owner);
    void WriterLoop();

    // ipc/
    void ProcessIPC(const boost::system::error_code& error, unsigned int bytes);

    // config/
    void ParseConfig(const std::string& text);

protected:
    // core/
    void StartSignalWait();
    void Scheduler(const boost::system::error_code& error);
    void ArmScheduler();
    void SetVideoThrottle(bool low);

    // plugin-host/
    bool LoadPlugins();
    bool OpenPlugins();
    bool ClosePlugins();
    bool UnloadPlugins();
    void LoadPlugin(const std::string& path);

    // events/
    int AdmitVideoFrame(uint32_t source, uint8_t keyFrame);
    void WriteLogText(const _EventParmsIn& event);
    void FreeBlock(void* block);
    void DeliverEvent(const _EventParmsIn& event, bool detail);
    void DeliverWrite(PLUGININFO& plugin, const _EventParmsIn& event, bool timed);
    void DeliverConfig(PLUGININFO& plugin, const _EventParmsIn& event);
    void LogQueueStatistics(size_t queued, uint32_t events);
    bool PollForEvents() const;
    void CloseReadRequest(uint32_t requestID);
    void DispatchReadRequest(const _EventParmsIn& request);
    bool CheckRequestEvent(uint32_t requestID, void* block);
    void RunReadRequest(DvrEntryPoint read, uint32_t dataSize, void* copy, uint32_t requestID);
    void WaitForRequestThreads();
    void WakeWaitingReaders();

    // ipc/
    void ArmIpcReceive();
    void QueueIpcBlock(IpcBlock block);
    void SendIpcFront();
    void DeliverIpcPacket(const unsigned char* packet, uint32_t length);
    void DisconnectIpc();

    // config/
    void ReadConfiguration();
    void WriteStatusDocuments();
    // Raises the document, printed on one line, as an event from the core.
    void RaiseDocument(const TiXmlDocument& document, uint32_t eventType);

    // Members in declaration order; destroyed in reverse.
    std::vector<PLUGININFO> plugins;
    // Guards the shape of `plugins` against readers on other threads (supervisor
    // packets, read requests) while the main thread inserts or reorders. The
    // main thread itself reads without it. Never held while a plugin is called.
    std::shared_mutex pluginsMutex;

    std::map<uint32_t, std::string> moduleNames;
    std::shared_mutex moduleNamesMutex; // plugin threads log while the loader inserts
    std::map<std::string, std::string> failedPlugins;

    boost::asio::io_context ioService;
    boost::asio::steady_timer schedulerTimer;
    boost::asio::generic::seq_packet_protocol::socket ipcSocket;
    // Whether ipcSocket is open, readable from any thread (the socket object
    // itself belongs to the I/O thread once it runs).
    std::atomic<bool> ipcOpen{false};
    std::deque<IpcBlock> ipcSendQueue;
    alignas(4) unsigned char ipcBuffer[IPC_BUFFER_SIZE];
    uint32_t ipcFill = 0;

    std::mutex coreMutex;
    std::condition_variable coreCondition;
    uint64_t coreWakeups = 0; // counts notifications of coreCondition, under coreMutex
    EventQueue eventQueue;
    std::atomic<size_t> queuedEvents{0}; // eventQueue.size(), readable without coreMutex

    // Event bus tables.
    std::mutex admissionMutex;
    std::map<uint32_t, uint32_t> videoAdmissions; // source -> dependent frames since its key frame
    std::atomic<uint32_t> throttledVideoFrames{0};
    std::mutex requestMutex;
    std::condition_variable requestThreadsDone;
    std::set<uint32_t> closedRequests;
    std::map<pthread_t, std::unique_ptr<ReaderSlot>> readerThreads;
    std::atomic<uint32_t> readerSlotCount{0}; // lets frees skip the request lock when no reader waits
    uint32_t activeRequestThreads = 0;        // under requestMutex
    RefBlockTable refBlocks;

    std::string executablePath;
    std::string productName = "tarvoSentry";
    std::string coreVersion;
    std::string supervisorFilename;
    std::string supervisorVersion;
    std::atomic<bool> backgroundMode{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> supervisorLost{false}; // the I/O thread may set it while the shutdown reads it
    bool throttlingEnabled = true;
    std::atomic<bool> videoThrottled{false};
    int64_t lowMemorySince = std::numeric_limits<int64_t>::max();

public:
    std::atomic<int8_t> logLevels[LogLevelArraySize];
    std::atomic<int8_t> defaultLogLevels[LogLevelArraySize];

protected:
    // Scheduler state, touched only by the I/O thread.
    size_t memoryLimit = 0;
    time_t lastWallClock = 0;
    int64_t lastMemoryReport = 0;
    size_t lastReportedResident = 0;

    bool schedulerCancelled = false; // I/O thread only
    std::unique_ptr<boost::asio::signal_set> signals;
    std::thread ioThread;
};

// The one core object of the process, set by its constructor.
extern dvrcore* instance;
