// Read requests: one detached thread per matching reading plugin runs its
// Read; the events it raises for the request pass one data block at a time.
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/dvrcore.h"
#include "events/block_pool.h"
#include "events/routing.h"

void dvrcore::CloseReadRequest(uint32_t requestID)
{
    requestThreads.Close(requestID);
}

void dvrcore::DispatchReadRequest(const _EventParmsIn& request)
{
    requestThreads.Reopen(request.requestID);
    const uint32_t routingClass = DVR_REQUEST_ROUTING_CLASS(request.eventFlags);
    struct Reader {
        DvrEntryPoint read;
        uint32_t systemID;
    };
    std::vector<Reader> readers;
    {
        std::shared_lock lock(pluginsMutex);
        for (const PLUGININFO& plugin : plugins)
            if (plugin.info.readEnabled && plugin.Read && Subscribed(plugin.info, request.eventType, routingClass))
                readers.push_back({plugin.Read, plugin.info.systemID});
        // Counted before the list lock goes: unloading a plugin clears its
        // Read under that lock and then waits for the count.
        requestThreads.Reserve(static_cast<uint32_t>(readers.size()));
    }
    const bool hasData = request.data && request.dataSize;
    for (const Reader& reader : readers) {
        void* copy = hasData ? AllocateEventData(request.dataSize) : nullptr;
        if (copy)
            memcpy(copy, request.data, request.dataSize);
        try {
            std::thread(&dvrcore::RunReadRequest, this, reader.read, reader.systemID, request.dataSize, copy,
                        request.requestID)
                .detach();
        } catch (const std::system_error&) {
            // No thread for this reader: the request goes unanswered by it.
            FreeEventData(copy);
            requestThreads.Unreserve();
        }
    }
}

void dvrcore::RunReadRequest(DvrEntryPoint read, uint32_t systemID, uint32_t dataSize, void* copy, uint32_t requestID)
{
    _ReadParmsIn in = ReadRecord(dataSize, copy, requestID);
    _ReadParmsOut out = ReadResultRecord();
    requestThreads.Enter(copy);
    ::CallPlugin(read, systemID, PluginEntry::Read, in, out, [this] { return now(); });
    FreeEventData(copy);
    // Last touch of the core by this thread: shutdown waits for the count.
    requestThreads.Leave();
}

bool dvrcore::CheckRequestEvent(uint32_t requestID, void* block)
{
    return requestThreads.Admit(requestID, block);
}

void dvrcore::WaitForRequestThreads()
{
    requestThreads.WaitUntilIdle();
}
