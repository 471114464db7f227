/* Exports Load alone, yet asks for a worker, a reader and Write delivery of
 * log lines: the core must not call any entry point it lacks. */
#include <string.h>

#include "dvrplugin.h"

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    static const char text[] = "bare: loaded without other entry points";
    _EventParmsIn event;
    _EventParmsOut result = {sizeof result, DVR_RECORD_VERSION, 0};

    out->systemID = 0x00530000u;
    out->eventMasks[DVR_EVENT_MASK_INDEX_LOG] = DVR_ROUTING_CLASS(EVENT_FLAGS_LOG_LINE);
    out->workerEnabled = 1;
    out->readEnabled = 1;
    out->writeEnabled = 1;

    memset(&event, 0, sizeof event);
    event.structSize = sizeof event;
    event.version = DVR_RECORD_VERSION;
    event.dataSize = sizeof text;
    event.data = (void*)text;
    event.providerID = out->systemID;
    event.eventType = EVENT_TYPE_LOG;
    event.eventFlags = EVENT_FLAGS_LOG_LINE;
    event.payload.log.logLevel = LEVEL_INFO;
    in->eventFunction(&event, &result);
    return 0;
}
