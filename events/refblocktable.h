// Holder bookkeeping for shared data blocks handed out on the event bus.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Tracks which owners (plugin or core IDs) hold each data block, so
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
    // A hold recorded after the call it was taken in (see Calling) is cancelled
    // instead when the owner already gave the block back during that call.
    void AddRef(void* block, uint32_t size, uint32_t owner);

    // The writer's own hold on the block of the event it starts delivering:
    // AddRef, and that block becomes the one being delivered. `eventType`
    // is the event's, kept for the leak report.
    void AddDeliveryRef(void* block, uint32_t size, uint32_t coreOwner, uint32_t eventType = 0);

    // The writer is about to call `owner` with the block being delivered.
    // It records the plugin's hold lazily, only if the plugin keeps the block
    // past the call, while the plugin may already have handed the block to a
    // thread that gave it back. Such an early release counts, exactly once,
    // only for this owner, this block and this call; any other release by an
    // owner that does not hold the block changes nothing. One store: this
    // runs for every plugin and event.
    void Calling(uint32_t owner) { calling_.store(owner, std::memory_order_relaxed); }

    // Drops owner from block's holders. True means the last holder is gone (or
    // block is null) and the caller may free it; an unknown block gives false,
    // and so does a release by an owner that does not hold the block.
    bool Release(void* block, uint32_t owner);

    // Whether `address` lies inside a live block of the table (held by
    // anyone): its first byte or any later one of its size. Off the hot path
    // (a block raised for the supervisor): past the exact start it looks at
    // every block.
    bool Holds(const void* address);

    // The blocks `owner` holds, in address order, with their sizes. Off the
    // hot path (the plugin harness's leak report, while blocks are live): it
    // looks at every block.
    struct HeldBlock {
        void* block = nullptr;
        uint32_t size = 0;
        bool operator==(const HeldBlock&) const = default;
    };
    std::vector<HeldBlock> HeldBy(uint32_t owner);

    // Lock-free reads; they may lag a concurrent AddRef/Release.
    uint32_t blockCount() const { return blockCount_.load(std::memory_order_relaxed); }
    uint32_t byteCount() const { return byteCount_.load(std::memory_order_relaxed); }

    // Told of every hold an owner gains (+1 block, +size bytes) or gives up
    // (-1, -size), under the table's lock: it must only count.
    using HoldObserver = void (*)(void* context, uint32_t owner, int32_t blocks, int64_t bytes);
    void ObserveHolds(HoldObserver observer, void* context);

    // What one owner still holds: blocks, bytes, and the type of the event
    // whose delivery handed out the oldest of them (0: not known).
    struct OwnerLeak {
        uint32_t owner = 0;
        uint32_t blocks = 0;
        uint64_t bytes = 0;
        uint32_t oldestEventType = 0;
    };
    // One line per block still held, then forgets them all without freeing;
    // `owners`, when given, gets one summary per owner, in owner order.
    std::string TakeLeakReport(std::vector<OwnerLeak>* owners = nullptr);

private:
    static constexpr uint32_t kInlineOwners = 4;

    struct Entry {
        void* block = nullptr; // nullptr marks a free slot
        uint32_t size = 0;
        uint32_t ownerCount = 0;
        uint32_t owners[kInlineOwners] = {};
        uint32_t eventType = 0; // of the delivery that added the block; 0 when not delivered
        uint32_t sequence = 0;  // order of addition, for the leak report's oldest block
        // Owners beyond the inline ones; rare, so kept out of line.
        std::unique_ptr<std::vector<uint32_t>> overflow;

        uint32_t OwnerAt(uint32_t i) const;
        void SetOwnerAt(uint32_t i, uint32_t owner);
        bool HasOwner(uint32_t owner) const;
        void AppendOwner(uint32_t owner);
        bool RemoveOwner(uint32_t owner);
        void Clear();
    };

    size_t HomeSlot(const void* block) const;
    size_t FindSlot(const void* block) const; // capacity_ when absent
    void EraseSlot(size_t slot);
    // The block's entry; null when the hold was cancelled (see Calling).
    Entry* AddRefLocked(void* block, uint32_t size, uint32_t owner);
    void Rehash(size_t newCapacity);
    void ClearAllLocked();

    std::mutex mutex_; // leaf lock: nothing outside the table runs under it
    std::unique_ptr<Entry[]> slots_;
    size_t capacity_ = 0; // power of two
    unsigned shift_ = 0;  // 64 - log2(capacity_)
    size_t used_ = 0;     // occupied slots
    std::atomic<uint32_t> blockCount_{0};
    std::atomic<uint32_t> byteCount_{0};
    uint32_t sequence_ = 0; // last Entry::sequence given
    HoldObserver holdObserver_ = nullptr;
    void* holdContext_ = nullptr;

    // The delivery under way. `delivering_` and the note change under mutex_;
    // `calling_` is stored by the writer alone, without the lock, and read
    // under it: a release that follows the store (through the plugin) sees
    // this owner or a later one of the same delivery, never an earlier one.
    const void* delivering_ = nullptr;
    std::atomic<uint32_t> calling_{0};
    // The owner being called released the delivered block before its hold
    // was recorded. Only one owner is called at a time, so one note is
    // enough: a newer note can only replace one whose call has ended.
    bool earlyReleased_ = false;
    uint32_t earlyOwner_ = 0;
};
