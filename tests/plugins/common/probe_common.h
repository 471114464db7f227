/*
 * probe_common.h - configuration and journal of configurable test plugins.
 *
 * A probe is one built library copied under several names. Each copy reads
 * "<its own path without .so>.conf" and so becomes a distinct plugin, and
 * appends one line per call it receives to a journal file that all probes of a
 * test share. Every line is one write() on an O_APPEND descriptor, so lines of
 * all plugins and threads interleave in the true order of the calls.
 *
 * Configuration: "key=value" lines; blank lines and lines starting with '#'
 * are skipped; a key may repeat (probe_get returns the first, loop over
 * entries for all). Keys read here, for every probe:
 *   journal=PATH            where lines go; none: the probe journals nothing
 *   id=0x00300000           systemID (strtoul base 0, default 0x00300000)
 *   mask0=..mask8=          eventMasks[0..8] (default 0)
 *   worker=off|NAME         NAME (anything but off) sets workerEnabled; the
 *   reader=off|NAME           probe decides what NAME means (default off)
 *   write=0|1               writeEnabled (default 0)
 *   log_level_default=N     logLevelDefault (default 0)
 *   load_return=N           Load's return value (default 0)
 *   load_error=N            _LoadParmsOut.error (default 0)
 *
 * Journal lines start with the probe's file stem: "<stem> <text>".
 *
 * Usage: include this header first (it defines _GNU_SOURCE), keep one
 * `static ProbeConfig probe;`, and call probe_load() from Load.
 * Plain C99 with POSIX; against dvrplugin.h alone.
 */
#ifndef PROBE_COMMON_H
#define PROBE_COMMON_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* dladdr */
#endif

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "dvrplugin.h"

#define PROBE_MAX_ENTRIES 64
#define PROBE_MAX_KEY 32
#define PROBE_MAX_VALUE 256
#define PROBE_LINE_MAX 1024
#define PROBE_HEX_BYTES 16       /* data bytes shown in a journal line */
#define PROBE_WAIT_FILE_MS 60000 /* a go-file that never comes ends the wait */
#define PROBE_DEFAULT_ID 0x00300000u

typedef struct ProbeEntry {
    char key[PROBE_MAX_KEY];
    char value[PROBE_MAX_VALUE];
} ProbeEntry;

typedef struct ProbeConfig {
    char stem[128];                 /* library file name without ".so" */
    char journal[PROBE_MAX_VALUE];  /* "" when no journal is configured */
    uint32_t systemID;              /* as reported in Load */
    DvrEventFunction eventFunction; /* from _LoadParmsIn, for raising events */
    int count;
    ProbeEntry entries[PROBE_MAX_ENTRIES];
} ProbeConfig;

/* Any object of this library: dladdr finds the library's path from it. */
static const char probe_anchor = 0;

/* First value of `key`, or NULL. */
static inline const char* probe_get(const ProbeConfig* config, const char* key)
{
    int i;
    for (i = 0; i < config->count; ++i)
        if (strcmp(config->entries[i].key, key) == 0)
            return config->entries[i].value;
    return NULL;
}

/* `key` as an integer (decimal, 0x hex or 0 octal), or `fallback`. */
static inline long long probe_get_int(const ProbeConfig* config, const char* key, long long fallback)
{
    const char* value = probe_get(config, key);
    return value ? strtoll(value, NULL, 0) : fallback;
}

/* 1 when `key` names a thread behaviour (present and not "off"). */
static inline int probe_thread_enabled(const ProbeConfig* config, const char* key)
{
    const char* value = probe_get(config, key);
    return value && strcmp(value, "off") != 0;
}

static inline void probe_parse_line(ProbeConfig* config, char* line)
{
    char* equals;
    size_t end = strlen(line);
    while (end && (line[end - 1] == '\n' || line[end - 1] == '\r'))
        line[--end] = '\0';
    if (line[0] == '#' || line[0] == '\0' || config->count == PROBE_MAX_ENTRIES)
        return;
    equals = strchr(line, '=');
    if (!equals)
        return;
    *equals = '\0';
    snprintf(config->entries[config->count].key, PROBE_MAX_KEY, "%s", line);
    snprintf(config->entries[config->count].value, PROBE_MAX_VALUE, "%s", equals + 1);
    ++config->count;
}

/* Finds this library's path and reads its .conf file; a missing file is an
 * empty configuration. Returns -1 when the library path cannot be found. */
static inline int probe_config_read(ProbeConfig* config)
{
    Dl_info self;
    char path[PROBE_LINE_MAX];
    char line[PROBE_MAX_KEY + PROBE_MAX_VALUE + 2];
    const char* name;
    size_t length;
    FILE* file;

    memset(config, 0, sizeof *config);
    if (!dladdr(&probe_anchor, &self) || !self.dli_fname)
        return -1;
    snprintf(path, sizeof path, "%s", self.dli_fname);
    length = strlen(path);
    if (length > 3 && strcmp(path + length - 3, ".so") == 0)
        path[length -= 3] = '\0';
    name = strrchr(path, '/');
    snprintf(config->stem, sizeof config->stem, "%s", name ? name + 1 : path);
    if (length + 6 > sizeof path)
        return -1;
    strcat(path, ".conf");

    file = fopen(path, "r");
    if (file) {
        while (fgets(line, sizeof line, file))
            probe_parse_line(config, line);
        fclose(file);
    }
    snprintf(config->journal, sizeof config->journal, "%s",
             probe_get(config, "journal") ? probe_get(config, "journal") : "");
    return 0;
}

/* Appends "<stem> <formatted text>\n" to the journal in one write. */
static inline void probe_journal(const ProbeConfig* config, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
static inline void probe_journal(const ProbeConfig* config, const char* format, ...)
{
    char line[PROBE_LINE_MAX];
    int prefix, length;
    int fd;
    va_list args;

    if (!config->journal[0])
        return;
    prefix = snprintf(line, sizeof line, "%s ", config->stem);
    if (prefix < 0 || (size_t)prefix >= sizeof line - 1)
        return;
    va_start(args, format);
    length = vsnprintf(line + prefix, sizeof line - (size_t)prefix - 1, format, args);
    va_end(args);
    if (length < 0)
        return;
    length += prefix;
    if ((size_t)length > sizeof line - 2)
        length = (int)sizeof line - 2;
    line[length++] = '\n';
    fd = open(config->journal, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)length) < 0) {
        /* nothing to do: the test will miss the line */
    }
    close(fd);
}

/* Lower-case hex of the first bytes of a block, "-" for none. */
static inline void probe_hex(char* text, size_t size, const void* data, uint32_t dataSize)
{
    const unsigned char* bytes = (const unsigned char*)data;
    uint32_t count = dataSize < PROBE_HEX_BYTES ? dataSize : PROBE_HEX_BYTES;
    uint32_t i;
    if (!data || !dataSize || size < 2) {
        snprintf(text, size, "-");
        return;
    }
    text[0] = '\0';
    for (i = 0; i < count && (size_t)(2 * i + 2) < size; ++i)
        snprintf(text + 2 * i, size - 2 * i, "%02x", bytes[i]);
}

/* 1 when all `size` bytes at `data` are zero. */
static inline int probe_zero(const void* data, size_t size)
{
    const unsigned char* bytes = (const unsigned char*)data;
    size_t i;
    for (i = 0; i < size; ++i)
        if (bytes[i])
            return 0;
    return 1;
}

/* Waits until `path` exists; 0 when the wait timed out. */
static inline int probe_wait_for_file(const char* path, int timeoutMs)
{
    struct stat status;
    struct timespec step = {0, 5 * 1000 * 1000};
    int waited = 0;
    while (stat(path, &status) != 0) {
        if (waited >= timeoutMs)
            return 0;
        while (nanosleep(&step, &step) != 0 && errno == EINTR) {
        }
        step.tv_sec = 0;
        step.tv_nsec = 5 * 1000 * 1000;
        waited += 5;
    }
    return 1;
}

/* Raises one log line from this probe. */
static inline void probe_log(const ProbeConfig* config, int32_t level, const char* text)
{
    if (config->eventFunction)
        DvrRaiseLogLine(config->eventFunction, config->systemID, level, text);
}

/* The common body of Load: reads the configuration, journals "Load" (with
 * " bad-record" when the core's records are not as the SDK promises), fills
 * the descriptor and returns the configured result. */
static inline int32_t probe_load(ProbeConfig* config, const _LoadParmsIn* in, _LoadParmsOut* out)
{
    char key[8];
    int i;
    const int goodIn =
        in->structSize == sizeof *in && in->version == DVR_LOAD_IN_VERSION && in->coreContext && in->eventFunction;
    const int goodOut = out->structSize == sizeof *out && out->version == DVR_LOAD_OUT_VERSION &&
                        probe_zero((const char*)out + 8, sizeof *out - 8);

    if (probe_config_read(config) != 0)
        return -1;
    probe_journal(config, "Load%s", goodIn && goodOut ? "" : " bad-record");
    config->eventFunction = in->eventFunction;
    config->systemID = (uint32_t)probe_get_int(config, "id", PROBE_DEFAULT_ID);

    out->systemID = config->systemID;
    for (i = 0; i < DVR_EVENT_MASK_COUNT; ++i) {
        snprintf(key, sizeof key, "mask%d", i);
        out->eventMasks[i] = (uint32_t)probe_get_int(config, key, 0);
    }
    out->workerEnabled = (uint8_t)probe_thread_enabled(config, "worker");
    out->readEnabled = (uint8_t)probe_thread_enabled(config, "reader");
    out->writeEnabled = (uint8_t)probe_get_int(config, "write", 0);
    out->logLevelDefault = (int32_t)probe_get_int(config, "log_level_default", 0);
    out->error = (int32_t)probe_get_int(config, "load_error", 0);
    return (int32_t)probe_get_int(config, "load_return", 0);
}

#endif /* PROBE_COMMON_H */
