// FIFO of event records waiting for the writer thread.
#pragma once

#include <cstddef>
#include <memory>

#include "dvrplugin.h"

// A growable ring of _EventParmsIn records. Not thread-safe: callers serialise
// access with their own lock. Records are copied by value; the data pointers
// inside them are never touched.
//
// A ring rather than std::deque: deque allocates a node every couple of
// records this size, and this queue sees every event.
class EventQueue {
public:
    // Capacity never drops below this, and Compact never shrinks past it.
    static constexpr size_t kMinCapacity = 64;

    EventQueue() = default;
    ~EventQueue() = default;

    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;
    EventQueue(EventQueue&& other) noexcept;
    EventQueue& operator=(EventQueue&& other) noexcept;

    // Amortised O(1); doubles the storage when full (std::bad_alloc leaves the
    // queue unchanged).
    void push_back(const _EventParmsIn& event);

    // Precondition: !empty().
    _EventParmsIn pop_front();

    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }

    // Gives storage back after a burst. Shrinks when capacity is above
    // kMinCapacity and the records fit in half of it, to the smallest power of
    // two >= max(size(), kMinCapacity). Returns true when it shrank; a failed
    // allocation keeps the current storage and returns false.
    bool Compact();

    // Maps `bytes` of fresh storage; nullptr when that fails. Tests put a
    // failing or counting one in its place.
    using StorageMapper = void* (*)(size_t bytes);
    static StorageMapper mapStorage;

private:
    // Moves the records, front first, into fresh storage of newCapacity.
    void Reallocate(size_t newCapacity);

    // Storage is a mapping of its own, not heap memory: the queue grows on the
    // raising threads, in the heap their frame copies come from, and a buffer
    // that lives on there would keep every frame freed below it resident
    // after a burst.
    struct Unmap {
        size_t bytes;
        void operator()(_EventParmsIn* slots) const;
    };
    std::unique_ptr<_EventParmsIn[], Unmap> slots_;
    size_t capacity_ = 0; // 0 until the first push, then a power of two
    size_t head_ = 0;     // index of the front record
    size_t size_ = 0;
};
