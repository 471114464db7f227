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

#include "core/crash_report.h"
#include "core/logging.h"
#include "core/privileges.h"
#include "core/resident_size.h"
#include "plugin-host/plugin_records.h"

dvrcore* instance = nullptr;

const char* CoreVersion()
{
    return "20.12.8.0";
}

dvrcore::dvrcore(std::string executablePath)
    : executablePath(std::move(executablePath)),
      housekeeping_(ioService,
                    Housekeeping::Hooks{[this] { return now(); }, [this] { return WallClock(); },
                                        [this] { return ResidentBytes(); }, [this] { documents_.AnnounceThrottle(); }}),
      channel_(ioService,
               SupervisorChannel::Callbacks{
                   [this] { RequestStop(); },
                   [this](SupervisorConfig config) { SupervisorConfigured(std::move(config)); },
                   [this](const unsigned char* packet, uint32_t length) { host_.SupervisorPacket(packet, length); },
                   [this] { SupervisorLost(); }, [this] { return stopping(); }}),
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
      documents_(Documents::Links{this->executablePath, CoreVersion(), &logLevels, &defaultLogLevels,
                                  &housekeeping_.throttlingEnabled, &housekeeping_.throttled(), &host_,
                                  [this] { return WallClock(); },
                                  [this](_EventParmsIn& event) {
                                      _EventParmsOut out = EventResultRecord();
                                      bus_.Raise(&event, &out);
                                  }})
{
    instance = this;
}

dvrcore::~dvrcore()
{
    StopSignals(); // when Start ended by an exception
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
    Documents::Supervisor supervisor = documents_.supervisor();
    return SupervisorState{std::move(supervisor.filename), std::move(supervisor.version), backgroundMode,
                           supervisorLost};
}

// The supervisor's configuration packet, on the I/O thread.
void dvrcore::SupervisorConfigured(SupervisorConfig config)
{
    if (config.background)
        backgroundMode = *config.background;
    documents_.SetSupervisor(std::move(config.filename), std::move(config.version));
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

namespace {

// The signals the signal thread takes: the stop signals, and SIGUSR1.
sigset_t CoreSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGUSR1})
        sigaddset(&signals, signal);
    return signals;
}

// However many SIGUSR1 come, the counter lines come at most this often.
constexpr int64_t kCounterLinesIntervalNs = 1'000'000'000;

// A child a plugin forks starts with the signals as a process normally has
// them (posix_spawn does not pass here: its caller sets the mask it wants).
void RestoreSignalsInChild()
{
    const sigset_t signals = CoreSignals();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_DFL);
}

} // namespace

void BlockCoreSignals()
{
    const sigset_t signals = CoreSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A write to a pipe or socket whose reader is gone fails with EPIPE instead.
    signal(SIGPIPE, SIG_IGN);
    static const bool childHandler = pthread_atfork(nullptr, nullptr, RestoreSignalsInChild) == 0;
    (void)childHandler;
}

void dvrcore::StartSignals()
{
    BlockCoreSignals();
    signalThreadEnding = false;
    signalThread = std::thread([this] { TakeSignals(); });
}

void dvrcore::TakeSignals()
{
    const sigset_t signals = CoreSignals();
    bool stopSignalled = false;
    bool countersShown = false;
    int64_t countersShownAt = 0;
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0)
            continue;
        if (signalThreadEnding)
            return;
        if (signal == SIGUSR1) {
            const int64_t at = now();
            if (countersShown && at - countersShownAt < kCounterLinesIntervalNs)
                continue;
            countersShown = true;
            countersShownAt = at;
            host_.LogCounters(LEVEL_INFO);
            continue;
        }
        // The first stop signal starts the stop; later ones change nothing.
        if (stopSignalled)
            continue;
        stopSignalled = true;
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_INFO, "stop requested by signal SIG%s",
                   SignalAbbreviation(signal));
        RequestStop();
    }
}

// Signals that come from now on stay pending, blocked on every thread, until
// the process exits.
void dvrcore::StopSignals()
{
    if (!signalThread.joinable())
        return;
    signalThreadEnding = true;
    pthread_kill(signalThread.native_handle(), SIGUSR1);
    signalThread.join();
}

void dvrcore::Start()
{
    StartLogOutputThreads();
    StartSignals();

    host_.StartWatching();
    bus_.holds().ObserveHolds(&PluginHost::CountHold, &host_);
    documents_.ReadConfiguration();
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
        host_.WatchIoThread();
        ioService.run();
    });

    // A stop requested while the plugins loaded or during the wait ends the
    // wait; start-up still runs to its end, so every plugin is opened and
    // then closed in the usual order, and the writer returns at once.
    if (supervised && !stopping())
        bus_.inbox().WaitForWakeup(
            wakeupsBeforeIpc, STARTUP_WAIT_NS,
            [this](std::unique_lock<std::mutex>& lock, std::condition_variable& condition, int64_t timeoutNs,
                   const std::function<bool()>& ready) { return WaitFor(lock, condition, timeoutNs, ready); });

    host_.OpenAll();
    if (getuid() != 0)
        SetCapabilities(RUNNING_CAPABILITIES);
    host_.StartReaders();
    housekeeping_.Start();
    documents_.WriteStatus();
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_INFO, "successfully started core version %s",
               documents_.coreVersion().c_str());

    bus_.RunWriter();

    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_INFO, "stopping core version %s...",
               documents_.coreVersion().c_str());
    housekeeping_.Cancel();
    if (supervisorLost)
        Pause(SUPERVISOR_LOST_PAUSE_NS); // signals do not cut it short
    host_.CloseAll();
    // Blocks raised for the supervisor from here on (Unload) are refused and
    // freed: nothing would send them.
    channel_.EndSending();
    ioService.stop();
    ioThread.join();
    channel_.FreeUnsent();
    host_.LogCounters(LEVEL_DETAIL); // no Write or IOCTL call comes any more
    host_.UnloadAll();
    host_.StopWatching();
    StopSignals();
}
