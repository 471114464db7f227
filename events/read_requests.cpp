// Read requests: one detached thread per matching reading plugin runs its
// Read; the events it raises for the request pass one data block at a time.
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "events/block_pool.h"
#include "events/event_bus.h"
#include "events/routing.h"
#include "plugin-host/plugin_host.h"

void EventBus::DispatchReadRequest(const _EventParmsIn& request)
{
    requestThreads_.Reopen(request.requestID);
    const uint32_t routingClass = DVR_REQUEST_ROUTING_CLASS(request.eventFlags);
    struct Reader {
        DvrEntryPoint read;
        uint32_t systemID;
    };
    std::vector<Reader> readers;
    host_.WithList([&](const std::vector<PLUGININFO>& plugins) {
        for (const PLUGININFO& plugin : plugins)
            if (plugin.info.readEnabled && plugin.Read && Subscribed(plugin.info, request.eventType, routingClass))
                readers.push_back({plugin.Read, plugin.info.systemID});
        // Counted before the list lock goes: unloading a plugin clears its
        // Read under that lock and then waits for the count.
        requestThreads_.Reserve(static_cast<uint32_t>(readers.size()));
    });
    const bool hasData = request.data && request.dataSize;
    for (const Reader& reader : readers) {
        void* copy = hasData ? AllocateEventData(request.dataSize) : nullptr;
        if (copy)
            memcpy(copy, request.data, request.dataSize);
        try {
            std::thread(&EventBus::RunReadRequest, this, reader.read, reader.systemID, request.dataSize, copy,
                        request.requestID)
                .detach();
        } catch (const std::system_error&) {
            // No thread for this reader: the request goes unanswered by it.
            FreeEventData(copy);
            requestThreads_.Unreserve();
        }
    }
}

void EventBus::RunReadRequest(DvrEntryPoint read, uint32_t systemID, uint32_t dataSize, void* copy, uint32_t requestID)
{
    _ReadParmsIn in = ReadRecord(dataSize, copy, requestID);
    _ReadParmsOut out = ReadResultRecord();
    requestThreads_.Enter(copy, copy ? dataSize : 0);
    {
        // A Read that never returns is named, during the run and at the stop.
        PluginWatchdog::ThreadWatch watched(host_.watchdog());
        CallPlugin(read, systemID, PluginEntry::Read, in, out, links_.now);
    }
    FreeEventData(copy);
    // Last touch of the core by this thread: shutdown waits for the count.
    requestThreads_.Leave();
}
