// Matching an event against a plugin's subscription masks.
#pragma once

#include <cstdint>
#include <string>

#include "dvrplugin.h"

// The eventType bit each entry of eventMasks belongs to.
inline constexpr uint32_t kSubscribableTypes[DVR_EVENT_MASK_COUNT] = {
    EVENT_TYPE_MEDIA, EVENT_TYPE_0002, EVENT_TYPE_STATUS, EVENT_TYPE_0008, EVENT_TYPE_0010,
    EVENT_TYPE_0020,  EVENT_TYPE_LOG,  EVENT_TYPE_0080,   EVENT_TYPE_0400};

// True when, for a subscribable bit set in eventType, the plugin's mask for it
// holds every bit of the routing class.
inline bool Subscribed(const _LoadParmsOut& info, uint32_t eventType, uint32_t routingClass)
{
    for (int i = 0; i < DVR_EVENT_MASK_COUNT; ++i)
        if ((eventType & kSubscribableTypes[i]) && (info.eventMasks[i] & routingClass) == routingClass)
            return true;
    return false;
}

// A count grouped in threes through the named locale ("en_US.UTF-8" groups
// 1234567 as 1,234,567); plain digits where that locale does not exist.
std::string FormatCount(uint32_t count, const char* localeName = "en_US.UTF-8");
