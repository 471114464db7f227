// The inbox's two stores: the overflow queue (order across growth and
// compaction, failed mappings, no allocation in steady state) and the ring in
// front of it (claim order, a full ring, the wrap of its positions). The
// writer swaps the overflow queue out whole; the writer's order test proves
// nothing is lost in the move.
#include "events/event_queue.h"
#include "events/event_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "support/allocation_counter.h"

// The ring's storage is mapped rather than allocated: its mappings count and
// fail the same way.
namespace {
void* TestMapper(size_t bytes);
const EventQueue::StorageMapper kRealMapper = std::exchange(EventQueue::mapStorage, &TestMapper);
void* TestMapper(size_t bytes)
{
    return dvrtest::NoteAllocation() ? kRealMapper(bytes) : nullptr;
}
} // namespace

namespace {

// Every byte depends on the tag, so a record copied from the wrong slot or
// only partly copied shows up.
_EventParmsIn MakeEvent(uint32_t tag)
{
    _EventParmsIn e;
    auto* bytes = reinterpret_cast<unsigned char*>(&e);
    for (size_t i = 0; i < sizeof(e); ++i) {
        bytes[i] = static_cast<unsigned char>(tag * 131 + i * 7 + (tag >> 8));
    }
    e.structSize = sizeof(e);
    e.version = DVR_RECORD_VERSION;
    e.requestID = tag;
    e.data = reinterpret_cast<void*>(uintptr_t{0x1000} + tag); // never dereferenced
    return e;
}

::testing::AssertionResult PopsTag(EventQueue& q, uint32_t tag)
{
    if (q.empty()) {
        return ::testing::AssertionFailure() << "queue empty, expected " << tag;
    }
    _EventParmsIn got = q.pop_front();
    _EventParmsIn want = MakeEvent(tag);
    if (std::memcmp(&got, &want, sizeof(got)) != 0) {
        return ::testing::AssertionFailure() << "expected record " << tag << ", got requestID " << got.requestID;
    }
    return ::testing::AssertionSuccess();
}

bool IsPowerOfTwo(size_t n)
{
    return n != 0 && (n & (n - 1)) == 0;
}

TEST(EventQueue, FifoAcrossGrowth)
{
    EventQueue q;
    EXPECT_TRUE(q.empty());
    EXPECT_FALSE(q.Compact());
    for (uint32_t i = 0; i < 1000; ++i) {
        q.push_back(MakeEvent(i));
        ASSERT_EQ(q.size(), i + 1);
        ASSERT_TRUE(IsPowerOfTwo(q.capacity()));
        ASSERT_GE(q.capacity(), q.size());
    }
    EXPECT_EQ(q.capacity(), 1024u);
    for (uint32_t i = 0; i < 1000; ++i) {
        ASSERT_TRUE(PopsTag(q, i));
    }
    EXPECT_TRUE(q.empty());
}

TEST(EventQueue, GrowsWhileWrapped)
{
    EventQueue q;
    uint32_t nextIn = 0;
    uint32_t nextOut = 0;
    for (; nextIn < 50; ++nextIn) {
        q.push_back(MakeEvent(nextIn));
    }
    for (; nextOut < 40; ++nextOut) {
        ASSERT_TRUE(PopsTag(q, nextOut));
    }
    // The front sits at slot 40; filling to 64 wraps, the next push doubles.
    for (; nextIn < 50 + 54; ++nextIn) {
        q.push_back(MakeEvent(nextIn));
    }
    EXPECT_EQ(q.size(), 64u);
    EXPECT_EQ(q.capacity(), 64u);
    q.push_back(MakeEvent(nextIn++));
    EXPECT_EQ(q.capacity(), 128u);
    // Keep the ring turning over at steady size.
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(PopsTag(q, nextOut++));
        q.push_back(MakeEvent(nextIn++));
    }
    EXPECT_EQ(q.capacity(), 128u);
    while (nextOut < nextIn) {
        ASSERT_TRUE(PopsTag(q, nextOut++));
    }
    EXPECT_TRUE(q.empty());
}

TEST(EventQueue, CompactShrinksAndKeepsOrder)
{
    EventQueue q;
    uint32_t nextIn = 0;
    uint32_t nextOut = 0;
    for (; nextIn < 1000; ++nextIn) {
        q.push_back(MakeEvent(nextIn));
    }
    for (; nextOut < 960; ++nextOut) {
        ASSERT_TRUE(PopsTag(q, nextOut));
    }
    // Wrap the remaining records around the end of the storage.
    for (; nextIn < 1060; ++nextIn) {
        q.push_back(MakeEvent(nextIn));
    }
    ASSERT_EQ(q.capacity(), 1024u);
    ASSERT_EQ(q.size(), 100u);
    EXPECT_TRUE(q.Compact());
    EXPECT_EQ(q.capacity(), 128u);
    EXPECT_EQ(q.size(), 100u);
    EXPECT_FALSE(q.Compact()); // 100 records do not fit in 64
    EXPECT_EQ(q.capacity(), 128u);

    q.push_back(MakeEvent(nextIn++));
    while (nextOut < nextIn) {
        ASSERT_TRUE(PopsTag(q, nextOut++));
    }
    EXPECT_TRUE(q.Compact());
    EXPECT_EQ(q.capacity(), EventQueue::kMinCapacity);
    EXPECT_FALSE(q.Compact());

    // Still a working queue after shrinking to the minimum.
    for (uint32_t i = 0; i < 200; ++i) {
        q.push_back(MakeEvent(i));
    }
    for (uint32_t i = 0; i < 200; ++i) {
        ASSERT_TRUE(PopsTag(q, i));
    }
}

TEST(EventQueue, CompactNeedsHalfFree)
{
    EventQueue q;
    for (uint32_t i = 0; i < 1024; ++i) {
        q.push_back(MakeEvent(i));
    }
    ASSERT_EQ(q.capacity(), 1024u);
    for (uint32_t i = 0; i < 511; ++i) {
        ASSERT_TRUE(PopsTag(q, i));
    }
    ASSERT_EQ(q.size(), 513u);
    EXPECT_FALSE(q.Compact());
    EXPECT_EQ(q.capacity(), 1024u);

    ASSERT_TRUE(PopsTag(q, 511));
    ASSERT_EQ(q.size(), 512u);
    EXPECT_TRUE(q.Compact());
    EXPECT_EQ(q.capacity(), 512u);
    for (uint32_t i = 512; i < 1024; ++i) {
        ASSERT_TRUE(PopsTag(q, i));
    }
}

// Storage that cannot be had, to shrink or to grow, leaves the records as they were.
TEST(EventQueue, AFailedMappingKeepsEveryRecord)
{
    EventQueue q;
    for (uint32_t i = 0; i < 300; ++i) {
        q.push_back(MakeEvent(i));
    }
    for (uint32_t i = 0; i < 290; ++i) {
        ASSERT_TRUE(PopsTag(q, i));
    }
    dvrtest::FailNextAllocation();
    EXPECT_FALSE(q.Compact());
    dvrtest::FailNextAllocation(false);
    EXPECT_EQ(q.capacity(), 512u);
    ASSERT_EQ(q.size(), 10u);
    for (uint32_t i = 300; i < 300 + 502; ++i) {
        q.push_back(MakeEvent(i));
    }
    ASSERT_EQ(q.size(), q.capacity());
    dvrtest::FailNextAllocation();
    EXPECT_THROW(q.push_back(MakeEvent(9999)), std::bad_alloc);
    dvrtest::FailNextAllocation(false);
    EXPECT_EQ(q.size(), 512u);
    for (uint32_t i = 290; i < 300 + 502; ++i) {
        ASSERT_TRUE(PopsTag(q, i));
    }
}

TEST(EventQueue, SteadyStateDoesNotAllocate)
{
    EventQueue q;
    for (uint32_t i = 0; i < 200; ++i) {
        q.push_back(MakeEvent(i));
    }
    for (uint32_t i = 0; i < 200; ++i) {
        q.pop_front();
    }
    const _EventParmsIn e = MakeEvent(1);
    dvrtest::AllocationCounter allocations;
    for (int round = 0; round < 1000; ++round) {
        for (int i = 0; i < 150; ++i) {
            q.push_back(e);
        }
        while (!q.empty()) {
            q.pop_front();
        }
    }
    EXPECT_EQ(allocations.Stop(), 0u);
}

// --- the ring in front of it ----------------------------------------------

_EventParmsIn Tagged(uint32_t sequence)
{
    _EventParmsIn e{};
    e.eventType = sequence;
    e.payload.bytes[sizeof e.payload.bytes - 1] = static_cast<uint8_t>(sequence);
    return e;
}

TEST(EventRing, ComesOutInClaimOrderWhenFullUntilTakenAndPastTheWrap)
{
    // Positions wrap past 2^32 in the second lap.
    constexpr uint32_t kFirst = UINT32_MAX - EventRing::kSlots - 100;
    EventRing ring(kFirst);
    _EventParmsIn out;
    uint32_t taken = kFirst;
    uint32_t position;
    for (uint32_t round = 0; round < 3; ++round) {
        for (uint32_t i = 0; i < EventRing::kSlots; ++i) {
            ASSERT_TRUE(ring.Claim(position));
            ring.Publish(position, Tagged(position));
        }
        EXPECT_FALSE(ring.Claim(position)) << "every slot holds a record not yet taken";
        EXPECT_EQ(ring.Pending(), EventRing::kSlots);
        while (ring.TryTake(out)) {
            EXPECT_EQ(out.eventType, taken);
            EXPECT_EQ(out.payload.bytes[sizeof out.payload.bytes - 1], static_cast<uint8_t>(taken));
            ++taken;
        }
        EXPECT_EQ(taken, kFirst + (round + 1) * EventRing::kSlots);
    }

    // A claimed slot not yet filled holds back the one claimed after it.
    uint32_t first, second;
    ASSERT_TRUE(ring.Claim(first));
    ASSERT_TRUE(ring.Claim(second));
    ring.Publish(second, Tagged(2));
    EXPECT_FALSE(ring.Ready());
    EXPECT_FALSE(ring.TryTake(out));
    ring.Publish(first, Tagged(1));
    ASSERT_TRUE(ring.TryTake(out));
    EXPECT_EQ(out.eventType, 1u);
    ASSERT_TRUE(ring.TryTake(out));
    EXPECT_EQ(out.eventType, 2u);
    EXPECT_EQ(ring.Pending(), 0u);
}

} // namespace
