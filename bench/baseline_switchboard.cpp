#include "baseline_switchboard.h"

#include <cstdlib>
#include <cstring>

BaselineSwitchboard::BaselineSwitchboard(std::vector<DvrEntryPoint> plugins)
    : plugins_(std::move(plugins)), writer_([this] { WriterLoop(); })
{}

BaselineSwitchboard::~BaselineSwitchboard()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void BaselineSwitchboard::Raise(const _EventParmsIn& event)
{
    _EventParmsIn copy = event;
    if (event.data && event.dataSize) {
        copy.data = malloc(event.dataSize);
        memcpy(copy.data, event.data, event.dataSize);
    }
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(copy);
    }
    wake_.notify_one();
}

void BaselineSwitchboard::AddRef(void* block, uint32_t owner)
{
    if (!block)
        return;
    std::lock_guard lock(refsMutex_);
    refs_[block].insert(owner);
}

bool BaselineSwitchboard::Release(void* block, uint32_t owner)
{
    if (!block)
        return false;
    std::lock_guard lock(refsMutex_);
    auto found = refs_.find(block);
    found->second.erase(owner);
    if (!found->second.empty())
        return false;
    refs_.erase(found);
    return true;
}

void BaselineSwitchboard::WriterLoop()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        if (queue_.empty()) {
            if (stop_)
                return;
            wake_.wait(lock);
            continue;
        }
        _EventParmsIn event = queue_.front();
        queue_.pop_front();
        lock.unlock();
        AddRef(event.data, CORE_PROVIDER_ID);
        uint32_t owner = 1;
        for (DvrEntryPoint write : plugins_) {
            _WriteParmsIn in{};
            in.structSize = sizeof in;
            in.dataSize = event.dataSize;
            in.data = event.data;
            in.eventType = event.eventType;
            _WriteParmsOut out{};
            AddRef(event.data, owner);
            write(&in, &out);
            if (Release(event.data, owner))
                free(event.data);
            ++owner;
        }
        if (Release(event.data, CORE_PROVIDER_ID))
            free(event.data);
        lock.lock();
    }
}
