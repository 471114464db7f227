#include "events/event_queue.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>
#include <utility>

EventQueue::EventQueue(EventQueue&& other) noexcept
    : slots_(std::move(other.slots_)),
      capacity_(std::exchange(other.capacity_, 0)),
      head_(std::exchange(other.head_, 0)),
      size_(std::exchange(other.size_, 0))
{}

EventQueue& EventQueue::operator=(EventQueue&& other) noexcept
{
    if (this != &other) {
        slots_ = std::move(other.slots_);
        capacity_ = std::exchange(other.capacity_, 0);
        head_ = std::exchange(other.head_, 0);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

namespace {

void* MapAnonymous(size_t bytes)
{
    void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return mapped == MAP_FAILED ? nullptr : mapped;
}

} // namespace

EventQueue::StorageMapper EventQueue::mapStorage = &MapAnonymous;

void EventQueue::Unmap::operator()(_EventParmsIn* slots) const
{
    munmap(slots, bytes);
}

void EventQueue::Reallocate(size_t newCapacity)
{
    const size_t bytes = newCapacity * sizeof(_EventParmsIn);
    void* mapped = mapStorage(bytes);
    if (!mapped)
        throw std::bad_alloc();
    std::unique_ptr<_EventParmsIn[], Unmap> fresh(static_cast<_EventParmsIn*>(mapped), Unmap{bytes});
    const size_t firstRun = std::min(size_, capacity_ - head_);
    std::copy_n(slots_.get() + head_, firstRun, fresh.get());
    std::copy_n(slots_.get(), size_ - firstRun, fresh.get() + firstRun);
    slots_ = std::move(fresh);
    capacity_ = newCapacity;
    head_ = 0;
}

void EventQueue::push_back(const _EventParmsIn& event)
{
    if (size_ == capacity_)
        Reallocate(capacity_ == 0 ? kMinCapacity : capacity_ * 2);
    slots_[(head_ + size_) & (capacity_ - 1)] = event;
    ++size_;
}

_EventParmsIn EventQueue::pop_front()
{
    _EventParmsIn front = slots_[head_];
    head_ = (head_ + 1) & (capacity_ - 1);
    if (--size_ == 0)
        head_ = 0; // restart at the front so short bursts never wrap
    return front;
}

bool EventQueue::Compact()
{
    if (capacity_ <= kMinCapacity || size_ > capacity_ / 2)
        return false;
    size_t target = kMinCapacity;
    while (target < size_)
        target *= 2;
    try {
        Reallocate(target);
    } catch (const std::bad_alloc&) {
        return false; // the old storage still holds every record
    }
    return true;
}
