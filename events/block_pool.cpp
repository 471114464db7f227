#include "events/block_pool.h"

#include <malloc.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <thread>

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
};

// Blocks of 256 bytes and more start on a cache line: copying into a block
// that does not takes up to twice as long (measured for 1 KiB to 64 KiB). The
// smaller classes keep the plain header rather than double their memory.
constexpr size_t kCacheLine = 64;
constexpr size_t LeadOf(uint32_t sizeClass)
{
    return sizeClass >= 2 ? kCacheLine : sizeof(Header);
}
static_assert(sizeof(Header) <= kCacheLine);

Header* HeaderOf(void* block)
{
    return reinterpret_cast<Header*>(static_cast<char*>(block) - sizeof(Header));
}

// What malloc handed out for `block`.
void* StartOf(void* block)
{
    return static_cast<char*>(block) - LeadOf(HeaderOf(block)->sizeClass);
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

// Held for a few pointer moves; a holder that lost its processor is waited
// for with yields rather than sleeps.
class SpinLock {
public:
    void lock()
    {
        for (int spins = 0; locked_.exchange(true, std::memory_order_acquire); ++spins) {
            while (locked_.load(std::memory_order_relaxed)) {
                if (++spins < 64)
                    CpuRelax();
                else
                    std::this_thread::yield();
            }
        }
    }
    void unlock() { locked_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked_{false};
};

} // namespace

namespace {

// Set once this thread's cache is destroyed with the thread's other C++
// thread-locals. Its pthread-key destructors (a plugin's among them) may still
// raise events after that: their blocks go to the system, since a cache used
// again then would keep them past the thread's end. A variable of its own,
// because stores to the cache inside its destructor may be dropped.
thread_local bool t_cacheEnded = false;

} // namespace

// An idle block's first bytes: the next block of its magazine or chain and,
// in the first block of a chain in the shared store, the chain below it and
// the chain's length. The smallest class has room for them.
struct BlockPool::Link {
    Link* next;
    Link* nextChain;
    uint32_t count;
};

// An idle block's bytes past its link are off limits to everyone. The link
// itself stays readable: the leak checker follows the chains through it, and
// skips pointers kept in poisoned memory.
void BlockPool::PoisonIdle([[maybe_unused]] void* block, [[maybe_unused]] unsigned sizeClass)
{
    POOL_POISON(static_cast<char*>(block) + sizeof(Link), SizeOfClass(sizeClass) - sizeof(Link));
}

// The shared store of one class: a stack of chains of idle blocks.
struct alignas(64) BlockPool::Store {
    SpinLock lock;
    Link* chains = nullptr;
    size_t blocks = 0;
    // The fewest blocks the store held since the last ReleaseUnused.
    size_t lowest = 0;
};

struct BlockPool::ThreadCache {
    struct Magazine {
        Link* top = nullptr;
        uint32_t count = 0;
    };
    BlockPool* pool = nullptr;
    uint32_t epoch = 0;

    Magazine magazines[kClassCount];
    ThreadCache* previous = nullptr; // in the pool's list of bound caches
    ThreadCache* next = nullptr;

    ~ThreadCache()
    {
        if (pool)
            pool->Detach(*this);
        t_cacheEnded = true;
    }
};

BlockPool::BlockPool(size_t capBytes) : capBytes_(capBytes), stores_(new Store[kClassCount]) {}

BlockPool::~BlockPool()
{
    {
        std::lock_guard lock(cachesMutex_);
        for (ThreadCache* cache = caches_; cache; cache = cache->next) {
            for (unsigned c = 0; c < kClassCount; ++c) {
                ReleaseChain(c, cache->magazines[c].top);
                cache->magazines[c] = {};
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
    thread_local ThreadCache cache;
    if (cache.pool != this || cache.epoch != epoch_.load(std::memory_order_relaxed) || t_cacheEnded) [[unlikely]] {
        if (t_cacheEnded)
            return nullptr;
        Bind(cache);
    }
    return &cache;
}

void BlockPool::Bind(ThreadCache& cache)
{
    if (cache.pool == this) {
        // Drained since this thread last came: its blocks go back too.
        for (unsigned c = 0; c < kClassCount; ++c) {
            ReleaseChain(c, cache.magazines[c].top);
            cache.magazines[c] = {};
        }
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
        PutChain(c, cache.magazines[c].top, cache.magazines[c].count);
        cache.magazines[c] = {};
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

void* BlockPool::NewBlock(unsigned sizeClass, size_t size)
{
    const size_t lead = LeadOf(sizeClass);
    if (size > SIZE_MAX - lead)
        return nullptr;
    void* start = nullptr;
    if (posix_memalign(&start, lead, lead + size) != 0)
        return nullptr;
    systemAllocations_.fetch_add(1, std::memory_order_relaxed);
    void* block = static_cast<char*>(start) + lead;
    HeaderOf(block)->sizeClass = sizeClass;
    return block;
}

void* BlockPool::Allocate(size_t size)
{
    if (size > kLargestClass)
        return NewBlock(kLargeClass, size);
    const unsigned sizeClass = ClassOf(size);
    ThreadCache* cache = CacheOfThisThread();
    if (!cache) [[unlikely]]
        return NewBlock(sizeClass, SizeOfClass(sizeClass));
    ThreadCache::Magazine& magazine = cache->magazines[sizeClass];
    if (!magazine.top && !TakeChain(sizeClass, *cache))
        return NewBlock(sizeClass, SizeOfClass(sizeClass));
    Link* block = magazine.top;
    POOL_UNPOISON(block, sizeof(Link));
    magazine.top = block->next;
    --magazine.count;
    POOL_UNPOISON(block, size);
    return block;
}

void BlockPool::Free(void* block)
{
    if (!block)
        return;
    const uint32_t sizeClass = HeaderOf(block)->sizeClass;
    if (sizeClass == kLargeClass) {
        free(StartOf(block));
        systemFrees_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    static_assert(sizeof(Link) <= kSmallestClass);
    ThreadCache* cache = CacheOfThisThread();
    if (!cache) [[unlikely]] {
        free(StartOf(block));
        systemFrees_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    ThreadCache::Magazine& magazine = cache->magazines[sizeClass];
    const size_t magazineBytes = MagazineCapacity(sizeClass) * SizeOfClass(sizeClass);
    // A magazine is only started while the store has room to take it: after
    // a burst over the cap the last blocks go back one by one, not kept by
    // this thread where they would pin the top of the heap.
    bool keep = magazine.count != 0 || storedBytes_.load(std::memory_order_relaxed) + magazineBytes <= capBytes_;
    if (keep && magazine.count == MagazineCapacity(sizeClass)) {
        keep = PutChain(sizeClass, magazine.top, magazine.count) &&
               storedBytes_.load(std::memory_order_relaxed) + magazineBytes <= capBytes_;
        magazine = {};
    }
    if (!keep) {
        free(StartOf(block));
        systemFrees_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    POOL_UNPOISON(block, SizeOfClass(sizeClass));
    auto* link = static_cast<Link*>(block);
    link->next = magazine.top;
    PoisonIdle(block, sizeClass);
    magazine.top = link;
    ++magazine.count;
}

bool BlockPool::TakeChain(unsigned sizeClass, ThreadCache& cache)
{
    Store& store = stores_[sizeClass];
    Link* chain;
    {
        std::lock_guard lock(store.lock);
        chain = store.chains;
        if (!chain)
            return false;
        POOL_UNPOISON(chain, sizeof(Link));
        store.chains = chain->nextChain;
        store.blocks -= chain->count;
        store.lowest = std::min(store.lowest, store.blocks);
    }
    storedBytes_.fetch_sub(chain->count * SizeOfClass(sizeClass), std::memory_order_relaxed);
    cache.magazines[sizeClass] = {chain, chain->count};
    PoisonIdle(chain, sizeClass);
    return true;
}

bool BlockPool::PutChain(unsigned sizeClass, Link* chain, uint32_t count)
{
    if (!chain)
        return true;
    // Room under the cap is claimed before the chain goes in; without room
    // the blocks go back to the system here, on the freeing thread.
    const size_t bytes = count * SizeOfClass(sizeClass);
    size_t stored = storedBytes_.load(std::memory_order_relaxed);
    do {
        if (stored + bytes > capBytes_) {
            ReleaseChain(sizeClass, chain);
            return false;
        }
    } while (!storedBytes_.compare_exchange_weak(stored, stored + bytes, std::memory_order_relaxed));
    Store& store = stores_[sizeClass];
    std::lock_guard lock(store.lock);
    POOL_UNPOISON(chain, sizeof(Link));
    chain->nextChain = store.chains;
    chain->count = count;
    PoisonIdle(chain, sizeClass);
    store.chains = chain;
    store.blocks += count;
    return true;
}

void BlockPool::ReleaseChain(unsigned sizeClass, Link* chain)
{
    while (chain) {
        POOL_UNPOISON(chain, SizeOfClass(sizeClass));
        Link* next = chain->next;
        free(StartOf(chain));
        systemFrees_.fetch_add(1, std::memory_order_relaxed);
        chain = next;
    }
}

size_t BlockPool::ReleaseFromStores(bool everything)
{
    size_t released = 0;
    for (unsigned c = 0; c < kClassCount; ++c) {
        Store& store = stores_[c];
        Link* taken = nullptr;
        size_t takenBlocks = 0;
        {
            std::lock_guard lock(store.lock);
            // Whole chains from the top, as long as they fit in what the
            // class left unused.
            const size_t unused = everything ? store.blocks : store.lowest;
            while (store.chains) {
                Link* chain = store.chains;
                POOL_UNPOISON(chain, sizeof(Link));
                const uint32_t count = chain->count;
                if (takenBlocks + count > unused) {
                    PoisonIdle(chain, c);
                    break;
                }
                store.chains = chain->nextChain;
                chain->nextChain = taken;
                taken = chain;
                takenBlocks += count;
            }
            store.blocks -= takenBlocks;
            store.lowest = store.blocks;
        }
        const size_t bytes = takenBlocks * SizeOfClass(c);
        storedBytes_.fetch_sub(bytes, std::memory_order_relaxed);
        released += bytes;
        while (taken) {
            Link* below = taken->nextChain;
            ReleaseChain(c, taken);
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
