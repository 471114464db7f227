#include "events/event_ring.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

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
