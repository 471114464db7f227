// Holder bookkeeping for shared data blocks handed out on the event bus.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Tracks which owners (plugin or core IDs) hold each malloc'ed data block, so
// the caller knows when the last holder let go and the block can be freed.
// The table never frees a block itself.
//
// Sits on the event hot path: an open-addressing table (linear probing,
// backward-shift deletion) with owners stored inline, so steady-state
// AddRef/Release neither allocate nor slow down as live blocks pile up.
class RefBlockTable {
public:
    RefBlockTable();
    ~RefBlockTable();

    RefBlockTable(const RefBlockTable&) = delete;
    RefBlockTable& operator=(const RefBlockTable&) = delete;

    // Adds owner to block's holders. The first AddRef of a block fixes its size.
    // An owner whose release of the block arrived before its hold was recorded
    // cancels out instead: the writer records a plugin's hold only after its
    // Write returns, while the plugin may already have handed the block to a
    // thread that gave it back.
    void AddRef(void* block, uint32_t size, uint32_t owner);

    // Drops owner from block's holders. True means the last holder is gone (or
    // block is null) and the caller may free it; an unknown block gives false.
    // A release by an owner that does not hold a known block is remembered for
    // a later AddRef by that owner and otherwise changes nothing.
    bool Release(void* block, uint32_t owner);

    // Lock-free reads; they may lag a concurrent AddRef/Release.
    uint32_t blockCount() const { return blockCount_.load(std::memory_order_relaxed); }
    uint32_t byteCount() const { return byteCount_.load(std::memory_order_relaxed); }

    // Told of every hold an owner gains (+1 block, +size bytes) or gives up
    // (-1, -size), under the table's lock: it must only count.
    using HoldObserver = void (*)(void* context, uint32_t owner, int32_t blocks, int64_t bytes);
    void ObserveHolds(HoldObserver observer, void* context);

    // One line per block still held, then forgets them all without freeing.
    std::string TakeLeakReport();

private:
    static constexpr uint32_t kInlineOwners = 4;
    static constexpr uint32_t kEarlyReleases = 4;

    struct Entry {
        void* block = nullptr;  // nullptr marks a free slot
        uint32_t size = 0;
        uint32_t ownerCount = 0;
        uint32_t owners[kInlineOwners] = {};
        // Owners beyond the inline ones; rare, so kept out of line.
        std::unique_ptr<std::vector<uint32_t>> overflow;
        // Releases that came before the owner's hold was recorded.
        uint32_t earlyCount = 0;
        uint32_t early[kEarlyReleases] = {};

        uint32_t OwnerAt(uint32_t i) const;
        void SetOwnerAt(uint32_t i, uint32_t owner);
        bool HasOwner(uint32_t owner) const;
        void AppendOwner(uint32_t owner);
        bool RemoveOwner(uint32_t owner);
        bool TakeEarlyRelease(uint32_t owner);
        void NoteEarlyRelease(uint32_t owner);
        void Clear();
    };

    size_t HomeSlot(const void* block) const;
    size_t FindSlot(const void* block) const;  // capacity_ when absent
    void EraseSlot(size_t slot);
    void Rehash(size_t newCapacity);
    void ClearAllLocked();

    std::mutex mutex_;  // leaf lock: nothing outside the table runs under it
    std::unique_ptr<Entry[]> slots_;
    size_t capacity_ = 0;  // power of two
    unsigned shift_ = 0;   // 64 - log2(capacity_)
    size_t used_ = 0;      // occupied slots
    std::atomic<uint32_t> blockCount_{0};
    std::atomic<uint32_t> byteCount_{0};
    HoldObserver holdObserver_ = nullptr;
    void* holdContext_ = nullptr;
};
