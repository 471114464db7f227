// Entry of every event: FlatPluginEvent and dvrcore::PluginEvent decide on the
// caller's thread whether an event is handled on the spot, refused, or copied
// into the event queue for the writer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "events/block_pool.h"

extern "C" int32_t FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    dvrcore* core = instance;
    if (!core || !in)
        return -1;
    // Without an output record the event is still handled (a release must
    // not leak its block, a supervisor block is the core's either way); its
    // answer has nowhere to go.
    _EventParmsOut unanswered{sizeof unanswered, DVR_RECORD_VERSION, 0};
    _EventParmsOut* answer = out ? out : &unanswered;
    const int32_t status = core->PluginEvent(in, answer);
    core->CountRaised(*in, *answer);
    return status;
}

namespace {

// The smallest page size of the targets; touching one byte in every such
// stretch of a block touches each of its pages.
constexpr size_t kPageSize = 4096;

// A supervisor block on its way to the I/O thread: freed if the job is
// destroyed without running (the I/O service stopped first).
struct FreeDeleter {
    void operator()(void* block) const { free(block); }
};
using OwnedBlock = std::unique_ptr<void, FreeDeleter>;

// Events from source 0 are read requests (and their closing): no plugin
// raises them as its own, they are handled on the spot.
bool IsReadRequest(const _EventParmsIn& event)
{
    return event.providerID == 0;
}

} // namespace

int dvrcore::PluginEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    const uint32_t type = in->eventType;
    if (type == EVENT_TYPE_RELEASE) {
        // The core gives up its own holds itself; a release in its name from
        // outside would free a block still being delivered.
        if (in->providerID != CORE_PROVIDER_ID)
            ReleaseBlock(*in, in->providerID);
        return 0;
    }
    if (type == EVENT_TYPE_SUPERVISOR) {
        // Refused and left with the caller: no block to send, or a block the
        // core handed out (a delivered block, a packet in the receive buffer,
        // the data of a running Read),
        // which is not the caller's to give away.
        if ((!in->data && in->dataSize) || IsCoreBlock(in->data)) {
            out->result = EVENT_RESULT_REFUSED;
            return 0;
        }
        // The block is the core's from here on, whatever happens to it.
        OwnedBlock block(in->data);
        if (!ipcOpen) {
            out->result = EVENT_RESULT_REFUSED;
            return 0;
        }
        boost::asio::post(ioService, [this, block = std::move(block), size = in->dataSize]() mutable {
            QueueIpcBlock(IpcBlock{block.release(), size});
        });
        out->result = EVENT_RESULT_OK;
        return 0;
    }
    if (IsReadRequest(*in)) {
        if (type == EVENT_TYPE_CLOSE_REQUEST)
            CloseReadRequest(in->requestID);
        else
            DispatchReadRequest(*in);
        out->result = EVENT_RESULT_OK;
        return 0;
    }

    _EventParmsIn event = *in;
    if (type & EVENT_TYPE_LOG) {
        const int8_t threshold = logLevels.Threshold(event.providerID);
        if (event.eventFlags & EVENT_FLAG_LOG_LINE) {
            const int32_t level = event.payload.log.logLevel;
            if (threshold >= 0 && threshold > level)
                return 0;
            WriteLogText(event);
            if (threshold < 0 && level == 0)
                return 0;
        } else if (event.eventFlags & EVENT_FLAG_LOG_QUERY) {
            out->result = threshold;
            return 0;
        }
    }

    if (stopRequested) {
        out->result = EVENT_RESULT_REFUSED;
        return 0;
    }

    bool admitted = false;
    if ((type & EVENT_TYPE_MEDIA) && (event.eventFlags & EVENT_FLAG_VIDEO)) {
        const int32_t admission = videoAdmission.Admit(event.providerID, event.payload.video.keyFrame, videoThrottled);
        if (admission == EVENT_RESULT_THROTTLED)
            ++throttledVideoFrames;
        if (admission != EVENT_RESULT_OK) {
            out->result = admission;
            return 0;
        }
        admitted = true;
    }

    // The data is copied into a block of the core's own. A pooled block (64
    // KiB at most) is filled once its event has a place in the ring, after
    // the lock: the lock's atomic instruction would otherwise wait for the
    // copy's stores to drain. While its place is claimed, every later event
    // waits for it, so the source's pages are touched first (a page fault,
    // say on a mapped file, then happens before the claim) and larger blocks
    // are filled first, as is every block while the overflow queue is in use.
    const void* source = event.data;
    bool copied = true;
    if (event.data && event.dataSize) {
        void* copy = AllocateEventData(event.dataSize);
        if (!copy) {
            if (admitted)
                videoAdmission.Forget(event.providerID);
            out->result = EVENT_RESULT_NO_MEMORY;
            return 0;
        }
        copied = event.dataSize > BlockPool::kLargestClass || overflowEvents.load(std::memory_order_relaxed) != 0;
        if (copied) {
            memcpy(copy, source, event.dataSize);
        } else {
            const volatile char* bytes = static_cast<const char*>(source);
            for (size_t at = 0; at < event.dataSize; at += kPageSize)
                (void)bytes[at];
            (void)bytes[event.dataSize - 1];
        }
        event.data = copy;
    } else {
        event.data = nullptr;
        event.dataSize = 0;
    }

    if (event.requestID && !CheckRequestEvent(event.requestID, event.data)) {
        FreeEventData(event.data);
        out->result = EVENT_RESULT_REFUSED;
        return 0;
    }

    int32_t result = EVENT_RESULT_OK;
    uint32_t position = 0;
    bool inRing = false, notify = false;
    {
        std::unique_lock lock(coreMutex);
        // Tested again under the lock: the writer returns once it finds the
        // stop requested and nothing queued, so an event queued after the
        // stop would never be delivered.
        if (stopRequested) {
            result = EVENT_RESULT_REFUSED;
        } else if (eventQueue.empty() && eventRing.Claim(position)) {
            inRing = true;
        } else {
            try {
                // The writer may take the overflow as soon as the lock is
                // released, so the block is filled first: a pooled block, and
                // only for the events that find the ring full.
                if (!copied) {
                    memcpy(event.data, source, event.dataSize);
                    copied = true;
                }
                eventQueue.push_back(event);
                overflowEvents.store(eventQueue.size(), std::memory_order_relaxed);
            } catch (const std::bad_alloc&) {
                result = EVENT_RESULT_NO_MEMORY;
            }
        }
        if (result == EVENT_RESULT_OK) {
            coreWakeup.CountLocked();
            notify = notifyOnEvent;
        }
    }
    if (result != EVENT_RESULT_OK) {
        if (event.data)
            FreeBlock(event.data); // also lets go of a request thread's pending block
        if (admitted)
            videoAdmission.Forget(event.providerID);
        out->result = result;
        return 0;
    }
    // Filled in after the lock is released: the writer waits for this slot
    // before it takes any later one.
    if (inRing) {
        if (!copied)
            memcpy(event.data, source, event.dataSize);
        eventRing.Publish(position, event);
    }
    if (notify)
        coreWakeup.Wake();
    out->result = EVENT_RESULT_OK;
    return 0;
}

bool dvrcore::IsCoreBlock(const void* block)
{
    const uintptr_t address = reinterpret_cast<uintptr_t>(block);
    const uintptr_t buffer = reinterpret_cast<uintptr_t>(ipcBuffer);
    return (address >= buffer && address < buffer + sizeof ipcBuffer) || refBlocks.Holds(block) ||
           requestThreads.IsReadCopy(block);
}

void dvrcore::WriteLogText(const _EventParmsIn& event)
{
    // The text comes from a plugin: never read past dataSize, NUL or not.
    const char* text = static_cast<const char*>(event.data);
    if (!text || event.dataSize == 0)
        return WriteLog(event.providerID, static_cast<uint32_t>(event.payload.log.logLevel), nullptr);
    if (memchr(text, '\0', event.dataSize))
        return WriteLog(event.providerID, static_cast<uint32_t>(event.payload.log.logLevel), text);
    char bounded[1024];
    size_t length = event.dataSize < sizeof bounded ? event.dataSize : sizeof bounded - 1;
    memcpy(bounded, text, length);
    bounded[length] = '\0';
    WriteLog(event.providerID, static_cast<uint32_t>(event.payload.log.logLevel), bounded);
}
