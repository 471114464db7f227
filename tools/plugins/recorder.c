/*
 * recorder.c - demo plugin: appends every video frame to "recording.bin".
 *
 * Shows how a plugin receives events. Load subscribes to video frames
 * through the mask of the media event type and sets writeEnabled; the core
 * then calls Write once per frame, on its writer thread. The frame's data
 * block is valid only during Write: this plugin copies it to the file and
 * lets the core release it (it never sets retain).
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "dvrplugin.h"

#define RECORDER_ID 0x00110000u

static DvrEventFunction raise_event;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER; /* Write and Close may overlap */
static FILE* recording;
static unsigned frames;

static void log_line(int32_t level, const char* text)
{
    DvrRaiseLogLine(raise_event, RECORDER_ID, level, text); /* the core copies the text */
}

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    raise_event = in->eventFunction;
    out->systemID = RECORDER_ID;
    /* Media events whose flags carry the video bit. */
    out->eventMasks[DVR_EVENT_MASK_INDEX_MEDIA] = DVR_ROUTING_CLASS(EVENT_FLAG_VIDEO);
    out->writeEnabled = 1;
    return 0;
}

int32_t Open(_OpenParmsIn* in, _OpenParmsOut* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    recording = fopen("recording.bin", "ab"); /* relative to the core's working directory */
    pthread_mutex_unlock(&lock);
    if (!recording) {
        log_line(LEVEL_WARNING, "recorder: cannot open recording.bin");
        return 1; /* kept as the open code; the core keeps calling us */
    }
    log_line(LEVEL_INFO, "recorder: recording to recording.bin");
    return 0;
}

int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out)
{
    (void)out; /* retain stays 0: the core frees the block after us */
    if (!(in->eventType & EVENT_TYPE_MEDIA) || !in->data)
        return 0;
    pthread_mutex_lock(&lock);
    if (recording && fwrite(in->data, 1, in->dataSize, recording) == in->dataSize)
        ++frames;
    pthread_mutex_unlock(&lock);
    return 0;
}

int32_t Close(_CloseParmsIn* in, _CloseParmsOut* out)
{
    char text[80];
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    if (recording)
        fclose(recording);
    recording = NULL;
    snprintf(text, sizeof text, "recorder: recorded %u frames", frames);
    pthread_mutex_unlock(&lock);
    log_line(LEVEL_INFO, text);
    return 0;
}
