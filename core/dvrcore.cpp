// The core object's life: construction, the start-up sequence, the writer
// loop on the main thread, the shutdown sequence and destruction.
#include "core/dvrcore.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "core/logging.h"
#include "core/privileges.h"
#include "events/block_pool.h"
#include "plugin-host/plugin_threads.h"

dvrcore* instance = nullptr;

const char* CoreVersion()
{
    return "20.12.8.0";
}

dvrcore::dvrcore(std::string executablePath)
    : schedulerTimer(ioService, std::chrono::nanoseconds(SCHEDULER_PERIOD_NS)),
      ipcSocket(ioService),
      executablePath(std::move(executablePath))
{
    instance = this;
}

dvrcore::~dvrcore()
{
    // Events still queued (a core that never ran its writer) own their copies.
    _EventParmsIn event;
    while (eventRing.TryTake(event))
        FreeEventData(event.data);
    while (!eventQueue.empty())
        FreeEventData(eventQueue.pop_front().data);
    std::string leaks = refBlocks.TakeLeakReport();
    if (!leaks.empty())
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "%s", leaks.c_str());
    instance = nullptr;
}

int64_t dvrcore::now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool dvrcore::WaitFor(std::unique_lock<std::mutex>& lock, int64_t timeoutNs, const std::function<bool()>& ready)
{
    // On the monotonic clock: a wall clock set back during the wait (common
    // at boot on a recorder without a real-time clock) must not stretch it.
    return coreCondition.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeoutNs),
                                    ready);
}

void dvrcore::Pause(int64_t durationNs)
{
    std::this_thread::sleep_for(std::chrono::nanoseconds(durationNs));
}

void dvrcore::RequestStop()
{
    {
        std::lock_guard lock(coreMutex);
        stopRequested = true;
        coreWakeup.NotifyLocked();
    }
    // A request thread waiting to pass its next block is refused from now on.
    requestThreads.WakeAll();
}

void dvrcore::StartSignalWait()
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
    plugins.clear();

    StartWatching();
    StartSignalWait();
    StartStatsSignal();
    ReadConfiguration();
    LoadPlugins();

    // Anything that wakes coreCondition from here on (the supervisor's
    // configuration packet above all) ends the start-up wait, even when it
    // happens before the main thread gets to wait.
    const uint64_t wakeupsBeforeIpc = coreWakeup.Ticket();
    bool supervised = ipcOpen;
    if (supervised)
        ArmIpcReceive();

    // An error out of the I/O service ends the process: nothing catches it.
    // The guard keeps it running until the shutdown stops it, even when it
    // has nothing to wait for (no supervisor, scheduler cancelled).
    auto keepRunning = boost::asio::make_work_guard(ioService);
    ioThread = std::thread([this] {
        StopSignalsToIoThread::Accept();
        PluginCallScope::WatchThisThread(&ioWatch);
        ioService.run();
    });

    if (supervised) {
        std::unique_lock lock(coreMutex);
        WaitFor(lock, STARTUP_WAIT_NS, [&] { return coreWakeup.ChangedSince(wakeupsBeforeIpc); });
    }

    OpenPlugins();
    if (getuid() != 0)
        SetCapabilities(RUNNING_CAPABILITIES);
    for (PLUGININFO& plugin : plugins)
        StartAsyncReader(plugin);
    ArmScheduler();
    WriteStatusDocuments();
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_INFO, "successfully started core version %s",
               coreVersion.c_str());

    WriterLoop();

    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_INFO, "stopping core version %s...", coreVersion.c_str());
    // The timer belongs to the I/O thread, which may be re-arming it right now.
    boost::asio::post(ioService, [this] {
        schedulerCancelled = true; // a completion already queued must not re-arm
        schedulerTimer.cancel();
    });
    if (supervisorLost)
        Pause(SUPERVISOR_LOST_PAUSE_NS); // signals do not cut it short
    ClosePlugins();
    ioService.stop();
    ioThread.join();
    ipcSendQueue.FreeAll();
    LogPluginCounters(LEVEL_DETAIL); // no Write or IOCTL call comes any more
    UnloadPlugins();
    watchdog.Stop();
    PluginCallScope::WatchThisThread(nullptr);
    signals.reset();
}
