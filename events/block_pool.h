// Recycled memory for the data copies of events.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

// Blocks of up to 64 KiB in power-of-two size classes (64 B to 64 KiB),
// reused last-in first-out; larger blocks come from malloc and go back to it.
//
// Events are copied on the raising threads and freed on the writer, so a
// plain allocator makes every event cross between two threads' heaps under
// one lock. Here each thread keeps a small stack of blocks per class (its
// magazine) and takes or gives no lock while that lasts; full and empty
// magazines change hands whole through a shared store per class, under a
// spin lock held for a few pointer moves. A thread that only frees thus
// returns blocks in batches, and one that only allocates takes them so.
//
// Resident memory stays bounded: the shared store keeps at most `capBytes`
// of idle blocks (the rest go back to malloc at once, and a thread freeing
// into a full store keeps no blocks of that class either), ReleaseUnused
// gives back what a class did not need since its last call, and Drain gives
// back everything idle. A thread's magazine of a class holds at most 64
// blocks and 64 KiB, but never fewer than four blocks (128 KiB and 256 KiB in
// the two largest classes).
//
// A thread's cache is handed back when the thread ends, by a pthread key's
// destructor; a thread may still allocate and free after that (from another
// destructor), through the system.
//
// A magazine is an array of pointers beside the blocks: an idle block is never
// written to, so a block stays in the cache of the thread that last filled it
// rather than bouncing to the freeing thread and back for a link.
//
// Blocks are only ever freed through Free: they start behind a small header
// and are not malloc results themselves.
class BlockPool {
public:
    static constexpr size_t kLargestClass = 64 << 10;
    static constexpr size_t kSmallestClass = 64;
    static constexpr unsigned kClassCount = 11;
    static constexpr size_t kDefaultCapBytes = 8 << 20;

    explicit BlockPool(size_t capBytes = kDefaultCapBytes);
    // Every block must have been freed; threads that used the pool must be
    // done with it.
    ~BlockPool();
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // A block of at least `size` bytes, aligned as malloc aligns and, from
    // 256 bytes on, on a 64-byte cache line; nullptr when memory is exhausted.
    void* Allocate(size_t size);
    // Takes back a block from Allocate, on any thread; nullptr is ignored.
    void Free(void* block);

    // Gives back to the system, per class, the idle blocks the shared store
    // kept since the previous call without ever needing them. Returns bytes.
    size_t ReleaseUnused();
    // Gives every idle block back to the system: the shared store at once,
    // each thread's magazines at its next Allocate or Free. Returns the bytes
    // given back at once.
    size_t Drain();

    // Idle bytes in the shared store (blocks in threads' magazines and the
    // magazines' own pointer arrays not counted).
    size_t storedBytes() const { return storedBytes_.load(std::memory_order_relaxed); }
    // Blocks taken from and given back to malloc so far, large ones included.
    uint64_t systemAllocations() const { return systemAllocations_.load(std::memory_order_relaxed); }
    uint64_t systemFrees() const { return systemFrees_.load(std::memory_order_relaxed); }

    // The usable size of a block allocated for `size` bytes.
    static size_t ClassSize(size_t size);

    struct ThreadCache; // one per thread, bound to one pool at a time

private:
    struct Magazine; // idle blocks of one class, as an array of pointers
    struct Store;

    static unsigned ClassOf(size_t size);
    static void PoisonIdle(void* block, unsigned sizeClass);
    ThreadCache* CacheOfThisThread();        // nullptr once this thread's cache was handed back
    static void EndThreadCache(void* cache); // the thread ends: its cache goes back
    void Bind(ThreadCache& cache);
    void Detach(ThreadCache& cache);
    void* NewBlock(unsigned sizeClass, size_t size);
    void FreeToSystem(void* block);
    static Magazine* NewMagazine(unsigned sizeClass);
    Magazine* TakeMagazine(unsigned sizeClass, ThreadCache& cache); // nullptr: the store has none
    // False: no room under the cap, so its blocks went back to the system and
    // it is left empty. `spare`, if given, receives an empty magazine if the
    // store has one.
    bool PutMagazine(unsigned sizeClass, Magazine* magazine, Magazine** spare);
    void ReleaseBlocks(unsigned sizeClass, Magazine* magazine);
    void ReleaseMagazine(unsigned sizeClass, Magazine* magazine); // its blocks, then itself
    size_t ReleaseFromStores(bool everything);

    const size_t capBytes_;
    Store* stores_; // kClassCount of them, each on its own cache line
    // Read on every Allocate and Free, written only by Drain.
    alignas(64) std::atomic<uint32_t> epoch_{0};
    alignas(64) std::atomic<size_t> storedBytes_{0};
    std::atomic<uint64_t> systemAllocations_{0};
    std::atomic<uint64_t> systemFrees_{0};
    std::mutex cachesMutex_; // the list of bound thread caches
    ThreadCache* caches_ = nullptr;
};

// The process's pool for event data copies, and the one pair of functions
// through which every copy is made and freed. Blocks a plugin allocated
// itself (supervisor packets) never pass through these.
BlockPool& EventDataPool();
void* AllocateEventData(size_t size);
void FreeEventData(void* block);
