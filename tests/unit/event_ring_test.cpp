#include "events/event_ring.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace {

_EventParmsIn Tagged(uint32_t producer, uint32_t sequence)
{
    _EventParmsIn e{};
    e.providerID = producer;
    e.eventType = sequence;
    e.payload.bytes[sizeof e.payload.bytes - 1] = static_cast<uint8_t>(sequence);
    return e;
}

TEST(EventRing, ComesOutInClaimOrderWhenFullUntilTakenAndPastTheWrap)
{
    EventRing ring;
    _EventParmsIn out;
    uint32_t taken = 0;
    uint32_t position;
    for (uint32_t round = 0; round < 3; ++round) {
        for (uint32_t i = 0; i < EventRing::kSlots; ++i) {
            ASSERT_TRUE(ring.Claim(position));
            ring.Publish(position, Tagged(0, position));
        }
        EXPECT_FALSE(ring.Claim(position)) << "every slot holds a record not yet taken";
        EXPECT_EQ(ring.Pending(), EventRing::kSlots);
        while (ring.TryTake(out)) {
            EXPECT_EQ(out.eventType, taken);
            EXPECT_EQ(out.payload.bytes[sizeof out.payload.bytes - 1], static_cast<uint8_t>(taken));
            ++taken;
        }
        EXPECT_EQ(taken, (round + 1) * EventRing::kSlots);
    }

    // A claimed slot not yet filled holds back the one claimed after it.
    uint32_t first, second;
    ASSERT_TRUE(ring.Claim(first));
    ASSERT_TRUE(ring.Claim(second));
    ring.Publish(second, Tagged(0, 2));
    EXPECT_FALSE(ring.Ready());
    EXPECT_FALSE(ring.TryTake(out));
    ring.Publish(first, Tagged(0, 1));
    ASSERT_TRUE(ring.TryTake(out));
    EXPECT_EQ(out.eventType, 1u);
    ASSERT_TRUE(ring.TryTake(out));
    EXPECT_EQ(out.eventType, 2u);
    EXPECT_EQ(ring.Pending(), 0u);
}

// Raisers claim under a lock and fill their slots outside it while one taker
// drains the ring: each raiser's records arrive whole, all of them, in order.
TEST(EventRing, ManyRaisersAndOneTakerLoseAndReorderNothing)
{
    constexpr uint32_t kRaisers = 4, kEach = 20000;
    EventRing ring;
    std::mutex claims;
    std::vector<std::thread> raisers;
    for (uint32_t r = 0; r < kRaisers; ++r)
        raisers.emplace_back([&, r] {
            for (uint32_t i = 0; i < kEach;) {
                uint32_t position;
                bool claimed;
                {
                    std::lock_guard lock(claims);
                    claimed = ring.Claim(position);
                }
                if (!claimed) {
                    std::this_thread::yield();
                    continue;
                }
                ring.Publish(position, Tagged(r, i++));
            }
        });
    std::vector<uint32_t> next(kRaisers, 0);
    _EventParmsIn out;
    for (uint32_t total = 0; total < kRaisers * kEach;) {
        if (!ring.TryTake(out)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_LT(out.providerID, kRaisers);
        ASSERT_EQ(out.eventType, next[out.providerID]++);
        ASSERT_EQ(out.payload.bytes[sizeof out.payload.bytes - 1], static_cast<uint8_t>(out.eventType));
        ++total;
    }
    for (std::thread& raiser : raisers)
        raiser.join();
    EXPECT_FALSE(ring.TryTake(out));
}

} // namespace
