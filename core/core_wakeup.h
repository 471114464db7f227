// The main thread's wake-up count. Everything that must wake the main thread
// (a queued event, the supervisor's configuration packet, a stop request)
// counts one under coreMutex and notifies coreCondition. A waiter takes a
// ticket first and waits for the count to move past it, so a wake-up that
// happens before the waiter gets to wait is not lost.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class CoreWakeup {
public:
    // The lock and condition are the core's (coreMutex, coreCondition): they
    // also guard the event queue the writer loop waits on.
    CoreWakeup(std::mutex& mutex, std::condition_variable& condition) : mutex_(mutex), condition_(condition) {}
    CoreWakeup(const CoreWakeup&) = delete;
    CoreWakeup& operator=(const CoreWakeup&) = delete;

    // The count now; pass it to ChangedSince.
    uint64_t Ticket()
    {
        std::lock_guard lock(mutex_);
        return count_;
    }
    // Counts a wake-up and wakes the main thread; the caller holds coreMutex.
    void NotifyLocked()
    {
        CountLocked();
        Wake();
    }
    // The two halves of NotifyLocked, for the event path: count under the
    // lock, wake after releasing it, so the woken writer does not block on it.
    void CountLocked() { ++count_; }
    void Wake() { condition_.notify_one(); }
    void Notify()
    {
        std::lock_guard lock(mutex_);
        NotifyLocked();
    }
    // Whether anything woke the main thread since `ticket`; the caller holds coreMutex.
    bool ChangedSince(uint64_t ticket) const { return count_ != ticket; }

private:
    std::mutex& mutex_;
    std::condition_variable& condition_;
    uint64_t count_ = 0; // under mutex_
};
