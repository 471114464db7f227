// The event bus: every event a plugin (or the core) raises enters here and
// leaves through the plugins' Write calls. Its road is three files, each read
// top to bottom:
//   raising.cpp     what becomes of a raised event on the raiser's thread:
//                   handled on the spot, refused, or admitted, copied and
//                   put into the inbox;
//   delivering.cpp  the writer (the main thread) taking events out of the
//                   inbox in order and calling each subscribed plugin, with
//                   the holds plugins take on the event's block;
//   releasing.cpp   the release rules: a block goes back once its last
//                   holder let go.
// Read requests (read_requests.cpp) are raised events handled on the spot.
//
// The bus owns the inbox, the video admission, the block table and the
// request threads. What it needs of the rest of the core comes in as links
// at construction: the plugins to deliver to (the plugin host), the log
// sink, the supervisor channel's send, the throttle flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "core/log_levels.h"
#include "dvrplugin.h"
#include "events/event_inbox.h"
#include "plugin-host/raised_event.h"
#include "events/refblocktable.h"
#include "events/request_threads.h"
#include "events/video_admission.h"

class PluginHost;
struct PLUGININFO;

class EventBus {
public:
    struct Links {
        std::function<int64_t()> now; // the core's monotonic clock, ns
        // The log sink: one line, written when its source's threshold let it pass.
        std::function<void(uint32_t sourceID, uint32_t level, const char* text)> writeLog;
        // Takes a block raised for the supervisor (sent or freed); an event result.
        std::function<int32_t(void* block, uint32_t size)> sendToSupervisor;
        // Whether a block is the supervisor channel's receive buffer.
        std::function<bool(const void* block)> isSupervisorBuffer;
        // A configuration document is being delivered: the core applies it
        // too (called on the writer, with a copy of the text).
        std::function<void(std::string text)> configurationDelivered;
        const LogLevelTable* logLevels = nullptr;          // the thresholds per source slot
        const std::atomic<bool>* videoThrottled = nullptr; // housekeeping's verdict
        std::atomic<bool>* stopRequested = nullptr;        // the core's stop flag, set through Stop
        // Bytes that may wait for the writer (EventInbox::Count); 0: no bound.
        uint64_t queueBound = 0;
    };

    EventBus(Links links, PluginHost& plugins);
    // Events still queued (a core that never ran its writer) own their
    // copies; blocks still held are reported as leaks.
    ~EventBus();
    EventBus(const EventBus&) = delete;
    EventBus& operator=(const EventBus&) = delete;

    // --- raising.cpp: any thread ---
    // The bus FlatPluginEvent raises on: the last one constructed, until it goes.
    static EventBus* Current() { return current_.load(std::memory_order_acquire); }
    // FlatPluginEvent: Raise, then the raiser's counters; -1 without `in`.
    int32_t Enter(_EventParmsIn* in, _EventParmsOut* out);
    // The answer goes to `out->result`; always returns 0. A log line's fate
    // against its threshold goes to `logLineFate` when given.
    int Raise(_EventParmsIn* in, _EventParmsOut* out, LogLineFate* logLineFate = nullptr);

    // --- delivering.cpp: the main thread ---
    // Delivers events in order until the stop is requested and none is left.
    void RunWriter();
    // One event's deliveries to every plugin (the benchmark's micro case).
    void Deliver(const _EventParmsIn& event, bool detail);

    // --- releasing.cpp: any thread ---
    // `owner` lets go of the event's block; the last holder's release frees it.
    void Release(const _EventParmsIn& event, uint32_t owner);

    // --- the stop ---
    // No event is queued from now on; request threads waiting to raise give up.
    void Stop();
    // Wakes every request thread and waits until none runs.
    void WaitForRequestThreads() { requestThreads_.WaitUntilIdle(); }

    EventInbox& inbox() { return inbox_; }
    RefBlockTable& holds() { return refBlocks_; }
    // Video frames refused for low memory since the last statistics line.
    uint32_t throttledVideoFrames() const { return throttledVideoFrames_; }

private:
    // raising.cpp
    bool IsCoreBlock(const void* block);
    // An event was refused at the bound: the first refusal of an episode logs.
    void QueueFull();
    void WriteLogText(const _EventParmsIn& event);
    // delivering.cpp
    void DeliverWrite(PLUGININFO& plugin, const _EventParmsIn& event, bool timed);
    void DeliverConfig(PLUGININFO& plugin, const _EventParmsIn& event);
    void LogQueueStatistics(size_t queued, uint32_t events);
    // The writer took an event out while the queue was full.
    void QueueDraining();
    // releasing.cpp
    void FreeBlock(void* block);
    // read_requests.cpp
    void DispatchReadRequest(const _EventParmsIn& request);
    void RunReadRequest(DvrEntryPoint read, uint32_t systemID, uint32_t dataSize, void* copy, uint32_t requestID);

    static inline std::atomic<EventBus*> current_{nullptr};

    Links links_;
    PluginHost& host_;
    EventInbox inbox_;
    alignas(64) VideoAdmission videoAdmission_;
    std::atomic<uint32_t> throttledVideoFrames_{0};
    // An episode of refusals at the queue's bound: from the first refusal
    // until the queue has drained to half the bound.
    std::atomic<bool> queueFull_{false};
    std::atomic<uint64_t> refusedWhileFull_{0};
    RefBlockTable refBlocks_;
    RequestThreads requestThreads_;
};
