#include "events/request_threads.h"

void RequestThreads::Close(uint32_t requestID)
{
    std::lock_guard lock(requestMutex_);
    closedRequests.insert(requestID);
}

void RequestThreads::Reopen(uint32_t requestID)
{
    std::lock_guard lock(requestMutex_);
    closedRequests.erase(requestID);
}

void RequestThreads::Reserve(uint32_t count)
{
    std::lock_guard lock(requestMutex_);
    activeThreads_ += count;
}

void RequestThreads::Unreserve()
{
    std::lock_guard lock(requestMutex_);
    --activeThreads_;
    requestThreadsDone_.notify_all();
}

void RequestThreads::Enter(const void* readCopy, uint32_t readCopySize)
{
    std::lock_guard lock(requestMutex_);
    auto& slot = readerThreads[pthread_self()];
    if (!slot) {
        slot = std::make_unique<ReaderSlot>();
        ++slotCount_;
    }
    slot->readCopy = readCopy;
    slot->readCopySize = readCopySize;
}

void RequestThreads::Leave()
{
    std::lock_guard lock(requestMutex_);
    if (readerThreads.erase(pthread_self()))
        --slotCount_;
    --activeThreads_;
    requestThreadsDone_.notify_all();
}

bool RequestThreads::Admit(uint32_t requestID, void* block)
{
    ReaderSlot* slot;
    {
        std::lock_guard lock(requestMutex_);
        if (closedRequests.count(requestID))
            return false;
        auto found = readerThreads.find(pthread_self());
        if (found == readerThreads.end())
            return false;
        slot = found->second.get(); // lives until this very thread leaves
    }
    if (block) {
        std::unique_lock lock(slot->mutex);
        // At shutdown a holder may never give the previous block back: the
        // wait ends and the event is refused like any other after the stop.
        slot->condition.wait(lock, [this, slot] { return slot->pendingBlock == nullptr || stopRequested_; });
        if (stopRequested_)
            return false;
        slot->pendingBlock = block;
    }
    return true;
}

void RequestThreads::ReleasePending(void* block)
{
    std::lock_guard lock(requestMutex_);
    for (auto& [thread, slot] : readerThreads) {
        std::lock_guard slotLock(slot->mutex);
        if (slot->pendingBlock == block) {
            slot->pendingBlock = nullptr;
            slot->condition.notify_one();
        }
    }
}

bool RequestThreads::IsReadCopy(const void* block)
{
    if (!block || slotCount_.load() == 0)
        return false;
    const auto address = reinterpret_cast<uintptr_t>(block);
    std::lock_guard lock(requestMutex_);
    for (const auto& [thread, slot] : readerThreads) {
        const auto start = reinterpret_cast<uintptr_t>(slot->readCopy);
        if (start && address >= start && address - start < (slot->readCopySize ? slot->readCopySize : 1))
            return true;
    }
    return false;
}

void RequestThreads::WakeAll()
{
    std::lock_guard lock(requestMutex_);
    for (auto& [thread, slot] : readerThreads) {
        std::lock_guard slotLock(slot->mutex);
        slot->condition.notify_all();
    }
}

void RequestThreads::WaitUntilIdle()
{
    WakeAll();
    std::unique_lock lock(requestMutex_);
    requestThreadsDone_.wait(lock, [this] { return activeThreads_ == 0; });
}
