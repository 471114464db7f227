/*
 * hello.c - a first plugin: counts the video frames it receives and says so
 * in the core's log. Built outside the core's tree against the installed SDK.
 */
#include <stdio.h>

#include "dvrplugin.h"

#define HELLO_ID 0x00300000u /* moduleIndex 48: pick one no other plugin uses */

static DvrEventFunction raise_event;
static unsigned frames; /* Write runs on the core's one writer thread */

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    raise_event = in->eventFunction;
    out->systemID = HELLO_ID;
    /* A mask holds routing classes: shift the flag bit with DVR_ROUTING_CLASS. */
    out->eventMasks[DVR_EVENT_MASK_INDEX_MEDIA] = DVR_ROUTING_CLASS(EVENT_FLAG_BIT_VIDEO);
    out->writeEnabled = 1; /* without it the masks are never consulted */
    out->logLevelDefault = LEVEL_INFO;
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn* in, _OpenParmsOut* out)
{
    (void)in;
    (void)out;
    DvrRaiseLogLine(raise_event, HELLO_ID, LEVEL_INFO, "hello: open");
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out)
{
    (void)out; /* retain stays 0: the core frees the frame after this call */
    if ((in->eventType & EVENT_TYPE_MEDIA) && (in->eventFlags & EVENT_FLAG_BIT_VIDEO))
        ++frames;
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn* in, _CloseParmsOut* out)
{
    char text[64];
    (void)in;
    (void)out;
    snprintf(text, sizeof text, "hello: %u frames", frames);
    DvrRaiseLogLine(raise_event, HELLO_ID, LEVEL_INFO, text);
    return 0;
}
