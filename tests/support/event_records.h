// Event records as a plugin would fill them, for tests that raise events.
#pragma once

#include <cstdint>
#include <cstring>

#include "dvrplugin.h"

namespace dvrtest {

// A zeroed _EventParmsIn with its size, version, source, type and flags set.
inline _EventParmsIn MakeEvent(uint32_t provider, uint32_t type, uint32_t flags = 0)
{
    _EventParmsIn event;
    memset(&event, 0, sizeof event);
    event.structSize = sizeof event;
    event.version = DVR_RECORD_VERSION;
    event.providerID = provider;
    event.eventType = type;
    event.eventFlags = flags;
    return event;
}

} // namespace dvrtest
