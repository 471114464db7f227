// Entry of every event: FlatPluginEvent and dvrcore::PluginEvent decide on the
// caller's thread whether an event is handled on the spot, refused, or copied
// into the event queue for the writer.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"
#include "core/logging.h"

extern "C" int32_t FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    dvrcore* core = instance;
    if (!core || !in || !out)
        return -1;
    return core->PluginEvent(in, out);
}

namespace {

// A supervisor block on its way to the I/O thread: freed if the job is
// destroyed without running (the I/O service stopped first).
struct FreeDeleter {
    void operator()(void* block) const { free(block); }
};
using OwnedBlock = std::unique_ptr<void, FreeDeleter>;

// Sources whose slot lies beyond the tables have no threshold.
int8_t Threshold(const std::atomic<int8_t>* levels, uint32_t source)
{
    int slot = LogLevelSlot(source);
    return slot < LogLevelArraySize ? levels[slot].load() : int8_t{-1};
}

constexpr int kDependentFrameLimit = 765; // frames 1..766 after a key frame pass

} // namespace

int dvrcore::AdmitVideoFrame(uint32_t source, uint8_t keyFrame)
{
    std::lock_guard lock(admissionMutex);
    auto admission = videoAdmissions.find(source);
    if (admission != videoAdmissions.end()) {
        if (keyFrame == 1) {
            admission->second = 0;
        } else if (admission->second > kDependentFrameLimit) {
            videoAdmissions.erase(admission);
            return EVENT_RESULT_KEYFRAME_EXPIRED;
        } else {
            ++admission->second;
        }
    } else {
        if (keyFrame != 1)
            return EVENT_RESULT_NOT_ADMITTED;
        if (videoThrottled) { // would be admitted and dropped again: skip the node
            ++throttledVideoFrames;
            return EVENT_RESULT_THROTTLED;
        }
        admission = videoAdmissions.emplace(source, 0).first;
    }
    if (videoThrottled) {
        videoAdmissions.erase(admission);
        ++throttledVideoFrames;
        return EVENT_RESULT_THROTTLED;
    }
    return EVENT_RESULT_OK;
}

int dvrcore::PluginEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    const uint32_t type = in->eventType;
    if (type == EVENT_TYPE_RELEASE) {
        ReleaseBlock(*in, in->providerID);
        return 0;
    }
    if (type == EVENT_TYPE_SUPERVISOR) {
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
    if (in->providerID == 0) {
        if (type == EVENT_TYPE_CLOSE_REQUEST)
            CloseReadRequest(in->requestID);
        else
            DispatchReadRequest(*in);
        out->result = EVENT_RESULT_OK;
        return 0;
    }

    _EventParmsIn event = *in;
    if (type & EVENT_TYPE_LOG) {
        const int8_t threshold = Threshold(logLevels, event.providerID);
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
        int admission = AdmitVideoFrame(event.providerID, event.payload.video.keyFrame);
        if (admission != EVENT_RESULT_OK) {
            out->result = admission;
            return 0;
        }
        admitted = true;
    }

    if (event.data && event.dataSize) {
        void* copy = malloc(event.dataSize);
        if (!copy) {
            if (admitted) {
                std::lock_guard lock(admissionMutex);
                videoAdmissions.erase(event.providerID);
            }
            out->result = EVENT_RESULT_NO_MEMORY;
            return 0;
        }
        memcpy(copy, event.data, event.dataSize);
        event.data = copy;
    } else {
        event.data = nullptr;
        event.dataSize = 0;
    }

    if (event.requestID && !CheckRequestEvent(event.requestID, event.data)) {
        free(event.data);
        out->result = EVENT_RESULT_REFUSED;
        return 0;
    }

    {
        std::unique_lock lock(coreMutex);
        try {
            eventQueue.push_back(event);
            queuedEvents.store(eventQueue.size(), std::memory_order_relaxed);
        } catch (const std::bad_alloc&) {
            lock.unlock();
            FreeBlock(event.data); // also lets go of a request thread's pending block
            out->result = EVENT_RESULT_NO_MEMORY;
            return 0;
        }
        ++coreWakeups;
    }
    coreCondition.notify_one();
    out->result = EVENT_RESULT_OK;
    return 0;
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
