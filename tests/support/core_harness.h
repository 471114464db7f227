// One harness around a core that unit tests drive through its components'
// interfaces: the log lines it writes are captured, its clocks and resident
// size are the test's (fake unless asked for real, and its waits follow the
// fake clock), its writer runs on a thread of the harness or on the spot, and
// plugins are records the test adds, whose entry points may be fake plugins
// calling back into the test.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/dvrcore.h"
#include "events/block_pool.h"
#include "support/process.h"

namespace dvrtest {

struct LogLine {
    uint32_t source;
    uint32_t level;
    std::string text;
};

class TestCore : public dvrcore {
public:
    explicit TestCore(std::string executablePath = "/nonexistent/bin/dvrcore") : dvrcore(std::move(executablePath)) {}
    ~TestCore() override
    {
        StopWriter();
        events().WaitForRequestThreads();
        // Copies of events the test took out, or left in the queue.
        TakeQueued();
        for (void* copy : takenCopies_)
            FreeEventData(copy);
    }

    // --- clock and waiting ---
    // The fake clock starts at 0; with realClock it runs on top of the real one.
    std::atomic<int64_t> clock{0};
    bool realClock = false;
    int64_t now() override { return clock.load() + (realClock ? dvrcore::now() : 0); }

    // Timed waits end when their condition holds or when the test moved the
    // fake clock past their deadline.
    bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& condition, int64_t timeoutNs,
                 const std::function<bool()>& ready) override
    {
        const int64_t deadline = clock.load() + timeoutNs;
        {
            std::lock_guard record(seamMutex_);
            waits_.push_back(timeoutNs);
        }
        condition.wait(lock, [&] { return ready() || clock.load() >= deadline; });
        return ready();
    }
    // A pause passes on the fake clock at once.
    void Pause(int64_t durationNs) override
    {
        {
            std::lock_guard record(seamMutex_);
            pauses_.push_back(durationNs);
        }
        Advance(durationNs);
    }
    // Moves the fake clock on and lets timed waits see it.
    void Advance(int64_t ns)
    {
        clock += ns;
        events().inbox().NotifyWaiters();
    }
    std::vector<int64_t> Waits() const
    {
        std::lock_guard record(seamMutex_);
        return waits_;
    }
    std::vector<int64_t> Pauses() const
    {
        std::lock_guard record(seamMutex_);
        return pauses_;
    }

    // --- the wall clock and the resident size: the real ones unless set ---
    std::function<time_t()> wallClock;
    std::function<size_t()> residentBytes;
    time_t WallClock() override { return wallClock ? wallClock() : dvrcore::WallClock(); }
    size_t ResidentBytes() override { return residentBytes ? residentBytes() : dvrcore::ResidentBytes(); }

    // --- the writer: on a thread of the harness, or drained on the spot ---
    void StartWriter()
    {
        writer_ = std::thread([this] {
            writerTid = static_cast<pid_t>(syscall(SYS_gettid));
            WriterLoop();
        });
    }
    // Requests the stop and waits until the writer delivered everything.
    void StopWriter()
    {
        RequestStop();
        if (writer_.joinable())
            writer_.join();
    }
    // Delivers everything raised so far on this thread, then returns.
    void Drain()
    {
        RequestStop();
        WriterLoop();
    }
    std::atomic<pid_t> writerTid{0};

    // --- log capture ---
    void WriteLog(uint32_t source, uint32_t level, const char* text) override
    {
        std::lock_guard lock(seamMutex_);
        lines_.push_back({source, level, text ? text : "<null>"});
    }
    std::vector<LogLine> Lines() const
    {
        std::lock_guard lock(seamMutex_);
        return lines_;
    }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const LogLine& line : Lines())
            texts.push_back(line.text);
        return texts;
    }
    bool HasLine(const std::string& text) const
    {
        for (const LogLine& line : Lines())
            if (line.text.find(text) != std::string::npos)
                return true;
        return false;
    }
    bool WaitForLine(const std::string& text) const
    {
        return WaitUntil([&] { return HasLine(text); });
    }

    // --- the queue, taken out without a writer; the copies stay valid
    // until the harness is destroyed. Raisers must be done: a slot still
    // being filled is not waited for ---
    std::vector<_EventParmsIn> TakeQueued()
    {
        std::vector<_EventParmsIn> taken = events().inbox().TakeAll();
        for (const _EventParmsIn& event : taken)
            takenCopies_.push_back(event.data);
        return taken;
    }

    // --- plugins as records; entry points are functions of the test ---
    // `setUp` fills in entry points and flags before the record is listed.
    PLUGININFO& AddPlugin(uint32_t systemID, const std::string& fileName,
                          const std::function<void(PLUGININFO&)>& setUp = {})
    {
        PLUGININFO plugin;
        plugin.info.systemID = systemID;
        plugin.Filename = fileName;
        if (setUp)
            setUp(plugin);
        pluginHost().side().Add(systemID, plugin.Filename);
        return pluginHost().AddListed(std::move(plugin));
    }

    // --- fake plugins: numbered entry points that call the hooks below with
    // their number, so one hook serves every plugin and tells them apart ---
    static constexpr int kFakePlugins = 64;
    std::function<int32_t(int plugin, _WriteParmsIn& in, _WriteParmsOut& out)> onWrite;
    std::function<int32_t(int plugin, _ReadParmsIn& in, _ReadParmsOut& out)> onRead;
    std::function<int32_t(int plugin, _IoctlParmsIn& in, _IoctlParmsOut& out)> onIoctl;

    // Fake plugin `plugin` (below kFakePlugins) as "fake<plugin>.so": its Write,
    // Read and IOCTL call the hooks (an unset hook returns 0), it takes writes
    // of every event, and reads only if `setUp` enables them.
    PLUGININFO& AddFakePlugin(int plugin, uint32_t systemID, const std::function<void(PLUGININFO&)>& setUp = {})
    {
        return AddPlugin(systemID, "fake" + std::to_string(plugin) + ".so", [&](PLUGININFO& record) {
            record.Write = Fake<&TestCore::onWrite, _WriteParmsIn, _WriteParmsOut>(plugin);
            record.Read = Fake<&TestCore::onRead, _ReadParmsIn, _ReadParmsOut>(plugin);
            record.IOCTL = Fake<&TestCore::onIoctl, _IoctlParmsIn, _IoctlParmsOut>(plugin);
            record.info.writeEnabled = 1;
            for (uint32_t& mask : record.info.eventMasks)
                mask = 0xFFFFFFFF;
            if (setUp)
                setUp(record);
        });
    }

private:
    // Entry points have no context: they find the hooks through the one core
    // of the process, and their number is part of the function.
    template <auto Hook, class In, class Out, int Plugin>
    static int32_t FakeEntry(void* in, void* out)
    {
        auto& hook = static_cast<TestCore*>(instance)->*Hook;
        return hook ? hook(Plugin, *static_cast<In*>(in), *static_cast<Out*>(out)) : 0;
    }
    template <auto Hook, class In, class Out, int... Plugins>
    static constexpr std::array<DvrEntryPoint, kFakePlugins> FakeEntries(std::integer_sequence<int, Plugins...>)
    {
        return {&FakeEntry<Hook, In, Out, Plugins>...};
    }
    template <auto Hook, class In, class Out>
    static DvrEntryPoint Fake(int plugin)
    {
        static constexpr auto entries = FakeEntries<Hook, In, Out>(std::make_integer_sequence<int, kFakePlugins>());
        return entries.at(static_cast<size_t>(plugin));
    }

    std::thread writer_;
    mutable std::mutex seamMutex_;
    std::vector<LogLine> lines_;
    std::vector<int64_t> waits_;
    std::vector<int64_t> pauses_;
    std::vector<void*> takenCopies_;
};

} // namespace dvrtest
