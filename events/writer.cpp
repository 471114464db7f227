// The event writer: takes queued events out in order and delivers each to the
// subscribed plugins, one plugin after the other, with no lock held.
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>
#include <thread>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "events/block_pool.h"
#include "events/cpu_relax.h"
#include "events/routing.h"

namespace {

// The queue statistics line and the queues' compaction come once a minute: a
// period is over when more than this has passed since it began.
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

void dvrcore::WriterLoop()
{
    // Events come out of the ring one by one without the lock. The lock is
    // taken only when the ring has nothing ready: to wait for a slot being
    // filled, to take the overflow queue whole (swapped with this empty one),
    // to stop, or to sleep.
    EventQueue batch;
    uint32_t events = 0;
    int64_t periodStart = now();
    // Compaction keeps a minute of its own: tied to the statistics period, it
    // would run at every idle moment whenever the statistics line is disabled.
    int64_t compactedAt = periodStart;
    auto deliver = [&](const _EventParmsIn& event) {
        ++events;
        refBlocks.AddDeliveryRef(event.data, event.dataSize, CORE_PROVIDER_ID);
        // The same answer LogLevelEnabled gives for the core's level 0,
        // read straight from the table: this runs for every event.
        const bool detail = logLevels[LogLevelSlot(CORE_PROVIDER_ID)].load() <= LEVEL_DETAIL;
        if (detail && now() - periodStart > kStatisticsPeriodNs) {
            // What is queued is counted only here, once a minute at most.
            const size_t queued =
                batch.size() + eventRing.Pending() + overflowEvents.load(std::memory_order_relaxed);
            if (queued) {
                periodStart = now();
                LogQueueStatistics(queued, events);
                events = 0;
                throttledVideoFrames = 0;
            }
        }
        DeliverEvent(event, detail);
        ReleaseBlock(event, CORE_PROVIDER_ID);
    };
    // Compaction gives back the storage a burst left in the overflow queue;
    // it runs when the writer has nothing ready or has just delivered an
    // overflow batch, once a minute at most.
    auto compactIfDue = [&] {
        const int64_t at = now();
        if (at - compactedAt <= kStatisticsPeriodNs)
            return;
        compactedAt = at;
        batch.Compact();
        std::lock_guard compacting(coreMutex);
        eventQueue.Compact();
    };
    {
        std::lock_guard lock(coreMutex);
        notifyOnEvent = false;
    }
    _EventParmsIn event;
    int waitsForSlot = 0;
    bool streaming = false;
    for (;;) {
        if (eventRing.TryTake(event)) {
            waitsForSlot = 0;
            deliver(event);
            continue;
        }
        // While events keep coming, the ring is looked at now and then (an
        // event is seen within 4 us); after a sleep, continuously.
        streaming = PollForEvents(streaming);
        if (streaming && eventRing.Ready())
            continue;
        compactIfDue();
        std::unique_lock lock(coreMutex);
        if (eventRing.Pending() != 0) {
            // A raising thread claimed the next slot and has yet to fill it.
            // It is yielded to a few times; one that lost its processor is
            // then looked for once a millisecond rather than spun for.
            if (eventRing.Ready())
                continue;
            if (++waitsForSlot < 16) {
                lock.unlock();
                std::this_thread::yield();
            } else {
                coreCondition.wait_for(lock, std::chrono::milliseconds(1));
            }
            continue;
        }
        if (!eventQueue.empty()) {
            // The ring is empty, so the overflow holds the oldest events;
            // those raised from now on go to the ring, after them.
            std::swap(batch, eventQueue);
            overflowEvents.store(0, std::memory_order_relaxed);
            lock.unlock();
            while (!batch.empty())
                deliver(batch.pop_front());
            compactIfDue();
            continue;
        }
        if (stopRequested) {
            notifyOnEvent = true;
            return;
        }
        notifyOnEvent = true;
        coreCondition.wait(lock);
        notifyOnEvent = false;
    }
}

void dvrcore::DeliverEvent(const _EventParmsIn& event, bool detail)
{
    const uint32_t type = event.eventType;
    const uint32_t routingClass = DVR_ROUTING_CLASS(event.eventFlags);
    const bool isConfig = type & EVENT_TYPE_CONFIG;
    if (isConfig && event.data && event.dataSize) {
        boost::asio::post(ioService, [this, text = std::string(static_cast<const char*>(event.data), event.dataSize)] {
            ParseConfig(text);
        });
    }
    const bool timed = detail && type != EVENT_TYPE_LOG;
    for (PLUGININFO& plugin : plugins) {
        if (isConfig && event.providerID != plugin.info.systemID)
            DeliverConfig(plugin, event);
        else if (plugin.info.writeEnabled && Subscribed(plugin.info, type, routingClass))
            DeliverWrite(plugin, event, timed);
    }
}

// Producers often raise events back to back. Watching the ring for a while
// before sleeping spares both sides a futex wake-up and a context switch per
// event; an idle core still sleeps on coreCondition.
//
// In a stream the ring is looked at only every few microseconds, and the
// events raised in between are taken as a batch. Each look reads the slot the
// raising thread fills next, so that thread's store must then take the cache
// line back before its later stores (its next copy) can go ahead; where the
// two cores are far apart, looking continuously costs the raising thread up
// to a third of a 64 KiB copy per event, looking now and then once a batch.
bool dvrcore::PollForEvents(bool streaming) const
{
    using Clock = std::chrono::steady_clock;
    const auto lookEvery = streaming ? std::chrono::microseconds(4) : std::chrono::microseconds(0);
    const Clock::time_point end = Clock::now() + std::chrono::microseconds(40); // then the writer sleeps
    for (Clock::time_point now = Clock::now(); now < end;) {
        const Clock::time_point next = now + lookEvery;
        do {
            CpuRelax();
            now = Clock::now();
        } while (now < next);
        if (eventRing.Ready() || overflowEvents.load(std::memory_order_relaxed) != 0 ||
            stopRequested.load(std::memory_order_relaxed))
            return true;
    }
    return false;
}

void dvrcore::LogQueueStatistics(size_t queued, uint32_t events)
{
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL,
               "core event queue size: %zu, throttledvideoframes:%s, events:%s, refblks: %s (%s bytes)", queued,
               FormatCount(throttledVideoFrames).c_str(), FormatCount(events).c_str(),
               FormatCount(refBlocks.blockCount()).c_str(), FormatCount(refBlocks.byteCount()).c_str());
}

// The core's own hold on the block covers every delivery of the event, so a
// plugin's hold is recorded only when it keeps the block past its call.
void dvrcore::DeliverWrite(PLUGININFO& plugin, const _EventParmsIn& event, bool timed)
{
    if (!plugin.Write)
        return;
    _WriteParmsIn in = WriteRecord(event);
    _WriteParmsOut out = WriteResultRecord();
    PluginCounters* counters = plugin.counters;
    const bool measured = timed || (counters && counters->SampleNextWrite());
    const CallTiming timing = measured ? CallTiming::Measure : CallTiming::Unstamped;
    refBlocks.Calling(plugin.info.systemID);
    const PluginCallResult call = CallPlugin(plugin, plugin.Write, PluginEntry::Write, in, out, timing);
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
    if (out.retain)
        refBlocks.AddRef(event.data, event.dataSize, plugin.info.systemID);
}

void dvrcore::DeliverConfig(PLUGININFO& plugin, const _EventParmsIn& event)
{
    if (!plugin.IOCTL)
        return;
    _IoctlParmsIn in = IoctlRecord(IOCTL_CONFIG, event.dataSize, event.data);
    _IoctlParmsOut out = IoctlResultRecord(IOCTL_CONFIG);
    refBlocks.Calling(plugin.info.systemID);
    const PluginCallResult call = CallPlugin(plugin, plugin.IOCTL, PluginEntry::IOCTL, in, out);
    if (plugin.counters)
        plugin.counters->configCalls.fetch_add(1, std::memory_order_relaxed);
    if (call.failed())
        LogPluginFailure(plugin.Filename.c_str(), "update config", call);
    if (out.retain)
        refBlocks.AddRef(event.data, event.dataSize, plugin.info.systemID);
}

int dvrcore::ReleaseBlock(const _EventParmsIn& event, uint32_t owner)
{
    if (event.data && refBlocks.Release(event.data, owner))
        FreeBlock(event.data);
    return 0;
}

void dvrcore::FreeBlock(void* block)
{
    // A reader waiting on this block is let go before the block is freed, so
    // a new block at the same address cannot be taken for it.
    requestThreads.BlockFreed(block);
    FreeEventData(block);
}
