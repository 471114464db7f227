/* Keeps every block it receives and gives back only the first, when the
 * second arrives: whatever it holds at Close is a leak. Also keeps the
 * configuration documents it is sent, and echoes every supervisor packet back
 * to the supervisor. */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "dvrplugin.h"

#define LEAKY_ID 0x00540000u

static DvrEventFunction raise_event;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static void* first;
static unsigned writes;

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    raise_event = in->eventFunction;
    out->systemID = LEAKY_ID;
    out->eventMasks[DVR_EVENT_MASK_INDEX_MEDIA] = 0xFFFFFFFFu;
    out->writeEnabled = 1;
    return 0;
}

int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out)
{
    void* release = NULL;
    unsigned count;
    if (!in->data)
        return 0;
    out->retain = 1;
    pthread_mutex_lock(&lock);
    count = ++writes;
    if (count == 1)
        first = in->data;
    else if (count == 2)
        release = first;
    pthread_mutex_unlock(&lock);
    if (count == 1)
        DvrRaiseLogLine(raise_event, LEAKY_ID, LEVEL_INFO, "leaky: keeping blocks");
    if (release) {
        _EventParmsIn event;
        _EventParmsOut result;
        DvrInitEvent(&event, &result, LEAKY_ID, EVENT_TYPE_RELEASE, 0);
        event.data = release;
        raise_event(&event, &result);
    }
    return 0;
}

int32_t IOCTL(_IoctlParmsIn* in, _IoctlParmsOut* out)
{
    if (in->request == IOCTL_CONFIG) {
        out->retain = 1;
    } else if (in->request == IOCTL_SUPERVISOR && in->data) {
        _EventParmsIn event;
        _EventParmsOut result;
        void* copy = malloc(in->dataSize);
        if (!copy)
            return -1;
        memcpy(copy, in->data, in->dataSize);
        DvrInitEvent(&event, &result, LEAKY_ID, EVENT_TYPE_SUPERVISOR, 0);
        event.data = copy; /* the core takes it over */
        event.dataSize = in->dataSize;
        raise_event(&event, &result);
    }
    return 0;
}

int32_t Close(_CloseParmsIn* in, _CloseParmsOut* out)
{
    (void)in;
    (void)out;
    return 0;
}
