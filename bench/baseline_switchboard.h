// A small frozen switchboard kept as a yardstick for the core's event path:
// one mutex, a std::deque, a condition variable, one writer thread calling N
// plugin functions, and block accounting in a hash map. Do not optimise it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "dvrplugin.h"

class BaselineSwitchboard {
public:
    explicit BaselineSwitchboard(std::vector<DvrEntryPoint> plugins);
    ~BaselineSwitchboard();

    // Copies the data and queues the event (the producer side).
    void Raise(const _EventParmsIn& event);

private:
    void WriterLoop();
    void AddRef(void* block, uint32_t owner);
    bool Release(void* block, uint32_t owner);

    std::vector<DvrEntryPoint> plugins_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<_EventParmsIn> queue_;
    bool stop_ = false;
    std::mutex refsMutex_;
    std::unordered_map<void*, std::set<uint32_t>> refs_;
    std::thread writer_;
};
