// Read requests: one detached thread per matching reading plugin runs its
// Read; the events it raises for the request pass one data block at a time.
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/dvrcore.h"
#include "events/routing.h"

void dvrcore::CloseReadRequest(uint32_t requestID)
{
    std::lock_guard lock(requestMutex);
    closedRequests.insert(requestID);
}

void dvrcore::DispatchReadRequest(const _EventParmsIn& request)
{
    {
        std::lock_guard lock(requestMutex);
        closedRequests.erase(request.requestID);
    }
    const uint32_t routingClass = DVR_REQUEST_ROUTING_CLASS(request.eventFlags);
    std::vector<DvrEntryPoint> readers;
    {
        std::shared_lock lock(pluginsMutex);
        for (const PLUGININFO& plugin : plugins)
            if (plugin.info.readEnabled && plugin.Read && Subscribed(plugin.info, request.eventType, routingClass))
                readers.push_back(plugin.Read);
        // Counted before the list lock goes: unloading a plugin clears its
        // Read under that lock and then waits for the count.
        std::lock_guard requests(requestMutex);
        activeRequestThreads += static_cast<uint32_t>(readers.size());
    }
    const bool hasData = request.data && request.dataSize;
    for (DvrEntryPoint read : readers) {
        void* copy = hasData ? malloc(request.dataSize) : nullptr;
        if (copy)
            memcpy(copy, request.data, request.dataSize);
        try {
            std::thread(&dvrcore::RunReadRequest, this, read, request.dataSize, copy, request.requestID).detach();
        } catch (const std::system_error&) {
            // No thread for this reader: the request goes unanswered by it.
            free(copy);
            std::lock_guard lock(requestMutex);
            --activeRequestThreads;
            requestThreadsDone.notify_all();
        }
    }
}

void dvrcore::RunReadRequest(DvrEntryPoint read, uint32_t dataSize, void* copy, uint32_t requestID)
{
    _ReadParmsIn in;
    memset(&in, 0, sizeof in);
    in.structSize = sizeof in;
    in.version = DVR_RECORD_VERSION;
    in.readMode = 1;
    in.dataSize = dataSize;
    in.data = copy;
    in.requestID = requestID;
    _ReadParmsOut out{sizeof out, DVR_RECORD_VERSION, {0, 0, 0}};

    const pthread_t self = pthread_self();
    {
        std::lock_guard lock(requestMutex);
        auto& slot = readerThreads[self];
        if (!slot) {
            slot = std::make_unique<ReaderSlot>();
            ++readerSlotCount;
        }
    }
    read(&in, &out);
    free(copy);

    // Last touch of the core by this thread: shutdown waits for the count.
    std::lock_guard lock(requestMutex);
    if (readerThreads.erase(self))
        --readerSlotCount;
    --activeRequestThreads;
    requestThreadsDone.notify_all();
}

bool dvrcore::CheckRequestEvent(uint32_t requestID, void* block)
{
    ReaderSlot* slot;
    {
        std::lock_guard lock(requestMutex);
        if (closedRequests.count(requestID))
            return false;
        auto found = readerThreads.find(pthread_self());
        if (found == readerThreads.end())
            return false;
        slot = found->second.get(); // lives until this very thread's Read returns
    }
    if (block) {
        std::unique_lock lock(slot->mutex);
        // At shutdown a holder may never give the previous block back: the
        // wait ends and the event is refused like any other after the stop.
        slot->condition.wait(lock, [this, slot] { return slot->pendingBlock == nullptr || stopRequested; });
        if (stopRequested)
            return false;
        slot->pendingBlock = block;
    }
    return true;
}

void dvrcore::WakeWaitingReaders()
{
    std::lock_guard lock(requestMutex);
    for (auto& [thread, slot] : readerThreads) {
        std::lock_guard slotLock(slot->mutex);
        slot->condition.notify_all();
    }
}

void dvrcore::WaitForRequestThreads()
{
    WakeWaitingReaders();
    std::unique_lock lock(requestMutex);
    requestThreadsDone.wait(lock, [this] { return activeRequestThreads == 0; });
}
