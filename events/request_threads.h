// The request threads and their flow control. Each read request runs one
// detached thread per reading plugin; such a thread has at most one data
// block in flight: raising the next waits until every holder released the
// previous one, or until the stop. The shutdown waits for every request
// thread to have left the core before it unloads a plugin.
//
// Locks: the request lock, then a slot's mutex; never the other way round.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>

// Flow control of one thread running a plugin's Read for a read request.
struct ReaderSlot {
    std::mutex mutex;
    std::condition_variable condition;
    void* pendingBlock = nullptr;   // last block raised and not yet released by all holders
    const void* readCopy = nullptr; // the request's data as handed to this thread's Read, freed after it
    uint32_t readCopySize = 0;
};

class RequestThreads {
public:
    // A waiting thread gives up once `stopRequested` is set and WakeAll ran.
    explicit RequestThreads(const std::atomic<bool>& stopRequested) : stopRequested_(stopRequested) {}
    RequestThreads(const RequestThreads&) = delete;
    RequestThreads& operator=(const RequestThreads&) = delete;

    // Events of a closed request are refused until a new request reopens it.
    void Close(uint32_t requestID);
    void Reopen(uint32_t requestID);

    // Counts `count` threads about to start. Called while the plugin list is
    // locked: unloading a plugin clears its Read under that lock and then
    // waits for the count to drop.
    void Reserve(uint32_t count);
    // A reserved thread that could not be started.
    void Unreserve();
    // On the request thread: Enter before the plugin's Read, with the copy of
    // the request's data it is given (or null) and its size, Leave after it.
    // Leave is the thread's last touch of the core.
    void Enter(const void* readCopy, uint32_t readCopySize = 0);
    void Leave();

    // Whether the calling thread may raise an event of `requestID`. Only
    // request threads may; with a data block it first waits until its
    // previous block was released by every holder, then makes `block` its
    // pending one. Refused once the stop is requested.
    bool Admit(uint32_t requestID, void* block);
    // `block` is about to be freed: a thread waiting on it goes on, before
    // a new block at the same address could be taken for it.
    void BlockFreed(void* block)
    {
        if (slotCount_.load() != 0) // every free of the event path passes here
            ReleasePending(block);
    }
    // Whether `block` points into the data a running Read was given: the core
    // frees it when the Read returns, so no part of it is a plugin's to hand on.
    bool IsReadCopy(const void* block);
    // Wakes every waiting thread so it sees the stop.
    void WakeAll();
    // Wakes every waiting thread and waits until none is left.
    void WaitUntilIdle();

private:
    void ReleasePending(void* block);

    const std::atomic<bool>& stopRequested_;
    std::mutex requestMutex_;
    std::condition_variable requestThreadsDone_;
    std::set<uint32_t> closedRequests;
    std::map<pthread_t, std::unique_ptr<ReaderSlot>> readerThreads;
    std::atomic<uint32_t> slotCount_{0}; // lets frees skip the request lock when no thread waits
    uint32_t activeThreads_ = 0;         // under requestMutex_
};
