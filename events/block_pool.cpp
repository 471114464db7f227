#include "events/block_pool.h"

#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <thread>
#include <type_traits>

#include "events/cpu_relax.h"

// g++ says __SANITIZE_ADDRESS__, clang (the fuzz targets) __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define POOL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_UNDER_ASAN 1
#endif
#endif

#if defined(POOL_UNDER_ASAN)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define POOL_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define POOL_POISON(address, size) ((void)(address), (void)(size))
#define POOL_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace {

constexpr uint32_t kLargeClass = BlockPool::kClassCount;

// Right before every block; sized so that the block keeps malloc's alignment.
struct alignas(alignof(std::max_align_t)) Header {
    uint32_t sizeClass; // kLargeClass: a malloc block of its own
    uint32_t lead;      // bytes from what malloc handed out to the block
};

// Blocks of 256 bytes and more start on a cache line: copying into a block
// that does not takes up to twice as long (measured for 1 KiB to 64 KiB). The
// smaller classes keep the plain header rather than double their memory.
constexpr size_t kCacheLine = 64;
constexpr size_t AlignmentOf(uint32_t sizeClass)
{
    return sizeClass >= 2 ? kCacheLine : alignof(Header);
}
static_assert(sizeof(Header) <= kCacheLine);

Header* HeaderOf(void* block)
{
    return reinterpret_cast<Header*>(static_cast<char*>(block) - sizeof(Header));
}

// What malloc handed out for `block`.
void* StartOf(void* block)
{
    return static_cast<char*>(block) - HeaderOf(block)->lead;
}

constexpr size_t SizeOfClass(unsigned sizeClass)
{
    return BlockPool::kSmallestClass << sizeClass;
}

// Blocks a thread keeps per class: up to 64 and 64 KiB, never fewer than 4.
constexpr uint32_t MagazineCapacity(unsigned sizeClass)
{
    return static_cast<uint32_t>(std::clamp<size_t>((64 << 10) / SizeOfClass(sizeClass), 4, 64));
}

// Empty magazines a class's store keeps when it gives back what the class did
// not use: enough for the freeing threads of a steady stream.
constexpr int kSpareMagazines = 4;

// Held for a few pointer moves; a holder that lost its processor is waited
// for with yields rather than sleeps.
class SpinLock {
public:
    void lock()
    {
        for (int spins = 0; locked_.exchange(true, std::memory_order_acquire); ++spins) {
            while (locked_.load(std::memory_order_relaxed))
                if (++spins < 64)
                    CpuRelax();
                else
                    std::this_thread::yield();
        }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

} // namespace

namespace {

// This thread's cache, made at its first Allocate or Free and handed back by
// the cache key's destructor (BlockPool::EndThreadCache) when the thread ends.
thread_local BlockPool::ThreadCache* t_cache = nullptr;
// Set once that destructor ran: calls from destructors that run after it
// (a plugin's, raising events) take their blocks from and give them back to
// the system. Both variables are trivial, so they are valid in any destructor.
thread_local bool t_cacheEnded = false;

} // namespace

// A stack of idle blocks of one class, kept as an array of pointers beside
// the blocks rather than as links inside them: freeing a block never writes
// to it, so its lines stay in the cache of the thread that filled it last,
// which is usually the thread that fills it next. Allocated with room for
// its class's MagazineCapacity pointers after the header.
struct BlockPool::Magazine {
    Magazine* next = nullptr; // in the store's stacks
    uint32_t count = 0;
    void** blocks() { return reinterpret_cast<void**>(this + 1); }
};

// An idle block is off limits to everyone.
void BlockPool::PoisonIdle([[maybe_unused]] void* block, [[maybe_unused]] unsigned sizeClass)
{
    POOL_POISON(block, SizeOfClass(sizeClass));
}

// The shared store of one class: a stack of magazines holding idle blocks,
// and one of empty magazines for the freeing threads to fill next.
struct alignas(64) BlockPool::Store {
    SpinLock lock;
    Magazine* loaded = nullptr;
    Magazine* empty = nullptr;
    size_t blocks = 0;
    // The fewest blocks the store held since the last ReleaseUnused.
    size_t lowest = 0;
};

struct BlockPool::ThreadCache {
    BlockPool* pool = nullptr;
    uint32_t epoch = 0;

    Magazine* magazines[kClassCount] = {}; // per class; may be empty
    ThreadCache* previous = nullptr;       // in the pool's list of bound caches
    ThreadCache* next = nullptr;
};
static_assert(std::is_trivially_destructible_v<BlockPool::ThreadCache>); // freed without a destructor

BlockPool::BlockPool(size_t capBytes) : capBytes_(capBytes), stores_(new Store[kClassCount]) {}

BlockPool::~BlockPool()
{
    {
        std::lock_guard lock(cachesMutex_);
        for (ThreadCache* cache = caches_; cache; cache = cache->next) {
            for (unsigned c = 0; c < kClassCount; ++c) {
                ReleaseMagazine(c, cache->magazines[c]);
                cache->magazines[c] = nullptr;
            }
            cache->pool = nullptr;
        }
        caches_ = nullptr;
    }
    Drain();
    delete[] stores_;
}

size_t BlockPool::ClassSize(size_t size)
{
    return size > kLargestClass ? size : SizeOfClass(ClassOf(size));
}

unsigned BlockPool::ClassOf(size_t size)
{
    return size <= kSmallestClass ? 0 : static_cast<unsigned>(std::bit_width(size - 1)) - 6;
}
static_assert(std::bit_width(BlockPool::kSmallestClass - 1) == 6);

BlockPool::ThreadCache* BlockPool::CacheOfThisThread()
{
    ThreadCache* cache = t_cache;
    if (cache && cache->pool == this && cache->epoch == epoch_.load(std::memory_order_relaxed)) [[likely]]
        return cache;
    if (t_cacheEnded)
        return nullptr;
    if (!cache) {
        // A key rather than a thread-local's destructor hands the cache back:
        // key destructors run in rounds, so a cache first made in one (a
        // plugin raising from its own key's destructor, after the thread's
        // C++ thread-locals are gone) is still handed back in the next.
        static const pthread_key_t key = [] {
            pthread_key_t created;
            return pthread_key_create(&created, &BlockPool::EndThreadCache) == 0 ? created : pthread_key_t(-1);
        }();
        if (key == pthread_key_t(-1))
            return nullptr;
        // From malloc, as the magazines are: no operator new on the event path.
        void* memory = malloc(sizeof(ThreadCache));
        if (!memory)
            return nullptr;
        cache = new (memory) ThreadCache;
        if (pthread_setspecific(key, cache) != 0) {
            free(cache);
            return nullptr;
        }
        t_cache = cache;
    }
    Bind(*cache);
    return cache;
}

void BlockPool::EndThreadCache(void* ended)
{
    auto* cache = static_cast<ThreadCache*>(ended);
    if (cache->pool)
        cache->pool->Detach(*cache);
    t_cache = nullptr;
    t_cacheEnded = true;
    free(cache); // trivially destructible
}

void BlockPool::Bind(ThreadCache& cache)
{
    if (cache.pool == this) {
        // Drained since this thread last came: its blocks go back too.
        for (unsigned c = 0; c < kClassCount; ++c)
            ReleaseBlocks(c, cache.magazines[c]);
        cache.epoch = epoch_.load(std::memory_order_relaxed);
        return;
    }
    if (cache.pool)
        cache.pool->Detach(cache);
    std::lock_guard lock(cachesMutex_);
    cache.pool = this;
    cache.epoch = epoch_.load(std::memory_order_relaxed);
    cache.previous = nullptr;
    cache.next = caches_;
    if (caches_)
        caches_->previous = &cache;
    caches_ = &cache;
}

void BlockPool::Detach(ThreadCache& cache)
{
    for (unsigned c = 0; c < kClassCount; ++c) {
        Magazine* magazine = cache.magazines[c];
        cache.magazines[c] = nullptr;
        if (magazine && magazine->count && PutMagazine(c, magazine, nullptr))
            continue;
        ReleaseMagazine(c, magazine);
    }
    std::lock_guard lock(cachesMutex_);
    if (cache.previous)
        cache.previous->next = cache.next;
    else
        caches_ = cache.next;
    if (cache.next)
        cache.next->previous = cache.previous;
    cache.pool = nullptr;
    cache.previous = cache.next = nullptr;
}

// Aligned by hand in a plain malloc block: posix_memalign asks the heap for
// the alignment and a minimal chunk more than it keeps, so a freed block never
// fits the next one of the same size, and a stream of large blocks (key
// frames, one per event) kept growing the heap into fresh pages, a page fault
// per 4 KiB of the event on its raising thread.
void* BlockPool::NewBlock(unsigned sizeClass, size_t size)
{
    const size_t alignment = AlignmentOf(sizeClass);
    const size_t lead = sizeof(Header) + alignment - alignof(Header); // malloc aligns for Header
    if (size > SIZE_MAX - lead)
        return nullptr;
    char* start = static_cast<char*>(malloc(lead + size));
    if (!start)
        return nullptr;
    systemAllocations_.fetch_add(1, std::memory_order_relaxed);
    const uintptr_t at = (reinterpret_cast<uintptr_t>(start) + sizeof(Header) + alignment - 1) & ~(alignment - 1);
    void* block = reinterpret_cast<void*>(at);
    HeaderOf(block)->sizeClass = sizeClass;
    HeaderOf(block)->lead = static_cast<uint32_t>(at - reinterpret_cast<uintptr_t>(start));
    return block;
}

void BlockPool::FreeToSystem(void* block)
{
    free(StartOf(block));
    systemFrees_.fetch_add(1, std::memory_order_relaxed);
}

BlockPool::Magazine* BlockPool::NewMagazine(unsigned sizeClass)
{
    void* memory = malloc(sizeof(Magazine) + MagazineCapacity(sizeClass) * sizeof(void*));
    return memory ? new (memory) Magazine : nullptr;
}

void* BlockPool::Allocate(size_t size)
{
    if (size > kLargestClass)
        return NewBlock(kLargeClass, size);
    const unsigned sizeClass = ClassOf(size);
    ThreadCache* cache = CacheOfThisThread();
    if (!cache) [[unlikely]]
        return NewBlock(sizeClass, SizeOfClass(sizeClass));
    Magazine* magazine = cache->magazines[sizeClass];
    if (!magazine || !magazine->count) {
        magazine = TakeMagazine(sizeClass, *cache);
        if (!magazine)
            return NewBlock(sizeClass, SizeOfClass(sizeClass));
    }
    void* block = magazine->blocks()[--magazine->count];
    POOL_UNPOISON(block, size);
    return block;
}

void BlockPool::Free(void* block)
{
    if (!block)
        return;
    const uint32_t sizeClass = HeaderOf(block)->sizeClass;
    if (sizeClass == kLargeClass)
        return FreeToSystem(block);
    ThreadCache* cache = CacheOfThisThread();
    if (!cache) [[unlikely]]
        return FreeToSystem(block);
    Magazine*& magazine = cache->magazines[sizeClass];
    const size_t magazineBytes = MagazineCapacity(sizeClass) * SizeOfClass(sizeClass);
    // A magazine is only started while the store has room to take it: after
    // a burst over the cap the last blocks go back one by one, not kept by
    // this thread where they would pin the top of the heap.
    bool keep =
        (magazine && magazine->count) || storedBytes_.load(std::memory_order_relaxed) + magazineBytes <= capBytes_;
    if (keep && magazine && magazine->count == MagazineCapacity(sizeClass)) {
        Magazine* spare = nullptr;
        if (PutMagazine(sizeClass, magazine, &spare)) {
            magazine = spare;
            keep = storedBytes_.load(std::memory_order_relaxed) + magazineBytes <= capBytes_;
        } else {
            keep = false;
        }
    }
    if (keep && !magazine)
        magazine = NewMagazine(sizeClass);
    if (!keep || !magazine)
        return FreeToSystem(block);
    PoisonIdle(block, sizeClass);
    magazine->blocks()[magazine->count++] = block;
}

BlockPool::Magazine* BlockPool::TakeMagazine(unsigned sizeClass, ThreadCache& cache)
{
    Store& store = stores_[sizeClass];
    Magazine* taken;
    Magazine* emptied = cache.magazines[sizeClass];
    {
        std::lock_guard lock(store.lock);
        taken = store.loaded;
        if (!taken)
            return nullptr;
        store.loaded = taken->next;
        store.blocks -= taken->count;
        store.lowest = std::min(store.lowest, store.blocks);
        // The one this thread emptied goes to a freeing thread to fill.
        if (emptied) {
            emptied->next = store.empty;
            store.empty = emptied;
        }
    }
    storedBytes_.fetch_sub(taken->count * SizeOfClass(sizeClass), std::memory_order_relaxed);
    cache.magazines[sizeClass] = taken;
    return taken;
}

bool BlockPool::PutMagazine(unsigned sizeClass, Magazine* magazine, Magazine** spare)
{
    // Room under the cap is claimed before the magazine goes in; without
    // room its blocks go back to the system here, on the freeing thread, and
    // the caller keeps it empty.
    const size_t bytes = magazine->count * SizeOfClass(sizeClass);
    size_t stored = storedBytes_.load(std::memory_order_relaxed);
    do {
        if (stored + bytes > capBytes_) {
            ReleaseBlocks(sizeClass, magazine);
            return false;
        }
    } while (!storedBytes_.compare_exchange_weak(stored, stored + bytes, std::memory_order_relaxed));
    Store& store = stores_[sizeClass];
    std::lock_guard lock(store.lock);
    magazine->next = store.loaded;
    store.loaded = magazine;
    store.blocks += magazine->count;
    if (spare && store.empty) {
        *spare = store.empty;
        store.empty = store.empty->next;
    }
    return true;
}

void BlockPool::ReleaseBlocks(unsigned sizeClass, Magazine* magazine)
{
    if (!magazine)
        return;
    for (uint32_t i = 0; i < magazine->count; ++i) {
        POOL_UNPOISON(magazine->blocks()[i], SizeOfClass(sizeClass));
        FreeToSystem(magazine->blocks()[i]);
    }
    magazine->count = 0;
}

void BlockPool::ReleaseMagazine(unsigned sizeClass, Magazine* magazine)
{
    ReleaseBlocks(sizeClass, magazine);
    free(magazine);
}

size_t BlockPool::ReleaseFromStores(bool everything)
{
    size_t released = 0;
    for (unsigned c = 0; c < kClassCount; ++c) {
        Store& store = stores_[c];
        Magazine* taken = nullptr;
        size_t takenBlocks = 0;
        {
            std::lock_guard lock(store.lock);
            // Whole magazines from the top, as long as they fit in what the
            // class left unused. A few empty ones stay for the freeing
            // threads, which would otherwise allocate new ones on the event
            // path after every period.
            const size_t unused = everything ? store.blocks : store.lowest;
            while (store.loaded && takenBlocks + store.loaded->count <= unused) {
                Magazine* magazine = store.loaded;
                store.loaded = magazine->next;
                magazine->next = taken;
                taken = magazine;
                takenBlocks += magazine->count;
            }
            Magazine** kept = &store.empty;
            for (int spares = everything ? 0 : kSpareMagazines; *kept && spares > 0; --spares)
                kept = &(*kept)->next;
            while (Magazine* magazine = *kept) {
                *kept = magazine->next;
                magazine->next = taken;
                taken = magazine;
            }
            store.blocks -= takenBlocks;
            store.lowest = store.blocks;
        }
        const size_t bytes = takenBlocks * SizeOfClass(c);
        storedBytes_.fetch_sub(bytes, std::memory_order_relaxed);
        released += bytes;
        while (taken) {
            Magazine* below = taken->next;
            ReleaseMagazine(c, taken);
            taken = below;
        }
    }
    return released;
}

namespace {

// Blocks freed in the middle of the heap keep their pages until the heap is
// trimmed; after a large return the pages go back to the system at once.
void TrimHeapAfter(size_t releasedBytes)
{
    if (releasedBytes >= (1u << 20))
        malloc_trim(0);
}

} // namespace

size_t BlockPool::ReleaseUnused()
{
    const size_t released = ReleaseFromStores(false);
    TrimHeapAfter(released);
    return released;
}

size_t BlockPool::Drain()
{
    epoch_.fetch_add(1, std::memory_order_relaxed);
    const size_t released = ReleaseFromStores(true);
    TrimHeapAfter(released);
    return released;
}

BlockPool& EventDataPool()
{
    // Never destroyed: threads may free event data until the process ends.
    static BlockPool* pool = new BlockPool;
    return *pool;
}

void* AllocateEventData(size_t size)
{
    return EventDataPool().Allocate(size);
}

void FreeEventData(void* block)
{
    EventDataPool().Free(block);
}
