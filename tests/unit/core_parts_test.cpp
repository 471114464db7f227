// The small owned types behind the core object, under concurrency where
// their contract is about threads: the main thread's wake-up count (the inbox's), the
// request threads' one-block flow control, and the plugin-call scope.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <thread>
#include <vector>

#include "events/event_inbox.h"
#include "events/request_threads.h"
#include "plugin-host/plugin_call.h"
#include "support/process.h"

namespace {

using dvrtest::WaitUntil;

// The inbox's wait as the start-up waits: for the count to move past a ticket
// taken before, on the real clock.
bool WaitPast(EventInbox& inbox, uint64_t ticket, int64_t timeoutNs)
{
    return inbox.WaitForWakeup(ticket, timeoutNs,
                               [](std::unique_lock<std::mutex>& lock, std::condition_variable& condition, int64_t ns,
                                  const std::function<bool()>& ready) {
                                   return condition.wait_for(lock, std::chrono::nanoseconds(ns), ready);
                               });
}

TEST(MainThreadWakeup, AWakeUpBeforeTheWaitIsNotLostAndEveryNotifierCounts)
{
    std::atomic<bool> stop{false};
    EventInbox inbox(stop);
    const uint64_t ticket = inbox.WakeupTicket();
    inbox.WakeMainThread(); // before anybody waits
    EXPECT_TRUE(WaitPast(inbox, ticket, 0));
    // Many notifiers, one waiter: each waits for the count to move past its ticket.
    constexpr int kNotifiers = 4, kEach = 2000;
    std::vector<std::thread> notifiers;
    for (int n = 0; n < kNotifiers; ++n)
        notifiers.emplace_back([&] {
            for (int i = 0; i < kEach; ++i)
                inbox.WakeMainThread();
        });
    uint64_t seen = inbox.WakeupTicket();
    while (seen < ticket + 1 + kNotifiers * kEach) {
        ASSERT_TRUE(WaitPast(inbox, seen, 30'000'000'000));
        seen = inbox.WakeupTicket();
    }
    for (auto& t : notifiers)
        t.join();
    EXPECT_EQ(inbox.WakeupTicket(), ticket + 1 + kNotifiers * kEach);
    // The stop counts too, and so does every event put in.
    inbox.Stop();
    EXPECT_EQ(inbox.WakeupTicket(), ticket + 2 + kNotifiers * kEach);
}

// A request thread as the core runs it: Enter, raise blocks, Leave.
class RequestFlow : public ::testing::Test {
protected:
    std::atomic<bool> stop{false};
    RequestThreads threads{stop};
};

TEST_F(RequestFlow, OnlyRequestThreadsOfOpenRequestsMayRaise)
{
    EXPECT_FALSE(threads.Admit(1, nullptr)); // not a request thread
    threads.Reserve(1);
    std::async(std::launch::async, [&] {
        threads.Enter(nullptr);
        EXPECT_TRUE(threads.Admit(1, nullptr));
        threads.Close(1);
        EXPECT_FALSE(threads.Admit(1, nullptr));
        threads.Reopen(1);
        EXPECT_TRUE(threads.Admit(1, nullptr));
        threads.Leave();
    }).get();
    threads.WaitUntilIdle(); // returns: the one reserved thread left
}

TEST_F(RequestFlow, EachThreadHasOneBlockInFlightUntilItIsFreed)
{
    constexpr int kThreads = 4, kBlocks = 200;
    std::vector<char> blocks(kThreads * kBlocks);
    std::atomic<int> inFlight{0}, peak{0}, raised{0};
    std::mutex pendingMutex;
    std::vector<void*> pending;
    threads.Reserve(kThreads);
    std::vector<std::thread> readers;
    for (int r = 0; r < kThreads; ++r)
        readers.emplace_back([&, r] {
            threads.Enter(nullptr);
            for (int b = 0; b < kBlocks; ++b) {
                void* block = &blocks[static_cast<size_t>(r * kBlocks + b)];
                ASSERT_TRUE(threads.Admit(7, block));
                const int now = ++inFlight;
                int seen = peak.load();
                while (now > seen && !peak.compare_exchange_weak(seen, now)) {
                }
                std::lock_guard lock(pendingMutex);
                pending.push_back(block);
                ++raised;
            }
            threads.Leave();
        });
    // The "writer": frees whatever is pending, in any order.
    while (raised < kThreads * kBlocks || !pending.empty()) {
        std::vector<void*> taken;
        {
            std::lock_guard lock(pendingMutex);
            taken.swap(pending);
        }
        for (void* block : taken) {
            --inFlight;
            threads.BlockFreed(block);
        }
        std::this_thread::yield();
    }
    for (auto& t : readers)
        t.join();
    threads.WaitUntilIdle();
    EXPECT_LE(peak.load(), kThreads); // never two blocks of one thread at once
}

TEST_F(RequestFlow, TheStopReleasesAThreadWaitingOnABlockNobodyFrees)
{
    char first = 0, second = 0;
    threads.Reserve(1);
    std::atomic<bool> secondAdmitted{true};
    std::atomic<bool> firstRaised{false};
    std::thread reader([&] {
        threads.Enter(nullptr);
        EXPECT_TRUE(threads.Admit(3, &first));
        firstRaised = true;
        secondAdmitted = threads.Admit(3, &second); // waits: `first` is never freed
        threads.Leave();
    });
    ASSERT_TRUE(WaitUntil([&] { return firstRaised.load(); }));
    stop = true;
    threads.WaitUntilIdle(); // wakes the waiter and waits for it to leave
    reader.join();
    EXPECT_FALSE(secondAdmitted);
}

TEST(PluginCallScopes, MarkTheThreadForTheCallAndNest)
{
    EXPECT_EQ(PluginCallScope::Current(), nullptr);
    struct Seen {
        uint32_t systemID;
        PluginEntry entry;
        int64_t since;
    };
    std::optional<Seen> inside, nested;
    _CloseParmsIn in = CloseRecord();
    _CloseParmsOut out = CloseResultRecord();
    thread_local std::function<void()> body;
    body = [&] {
        const PluginCallScope* current = PluginCallScope::Current();
        inside = Seen{current->systemID, current->entry, current->since};
        PluginCallScope scope(0x00090000, PluginEntry::Write, 99);
        current = PluginCallScope::Current();
        nested = Seen{current->systemID, current->entry, current->since};
    };
    auto close = [](void*, void* result) -> int32_t {
        body();
        static_cast<_CloseParmsOut*>(result)->error = 5;
        return 4;
    };
    int64_t ticks = 1000;
    const PluginCallResult call = CallPlugin(
        +close, 0x00050000, PluginEntry::Close, in, out, [&] { return ticks++; }, CallTiming::Measure);
    ASSERT_TRUE(inside && nested);
    EXPECT_EQ(inside->systemID, 0x00050000u);
    EXPECT_EQ(inside->entry, PluginEntry::Close);
    EXPECT_EQ(inside->since, 1000);
    EXPECT_EQ(nested->systemID, 0x00090000u);
    EXPECT_EQ(PluginCallScope::Current(), nullptr); // both scopes ended
    EXPECT_TRUE(call.failed());
    EXPECT_EQ(call.result, 4);
    EXPECT_EQ(call.error, 5);
    EXPECT_EQ(call.elapsedNs, 1);
}

TEST(PluginCallRecords, CarryTheValuesPluginsHaveAlwaysBeenHanded)
{
    const _IoctlParmsIn config = IoctlRecord(IOCTL_CONFIG, 12, nullptr);
    EXPECT_EQ(config.structSize, sizeof config);
    EXPECT_EQ(config.version, DVR_RECORD_VERSION);
    EXPECT_EQ(config.presetSize, 16u);
    EXPECT_EQ(config.presetCount, 1u);
    EXPECT_EQ(config.dataSize, 12u);
    EXPECT_EQ(IoctlRecord(IOCTL_WORKER).presetSize, 8u);
    const _IoctlParmsOut result = IoctlResultRecord(IOCTL_SUPERVISOR);
    EXPECT_EQ(result.request, IOCTL_SUPERVISOR);
    EXPECT_EQ(result.presetSize, 8u);
    EXPECT_EQ(result.presetCount, 1u);
    EXPECT_EQ(ReadRecord().readMode, 1);
    const _LoadParmsIn load = LoadRecord(nullptr, nullptr);
    EXPECT_EQ(load.version, DVR_LOAD_IN_VERSION);
    EXPECT_EQ(LoadResultRecord().version, DVR_LOAD_OUT_VERSION);
}

} // namespace
