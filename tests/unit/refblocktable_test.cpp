#include "events/refblocktable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "support/allocation_counter.h"

namespace {

// The table never dereferences blocks, so fabricated addresses are fine and
// give exact report text. Spaced like malloc results (shared low bits).
void* FakeBlock(uintptr_t index)
{
    return reinterpret_cast<void*>(0x10000 + index * 32);
}

TEST(RefBlockTable, NullBlockIsIgnored)
{
    RefBlockTable t;
    t.AddRef(nullptr, 100, 1);
    EXPECT_EQ(t.blockCount(), 0u);
    EXPECT_EQ(t.byteCount(), 0u);
    EXPECT_TRUE(t.Release(nullptr, 1));
    EXPECT_EQ(t.TakeLeakReport(), "");
}

TEST(RefBlockTable, CountsReturnAfterAddReleaseCycles)
{
    RefBlockTable t;
    t.AddRef(FakeBlock(1), 10, 7);
    for (int cycle = 0; cycle < 3; ++cycle) {
        t.AddRef(FakeBlock(2), 20, 7);
        t.AddRef(FakeBlock(3), 30, 8);
        EXPECT_EQ(t.blockCount(), 3u);
        EXPECT_EQ(t.byteCount(), 60u);
        EXPECT_TRUE(t.Release(FakeBlock(3), 8));
        EXPECT_TRUE(t.Release(FakeBlock(2), 7));
        EXPECT_EQ(t.blockCount(), 1u);
        EXPECT_EQ(t.byteCount(), 10u);
    }
}

TEST(RefBlockTable, RepeatedAddRefBySameOwnerNeedsOneRelease)
{
    RefBlockTable t;
    t.AddRef(FakeBlock(1), 64, 5);
    t.AddRef(FakeBlock(1), 64, 5);
    EXPECT_EQ(t.blockCount(), 1u);
    EXPECT_EQ(t.byteCount(), 64u);
    EXPECT_TRUE(t.Release(FakeBlock(1), 5));
    EXPECT_EQ(t.blockCount(), 0u);
    EXPECT_FALSE(t.Release(FakeBlock(1), 5));
}

TEST(RefBlockTable, SizeIsFixedByFirstAddRef)
{
    RefBlockTable t;
    t.AddRef(FakeBlock(1), 100, 1);
    t.AddRef(FakeBlock(1), 500, 2);
    EXPECT_EQ(t.byteCount(), 100u);
    EXPECT_FALSE(t.Release(FakeBlock(1), 1));
    EXPECT_EQ(t.byteCount(), 100u);
    EXPECT_TRUE(t.Release(FakeBlock(1), 2));
    EXPECT_EQ(t.byteCount(), 0u); // 100 taken off, not 500
}

TEST(RefBlockTable, ReleaseByNonHolderChangesNothing)
{
    RefBlockTable t;
    t.AddRef(FakeBlock(1), 16, 1);
    EXPECT_FALSE(t.Release(FakeBlock(1), 2));
    EXPECT_EQ(t.blockCount(), 1u);
    EXPECT_EQ(t.byteCount(), 16u);
    EXPECT_TRUE(t.Release(FakeBlock(1), 1));
}

TEST(RefBlockTable, UnknownBlockIsNeverReportedFreeable)
{
    RefBlockTable t;
    EXPECT_FALSE(t.Release(FakeBlock(9), 1));
    t.AddRef(FakeBlock(1), 16, 1);
    EXPECT_FALSE(t.Release(FakeBlock(9), 1));
    EXPECT_TRUE(t.Release(FakeBlock(1), 1));
    EXPECT_FALSE(t.Release(FakeBlock(1), 1)); // a double release must not free twice
    EXPECT_EQ(t.blockCount(), 0u);
}

TEST(RefBlockTable, LastOfTwoHoldersFrees)
{
    RefBlockTable t;
    t.AddRef(FakeBlock(1), 8, 1);
    t.AddRef(FakeBlock(1), 8, 2);
    EXPECT_FALSE(t.Release(FakeBlock(1), 2));
    EXPECT_TRUE(t.Release(FakeBlock(1), 1));
}

TEST(RefBlockTable, MoreThanInlineOwners)
{
    RefBlockTable t;
    void* b = FakeBlock(1);
    for (uint32_t owner = 1; owner <= 10; ++owner) {
        t.AddRef(b, 40, owner);
    }
    t.AddRef(b, 40, 9); // already held, in the overflow part
    t.AddRef(b, 40, 2); // already held, inline
    EXPECT_EQ(t.blockCount(), 1u);
    EXPECT_EQ(t.byteCount(), 40u);

    for (uint32_t owner : {1u, 7u, 10u, 3u, 5u}) {
        EXPECT_FALSE(t.Release(b, owner)) << owner;
    }
    EXPECT_FALSE(t.Release(b, 7)); // already gone
    // Remaining owners keep their order across the inline/overflow boundary.
    t.AddRef(FakeBlock(2), 1, 0xabc);
    EXPECT_EQ(t.TakeLeakReport(), "address 0x10020 leaked by plugins [2,4,6,8,9]\n"
                                  "address 0x10040 leaked by plugins [abc]\n");

    t.AddRef(b, 40, 1);
    for (uint32_t owner = 2; owner <= 12; ++owner) {
        t.AddRef(b, 40, owner);
    }
    for (uint32_t owner = 12; owner >= 2; --owner) {
        EXPECT_FALSE(t.Release(b, owner)) << owner;
    }
    EXPECT_TRUE(t.Release(b, 1));
    EXPECT_EQ(t.blockCount(), 0u);
}

TEST(RefBlockTable, LeakReportFormatAndEmptiesTable)
{
    RefBlockTable t;
    void* a = reinterpret_cast<void*>(uintptr_t{0x1a2b3c});
    void* b = reinterpret_cast<void*>(uintptr_t{0xdeadbee0});
    t.AddRef(b, 3, 0x80000000u); // the core's own ID
    t.AddRef(a, 100, 0x50000);
    t.AddRef(a, 100, 0x60000);
    t.AddRef(b, 3, 0x60000);
    using Held = std::vector<RefBlockTable::HeldBlock>;
    EXPECT_EQ(t.HeldBy(0x60000), (Held{{a, 100}, {b, 3}})) << "in address order, and kept";
    EXPECT_EQ(t.HeldBy(0x70000), Held{});
    EXPECT_FALSE(t.Release(b, 0x60000));
    EXPECT_EQ(t.TakeLeakReport(), "address 0x1a2b3c leaked by plugins [50000,60000]\n"
                                  "address 0xdeadbee0 leaked by plugins [80000000]\n");
    EXPECT_EQ(t.blockCount(), 0u);
    EXPECT_EQ(t.byteCount(), 0u);
    EXPECT_EQ(t.TakeLeakReport(), "");
    EXPECT_FALSE(t.Release(a, 0x50000));

    // The table is usable afterwards and the old size does not linger.
    t.AddRef(a, 7, 1);
    EXPECT_EQ(t.byteCount(), 7u);
    EXPECT_TRUE(t.Release(a, 1));
}

// Random operations checked against a plain model: exercises growth, probe
// clusters and backward-shift deletion with many live entries.
TEST(RefBlockTable, ManyBlocksMatchModel)
{
    RefBlockTable t;
    std::map<void*, std::pair<uint32_t, std::set<uint32_t>>> model;
    uint64_t modelBytes = 0;
    std::mt19937 rng(12345);
    constexpr uintptr_t kBlocks = 100000;

    auto check = [&] {
        ASSERT_EQ(t.blockCount(), model.size());
        ASSERT_EQ(t.byteCount(), static_cast<uint32_t>(modelBytes));
    };

    // Fill in shuffled order.
    std::vector<uintptr_t> order(kBlocks);
    for (uintptr_t i = 0; i < kBlocks; ++i) {
        order[i] = i;
    }
    std::shuffle(order.begin(), order.end(), rng);
    for (uintptr_t i : order) {
        uint32_t size = static_cast<uint32_t>(i % 1000 + 1);
        t.AddRef(FakeBlock(i), size, 1);
        model[FakeBlock(i)] = {size, {1}};
        modelBytes += size;
    }
    check();

    // Mixed adds and releases on a shrinking and regrowing population.
    for (int step = 0; step < 400000; ++step) {
        void* b = FakeBlock(rng() % (kBlocks + 20000));
        uint32_t owner = rng() % 3 + 1;
        auto it = model.find(b);
        if (rng() % 3 == 0) {
            uint32_t size = static_cast<uint32_t>(rng() % 4096);
            t.AddRef(b, size, owner);
            if (it == model.end()) {
                model[b] = {size, {owner}};
                modelBytes += size;
            } else {
                it->second.second.insert(owner);
            }
        } else {
            // No delivery is under way: a release by a non-holder changes nothing.
            bool expectFree = false;
            if (it != model.end() && it->second.second.erase(owner) == 1 && it->second.second.empty()) {
                modelBytes -= it->second.first;
                model.erase(it);
                expectFree = true;
            }
            ASSERT_EQ(t.Release(b, owner), expectFree) << "step " << step;
        }
    }
    check();

    // Every surviving entry is still reachable and frees exactly once.
    std::vector<std::pair<void*, std::set<uint32_t>>> rest;
    for (auto& [b, v] : model) {
        rest.emplace_back(b, v.second);
    }
    std::shuffle(rest.begin(), rest.end(), rng);
    for (auto& [b, owners] : rest) {
        size_t left = owners.size();
        for (uint32_t owner : owners) {
            ASSERT_EQ(t.Release(b, owner), --left == 0);
        }
    }
    EXPECT_EQ(t.blockCount(), 0u);
    EXPECT_EQ(t.byteCount(), 0u);
    EXPECT_EQ(t.TakeLeakReport(), "");
}

TEST(RefBlockTable, AReleaseBeforeTheHoldIsRecordedCancelsIt)
{
    RefBlockTable t;
    void* b = FakeBlock(7);
    t.AddDeliveryRef(b, 100, 0x80000000u);
    t.Calling(0x50000);
    // The plugin's thread gives the block back before the writer records the
    // plugin's hold after its Write returned with the retain word set.
    EXPECT_FALSE(t.Release(b, 0x50000));
    t.AddRef(b, 100, 0x50000);
    EXPECT_TRUE(t.Release(b, 0x80000000u)); // nobody else holds it
    EXPECT_EQ(t.blockCount(), 0u);
    EXPECT_EQ(t.TakeLeakReport(), "");
}

// Releases by owners that do not hold the block, around the delivery of one
// block by the writer (core hold, then plugins called one after the other,
// each hold recorded after its call). Only the plugin being called with the
// block may give it back before its hold is recorded, and only once; every
// other such release changes nothing, so the keeper's hold stands and the
// block outlives the core's release.
TEST(RefBlockTable, OnlyThePluginBeingCalledMayReleaseBeforeItsHoldIsRecorded)
{
    constexpr uint32_t kCore = 0x80000000u, kRude = 0x20000, kKeeper = 0x30000;
    struct Case {
        const char* what;
        std::function<void(RefBlockTable&, void* block, void* old)> meddle; // before the keeper's hold
        bool keeperHolds;                                                   // after its call
    };
    const Case cases[] = {
        {"release in the keeper's name while another plugin is called",
         [](RefBlockTable& t, void* b, void*) {
             t.Calling(kRude);
             t.Release(b, kKeeper);
             t.Calling(kKeeper);
         },
         true},
        {"release in the keeper's name before any plugin is called",
         [](RefBlockTable& t, void* b, void*) {
             t.Release(b, kKeeper);
             t.Calling(kKeeper);
         },
         true},
        {"release of another block the keeper does not hold, during its call",
         [](RefBlockTable& t, void*, void* old) {
             t.Calling(kKeeper);
             t.Release(old, kKeeper);
         },
         true},
        {"the keeper's own early release, during its call",
         [](RefBlockTable& t, void* b, void*) {
             t.Calling(kKeeper);
             t.Release(b, kKeeper);
         },
         false},
        {"the keeper's early release twice: counts once",
         [](RefBlockTable& t, void* b, void*) {
             t.Calling(kKeeper);
             t.Release(b, kKeeper);
             t.Release(b, kKeeper);
         },
         false},
        {"the keeper's early release, then a stray one in the name of a plugin called before",
         [](RefBlockTable& t, void* b, void*) {
             t.Calling(kRude);
             t.Calling(kKeeper);
             t.Release(b, kKeeper);
             t.Release(b, kRude);
         },
         false},
        {"plugins called before gave it back without keeping it, then the keeper's own early release",
         [](RefBlockTable& t, void* b, void*) {
             for (uint32_t plugin = 1; plugin <= 4; ++plugin) {
                 t.Calling(plugin << 16);
                 t.Release(b, plugin << 16);
             }
             t.Calling(kKeeper);
             t.Release(b, kKeeper);
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RefBlockTable t;
        void* b = FakeBlock(1);
        void* old = FakeBlock(2); // from an earlier delivery, kept by another plugin
        t.AddRef(old, 10, 0x70000);
        t.AddDeliveryRef(b, 100, kCore);
        c.meddle(t, b, old);
        t.AddRef(b, 100, kKeeper); // the keeper returned with its retain word set
        EXPECT_EQ(t.Release(b, kCore), !c.keeperHolds);
        if (c.keeperHolds) {
            EXPECT_TRUE(t.Release(b, kKeeper));
        }
        EXPECT_FALSE(t.Release(b, kKeeper)); // gone either way: never freed twice
        EXPECT_TRUE(t.Release(old, 0x70000));
        EXPECT_EQ(t.blockCount(), 0u);
    }
}

TEST(RefBlockTable, SteadyStateDoesNotAllocate)
{
    RefBlockTable t;
    // Warm up so the table has reached its working size.
    for (uintptr_t i = 0; i < 2000; ++i) {
        t.AddRef(FakeBlock(i), 100, 1);
    }
    for (uintptr_t i = 0; i < 2000; ++i) {
        t.Release(FakeBlock(i), 1);
    }
    dvrtest::AllocationCounter allocations;
    for (uintptr_t round = 0; round < 20; ++round) {
        for (uintptr_t i = 0; i < 1000; ++i) {
            for (uint32_t owner = 1; owner <= 4; ++owner) {
                t.AddRef(FakeBlock(round * 1000 + i), 100, owner);
            }
        }
        for (uintptr_t i = 0; i < 1000; ++i) {
            for (uint32_t owner = 1; owner <= 4; ++owner) {
                t.Release(FakeBlock(round * 1000 + i), owner);
            }
        }
    }
    EXPECT_EQ(allocations.Stop(), 0u);
    EXPECT_EQ(t.blockCount(), 0u);
}

TEST(RefBlockTable, ConcurrentHoldersKeepExactCounts)
{
    RefBlockTable t;
    constexpr int kThreads = 8;
    constexpr uintptr_t kOwnBlocks = 5000;
    constexpr uintptr_t kShared = 300;
    constexpr uint32_t kSize = 24;
    std::barrier sync(kThreads + 1);
    std::atomic<int> sharedFreed{0};
    std::atomic<int> ownFreed{0};
    std::atomic<int> wrongResults{0};

    auto shared = [](uintptr_t i) { return FakeBlock(i); };
    auto own = [](int thread, uintptr_t i) {
        return FakeBlock(kShared + 1 + static_cast<uintptr_t>(thread) * kOwnBlocks + i);
    };

    std::vector<std::thread> threads;
    for (int th = 0; th < kThreads; ++th) {
        threads.emplace_back([&, th] {
            const uint32_t owner = 0x10000u * static_cast<uint32_t>(th + 1);
            for (uintptr_t i = 0; i < kOwnBlocks; ++i) {
                t.AddRef(own(th, i), kSize, owner);
                if (i < kShared) {
                    t.AddRef(shared(i), kSize, owner);
                }
                // Churn a private block to force interleaved deletions.
                t.AddRef(own(th, i), kSize, owner + 1);
                if (t.Release(own(th, i), owner + 1)) {
                    ++wrongResults;
                }
            }
            sync.arrive_and_wait(); // all references in place
            sync.arrive_and_wait(); // counts checked
            for (uintptr_t i = 0; i < kOwnBlocks; ++i) {
                if (t.Release(own(th, i), owner)) {
                    ++ownFreed;
                } else {
                    ++wrongResults;
                }
                if (i < kShared && t.Release(shared(i), owner)) {
                    ++sharedFreed;
                }
            }
        });
    }
    sync.arrive_and_wait();
    EXPECT_EQ(t.blockCount(), kThreads * kOwnBlocks + kShared);
    EXPECT_EQ(t.byteCount(), (kThreads * kOwnBlocks + kShared) * kSize);
    sync.arrive_and_wait();
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(wrongResults.load(), 0);
    EXPECT_EQ(ownFreed.load(), static_cast<int>(kThreads * kOwnBlocks));
    EXPECT_EQ(sharedFreed.load(), static_cast<int>(kShared)); // exactly one last holder each
    EXPECT_EQ(t.blockCount(), 0u);
    EXPECT_EQ(t.byteCount(), 0u);
}

} // namespace
