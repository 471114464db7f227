// The event writer: takes queued events out in order and delivers each to the
// subscribed plugins, one plugin after the other, with no lock held.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"
#include "core/logging.h"
#include "events/routing.h"

namespace {

constexpr int64_t kStatisticsPeriodNs = 59'999'999'999; // more than this: a minute has passed
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
    // Events are taken out in batches: the whole queue is swapped with this
    // empty one under coreMutex, so producers and the writer meet on the lock
    // once per batch instead of once per event. Order is unchanged.
    EventQueue batch;
    uint32_t events = 0;
    int64_t periodStart = now();
    // Compaction keeps a minute of its own: tied to the statistics period, it
    // would run at every dequeue whenever the statistics line is disabled.
    int64_t compactedAt = periodStart;
    std::unique_lock lock(coreMutex);
    for (;;) {
        if (eventQueue.empty()) {
            if (stopRequested)
                return;
            lock.unlock();
            const bool arrived = PollForEvents();
            lock.lock();
            if (!arrived && eventQueue.empty() && !stopRequested)
                coreCondition.wait(lock);
            continue;
        }
        std::swap(batch, eventQueue);
        queuedEvents.store(0, std::memory_order_relaxed);
        lock.unlock();

        while (!batch.empty()) {
            const _EventParmsIn event = batch.pop_front();
            ++events;
            const size_t queued = batch.size() + queuedEvents.load(std::memory_order_relaxed);
            const int64_t dequeuedAt = now();
            const bool periodOver = dequeuedAt - periodStart > kStatisticsPeriodNs;
            if (dequeuedAt - compactedAt > kStatisticsPeriodNs) {
                compactedAt = dequeuedAt;
                batch.Compact();
                std::lock_guard compacting(coreMutex);
                eventQueue.Compact();
            }
            refBlocks.AddRef(event.data, event.dataSize, CORE_PROVIDER_ID);
            // The same answer LogLevelEnabled gives for the core's level 0,
            // read straight from the table: this runs for every event.
            const bool detail = logLevels[0].load() <= LEVEL_DETAIL;
            if (queued && detail && periodOver) {
                periodStart = now();
                LogQueueStatistics(queued, events);
                events = 0;
                throttledVideoFrames = 0;
            }
            DeliverEvent(event, detail);
            ReleaseBlock(event, CORE_PROVIDER_ID);
        }
        lock.lock();
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

namespace {

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    asm volatile("yield");
#endif
}

} // namespace

// Producers often raise events back to back. Watching the queue for a few
// microseconds before sleeping spares both sides a futex wake-up and a
// context switch per event; an idle core still sleeps on coreCondition.
bool dvrcore::PollForEvents() const
{
    constexpr int kPolls = 2000;
    for (int i = 0; i < kPolls; ++i) {
        if (queuedEvents.load(std::memory_order_relaxed) != 0 || stopRequested.load(std::memory_order_relaxed))
            return true;
        CpuRelax();
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
    _WriteParmsIn in;
    memset(&in, 0, offsetof(_WriteParmsIn, dataSize));
    in.structSize = sizeof in;
    in.version = DVR_RECORD_VERSION;
    memcpy(reinterpret_cast<char*>(&in) + offsetof(_WriteParmsIn, dataSize),
           reinterpret_cast<const char*>(&event) + offsetof(_EventParmsIn, dataSize),
           sizeof(_EventParmsIn) - offsetof(_EventParmsIn, dataSize));
    _WriteParmsOut out{sizeof out, DVR_RECORD_VERSION, {0, 0}, 0, 0};

    const int64_t start = timed ? now() : 0;
    const int32_t result = plugin.Write(&in, &out);
    if (result || out.error)
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "plugin %s write returned %d error %d",
                   plugin.Filename.c_str(), result, out.error);
    if (timed) {
        const long long elapsedMs = (now() - start) / 1'000'000;
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
    _IoctlParmsIn in{sizeof in, DVR_RECORD_VERSION, IOCTL_CONFIG, 16, 1, event.dataSize, event.data};
    _IoctlParmsOut out{sizeof out, DVR_RECORD_VERSION, IOCTL_CONFIG, 0, 0, 8, 1};
    const int32_t result = plugin.IOCTL(&in, &out);
    if (result || out.error)
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_DETAIL, "plugin %s update config returned %d error %d",
                   plugin.Filename.c_str(), result, out.error);
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
    if (readerSlotCount != 0) {
        std::lock_guard lock(requestMutex);
        for (auto& [thread, slot] : readerThreads) {
            std::lock_guard slotLock(slot->mutex);
            if (slot->pendingBlock == block) {
                slot->pendingBlock = nullptr;
                slot->condition.notify_one();
            }
        }
    }
    free(block);
}
