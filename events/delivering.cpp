// Delivering: the writer (the main thread) takes events out of the inbox in
// the order they were raised and hands each to the subscribed plugins, one
// plugin after the other, with no lock held. The core holds every event's
// block while it is delivered; a plugin's hold is recorded only when it keeps
// the block past its call (set `retain`). The core's hold then goes
// (releasing.cpp).
#include <cstddef>
#include <locale>
#include <sstream>

#include "core/logging.h"
#include "events/event_bus.h"
#include "events/routing.h"
#include "plugin-host/plugin_host.h"

namespace {

// The queue statistics line comes once a minute: a period is over when more
// than this has passed since it began.
constexpr int64_t kStatisticsPeriodNs = 59'999'999'999;
// A Write taking this many whole milliseconds or more is reported as slow.
constexpr int64_t kSlowWriteMs = 6;

} // namespace

std::string FormatCount(uint32_t count, const char* localeName)
{
    std::ostringstream text;
    try {
        text.imbue(std::locale(localeName));
    } catch (const std::runtime_error&) {
        // No such locale on this machine: plain digits.
    }
    text << count;
    return text.str();
}

void EventBus::RunWriter()
{
    uint32_t events = 0;
    int64_t periodStart = links_.now();
    // What the writer is done with is given back to the bound in batches:
    // one subtraction per batch keeps the counter's cache line from moving
    // between the raising threads and the writer on every event. Held back,
    // it only makes the bound stricter, by kUncountBatch events at most;
    // while refusing, every event is given back at once.
    constexpr uint32_t kUncountBatch = 32;
    uint64_t doneCharge = 0;
    uint32_t doneEvents = 0;
    inbox_.RunWriter(
        [&](const _EventParmsIn& event) {
            ++events;
            refBlocks_.AddDeliveryRef(event.data, event.dataSize, CORE_PROVIDER_ID, event.eventType);
            // The same answer LogLevelEnabled gives for the core's level 0,
            // read straight from the table: this runs for every event.
            const bool detail = (*links_.logLevels)[LogLevelSlot(CORE_PROVIDER_ID)].load() <= LEVEL_DETAIL;
            if (detail && links_.now() - periodStart > kStatisticsPeriodNs) {
                // What is queued is counted only here, once a minute at most.
                const size_t queued = inbox_.Queued();
                if (queued) {
                    periodStart = links_.now();
                    LogQueueStatistics(queued, events);
                    events = 0;
                    throttledVideoFrames_ = 0;
                }
            }
            Deliver(event, detail);
            Release(event, CORE_PROVIDER_ID);
            doneCharge += EventInbox::Charge(event);
            const bool full = queueFull_.load(std::memory_order_relaxed);
            if (++doneEvents == kUncountBatch || full) {
                inbox_.Uncount(doneCharge, doneEvents);
                doneCharge = 0;
                doneEvents = 0;
            }
            if (full)
                QueueDraining();
        },
        links_.now);
    inbox_.Uncount(doneCharge, doneEvents);
}

void EventBus::Deliver(const _EventParmsIn& event, bool detail)
{
    const uint32_t type = event.eventType;
    const uint32_t routingClass = DVR_ROUTING_CLASS(event.eventFlags);
    const bool isConfig = type & EVENT_TYPE_CONFIG;
    if (isConfig && event.data && event.dataSize)
        links_.configurationDelivered(std::string(static_cast<const char*>(event.data), event.dataSize));
    const bool timed = detail && type != EVENT_TYPE_LOG;
    // Only the main thread changes the list: no lock.
    for (PLUGININFO& plugin : host_.list())
        if (isConfig && event.providerID != plugin.info.systemID)
            DeliverConfig(plugin, event);
        else if (plugin.info.writeEnabled && Subscribed(plugin.info, type, routingClass))
            DeliverWrite(plugin, event, timed);
}

void EventBus::DeliverWrite(PLUGININFO& plugin, const _EventParmsIn& event, bool timed)
{
    if (!plugin.Write)
        return;
    _WriteParmsIn in = WriteRecord(event);
    _WriteParmsOut out = WriteResultRecord();
    PluginCounters* counters = plugin.counters;
    const bool measured = timed || (counters && counters->SampleNextWrite());
    const CallTiming timing = measured ? CallTiming::Measure : CallTiming::Unstamped;
    refBlocks_.Calling(plugin.info.systemID);
    const PluginCallResult call = host_.Call(plugin, plugin.Write, PluginEntry::Write, in, out, timing);
    if (counters)
        counters->CountWrite(measured ? call.elapsedNs : -1);
    if (call.failed())
        LogPluginFailure(plugin.Filename.c_str(), "write", call);
    if (timed) {
        const long long elapsedMs = call.elapsedNs / 1'000'000;
        if (elapsedMs >= kSlowWriteMs)
            LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL,
                       "core write took %lldms, providerID %x, eventType: %d, PI.systemID: %x, PI.Filename: %s",
                       elapsedMs, event.providerID, static_cast<int>(event.eventType), plugin.info.systemID,
                       plugin.Filename.c_str());
    }
    // The hold is recorded lazily; see RefBlockTable::Calling.
    if (out.retain)
        refBlocks_.AddRef(event.data, event.dataSize, plugin.info.systemID);
}

void EventBus::DeliverConfig(PLUGININFO& plugin, const _EventParmsIn& event)
{
    if (!plugin.IOCTL)
        return;
    _IoctlParmsIn in = IoctlRecord(IOCTL_CONFIG, event.dataSize, event.data);
    _IoctlParmsOut out = IoctlResultRecord(IOCTL_CONFIG);
    refBlocks_.Calling(plugin.info.systemID);
    const PluginCallResult call = host_.Call(plugin, plugin.IOCTL, PluginEntry::IOCTL, in, out);
    if (plugin.counters)
        plugin.counters->configCalls.fetch_add(1, std::memory_order_relaxed);
    if (call.failed())
        LogPluginFailure(plugin.Filename.c_str(), "update config", call);
    if (out.retain)
        refBlocks_.AddRef(event.data, event.dataSize, plugin.info.systemID);
}

void EventBus::QueueDraining()
{
    // Half the bound: a queue that hovers at the bound logs one episode, not
    // one per event.
    const uint64_t bytes = inbox_.countedBytes();
    if (bytes > inbox_.bound() / 2)
        return;
    queueFull_.store(false, std::memory_order_relaxed);
    const unsigned long long refused = refusedWhileFull_.exchange(0, std::memory_order_relaxed);
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING,
               "core event queue below its bound again: %llu events, %llu bytes waiting; %llu events refused",
               static_cast<unsigned long long>(inbox_.countedEvents()), static_cast<unsigned long long>(bytes),
               refused);
}

void EventBus::LogQueueStatistics(size_t queued, uint32_t events)
{
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL,
               "core event queue size: %zu, throttledvideoframes:%s, events:%s, refblks: %s (%s bytes)", queued,
               FormatCount(throttledVideoFrames_).c_str(), FormatCount(events).c_str(),
               FormatCount(refBlocks_.blockCount()).c_str(), FormatCount(refBlocks_.byteCount()).c_str());
}
