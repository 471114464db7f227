// The block pool's contract: size classes, reuse, the cap on idle bytes, the
// return of unused and of all idle blocks, and many threads at once.
#include "events/block_pool.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr size_t KiB = 1024;

// Allocates `count` blocks of `size` on a thread of its own, frees them all
// there and ends the thread, whose magazines then go to the shared store.
void FreedByAnotherThread(BlockPool& pool, size_t size, int count)
{
    std::thread([&] {
        std::vector<void*> blocks;
        for (int i = 0; i < count; ++i)
            blocks.push_back(pool.Allocate(size));
        for (void* block : blocks)
            pool.Free(block);
    }).join();
}

TEST(BlockPool, SizesRoundUpToTheirClassAndLargeBlocksAreTheirOwn)
{
    struct Case {
        size_t size, classSize;
    } cases[] = {{0, 64},      {1, 64},      {64, 64},       {65, 128},      {200, 256},     {1000, 1024},
                 {1024, 1024}, {1025, 2048}, {65535, 65536}, {65536, 65536}, {65537, 65537}, {1 << 20, 1 << 20}};
    BlockPool pool;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(BlockPool::ClassSize(c.size), c.classSize);
        void* block = pool.Allocate(c.size);
        ASSERT_NE(block, nullptr);
        const size_t alignment = c.classSize >= 256 ? 64 : alignof(std::max_align_t);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignment, 0u);
        memset(block, 0xA5, c.size); // the whole size is ours (the address sanitizer checks)
        pool.Free(block);
    }
    // Large blocks went straight back; each class's one block stays, reused
    // by the next size of the class.
    EXPECT_EQ(pool.systemAllocations() - pool.systemFrees(), 6u);
    pool.Free(nullptr);
}

// A key frame's block is freed on the writer, and the raising thread's next
// key frame of the same size must fit the memory it leaves; where it does not
// (posix_memalign asks the heap for more than it keeps), the heap grows into
// fresh pages for every such event, a page fault per 4 KiB on the raising
// thread.
TEST(BlockPool, ALargeBlockFreedOnAnotherThreadIsReusedByTheNextOfItsSize)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator holds freed memory back";
#endif
    BlockPool pool;
    int reused = 0;
    std::thread([&] {
        for (int i = 0; i < 20; ++i) {
            void* block = pool.Allocate(150 * KiB);
            void* next = pool.Allocate(150 * KiB); // keeps the block off the top of the heap
            const auto address = reinterpret_cast<uintptr_t>(block);
            std::thread([&] { pool.Free(block); }).join();
            void* again = pool.Allocate(150 * KiB);
            reused += reinterpret_cast<uintptr_t>(again) == address;
            pool.Free(again);
            pool.Free(next);
        }
    }).join();
    EXPECT_GE(reused, 15);
}

TEST(BlockPool, ReusesTheLastFreedBlockOfItsClassWithoutTheSystem)
{
    BlockPool pool;
    std::vector<void*> blocks;
    for (int i = 0; i < 200; ++i)
        blocks.push_back(pool.Allocate(1000));
    for (void* block : blocks)
        pool.Free(block);
    const uint64_t taken = pool.systemAllocations();
    blocks[0] = pool.Allocate(1024);
    EXPECT_EQ(blocks[0], blocks.back()); // last in, first out
    for (int i = 1; i < 200; ++i)
        blocks[static_cast<size_t>(i)] = pool.Allocate(513 + static_cast<size_t>(i)); // same class
    EXPECT_EQ(pool.systemAllocations(), taken);
    void* other = pool.Allocate(2048); // another class, another block
    EXPECT_EQ(pool.systemAllocations(), taken + 1);
    pool.Free(other);
    for (void* block : blocks)
        pool.Free(block);
}

TEST(BlockPool, KeepsNoMoreIdleBytesThanItsCap)
{
    constexpr size_t kCap = 64 * KiB;
    BlockPool pool(kCap);
    FreedByAnotherThread(pool, KiB, 200);
    FreedByAnotherThread(pool, 16 * KiB, 20);
    EXPECT_LE(pool.storedBytes(), kCap);
    EXPECT_GT(pool.storedBytes(), 0u);
    // Everything over the cap went back to the system on the freeing thread.
    EXPECT_EQ(pool.systemAllocations() - pool.systemFrees(), pool.storedBytes() / KiB);
}

TEST(BlockPool, GivesBackWhatAClassLeftUnusedForAPeriod)
{
    BlockPool pool;
    FreedByAnotherThread(pool, KiB, 256); // four magazines of 64 in the store
    FreedByAnotherThread(pool, 64 * KiB, 8);
    ASSERT_EQ(pool.storedBytes(), 256 * KiB + 8 * 64 * KiB);
    EXPECT_EQ(pool.ReleaseUnused(), 0u); // the first period starts here
    // One magazine of 1 KiB blocks is taken during this period (and comes
    // back at the thread's end): three magazines were never needed.
    FreedByAnotherThread(pool, KiB, 1);
    EXPECT_EQ(pool.ReleaseUnused(), 192 * KiB + 8 * 64 * KiB);
    EXPECT_EQ(pool.storedBytes(), 64 * KiB);
    EXPECT_EQ(pool.ReleaseUnused(), 64 * KiB); // idle for a whole period now
    EXPECT_EQ(pool.storedBytes(), 0u);
    EXPECT_EQ(pool.systemAllocations(), pool.systemFrees());
}

TEST(BlockPool, DrainGivesBackTheStoreAndEachThreadsMagazines)
{
    BlockPool pool;
    FreedByAnotherThread(pool, 4 * KiB, 100);
    std::vector<void*> blocks;
    for (int i = 0; i < 10; ++i)
        blocks.push_back(pool.Allocate(4 * KiB));
    void* kept = blocks.back();
    blocks.pop_back();
    for (void* block : blocks)
        pool.Free(block); // nine in this thread's magazine
    EXPECT_GT(pool.Drain(), 0u);
    EXPECT_EQ(pool.storedBytes(), 0u);
    // This thread's magazine goes at its next call: only `kept` is left.
    pool.Free(kept);
    EXPECT_EQ(pool.systemAllocations() - pool.systemFrees(), 1u);
    EXPECT_EQ(pool.Allocate(4 * KiB), kept);
    pool.Free(kept);
}

// Producers allocate and fill blocks of every class, one consumer checks and
// frees them, while the period's release and drains run beside them: every
// block arrives intact (none handed out twice) and none is lost.
// A plugin's pthread-key destructor may raise an event after the thread's
// C++ thread-locals are gone: its blocks go to the system and back, and the
// pool stays usable by the threads after it.
TEST(BlockPool, AThreadPastItsEndUsesTheSystem)
{
    BlockPool pool;
    static BlockPool* keyPool;
    keyPool = &pool;
    pthread_key_t key;
    ASSERT_EQ(pthread_key_create(&key,
                                 [](void*) {
                                     void* block = keyPool->Allocate(100);
                                     ASSERT_NE(block, nullptr);
                                     memset(block, 1, 100);
                                     keyPool->Free(block);
                                 }),
              0);
    std::thread([&] {
        pool.Free(pool.Allocate(100)); // binds this thread's cache
        pthread_setspecific(key, &pool);
    }).join();
    pthread_key_delete(key);
    FreedByAnotherThread(pool, 100, 100);
    pool.Drain();
    EXPECT_EQ(pool.systemAllocations(), pool.systemFrees()); // no block stayed with the ended thread
}

TEST(BlockPool, ManyProducersOneFreeingThread)
{
    constexpr int kProducers = 4;
    constexpr int kBlocksEach = 3000;
    BlockPool pool(256 * KiB);
    std::mutex mutex;
    std::deque<std::pair<unsigned char*, size_t>> queue;
    std::atomic<int> producing{kProducers};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < kBlocksEach; ++i) {
                const size_t size = (size_t{37} * static_cast<size_t>(i + p)) % (70 * KiB) + 1;
                auto* block = static_cast<unsigned char*>(pool.Allocate(size));
                if (!block) {
                    ADD_FAILURE();
                    break;
                }
                memset(block, static_cast<int>(size & 0xFF), size);
                std::lock_guard lock(mutex);
                queue.emplace_back(block, size);
            }
            --producing;
        });
    std::atomic<bool> done{false};
    threads.emplace_back([&] {
        for (int round = 0; !done; ++round) {
            round % 16 ? pool.ReleaseUnused() : pool.Drain();
            std::this_thread::yield();
        }
    });
    size_t checked = 0;
    for (;;) {
        std::pair<unsigned char*, size_t> item{nullptr, 0};
        bool finished = false;
        {
            std::lock_guard lock(mutex);
            if (!queue.empty()) {
                item = queue.front();
                queue.pop_front();
            }
            finished = !item.first && producing == 0 && queue.empty();
        }
        if (finished)
            break;
        if (!item.first) {
            std::this_thread::yield();
            continue;
        }
        const unsigned char expected = static_cast<unsigned char>(item.second & 0xFF);
        ASSERT_EQ(item.first[0], expected);
        ASSERT_EQ(item.first[item.second - 1], expected);
        pool.Free(item.first);
        ++checked;
    }
    done = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(checked, size_t{kProducers} * kBlocksEach);
    EXPECT_LE(pool.storedBytes(), 256 * KiB);
    pool.Drain();
    void* last = pool.Allocate(1); // this thread's magazines go back at its next call
    EXPECT_EQ(pool.systemAllocations() - pool.systemFrees(), 1u);
    pool.Free(last);
}

} // namespace
