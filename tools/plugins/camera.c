/*
 * camera.c - demo plugin: a fake camera that raises video frames.
 *
 * Shows how a plugin produces events from a thread of its own. Load sets
 * workerEnabled, so the core calls IOCTL(IOCTL_WORKER) once on a thread it
 * creates; the plugin's loop lives inside that call. The loop must end once
 * Close has been called: the core joins the thread before Unload and then
 * unmaps the library.
 */
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "dvrplugin.h"

#define CAMERA_ID 0x00100000u
#define FRAMES_PER_SECOND 10
#define KEY_FRAME_INTERVAL 25 /* one key frame, then 24 dependent ones */
#define FRAME_BYTES 256

static DvrEventFunction raise_event; /* FlatPluginEvent, handed over in Load */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake; /* on the monotonic clock, made in Load */
static int closing;         /* set by Close, under lock */

static void log_line(int32_t level, const char* text)
{
    DvrRaiseLogLine(raise_event, CAMERA_ID, level, text); /* the core copies the text */
}

/* Raises one frame; returns the core's verdict (EVENT_RESULT_*). */
static int32_t raise_frame(uint32_t number, int keyFrame)
{
    unsigned char frame[FRAME_BYTES];
    _EventParmsIn event;
    _EventParmsOut out;

    memset(frame, keyFrame ? 0xAA : 0x55, sizeof frame);
    snprintf((char*)frame, sizeof frame, "frame %u", (unsigned)number);
    DvrInitEvent(&event, &out, CAMERA_ID, EVENT_TYPE_MEDIA, EVENT_FLAG_BIT_VIDEO);
    event.dataSize = sizeof frame;
    event.data = frame; /* copied by the core: the stack buffer may go */
    event.payload.video.keyFrame = keyFrame ? 1 : 0;
    raise_event(&event, &out);
    return out.result;
}

/* The worker loop: one frame per period until Close. */
static void stream(void)
{
    const long periodNs = 1000000000L / FRAMES_PER_SECOND;
    struct timespec next;
    uint32_t number = 0, sent = 0;
    int needKeyFrame = 1;
    char text[64];

    log_line(LEVEL_INFO, "camera: streaming");
    clock_gettime(CLOCK_MONOTONIC, &next);
    pthread_mutex_lock(&lock);
    while (!closing) {
        int keyFrame;
        pthread_mutex_unlock(&lock); /* never hold a lock of ours across a core call */
        keyFrame = needKeyFrame || number % KEY_FRAME_INTERVAL == 0;
        /* A refused frame (throttled, expired) drops the stream: the core
         * admits it again only from a key frame on. */
        needKeyFrame = raise_frame(number++, keyFrame) != EVENT_RESULT_OK;
        sent += !needKeyFrame;
        pthread_mutex_lock(&lock);

        next.tv_nsec += periodNs;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        while (!closing && pthread_cond_timedwait(&wake, &lock, &next) != ETIMEDOUT) {
        }
    }
    pthread_mutex_unlock(&lock);
    snprintf(text, sizeof text, "camera: stopped after %u frames", (unsigned)sent);
    log_line(LEVEL_INFO, text);
}

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    pthread_condattr_t attributes;
    raise_event = in->eventFunction;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wake, &attributes);
    pthread_condattr_destroy(&attributes);

    out->systemID = CAMERA_ID;
    out->workerEnabled = 1; /* the core calls IOCTL(IOCTL_WORKER) on a thread of its own */
    return 0;
}

int32_t IOCTL(_IoctlParmsIn* in, _IoctlParmsOut* out)
{
    (void)out;
    if (in->request == IOCTL_WORKER)
        stream();
    return 0; /* configuration and supervisor requests: nothing to do */
}

int32_t Close(_CloseParmsIn* in, _CloseParmsOut* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    closing = 1;
    pthread_cond_signal(&wake);
    pthread_mutex_unlock(&lock);
    return 0;
}

int32_t Unload(_UnloadParmsIn* in, _UnloadParmsOut* out)
{
    (void)in;
    (void)out;
    pthread_cond_destroy(&wake); /* the worker has been joined by now */
    return 0;
}
