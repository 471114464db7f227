// Raising: what becomes of an event on the raiser's thread. FlatPluginEvent
// enters here; the event is handled on the spot (a release, a block for the
// supervisor, a read request, a log line's writing and a level query),
// refused, or admitted (video), copied into a block of the core's own and put
// into the inbox for the writer (delivering.cpp).
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/crash_report.h"
#include "core/logging.h"
#include "events/block_pool.h"
#include "events/event_bus.h"
#include "plugin-host/raised_event.h"
#include "plugin-host/plugin_host.h"

extern "C" int32_t FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    EventBus* bus = EventBus::Current();
    if (bus)
        return bus->Enter(in, out);
    // The core has ended (a plugin thread outlived it): refused, and a block
    // for the supervisor is still taken, as the header promises.
    if (in && ClassifyRaised(*in) == RaisedKind::SupervisorBlock) {
        free(in->data);
        if (out)
            out->result = EVENT_RESULT_REFUSED;
    }
    return -1;
}

namespace {

// The smallest page size of the targets; touching one byte in every such
// stretch of a block touches each of its pages.
constexpr size_t kPageSize = 4096;

} // namespace

EventBus::EventBus(Links links, PluginHost& host)
    : links_(std::move(links)), host_(host), inbox_(*links_.stopRequested), requestThreads_(*links_.stopRequested)
{
    inbox_.SetBound(links_.queueBound, links_.queueBound / 16);
    current_.store(this, std::memory_order_release);
}

EventBus::~EventBus()
{
    for (const _EventParmsIn& event : inbox_.TakeAll())
        FreeEventData(event.data);
    std::vector<RefBlockTable::OwnerLeak> owners;
    std::string leaks = refBlocks_.TakeLeakReport(&owners);
    // One line per plugin that an operator sees; block by block at detail level.
    for (const RefBlockTable::OwnerLeak& leak : owners) {
        if (leak.owner == CORE_PROVIDER_ID)
            continue;
        std::string name = host_.FileName(leak.owner);
        char origin[96] = "";
        if (leak.oldestEventType)
            snprintf(origin, sizeof origin, "; the oldest was handed out by %s of event type 0x%04X",
                     leak.oldestEventType & EVENT_TYPE_CONFIG ? "IOCTL_CONFIG" : "Write", leak.oldestEventType);
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING,
                   "plugin %s still holds %u blocks (%llu bytes) at unload%s", name.empty() ? "?" : name.c_str(),
                   leak.blocks, static_cast<unsigned long long>(leak.bytes), origin);
    }
    if (!leaks.empty())
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "%s", leaks.c_str());
    EventBus* self = this;
    current_.compare_exchange_strong(self, nullptr);
}

int32_t EventBus::Enter(_EventParmsIn* in, _EventParmsOut* out)
{
    if (!in)
        return -1;
    // Without an output record the event is still handled (a release must
    // not leak its block, a supervisor block is the core's either way); its
    // answer has nowhere to go.
    _EventParmsOut unanswered{sizeof unanswered, DVR_RECORD_VERSION, 0};
    _EventParmsOut* answer = out ? out : &unanswered;
    LogLineFate fate = LogLineFate::WrittenAndPassedOn;
    const int32_t status = Raise(in, answer, &fate);
    host_.CountRaised(*in, *answer, fate);
    return status;
}

int EventBus::Raise(_EventParmsIn* in, _EventParmsOut* out, LogLineFate* logLineFate)
{
    const uint32_t type = in->eventType;
    const RaisedKind kind = ClassifyRaised(*in);
    if (kind == RaisedKind::Release) {
        // The core gives up its own holds itself; a release in its name from
        // outside would free a block still being delivered.
        if (in->providerID != CORE_PROVIDER_ID)
            Release(*in, in->providerID);
        return 0;
    }
    if (kind == RaisedKind::SupervisorBlock) {
        // Refused and left with the caller: no block to send, or a block the
        // core handed out (a delivered block, a packet in the receive buffer,
        // the data of a running Read), which is not the caller's to give away.
        if ((!in->data && in->dataSize) || IsCoreBlock(in->data)) {
            out->result = EVENT_RESULT_REFUSED;
            return 0;
        }
        // The block is the channel's from here on, whatever happens to it.
        out->result = links_.sendToSupervisor(in->data, in->dataSize);
        return 0;
    }
    if (kind == RaisedKind::ReadRequest || kind == RaisedKind::CloseRequest) {
        if (kind == RaisedKind::CloseRequest)
            requestThreads_.Close(in->requestID);
        else
            DispatchReadRequest(*in);
        out->result = EVENT_RESULT_OK;
        return 0;
    }
    if (kind == RaisedKind::LogQuery) {
        out->result = links_.logLevels->Threshold(in->providerID);
        return 0;
    }

    // A fault in reading or copying the data (a dataSize past the end of the
    // plugin's buffer) is the raiser's: the crash report names it even on a
    // thread of its own.
    const bool fromCore = in->providerID == CORE_PROVIDER_ID;
    const RaisedDataCopy copying(fromCore ? 0 : in->providerID);
    _EventParmsIn event = *in;
    if (kind == RaisedKind::LogLine) {
        const LogLineFate fate =
            FateOfLogLine(links_.logLevels->Threshold(event.providerID), event.payload.log.logLevel);
        if (logLineFate)
            *logLineFate = fate;
        if (fate == LogLineFate::Dropped)
            return 0;
        WriteLogText(event);
        if (fate == LogLineFate::WrittenOnly)
            return 0;
    }

    if (inbox_.stopping()) {
        out->result = EVENT_RESULT_REFUSED;
        return 0;
    }

    bool admitted = false;
    if ((type & EVENT_TYPE_MEDIA) && (event.eventFlags & EVENT_FLAG_VIDEO)) {
        const int32_t admission =
            videoAdmission_.Admit(event.providerID, event.payload.video.keyFrame, *links_.videoThrottled);
        if (admission == EVENT_RESULT_THROTTLED)
            ++throttledVideoFrames_;
        if (admission != EVENT_RESULT_OK) {
            out->result = admission;
            return 0;
        }
        admitted = true;
    }

    // Counted as waiting for the writer from here on; past the bound the
    // event is refused before anything is copied.
    const bool hasData = event.data && event.dataSize;
    const uint64_t charge = EventInbox::Charge(event); // as the writer gives it back
    if (!inbox_.Count(charge, fromCore)) {
        if (admitted)
            videoAdmission_.Forget(event.providerID);
        QueueFull();
        out->result = EVENT_RESULT_NO_MEMORY;
        return 0;
    }

    // The data is copied into a block of the core's own. A pooled block (64
    // KiB at most) is filled by the inbox once its event has a place in the
    // ring, after the lock: the lock's atomic instruction would otherwise
    // wait for the copy's stores to drain. While its place is claimed, every
    // later event waits for it, so the source's pages are touched first (a
    // page fault, say on a mapped file, then happens before the claim) and
    // larger blocks are filled first, as is every block while the overflow
    // is in use.
    const void* fillFrom = nullptr;
    if (hasData) {
        void* copy = AllocateEventData(event.dataSize);
        if (!copy) {
            inbox_.Uncount(charge);
            if (admitted)
                videoAdmission_.Forget(event.providerID);
            out->result = EVENT_RESULT_NO_MEMORY;
            return 0;
        }
        if (event.dataSize > BlockPool::kLargestClass || inbox_.OverflowInUse()) {
            memcpy(copy, event.data, event.dataSize);
        } else {
            const volatile char* bytes = static_cast<const char*>(event.data);
            for (size_t at = 0; at < event.dataSize; at += kPageSize)
                (void)bytes[at];
            (void)bytes[event.dataSize - 1];
            fillFrom = event.data;
        }
        event.data = copy;
    } else {
        event.data = nullptr;
        event.dataSize = 0;
    }

    // An event of a read request waits here until the request thread's
    // previous block was released by every holder.
    if (event.requestID && !requestThreads_.Admit(event.requestID, event.data)) {
        inbox_.Uncount(charge);
        FreeEventData(event.data);
        out->result = EVENT_RESULT_REFUSED;
        return 0;
    }

    const int32_t result = inbox_.Put(event, fillFrom);
    if (result != EVENT_RESULT_OK) {
        inbox_.Uncount(charge);
        if (event.data)
            FreeBlock(event.data); // also lets go of a request thread's pending block
        if (admitted)
            videoAdmission_.Forget(event.providerID);
    }
    out->result = result;
    return 0;
}

void EventBus::Stop()
{
    inbox_.Stop();
    // A request thread waiting to pass its next block is refused from now on.
    requestThreads_.WakeAll();
}

void EventBus::QueueFull()
{
    refusedWhileFull_.fetch_add(1, std::memory_order_relaxed);
    if (queueFull_.load(std::memory_order_relaxed) || queueFull_.exchange(true))
        return;
    char writer[NAME_MAX + 32];
    host_.DescribeMainThreadCall(writer, sizeof writer);
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING,
               "core event queue full: %llu events, %llu bytes waiting (bound %llu), writer in %s; refusing events",
               static_cast<unsigned long long>(inbox_.countedEvents()),
               static_cast<unsigned long long>(inbox_.countedBytes()), static_cast<unsigned long long>(inbox_.bound()),
               writer);
}

bool EventBus::IsCoreBlock(const void* block)
{
    return links_.isSupervisorBuffer(block) || refBlocks_.Holds(block) || requestThreads_.IsReadCopy(block);
}

void EventBus::WriteLogText(const _EventParmsIn& event)
{
    // The text comes from a plugin: never read past dataSize, NUL or not.
    const char* text = static_cast<const char*>(event.data);
    const auto level = static_cast<uint32_t>(event.payload.log.logLevel);
    if (!text || event.dataSize == 0)
        return links_.writeLog(event.providerID, level, nullptr);
    if (memchr(text, '\0', event.dataSize))
        return links_.writeLog(event.providerID, level, text);
    char bounded[1024];
    size_t length = event.dataSize < sizeof bounded ? event.dataSize : sizeof bounded - 1;
    memcpy(bounded, text, length);
    bounded[length] = '\0';
    links_.writeLog(event.providerID, level, bounded);
}
