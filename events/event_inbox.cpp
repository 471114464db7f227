// The event inbox: the raising side's Put, the writer's polling, and the
// inbox emptied without a writer.
#include "events/event_inbox.h"

#include <chrono>
#include <cstring>
#include <new>

#include "events/cpu_relax.h"

int32_t EventInbox::Put(const _EventParmsIn& event, const void* fillFrom)
{
    int32_t result = EVENT_RESULT_OK;
    uint32_t position = 0;
    bool inRing = false, notify = false;
    {
        std::unique_lock lock(mutex_);
        // Tested under the lock: the writer returns once it finds the stop
        // requested and nothing queued, so an event queued after the stop
        // would never be delivered.
        if (stopRequested_) {
            result = EVENT_RESULT_REFUSED;
        } else if (overflow_.empty() && ring_.Claim(position)) {
            inRing = true;
        } else {
            try {
                // The writer may take the overflow as soon as the lock is
                // released, so the block is filled first.
                if (fillFrom) {
                    memcpy(event.data, fillFrom, event.dataSize);
                    fillFrom = nullptr;
                }
                overflow_.push_back(event);
                overflowEvents_.store(overflow_.size(), std::memory_order_relaxed);
            } catch (const std::bad_alloc&) {
                result = EVENT_RESULT_NO_MEMORY;
            }
        }
        if (result == EVENT_RESULT_OK) {
            ++wakeups_;
            notify = notifyOnEvent_.load(std::memory_order_relaxed);
        }
    }
    if (result != EVENT_RESULT_OK)
        return result;
    // Woken after the lock is released, so the woken writer does not block on
    // it, and before the copy: the writer's wake-up takes longer than any
    // pooled block's copy, and a woken writer watches the claimed slot until
    // it is published (RunWriter). The running writer sleeps on the doorbell;
    // before it runs, the main thread may wait for the wake-up count (the
    // start-up), and a condition without waiters costs one load.
    if (notify) {
        RingDoorbell();
        condition_.notify_one();
    }
    // Filled after the lock is released (its atomic instruction would
    // otherwise wait for the copy's stores to drain): the writer waits for
    // this slot before it takes any later one.
    if (inRing) {
        if (fillFrom)
            memcpy(event.data, fillFrom, event.dataSize);
        ring_.Publish(position, event);
    }
    return EVENT_RESULT_OK;
}

// Producers often raise events back to back. Watching the ring for a while
// before sleeping spares both sides a futex wake-up and a context switch per
// event; an idle core still sleeps (on the doorbell).
//
// In a stream the ring is looked at only every few microseconds, and the
// events raised in between are taken as a batch. Each look reads the slot the
// raising thread fills next, so that thread's store must then take the cache
// line back before its later stores (its next copy) can go ahead; where the
// two cores are far apart, looking continuously costs the raising thread up
// to a third of a 64 KiB copy per event, looking now and then once a batch.
//
// `window` is how long to look before giving up (then the writer sleeps).
bool EventInbox::PollForEvents(bool streaming, std::chrono::nanoseconds window) const
{
    using Clock = std::chrono::steady_clock;
    const auto lookEvery = streaming ? std::chrono::microseconds(4) : std::chrono::microseconds(0);
    const Clock::time_point end = Clock::now() + window;
    for (Clock::time_point now = Clock::now(); now < end;) {
        const Clock::time_point next = now + lookEvery;
        do {
            CpuRelax();
            now = Clock::now();
        } while (now < next);
        if (ring_.Ready() || overflowEvents_.load(std::memory_order_relaxed) != 0 ||
            stopRequested_.load(std::memory_order_relaxed))
            return true;
    }
    return false;
}

std::vector<_EventParmsIn> EventInbox::TakeAll()
{
    std::vector<_EventParmsIn> events;
    std::lock_guard lock(mutex_);
    _EventParmsIn event;
    while (ring_.TryTake(event))
        events.push_back(event);
    while (!overflow_.empty())
        events.push_back(overflow_.pop_front());
    overflowEvents_.store(0, std::memory_order_relaxed);
    counted_.store(0, std::memory_order_relaxed);
    return events;
}
