// Per-plugin state the core keeps beside PLUGININFO, keyed by systemID: what
// threads other than the start-up thread need to know about a plugin without
// walking the plugin list (whose records move), and a home for per-plugin
// state that PLUGININFO does not carry.
#pragma once

#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

// What one plugin has cost. Counters bumped by one thread only (the writer's
// Write and configuration IOCTL counts) use a relaxed load and store, not a
// locked add: the event path pays a few plain instructions per call. Readers
// on other threads may see them a moment late.
struct PluginCounters {
    // Write calls. Only every kWriteSampleEvery-th call is timed (every call
    // while the core's detail messages are on): a clock read per call would
    // cost more than the call itself. The watchdog adds calls it saw run long.
    static constexpr uint64_t kWriteSampleEvery = 64;
    std::atomic<uint64_t> writeCalls{0};
    std::atomic<uint64_t> writeTimedCalls{0};
    std::atomic<uint64_t> writeTimedNs{0};
    std::atomic<int64_t> writeLongestNs{0};   // also raised by the watchdog
    std::atomic<uint64_t> configCalls{0};     // writer thread
    std::atomic<uint64_t> supervisorCalls{0}; // I/O thread
    // Events the plugin raised, by result code (level queries not counted).
    // Its raising threads add to these, so they sit on a cache line of their
    // own: sharing one with the writer's counters, every event a plugin
    // raises while it is also written to would wait for that line to come
    // back from the writer's processor.
    enum Raised { Ok, Refused, NotAdmitted, KeyframeExpired, Throttled, NoMemory, Other, RaisedKinds };
    alignas(64) std::array<std::atomic<uint64_t>, RaisedKinds> raised{};
    // Blocks it holds now, under the block table's lock.
    std::atomic<uint64_t> released{0}; // blocks given back: not raised events
    // Log lines, apart from events: written to the terminal (and, of those,
    // not passed on to subscribed plugins: the core was stopping or its
    // queue full), or dropped below the threshold.
    std::atomic<uint64_t> logShown{0}, logNotForwarded{0}, logBelowThreshold{0};
    std::atomic<int64_t> heldBlocks{0}, heldBytes{0}, peakBlocks{0}, peakBytes{0};

    // The writer, after one Write; `elapsedNs` < 0 when it was not timed.
    void CountWrite(int64_t elapsedNs) noexcept
    {
        writeCalls.store(writeCalls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        if (elapsedNs >= 0) {
            writeTimedCalls.store(writeTimedCalls.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            writeTimedNs.store(writeTimedNs.load(std::memory_order_relaxed) + static_cast<uint64_t>(elapsedNs),
                               std::memory_order_relaxed);
            RaiseLongest(elapsedNs);
        }
    }
    // Whether the next Write is one of the timed ones.
    bool SampleNextWrite() const noexcept
    {
        return writeCalls.load(std::memory_order_relaxed) % kWriteSampleEvery == 0;
    }
    void RaiseLongest(int64_t elapsedNs) noexcept
    {
        int64_t longest = writeLongestNs.load(std::memory_order_relaxed);
        while (elapsedNs > longest &&
               !writeLongestNs.compare_exchange_weak(longest, elapsedNs, std::memory_order_relaxed)) {
        }
    }
    void CountRaised(int32_t result) noexcept;
    void CountRelease() noexcept { released.fetch_add(1, std::memory_order_relaxed); }
    void HoldChanged(int64_t blocks, int64_t bytes) noexcept;
};

struct PluginSideState {
    uint32_t systemID = 0;
    char fileName[NAME_MAX + 1] = "?"; // PLUGININFO.Filename, for logging from any thread
    PluginCounters counters;
};

class PluginSideTable {
public:
    // Adds (or replaces) the entry of an accepted plugin. Entries stay where
    // they are until Clear, so a pointer to one stays valid until then.
    PluginSideState& Add(uint32_t systemID, const std::string& fileName);
    // Null when no plugin with this ID was accepted.
    PluginSideState* Find(uint32_t systemID);
    // The same without a lock or a wait, for the event path and the crash
    // report (async-signal-safe); falls back to Find when two plugins share a
    // module index, except in `signalSafe` use where it gives null.
    PluginSideState* FindFast(uint32_t systemID, bool signalSafe = false);
    // The plugin a source ID belongs to: its own systemID, or an ID in its
    // module made from it (bits 0..15 differ, as a camera's source ID does).
    PluginSideState* FindBySource(uint32_t sourceID);
    // Calls `visit` for each plugin, in ID order, under the shared lock.
    template <class Visit>
    void ForEach(Visit&& visit)
    {
        std::shared_lock lock(mutex_);
        for (auto& [id, state] : entries_)
            visit(*state);
    }
    // Copies the plugin's file name into `name` ("?" when unknown); takes no
    // allocation and holds the lock only for the copy.
    void CopyFileName(uint32_t systemID, char* name, size_t size) const;
    // Once no thread runs plugin code any more.
    void Clear();

private:
    static constexpr size_t kModuleIndexes = 0x1000;

    mutable std::shared_mutex mutex_;
    std::map<uint32_t, std::unique_ptr<PluginSideState>> entries_;
    // The entry of the first plugin with each module index.
    std::array<std::atomic<PluginSideState*>, kModuleIndexes> byModuleIndex_{};
};
