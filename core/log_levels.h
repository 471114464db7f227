// A log-level table: one atomic signed threshold per source slot, readable
// and writable from any thread without a lock. -1 means "no threshold".
#pragma once

#include <atomic>
#include <cstdint>

#include "dvrplugin.h"

// Slots of the log-level tables: indices 0..254, one per moduleIndex the
// loader accepts (a plugin with moduleIndex 255 or more is refused).
inline constexpr int LogLevelArraySize = 255;
inline constexpr int8_t NO_THRESHOLD = -1;

// Slot of a source in the log-level tables (its moduleIndex).
inline int LogLevelSlot(uint32_t sourceID)
{
    return static_cast<int>(DVR_MODULE_INDEX(sourceID));
}

class LogLevelTable {
public:
    // Slot 0 (the core) starts at `coreLevel`, every other slot unset.
    explicit LogLevelTable(int8_t coreLevel)
    {
        for (std::atomic<int8_t>& slot : slots_)
            slot.store(NO_THRESHOLD, std::memory_order_relaxed);
        slots_[0].store(coreLevel, std::memory_order_relaxed);
    }
    LogLevelTable(const LogLevelTable&) = delete;
    LogLevelTable& operator=(const LogLevelTable&) = delete;

    // The source's threshold; sources whose slot lies beyond the table have none.
    int8_t Threshold(uint32_t sourceID) const
    {
        const int slot = LogLevelSlot(sourceID);
        return slot < LogLevelArraySize ? slots_[slot].load() : NO_THRESHOLD;
    }

    std::atomic<int8_t>& operator[](int slot) { return slots_[slot]; }
    const std::atomic<int8_t>& operator[](int slot) const { return slots_[slot]; }

private:
    std::atomic<int8_t> slots_[LogLevelArraySize];
};
