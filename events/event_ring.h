// The ring the raising threads hand events to the writer through.
//
// A raising thread claims a position under the core's lock (Claim), then
// fills the slot and publishes it after releasing the lock (Publish); the
// writer takes published slots in position order without the lock (TryTake).
// So the writer never touches the lock while events flow, the lock's cache
// line stays with the raising thread, and the slot's stores drain while that
// thread goes on to its next event instead of stalling the lock's release.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "dvrplugin.h"

class EventRing {
public:
    static constexpr uint32_t kSlots = 1024; // a power of two

    // `firstPosition` lets a test start next to the wrap of the positions.
    explicit EventRing(uint32_t firstPosition = 0)
        : slots_(new Slot[kSlots]), tail_(firstPosition), headSeen_(firstPosition), head_(firstPosition)
    {
        // Every slot starts as if the lap before its first position had been
        // taken: a value no position of this lap can be waiting for.
        for (uint32_t position = firstPosition; position != firstPosition + kSlots; ++position)
            slots_[position & (kSlots - 1)].published.store(position - kSlots + 1, std::memory_order_relaxed);
    }
    EventRing(const EventRing&) = delete;
    EventRing& operator=(const EventRing&) = delete;

    // Under the raising threads' lock: the next position, or false while
    // every slot holds a record not yet taken.
    bool Claim(uint32_t& position)
    {
        const uint32_t tail = tail_.load(std::memory_order_relaxed);
        // The writer's position is read only when the one seen last says the
        // ring is full: reading it per event would pull its cache line over.
        // Acquire: the writer has finished reading the slots it gave back.
        if (tail - headSeen_ >= kSlots) {
            headSeen_ = head_.load(std::memory_order_acquire);
            if (tail - headSeen_ >= kSlots)
                return false;
        }
        tail_.store(tail + 1, std::memory_order_relaxed);
        position = tail;
        return true;
    }

    // Without the lock, once per claimed position.
    void Publish(uint32_t position, const _EventParmsIn& event)
    {
        Slot& slot = slots_[position & (kSlots - 1)];
        slot.event = event;
        slot.published.store(position + 1, std::memory_order_release);
        PrefetchForWrite(slots_[(position + kPrefetchAhead) & (kSlots - 1)]);
    }

    // The writer's side (one thread): whether the next slot is published...
    bool Ready() const
    {
        const uint32_t head = head_.load(std::memory_order_relaxed);
        return slots_[head & (kSlots - 1)].published.load(std::memory_order_acquire) == head + 1;
    }
    // ...and takes it. A slot claimed but not yet published holds back the
    // ones after it, so records come out in the order they were claimed.
    bool TryTake(_EventParmsIn& event)
    {
        const uint32_t head = head_.load(std::memory_order_relaxed);
        const Slot& slot = slots_[head & (kSlots - 1)];
        if (slot.published.load(std::memory_order_acquire) != head + 1)
            return false;
        event = slot.event;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // Positions claimed and not yet taken, published or not. Exact under the
    // raising threads' lock when read by the writer; a hint elsewhere.
    uint32_t Pending() const { return tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_relaxed); }

private:
    struct alignas(64) Slot {
        std::atomic<uint32_t> published; // position + 1 once the record is in
        _EventParmsIn event;
    };

    // A slot's lines sit in the writer's cache since it took the slot a lap
    // ago, so a store into them waits for the writer's copies to be dropped,
    // and every later store (the next event's copy) waits behind it. Each
    // Publish asks for a later slot's lines ahead of time. Not the next one:
    // a writer that has caught up keeps looking at that one and would take
    // its lines back.
    static constexpr uint32_t kPrefetchAhead = 2;
    static void PrefetchForWrite(const Slot& slot)
    {
        const char* lines = reinterpret_cast<const char*>(&slot);
        for (size_t at = 0; at < sizeof(Slot); at += 64) {
#if defined(__x86_64__) || defined(__i386__)
            // __builtin_prefetch(p, 1) is a plain read prefetch on x86 unless built with -mprfchw.
            asm volatile("prefetchw %0" ::"m"(lines[at]));
#else
            __builtin_prefetch(lines + at, 1);
#endif
        }
    }

    std::unique_ptr<Slot[]> slots_;
    // The raisers' line: the next position to claim, and the writer's
    // position as last read (under the raisers' lock).
    alignas(64) std::atomic<uint32_t> tail_{0};
    uint32_t headSeen_ = 0;
    alignas(64) std::atomic<uint32_t> head_{0}; // the next position to take; the writer's line
};
