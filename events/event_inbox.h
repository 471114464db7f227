// The event inbox: where raised events wait for the writer, in the order they
// were raised, and where the main thread sleeps and is woken.
//
// Events reach the writer through a ring; when the ring is full, and then
// until the writer has taken the overflow whole, through an overflow queue,
// so that no event overtakes one raised before it. The ordering rule, in one
// place:
//   - a raising thread puts into the ring only while the overflow is empty
//     (checked under the lock);
//   - the writer takes the overflow only while the ring is empty (checked
//     under the lock, with every claimed slot published): the overflow then
//     holds the oldest events, and those raised after it go to the ring.
// The lock is taken by a raising thread once per event and by the writer only
// when the ring has nothing ready (to wait for a slot being filled, to take
// the overflow, to stop or to sleep).
//
// The main thread is the writer, so its wake-up lives here too: everything
// that must wake it (a queued event, the supervisor's configuration, the stop)
// counts one under the lock and notifies. A waiter takes a ticket first and
// waits for the count to move past it, so a wake-up that comes before the
// waiter gets to wait is not lost. The running writer sleeps on a doorbell of
// its own instead (RunWriter).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "dvrplugin.h"
#include "events/event_queue.h"
#include "events/event_ring.h"

class EventInbox {
public:
    // `stopRequested` is the core's stop flag; the inbox sets it (Stop) under
    // its lock, and refuses every event from then on.
    explicit EventInbox(std::atomic<bool>& stopRequested) : stopRequested_(stopRequested) {}
    EventInbox(const EventInbox&) = delete;
    EventInbox& operator=(const EventInbox&) = delete;

    // --- the raising side ---

    // Whether the overflow holds events: a raising thread then fills its
    // block before Put, as Put would have to under the lock.
    bool OverflowInUse() const { return overflowEvents_.load(std::memory_order_relaxed) != 0; }

    // Queues `event`, whose data is the core's own block. When `fillFrom` is
    // not null the block is still to be filled from there (event.dataSize
    // bytes): Put fills it at the last moment that keeps the order, before
    // the lock goes for the overflow, after it for the ring. Returns
    // EVENT_RESULT_OK, EVENT_RESULT_REFUSED (stopping) or
    // EVENT_RESULT_NO_MEMORY; on failure the block is the caller's again.
    int32_t Put(const _EventParmsIn& event, const void* fillFrom);

    // --- the bound on what waits for the writer ---
    //
    // Every event counts from before its copy is made until the writer is
    // done with it: its data, and what its record can take in the overflow
    // (the record and the room the overflow's doubling leaves), so that the
    // one bound on bytes bounds records too. Past `bound` bytes an event is
    // refused; the core's own (its log lines, the documents) may use
    // `coreReserve` more, so they keep flowing while plugins are refused.
    // One atomic add when an event is counted; the writer gives back in batches.
    static constexpr uint64_t kRecordCharge = 2 * sizeof(_EventParmsIn);
    static uint64_t Charge(const _EventParmsIn& event) { return (event.data ? event.dataSize : 0) + kRecordCharge; }
    // 0: no bound (the default).
    void SetBound(uint64_t bound, uint64_t coreReserve)
    {
        bound_ = bound;
        coreReserve_ = coreReserve;
    }
    uint64_t bound() const { return bound_; }
    // Counts one event of `charge` bytes; false, counting nothing, when that
    // would pass the bound.
    bool Count(uint64_t charge, bool core)
    {
        if (bound_ == 0)
            return true;
        const uint64_t limit = bound_ + (core ? coreReserve_ : 0);
        // Read first: a refused flood does not write the counter's line.
        if ((counted_.load(std::memory_order_relaxed) & kBytesMask) + charge > limit)
            return false;
        const uint64_t before = counted_.fetch_add(kOneRecord + charge, std::memory_order_relaxed);
        if ((before & kBytesMask) + charge <= limit)
            return true;
        counted_.fetch_sub(kOneRecord + charge, std::memory_order_relaxed);
        return false;
    }
    // `events` events counted with `charge` in all were refused after all, or delivered.
    void Uncount(uint64_t charge, uint64_t events = 1)
    {
        if (bound_ != 0)
            counted_.fetch_sub(events * kOneRecord + charge, std::memory_order_relaxed);
    }
    // What is counted now, from any thread.
    uint64_t countedBytes() const { return counted_.load(std::memory_order_relaxed) & kBytesMask; }
    uint64_t countedEvents() const { return counted_.load(std::memory_order_relaxed) >> kRecordShift; }

    // --- the writer's side (the main thread) ---

    // Takes the events out in order and hands each to `deliver`, until the
    // stop is requested and nothing is left. `now` is the core's clock (the
    // once-a-minute compaction of the overflow). Inline: `deliver` runs for
    // every event.
    template <class Deliver, class Clock>
    void RunWriter(Deliver&& deliver, Clock&& now);
    // Events waiting, the batch being delivered included; on the writer's
    // thread, for the statistics line.
    size_t Queued() const { return batch_.size() + ring_.Pending() + overflowEvents_.load(std::memory_order_relaxed); }
    // Everything still queued, taken out without a writer (the core's end,
    // tests). Raising threads must be done: a claimed slot is not waited for.
    std::vector<_EventParmsIn> TakeAll();

    // The two halves of Put's ring path, for tests that hold a slot claimed
    // (the writer uncounts what it takes: a bounded inbox wants it counted).
    bool Claim(uint32_t& position)
    {
        std::lock_guard lock(mutex_);
        return overflow_.empty() && ring_.Claim(position);
    }
    void Publish(uint32_t position, const _EventParmsIn& event) { ring_.Publish(position, event); }

    // --- the main thread's wake-up and the stop ---

    // The count now; pass it to WaitForWakeup.
    uint64_t WakeupTicket()
    {
        std::lock_guard lock(mutex_);
        return wakeups_;
    }
    // Counts a wake-up and wakes the main thread.
    void WakeMainThread()
    {
        std::lock_guard lock(mutex_);
        ++wakeups_;
        condition_.notify_one();
    }
    // The core's timed wait on the inbox's condition (a seam tests replace):
    // waits with `lock` held until `ready` holds or `timeoutNs` passed.
    using TimedWait = std::function<bool(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
                                         int64_t timeoutNs, const std::function<bool()>& ready)>;
    // Waits until something woke the main thread after `ticket`, at most
    // `timeoutNs`; returns whether something did.
    bool WaitForWakeup(uint64_t ticket, int64_t timeoutNs, const TimedWait& wait)
    {
        std::unique_lock lock(mutex_);
        return wait(lock, condition_, timeoutNs, [&] { return wakeups_ != ticket; });
    }
    // Wakes every waiter without counting: a test's fake clock moved.
    void NotifyWaiters()
    {
        std::lock_guard lock(mutex_);
        condition_.notify_all();
    }
    // Sets the stop flag under the lock and wakes the main thread: the writer
    // returns once nothing is left, and no event is queued after it.
    void Stop()
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
        ++wakeups_;
        condition_.notify_one();
        RingDoorbell();
    }
    bool stopping() const { return stopRequested_.load(std::memory_order_relaxed); }

private:
    bool PollForEvents(bool streaming, std::chrono::nanoseconds window) const;
    // Wakes a writer asleep in RunWriter. Sequentially consistent: the
    // notification looks whether anybody waits, and that look must not be
    // made before the count moved (on ARM a release would let it).
    void RingDoorbell()
    {
        doorbell_.fetch_add(1, std::memory_order_seq_cst);
        doorbell_.notify_one();
    }

    std::atomic<bool>& stopRequested_;
    EventRing ring_;
    std::mutex mutex_;
    std::condition_variable condition_;
    EventQueue overflow_; // under mutex_
    // overflow_.size(), readable without the lock: the polling writer watches
    // it beside the ring, and a raising thread decides on it when to copy.
    alignas(64) std::atomic<size_t> overflowEvents_{0};
    // Whether a queued event must wake the main thread; set and read under
    // mutex_. The running writer clears it while it is awake (it finds events
    // by watching the ring, so the raising thread spares the wake-up), and
    // sets it, under the lock, before it sleeps.
    std::atomic<bool> notifyOnEvent_{true};
    // The running writer sleeps until this count moves; a raising thread that
    // finds notifyOnEvent_ set moves it and wakes the writer (a futex where
    // the platform has one). Waking from it touches this line alone, where
    // the condition would take the lock back and its own lines first: on a
    // writer whose caches went cold while it slept, that is most of the cost
    // of its wake-up.
    alignas(64) std::atomic<uint32_t> doorbell_{0};
    uint64_t wakeups_ = 0; // under mutex_
    // Counted events in the high bits, their bytes in the low ones: one add
    // per event counts both.
    static constexpr unsigned kRecordShift = 40;
    static constexpr uint64_t kOneRecord = uint64_t{1} << kRecordShift;
    static constexpr uint64_t kBytesMask = kOneRecord - 1;
    uint64_t bound_ = 0, coreReserve_ = 0; // set before any event
    alignas(64) std::atomic<uint64_t> counted_{0};
    EventQueue batch_; // the overflow as the writer took it; the writer's alone
};

// --- the writer loop ---------------------------------------------------------

template <class Deliver, class Clock>
void EventInbox::RunWriter(Deliver&& deliver, Clock&& now)
{
    // The overflow's storage left by a burst is given back once a minute at
    // most, when the writer has nothing ready or has just delivered a batch.
    constexpr int64_t kCompactionPeriodNs = 59'999'999'999;
    int64_t compactedAt = now();
    auto compactIfDue = [&] {
        const int64_t at = now();
        if (at - compactedAt <= kCompactionPeriodNs)
            return;
        compactedAt = at;
        batch_.Compact();
        std::lock_guard compacting(mutex_);
        overflow_.Compact();
    };
    notifyOnEvent_.store(false, std::memory_order_relaxed);
    // How long the ring is watched before the writer sleeps: 40 us while
    // events came less than that apart (a stream, a burst, a raising thread
    // in the middle of a claimed slot's copy), else 10 us, enough for events
    // raised back to back. Events a millisecond apart thus cost a sleeping
    // writer's wake-up each, as they would anyway, and not 40 us of spinning
    // each besides: on two processors that time is a raising thread's, and
    // the scheduler makes a writer that used it wait longer when it wakes.
    using PollClock = std::chrono::steady_clock;
    constexpr std::chrono::nanoseconds kStreamWindow = std::chrono::microseconds(40);
    constexpr std::chrono::nanoseconds kQuietWindow = std::chrono::microseconds(10);
    bool eventsClose = false;
    _EventParmsIn event;
    int waitsForSlot = 0;
    bool streaming = false;
    for (;;) {
        if (ring_.TryTake(event)) {
            waitsForSlot = 0;
            deliver(event);
            continue;
        }
        // While events keep coming, the ring is looked at now and then (an
        // event is seen within 4 us); after a sleep, continuously.
        const PollClock::time_point idleSince = PollClock::now();
        streaming = PollForEvents(streaming, eventsClose || ring_.Pending() != 0 ? kStreamWindow : kQuietWindow);
        eventsClose = eventsClose || streaming;
        if (streaming && ring_.Ready())
            continue;
        compactIfDue();
        std::unique_lock lock(mutex_);
        if (ring_.Pending() != 0) {
            // A raising thread claimed the next slot and has yet to fill it.
            // It is yielded to once. One that still has not filled it lost
            // its processor (to this writer, or to the other threads of a
            // busy machine), and a yield does not reliably give it back, so
            // the writer then sleeps: 50 us at first, twice as long each time
            // after, up to 1 ms. A raising thread preempted for a moment thus
            // delays the events behind it by about that moment, and one
            // stopped for long is looked for once a millisecond.
            if (ring_.Ready())
                continue;
            waitsForSlot = std::min(waitsForSlot + 1, 7); // from 7 on the sleep is at its cap
            if (waitsForSlot == 1) {
                lock.unlock();
                std::this_thread::yield();
            } else {
                const int doublings = waitsForSlot - 2;
                condition_.wait_for(
                    lock, std::min(std::chrono::microseconds(50 << doublings), std::chrono::microseconds(1000)));
            }
            continue;
        }
        if (!overflow_.empty()) {
            // The ring is empty, so the overflow holds the oldest events;
            // those raised from now on go to the ring, after them.
            std::swap(batch_, overflow_);
            overflowEvents_.store(0, std::memory_order_relaxed);
            lock.unlock();
            while (!batch_.empty())
                deliver(batch_.pop_front());
            compactIfDue();
            continue;
        }
        if (stopRequested_) {
            notifyOnEvent_.store(true, std::memory_order_relaxed);
            return;
        }
        // The wake-up cannot be lost: nothing is queued or claimed (seen
        // under the lock), and a raising thread decides whether to ring under
        // the same lock, from notifyOnEvent_. So any event after this check
        // finds the flag set and rings after the doorbell was read here, and
        // the wait returns at once if it rang before the writer got to wait.
        // A writer woken before the event's slot is published watches it
        // (the 40 us window, then yields and waits of 1 ms), never sleeping
        // without a bound while it is claimed.
        notifyOnEvent_.store(true, std::memory_order_relaxed);
        const uint32_t rung = doorbell_.load(std::memory_order_relaxed);
        lock.unlock();
        doorbell_.wait(rung, std::memory_order_acquire);
        notifyOnEvent_.store(false, std::memory_order_relaxed);
        eventsClose = PollClock::now() - idleSince < kStreamWindow;
        // Woken with the slot claimed and not yet filled: the raising thread
        // rings before it copies, and the writer may have woken on its
        // processor and taken it over. Watching the slot would then keep it
        // from being filled until the watch ends; yielding lets the raising
        // thread finish first (and costs a call where it runs elsewhere).
        if (ring_.Pending() != 0 && !ring_.Ready())
            std::this_thread::yield();
    }
}
