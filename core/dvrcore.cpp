// The core object's life: its components wired together at construction,
// the start-up sequence, the writer on the main thread, the shutdown sequence.
#include "core/dvrcore.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "core/logging.h"
#include "core/privileges.h"
#include "core/resident_size.h"

dvrcore* instance = nullptr;

const char* CoreVersion()
{
    return "20.12.8.0";
}

dvrcore::dvrcore(std::string executablePath)
    : executablePath(std::move(executablePath)),
      housekeeping_(ioService, Housekeeping::Hooks{[this] { return now(); }, [this] { return WallClock(); },
                                                   [this] { return ResidentBytes(); }, [this] { AnnounceThrottle(); }}),
      channel_(ioService,
               SupervisorChannel::Callbacks{
                   [this] { RequestStop(); },
                   [this](SupervisorConfig config) { SupervisorConfigured(std::move(config)); },
                   [this](const unsigned char* packet, uint32_t length) { host_.SupervisorPacket(packet, length); },
                   [this] { SupervisorLost(); }}),
      host_(PluginHost::Links{[this] { return now(); }, this, &logLevels, &defaultLogLevels, &stopRequested,
                              [this] { bus_.WaitForRequestThreads(); }}),
      bus_(EventBus::Links{[this] { return now(); },
                           [this](uint32_t source, uint32_t level, const char* text) { WriteLog(source, level, text); },
                           [this](void* block, uint32_t size) { return channel_.Send(block, size); },
                           [this](const void* block) { return channel_.OwnsBuffer(block); },
                           [this](std::string text) {
                               // Applied on the I/O thread, after the writer has moved on.
                               boost::asio::post(ioService, [this, text = std::move(text)] { ParseConfig(text); });
                           },
                           &logLevels, &housekeeping_.throttled(), &stopRequested,
                           // A quarter of the memory limit may wait for the writer.
                           MEMORY_LIMIT / 4},
           host_),
      throttlingEnabled(housekeeping_.throttlingEnabled),
      videoThrottled(housekeeping_.throttled()),
      plugins(host_.list()),
      pluginsMutex(host_.listMutex()),
      failedPlugins(host_.failures())
{
    instance = this;
}

dvrcore::~dvrcore()
{
    instance = nullptr;
}

int64_t dvrcore::now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool dvrcore::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& condition, int64_t timeoutNs,
                      const std::function<bool()>& ready)
{
    // On the monotonic clock: a wall clock set back during the wait (common
    // at boot on a recorder without a real-time clock) must not stretch it.
    return condition.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeoutNs), ready);
}

time_t dvrcore::WallClock()
{
    return time(nullptr);
}

size_t dvrcore::ResidentBytes()
{
    return ReadResidentBytes();
}

void dvrcore::Pause(int64_t durationNs)
{
    std::this_thread::sleep_for(std::chrono::nanoseconds(durationNs));
}

void dvrcore::RequestStop()
{
    bus_.Stop();
}

dvrcore::SupervisorState dvrcore::supervisorState()
{
    std::lock_guard lock(coreMutex);
    return SupervisorState{supervisorFilename, supervisorVersion, backgroundMode, supervisorLost};
}

// The supervisor's configuration packet, on the I/O thread.
void dvrcore::SupervisorConfigured(SupervisorConfig config)
{
    {
        std::lock_guard lock(coreMutex);
        if (config.background)
            backgroundMode = *config.background;
        if (config.version)
            supervisorVersion = std::move(*config.version);
        supervisorFilename = std::move(config.filename);
    }
    // Ends the start-up wait, which waits for the main thread's wake-up count to move.
    bus_.inbox().WakeMainThread();
}

// The supervisor's socket is gone (the channel is closed already), on the I/O thread.
void dvrcore::SupervisorLost()
{
    supervisorLost = true;
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL, "tarvod ipc pipe disconnected");
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_CRITICAL,
               "sleeping for one minute to allow active watchdogs to expire...");
    RequestStop();
}

void dvrcore::StartSignals()
{
    signals = std::make_unique<boost::asio::signal_set>(ioService);
    boost::system::error_code error;
    for (int signal : {SIGINT, SIGTERM, SIGQUIT}) {
        signals->add(signal, error);
        if (error)
            throw boost::system::system_error(error, "add");
    }
    // Not re-armed: the first signal starts the orderly stop, later ones are
    // absorbed by the set.
    signals->async_wait([this](const boost::system::error_code&, int) { RequestStop(); });

    statsSignal = std::make_unique<boost::asio::signal_set>(ioService);
    statsSignal->add(SIGUSR1, error);
    if (error)
        throw boost::system::system_error(error, "add");
    // Re-armed after each signal; the set absorbs SIGUSR1 until the core exits.
    struct Rearm {
        dvrcore* core;
        void operator()(const boost::system::error_code& error, int) const
        {
            if (error)
                return;
            core->host_.LogCounters(LEVEL_INFO);
            core->statsSignal->async_wait(*this);
        }
    };
    statsSignal->async_wait(Rearm{this});
}

namespace {

sigset_t StopSignals()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGINT, SIGTERM, SIGQUIT})
        sigaddset(&stopSignals, signal);
    return stopSignals;
}

// For the life of Start, the stop signals reach only the I/O thread, which
// handles them: every thread started meanwhile (the watchdog, the plugins'
// threads and theirs) inherits them blocked. A plugin thread in a system
// call is then not interrupted by them, and a signal that comes while the
// main thread spins on the event queue does not wait for it. Until the I/O
// thread runs, a signal stays pending, as the signal set would hold it.
class StopSignalsToIoThread {
public:
    StopSignalsToIoThread()
    {
        const sigset_t stopSignals = StopSignals();
        pthread_sigmask(SIG_BLOCK, &stopSignals, &previous_);
    }
    // A stop signal that came after the I/O thread ended is absorbed, as the
    // signal set absorbs any after the first.
    ~StopSignalsToIoThread()
    {
        const sigset_t stopSignals = StopSignals();
        const timespec noWait{};
        while (sigtimedwait(&stopSignals, nullptr, &noWait) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    StopSignalsToIoThread(const StopSignalsToIoThread&) = delete;
    StopSignalsToIoThread& operator=(const StopSignalsToIoThread&) = delete;

    // Called first on the I/O thread.
    static void Accept()
    {
        const sigset_t stopSignals = StopSignals();
        pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    }

private:
    sigset_t previous_;
};

} // namespace

void dvrcore::Start()
{
    const StopSignalsToIoThread stopSignalsToIoThread;
    coreVersion = CoreVersion();

    host_.StartWatching();
    bus_.holds().ObserveHolds(&PluginHost::CountHold, &host_);
    StartSignals();
    ReadConfiguration();
    host_.LoadAll(executablePath);

    // Anything that wakes the main thread from here on (the supervisor's
    // configuration packet above all) ends the start-up wait, even when it
    // happens before the main thread gets to wait.
    const uint64_t wakeupsBeforeIpc = bus_.inbox().WakeupTicket();
    const bool supervised = channel_.open();
    if (supervised)
        channel_.StartReceiving();

    // An error out of the I/O service ends the process: nothing catches it.
    // The guard keeps it running until the shutdown stops it, even when it
    // has nothing to wait for (no supervisor, housekeeping cancelled).
    auto keepRunning = boost::asio::make_work_guard(ioService);
    ioThread = std::thread([this] {
        StopSignalsToIoThread::Accept();
        host_.WatchIoThread();
        ioService.run();
    });

    if (supervised)
        bus_.inbox().WaitForWakeup(
            wakeupsBeforeIpc, STARTUP_WAIT_NS,
            [this](std::unique_lock<std::mutex>& lock, std::condition_variable& condition, int64_t timeoutNs,
                   const std::function<bool()>& ready) { return WaitFor(lock, condition, timeoutNs, ready); });

    host_.OpenAll();
    if (getuid() != 0)
        SetCapabilities(RUNNING_CAPABILITIES);
    host_.StartReaders();
    housekeeping_.Start();
    WriteStatusDocuments();
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_INFO, "successfully started core version %s",
               coreVersion.c_str());

    bus_.RunWriter();

    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_INFO, "stopping core version %s...", coreVersion.c_str());
    housekeeping_.Cancel();
    if (supervisorLost)
        Pause(SUPERVISOR_LOST_PAUSE_NS); // signals do not cut it short
    host_.CloseAll();
    ioService.stop();
    ioThread.join();
    channel_.FreeUnsent();
    host_.LogCounters(LEVEL_DETAIL); // no Write or IOCTL call comes any more
    host_.UnloadAll();
    host_.StopWatching();
    signals.reset();
}
