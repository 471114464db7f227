/*
 * probe.c - a configurable plugin that journals every call it receives, for
 * the plugin-host tests (load, open, threads, close and unload).
 *
 * Keys beyond those of probe_common.h:
 *   worker=return|block      the worker IOCTL returns at once / after Close
 *   reader=return|block      the same for the reader thread's Read
 *   worker_end_file=PATH     the worker call then also waits for PATH
 *   reader_end_file=PATH     the same for the reader call
 *   open_return=N            Open's return value
 *   open_thread=block|deaf   Open starts a thread of the plugin's own that
 *                            lasts until Close (joined there); "deaf" blocks
 *                            every signal it can
 *   open_caps=1              Open journals the capability sets it runs with
 *   open_log=LEVEL TEXT      logged from Open (may repeat)
 *   close_return=N, close_error=N, unload_return=N, unload_error=N
 *   unload_wait_file=PATH    Unload returns only once PATH exists
 *   first_write_sleep_ms=N   the first Write takes N milliseconds
 *   close_sleep_ms=N         Close takes N milliseconds
 *   write_fault=1            Write stores through a null pointer
 *   supervisor_abort=1       a supervisor IOCTL calls abort()
 *   supervisor_sleep_ms=N    a supervisor IOCTL takes N milliseconds
 *
 * Journal lines ("<stem> " first):
 *   Load | Open | Close | Unload | Seek     (" bad-record" appended when a
 *   worker-start | worker-end                 record's presets are wrong;
 *   reader-start | reader-end                 " threads-running" on Unload
 *   own-thread-start <tid> | own-thread-end    while a thread call runs)
 *   Open-caps <CapEff> <CapPrm> <CapInh>    as /proc shows them for Open's thread
 *   IOCTL <request> <dataSize> <hex>        configuration and supervisor requests (bad-record too)
 *   Read <requestID> <dataSize> <hex>       read requests
 *   Write 0x<providerID> 0x<eventType> <dataSize> <hex>
 */
#include "common/probe_common.h"

#include <pthread.h>
#include <signal.h>

static ProbeConfig probe;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int closed;         /* set by Close */
static int runningThreads; /* worker and reader calls in progress */
static pthread_t ownThread;
static int ownThreadStarted;

static void sleep_ms(long long ms)
{
    struct timespec rest = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

static const char* bad(int good)
{
    return good ? "" : " bad-record";
}

/* One worker or reader call: "block" lasts until Close, "<name>_end_file"
 * then holds the return until that file exists. */
static void thread_call(const char* name, int goodRecords)
{
    char key[PROBE_MAX_KEY];
    const char* mode = probe_get(&probe, name);
    const char* endFile;

    pthread_mutex_lock(&lock);
    ++runningThreads;
    pthread_mutex_unlock(&lock);
    probe_journal(&probe, "%s-start%s", name, bad(goodRecords));

    if (mode && strcmp(mode, "block") == 0) {
        pthread_mutex_lock(&lock);
        while (!closed)
            pthread_cond_wait(&changed, &lock);
        pthread_mutex_unlock(&lock);
    }
    snprintf(key, sizeof key, "%s_end_file", name);
    endFile = probe_get(&probe, key);
    if (endFile)
        probe_wait_for_file(endFile, PROBE_WAIT_FILE_MS);

    probe_journal(&probe, "%s-end", name);
    pthread_mutex_lock(&lock);
    --runningThreads;
    pthread_mutex_unlock(&lock);
}

/* The thread Open starts from the plugin's own code: not one of the core's. */
static void* own_thread(void* unused)
{
    (void)unused;
    probe_journal(&probe, "own-thread-start %d", (int)gettid());
    pthread_mutex_lock(&lock);
    while (!closed)
        pthread_cond_wait(&changed, &lock);
    pthread_mutex_unlock(&lock);
    probe_journal(&probe, "own-thread-end");
    return NULL;
}

/* The value of a "Name:\t<hex>" line of this thread's status, "?" if none. */
static void status_value(const char* name, char* value, size_t size)
{
    char line[256];
    size_t length = strlen(name);
    FILE* status = fopen("/proc/thread-self/status", "r");
    snprintf(value, size, "?");
    if (!status)
        return;
    while (fgets(line, sizeof line, status))
        if (strncmp(line, name, length) == 0 && line[length] == ':') {
            sscanf(line + length + 1, "%63s", value);
            break;
        }
    fclose(status);
}

static void journal_caps(void)
{
    char effective[64], permitted[64], inheritable[64];
    status_value("CapEff", effective, sizeof effective);
    status_value("CapPrm", permitted, sizeof permitted);
    status_value("CapInh", inheritable, sizeof inheritable);
    probe_journal(&probe, "Open-caps %s %s %s", effective, permitted, inheritable);
}

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    return probe_load(&probe, in, out);
}

int32_t Open(_OpenParmsIn* in, _OpenParmsOut* out)
{
    int i;
    const int good = in->structSize == sizeof *in && in->version == DVR_RECORD_VERSION &&
                     probe_zero(in->reserved, sizeof in->reserved) && out->structSize == sizeof *out &&
                     out->version == DVR_RECORD_VERSION && probe_zero(out->reserved, sizeof out->reserved);
    probe_journal(&probe, "Open%s", bad(good));
    if (probe_get_int(&probe, "open_caps", 0))
        journal_caps();
    if (probe_thread_enabled(&probe, "open_thread")) {
        /* A deaf thread blocks every signal from its first instruction on. */
        const int deaf = strcmp(probe_get(&probe, "open_thread"), "deaf") == 0;
        sigset_t all, old;
        sigfillset(&all);
        if (deaf)
            pthread_sigmask(SIG_BLOCK, &all, &old);
        ownThreadStarted = pthread_create(&ownThread, NULL, own_thread, NULL) == 0;
        if (deaf)
            pthread_sigmask(SIG_SETMASK, &old, NULL);
    }
    for (i = 0; i < probe.count; ++i) {
        char* text;
        long level;
        if (strcmp(probe.entries[i].key, "open_log") != 0)
            continue;
        level = strtol(probe.entries[i].value, &text, 0);
        probe_log(&probe, (int32_t)level, *text == ' ' ? text + 1 : text);
    }
    return (int32_t)probe_get_int(&probe, "open_return", 0);
}

int32_t Close(_CloseParmsIn* in, _CloseParmsOut* out)
{
    const int good = in->structSize == sizeof *in && in->version == DVR_RECORD_VERSION && in->reserved == 0 &&
                     out->structSize == sizeof *out && out->version == DVR_RECORD_VERSION && out->error == 0;
    probe_journal(&probe, "Close%s", bad(good));
    sleep_ms(probe_get_int(&probe, "close_sleep_ms", 0));
    pthread_mutex_lock(&lock);
    closed = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    if (ownThreadStarted)
        pthread_join(ownThread, NULL);
    ownThreadStarted = 0;
    out->error = (int32_t)probe_get_int(&probe, "close_error", 0);
    return (int32_t)probe_get_int(&probe, "close_return", 0);
}

int32_t Unload(_UnloadParmsIn* in, _UnloadParmsOut* out)
{
    const char* waitFile = probe_get(&probe, "unload_wait_file");
    int running;
    const int good = in->structSize == sizeof *in && in->version == DVR_RECORD_VERSION &&
                     out->structSize == sizeof *out && out->version == DVR_RECORD_VERSION && out->error == 0;
    pthread_mutex_lock(&lock);
    running = runningThreads;
    pthread_mutex_unlock(&lock);
    probe_journal(&probe, "Unload%s%s", bad(good), running ? " threads-running" : "");
    if (waitFile)
        probe_wait_for_file(waitFile, PROBE_WAIT_FILE_MS);
    out->error = (int32_t)probe_get_int(&probe, "unload_error", 0);
    return (int32_t)probe_get_int(&probe, "unload_return", 0);
}

int32_t IOCTL(_IoctlParmsIn* in, _IoctlParmsOut* out)
{
    char hex[2 * PROBE_HEX_BYTES + 1];
    if (in->request == IOCTL_WORKER) {
        const int good = in->structSize == sizeof *in && in->version == DVR_RECORD_VERSION && in->presetSize == 8 &&
                         in->presetCount == 1 && in->dataSize == 0 && !in->data && out->structSize == sizeof *out &&
                         out->version == DVR_RECORD_VERSION && out->request == IOCTL_WORKER && out->error == 0 &&
                         out->retain == 0 && out->presetSize == 8 && out->presetCount == 1;
        thread_call("worker", good);
        return 0;
    }
    probe_hex(hex, sizeof hex, in->data, in->dataSize);
    probe_journal(&probe, "IOCTL %u %u %s%s", (unsigned)in->request, (unsigned)in->dataSize, hex,
                  bad(in->structSize == sizeof *in && in->version == DVR_RECORD_VERSION && in->presetSize == 16 &&
                      in->presetCount == 1 && out->structSize == sizeof *out && out->version == DVR_RECORD_VERSION &&
                      out->request == in->request && out->presetSize == 8 && out->presetCount == 1));
    if (in->request == IOCTL_SUPERVISOR && probe_get_int(&probe, "supervisor_abort", 0))
        abort();
    if (in->request == IOCTL_SUPERVISOR)
        sleep_ms(probe_get_int(&probe, "supervisor_sleep_ms", 0));
    return 0;
}

int32_t Read(_ReadParmsIn* in, _ReadParmsOut* out)
{
    char hex[2 * PROBE_HEX_BYTES + 1];
    if (in->requestID == 0 && !in->data) {
        const int good = in->structSize == sizeof *in && in->version == DVR_RECORD_VERSION && in->reserved8 == 0 &&
                         in->readMode == 1 && probe_zero(in->reserved13, sizeof in->reserved13) && in->dataSize == 0 &&
                         out->structSize == sizeof *out && out->version == DVR_RECORD_VERSION &&
                         probe_zero(out->reserved, sizeof out->reserved);
        thread_call("reader", good);
        return 0;
    }
    probe_hex(hex, sizeof hex, in->data, in->dataSize);
    probe_journal(&probe, "Read %u %u %s", (unsigned)in->requestID, (unsigned)in->dataSize, hex);
    return 0;
}

/* A real null-pointer store, kept from the undefined-behaviour checker so the
 * fault reaches the core's crash report as it would in a plain build. */
__attribute__((noinline, no_sanitize("undefined"))) static void write_through_null(void)
{
    volatile int* volatile nowhere = NULL; /* opaque, so the store is not folded into a trap */
    *nowhere = 1;
}

int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out)
{
    char hex[2 * PROBE_HEX_BYTES + 1];
    static int writes;
    (void)out;
    probe_hex(hex, sizeof hex, in->data, in->dataSize);
    probe_journal(&probe, "Write 0x%08X 0x%X %u %s", (unsigned)in->providerID, (unsigned)in->eventType,
                  (unsigned)in->dataSize, hex);
    if (writes++ == 0)
        sleep_ms(probe_get_int(&probe, "first_write_sleep_ms", 0));
    if (probe_get_int(&probe, "write_fault", 0))
        write_through_null();
    return 0;
}

int32_t Seek(void* in, void* out)
{
    (void)in;
    (void)out;
    probe_journal(&probe, "Seek");
    return 0;
}
