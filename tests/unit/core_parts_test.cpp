// The small owned types behind the core object whose contract is about
// threads: the main thread's wake-up count (the inbox's) and the request
// threads' one-block flow control, under concurrency.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "events/event_inbox.h"
#include "events/request_threads.h"

namespace {

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

// Request threads as the core runs them: Enter, raise blocks, Leave. Closing
// and reopening a request, and the stop releasing a waiting thread, are the
// writer tests' (through the core's entry and its stop).
TEST(RequestFlow, EachThreadHasOneBlockInFlightUntilItIsFreed)
{
    std::atomic<bool> stop{false};
    RequestThreads threads{stop};
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

} // namespace
