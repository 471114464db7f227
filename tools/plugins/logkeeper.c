/*
 * logkeeper.c - demo plugin: keeps the log in "core.log".
 *
 * Log lines are events like any other: the core's own and every plugin's.
 * This plugin subscribes to them through the mask of the log event type and
 * appends "level provider text" per line. It must never log from Write: its
 * own line would come back to it.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "dvrplugin.h"

#define LOGKEEPER_ID 0x00120000u

static DvrEventFunction raise_event;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static FILE* logFile;

static void log_line(int32_t level, const char* text)
{
    DvrRaiseLogLine(raise_event, LOGKEEPER_ID, level, text); /* the core copies the text */
}

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    raise_event = in->eventFunction;
    out->systemID = LOGKEEPER_ID;
    out->eventMasks[DVR_EVENT_MASK_INDEX_LOG] = DVR_ROUTING_CLASS(EVENT_FLAGS_LOG_LINE);
    out->writeEnabled = 1;
    return 0;
}

int32_t Open(_OpenParmsIn* in, _OpenParmsOut* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    logFile = fopen("core.log", "a");
    pthread_mutex_unlock(&lock);
    if (!logFile)
        return 1;
    log_line(LEVEL_INFO, "logkeeper: keeping the log in core.log");
    return 0;
}

int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out)
{
    const char* text = (const char*)in->data;
    const char* end;
    size_t length;
    (void)out;
    if (!(in->eventType & EVENT_TYPE_LOG) || !(in->eventFlags & EVENT_FLAG_LOG_LINE) || !text)
        return 0;
    /* Text from other plugins: bounded by dataSize, NUL or not. */
    end = memchr(text, '\0', in->dataSize);
    length = end ? (size_t)(end - text) : in->dataSize;
    pthread_mutex_lock(&lock);
    if (logFile) {
        fprintf(logFile, "%d 0x%08X %.*s\n", (int)in->payload.log.logLevel, (unsigned)in->providerID, (int)length,
                text);
        fflush(logFile);
    }
    pthread_mutex_unlock(&lock);
    return 0;
}

int32_t Close(_CloseParmsIn* in, _CloseParmsOut* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    if (logFile)
        fclose(logFile);
    logFile = NULL;
    pthread_mutex_unlock(&lock);
    return 0;
}
