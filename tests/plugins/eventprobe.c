/*
 * eventprobe.c - a configurable plugin that raises events and keeps or gives
 * back the blocks it receives, for the event-bus tests.
 *
 * Keys beyond those of probe_common.h (worker=raise makes the worker thread
 * run the raise= lines, worker=steps the step= lines, then wait until Close):
 *   raise=TYPE FLAGS SIZE COUNT [KEYEVERY]   raise COUNT events (repeatable, in
 *                 order); data: u32 sequence number of this probe, then bytes
 *                 0x5A up to SIZE; with KEYEVERY, every KEYEVERY-th event
 *                 (starting with the first) is a key frame; COUNT 0 raises
 *                 until the first answer that is not 0 (journals "raising" first)
 *   misbehave=MODE            what a buggy plugin does, one mode per probe:
 *     null-out                every event goes without an output record (the
 *                             journaled result is then FlatPluginEvent's return)
 *     release-as-core         each Write's block is released in the core's name
 *     release-for=ID          each Write's block is released in plugin ID's name
 *     supervisor-write-block  each Write's block is raised for the supervisor
 *     supervisor-packet-block each supervisor packet (IOCTL) is raised back to it
 *     supervisor-read-copy    the data a Read for a request is given is raised
 *                             for the supervisor
 *     supervisor-null         at Open, before supervisor_text: a supervisor
 *                             block with no data and size 16
 *     raise-past-end          at Open, starts a thread of its own that waits
 *                             for the file "go", then raises an event whose
 *                             dataSize runs a page past the end of its data
 *   supervisor_offset=N       the supervisor-* modes raise the block from its
 *                             Nth byte on (a pointer into its middle)
 *   log_calls=TEXT            every Write and IOCTL raises TEXT as a log line
 *   close_log=LEVEL TEXT      Close raises a log line, then journals
 *                             "close-logged RESULT"...
 *   close_wait_file=PATH      ...and returns only once PATH exists
 *   raise_in=open|worker      where raise= lines run (default worker)
 *   raise_as=ID               raise events under ID instead of the systemID
 *                             (as a plugin raising for several cameras does)
 *   load_wait_file=PATH       Load returns only once PATH exists
 *   config_text=TEXT          raise a configuration document at Open
 *                             (repeatable, in order)
 *   config_type=TYPE          its eventType (default 0x100)
 *   config_dump=PATH          write the data of every configuration IOCTL
 *                             to PATH.1, PATH.2, ... exactly as received
 *   log_as=PROVIDER LEVEL TEXT   raise a log line in another source's name at
 *                             Open (repeatable)
 *   supervisor_text=TEXT      raise TEXT as a block for the supervisor at Open
 *   request=ID TYPE FLAGS TEXT   raise a read request at Open (repeatable)
 *   read_wait_file=PATH       in Read for a request: return only once PATH exists
 *   read_raise=TYPE COUNT SIZE   in Read for a request: raise COUNT events
 *                             with the request's ID, each carrying data
 *   retain=0|1                keep every block received through Write
 *   release=next|file:PATH|close   give back a kept block at the next Write,
 *                             once PATH exists (worker thread), or at Close;
 *                             with next or file, what is still kept goes back
 *                             at Close
 *   journal_writes=0|1        one journal line per Write
 *   write_delay_us=N          each Write takes N microseconds
 *   write_wait_file=PATH      each Write returns only once PATH exists
 *   journal_status=0|1        one journal line per status document (0x0004)
 *   step=WHAT                 worker=steps runs these in order:
 *        wait PATH            until PATH exists
 *        hog MIB              map MIB MiB and touch every page (resident)
 *        free                 unmap them again
 *        raise RECIPE         as raise= (the one raise journal line)
 *        log COUNT            raise COUNT log lines of 100 characters
 *        until_not TYPE FLAGS RESULT [KEY]   raise one event (a key frame
 *                             with KEY 1) every 20 ms until its result
 *                             differs from RESULT (at most 200 s)
 *
 * Journal lines ("<stem> " first):
 *   hogged MIB | freed | until RESULT TRIES
 *   status TEXT               (journal_status=1; TEXT up to 255 bytes)
 *   raised TYPE COUNT ok=N refused=N results=R1,R2,...   (results only for
 *                             COUNT 1 to 16, in order)
 *   first-refused RESULT at I (COUNT above 16: the first answer not 0)
 *   logged COUNT | own-thread raising
 *   supervisor-write R | supervisor-packet R | supervisor-null R | supervisor-read R   (misbehave)
 *   supervisor RESULT | request ID RESULT | config RESULT
 *   Read ID SIZE HEX ptr=P    a request thread's call
 *   read-raised ID I RESULT   each event raised inside Read
 *   Write 0xPROVIDER 0xTYPE SIZE SEQ         (journal_writes=1)
 *   retained SEQ | released SEQ
 *   IOCTL REQUEST SIZE TEXT   configuration documents (TEXT up to 64 bytes)
 *   received 0xPROVIDER COUNT in-order|OUT-OF-ORDER   at Close, per provider
 */
#include "common/probe_common.h"

#include <pthread.h>
#include <sys/mman.h>

#define MAX_PROVIDERS 16
#define MAX_KEPT 65536

static ProbeConfig probe;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int closed;
static uint32_t sequence;          /* of the events this probe raises */
static const char* misbehave = ""; /* misbehave=, read at Load */

/* What Write saw, per raising provider. */
static struct {
    uint32_t provider;
    uint32_t count;
    uint32_t next;
    int outOfOrder;
} seen[MAX_PROVIDERS];

/* Blocks kept with the retain word, oldest first. */
static void* kept[MAX_KEPT];
static uint32_t keptSeq[MAX_KEPT];
static int keptCount;

static _EventParmsIn make_event(uint32_t type, uint32_t flags)
{
    _EventParmsIn event;
    memset(&event, 0, sizeof event);
    event.structSize = sizeof event;
    event.version = DVR_RECORD_VERSION;
    event.providerID = (uint32_t)probe_get_int(&probe, "raise_as", (long)probe.systemID);
    event.eventType = type;
    event.eventFlags = flags;
    return event;
}

static int32_t raise_event(_EventParmsIn* event)
{
    _EventParmsOut out = {sizeof out, DVR_RECORD_VERSION, 0};
    if (strcmp(misbehave, "null-out") == 0)
        return probe.eventFunction(event, NULL);
    probe.eventFunction(event, &out);
    return out.result;
}

/* A block the core handed out (or none at all) raised for the supervisor. */
static void raise_for_supervisor(const char* what, void* data, uint32_t dataSize)
{
    _EventParmsIn event = make_event(EVENT_TYPE_SUPERVISOR, 0);
    const uint32_t offset = (uint32_t)probe_get_int(&probe, "supervisor_offset", 0);
    event.data = data && offset < dataSize ? (char*)data + offset : data;
    event.dataSize = data && offset < dataSize ? dataSize - offset : dataSize;
    probe_journal(&probe, "%s %d", what, (int)raise_event(&event));
}

/* The release of a block this probe does not hold, in `owner`'s name. */
static void release_as(uint32_t owner, void* data)
{
    _EventParmsIn event = make_event(EVENT_TYPE_RELEASE, 0);
    event.providerID = owner;
    event.data = data;
    raise_event(&event);
}

/* Data of a raised event: the sequence number, then filler. */
static unsigned char* make_data(uint32_t size, uint32_t seq)
{
    unsigned char* data = (unsigned char*)malloc(size < 4 ? 4 : size);
    if (!data)
        return NULL;
    memset(data, 0x5A, size < 4 ? 4 : size);
    memcpy(data, &seq, size < 4 ? size : 4);
    return data;
}

static void run_raise(const char* recipe)
{
    long type = 0, flags = 0;
    unsigned long size = 0, count = 0, keyEvery = 0;
    unsigned long i;
    unsigned ok = 0, refused = 0;
    char results[16 * 4 + 1] = "";
    int fields = sscanf(recipe, "%li %li %lu %lu %lu", &type, &flags, &size, &count, &keyEvery);
    const int untilRefused = count == 0;
    unsigned char* data;
    if (fields < 4)
        return;
    /* One buffer for the whole run: the core's copies are what the tests
       measure, not this probe's heap. */
    data = size ? make_data((uint32_t)size, sequence) : NULL;
    if (untilRefused)
        probe_journal(&probe, "raising");
    for (i = 0; untilRefused || i < count; ++i) {
        _EventParmsIn event = make_event((uint32_t)type, (uint32_t)flags);
        int32_t result;
        if (data)
            memcpy(data, &sequence, size < 4 ? size : 4);
        event.data = data;
        event.dataSize = (uint32_t)size;
        if (keyEvery)
            event.payload.video.keyFrame = (i % keyEvery) == 0 ? 1 : 0;
        result = raise_event(&event);
        ++sequence;
        if (result == 0)
            ++ok;
        else
            ++refused;
        if (untilRefused && result != 0)
            break;
        if (count > 16 && result != 0 && refused == 1)
            probe_journal(&probe, "first-refused %d at %lu", (int)result, i);
        if (count <= 16) {
            size_t used = strlen(results);
            snprintf(results + used, sizeof results - used, "%s%d", i ? "," : "", (int)result);
        }
    }
    free(data);
    probe_journal(&probe, "raised 0x%lX %lu ok=%u refused=%u results=%s", type, count, ok, refused,
                  count && count <= 16 ? results : "-");
}

static void run_raises(void)
{
    int i;
    for (i = 0; i < probe.count; ++i)
        if (strcmp(probe.entries[i].key, "raise") == 0)
            run_raise(probe.entries[i].value);
}

/* Memory the core's process holds resident for step=hog. */
static void* hog;
static size_t hogSize;

static void run_step(const char* step)
{
    long type = 0, flags = 0, refused = 0, key = 0;
    unsigned long mib = 0, lines = 0;
    if (strncmp(step, "wait ", 5) == 0) {
        probe_wait_for_file(step + 5, PROBE_WAIT_FILE_MS);
    } else if (sscanf(step, "hog %lu", &mib) == 1 && !hog) {
        hogSize = (size_t)mib << 20;
        hog = mmap(NULL, hogSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (hog == MAP_FAILED) {
            hog = NULL;
            probe_journal(&probe, "hog failed");
            return;
        }
        memset(hog, 0xA5, hogSize); /* every page becomes resident */
        probe_journal(&probe, "hogged %lu", mib);
    } else if (strcmp(step, "free") == 0 && hog) {
        munmap(hog, hogSize);
        hog = NULL;
        probe_journal(&probe, "freed");
    } else if (strncmp(step, "raise ", 6) == 0) {
        run_raise(step + 6);
    } else if (sscanf(step, "log %lu", &lines) == 1) {
        unsigned long i;
        char line[128];
        for (i = 0; i < lines; ++i) {
            snprintf(line, sizeof line, "flood line %08lu %-80s", i, "of a plugin that talks too much");
            probe_log(&probe, 25, line);
        }
        probe_journal(&probe, "logged %lu", lines);
    } else if (sscanf(step, "until_not %li %li %li %li", &type, &flags, &refused, &key) >= 3) {
        int tries = 0;
        int32_t result;
        do {
            _EventParmsIn event = make_event((uint32_t)type, (uint32_t)flags);
            struct timespec pause = {0, 20 * 1000 * 1000};
            unsigned char data[8] = {0};
            event.data = data;
            event.dataSize = sizeof data;
            event.payload.video.keyFrame = (uint8_t)key;
            result = raise_event(&event);
            ++tries;
            if (result == refused)
                nanosleep(&pause, NULL);
        } while (result == refused && tries < 10000);
        probe_journal(&probe, "until %d %d", (int)result, tries);
    }
}

/* Gives back the oldest kept block; the caller holds `lock`. */
static void release_oldest_locked(void)
{
    _EventParmsIn event = make_event(EVENT_TYPE_RELEASE, 0);
    uint32_t seq;
    if (!keptCount)
        return;
    event.data = kept[0];
    memcpy(&seq, kept[0], 4); /* still the core's block: must be intact */
    if (seq != keptSeq[0])
        probe_journal(&probe, "kept block changed %u != %u", (unsigned)seq, (unsigned)keptSeq[0]);
    --keptCount;
    memmove(kept, kept + 1, (size_t)keptCount * sizeof kept[0]);
    memmove(keptSeq, keptSeq + 1, (size_t)keptCount * sizeof keptSeq[0]);
    probe_journal(&probe, "released %u", (unsigned)seq);
    raise_event(&event);
}

static const char* release_file(void)
{
    const char* mode = probe_get(&probe, "release");
    return mode && strncmp(mode, "file:", 5) == 0 ? mode + 5 : NULL;
}

/* --- stop: the stop and signal rows' keys ---
 *   ioctl_wait_us=N           each supervisor IOCTL takes N microseconds
 *   ioctl_reply=TEXT          the first supervisor IOCTL raises TEXT for the supervisor
 *   unload_supervisor_text=TEXT   raise TEXT as a block for the supervisor at Unload
 *   worker=naps               the worker sleeps 1 ms at a time until Close
 *   misbehave=sigpipe         at Open: write into a pipe whose reader is gone
 *   misbehave=key-destructor-raise   at Open: threads, one after the other,
 *                             whose first event is raised by a pthread-key destructor
 * Journal lines: ioctl-reply R | unload-supervisor R | napping | naps N eintr=E |
 *   sigpipe RESULT ERRNO | key-raised R
 */
static int ioctlReplied;
static pthread_key_t raiseKey;

static void raise_text_for_supervisor(const char* what, const char* text)
{
    _EventParmsIn event = make_event(EVENT_TYPE_SUPERVISOR, 0);
    event.dataSize = (uint32_t)strlen(text);
    event.data = malloc(event.dataSize); /* the core takes it */
    memcpy(event.data, text, event.dataSize);
    probe_journal(&probe, "%s %d", what, (int)raise_event(&event));
}

static void stop_supervisor_ioctl(void)
{
    const long long waitUs = probe_get_int(&probe, "ioctl_wait_us", 0);
    const char* reply = probe_get(&probe, "ioctl_reply");
    if (waitUs > 0) {
        struct timespec wait = {(time_t)(waitUs / 1000000), (long)(waitUs % 1000000) * 1000};
        while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
        }
    }
    if (reply && !ioctlReplied) {
        ioctlReplied = 1;
        raise_text_for_supervisor("ioctl-reply", reply);
    }
}

static void stop_worker_naps(void)
{
    unsigned naps = 0, interrupted = 0;
    int done = 0;
    probe_journal(&probe, "napping");
    while (!done) {
        struct timespec nap = {0, 1000 * 1000};
        if (nanosleep(&nap, NULL) != 0 && errno == EINTR)
            ++interrupted;
        ++naps;
        pthread_mutex_lock(&lock);
        done = closed;
        pthread_mutex_unlock(&lock);
    }
    probe_journal(&probe, "naps %u eintr=%u", naps, interrupted);
}

/* The thread's first event, raised after its C++ thread-locals are gone. */
static void raise_at_key_end(void* value)
{
    unsigned char data[256];
    _EventParmsIn event = make_event(0x2, 0);
    memset(data, 0x5A, sizeof data);
    event.data = data;
    event.dataSize = sizeof data;
    (void)value;
    probe_journal(&probe, "key-raised %d", (int)raise_event(&event));
}

static void* set_raise_key(void* value)
{
    pthread_setspecific(raiseKey, value);
    return NULL;
}

static void stop_open_misbehaviour(void)
{
    if (strcmp(misbehave, "sigpipe") == 0) {
        int ends[2];
        long written = -1;
        if (pipe(ends) == 0) {
            close(ends[0]);
            written = (long)write(ends[1], "x", 1);
            close(ends[1]);
        }
        probe_journal(&probe, "sigpipe %ld %s", written, written < 0 && errno == EPIPE ? "EPIPE" : "?");
    }
    if (strcmp(misbehave, "key-destructor-raise") == 0 && pthread_key_create(&raiseKey, raise_at_key_end) == 0) {
        /* Stacks this large are unmapped at the thread's end rather than kept for reuse. */
        pthread_attr_t attributes;
        int i;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, (size_t)64 << 20);
        for (i = 0; i < 4; ++i) {
            pthread_t thread;
            if (pthread_create(&thread, &attributes, set_raise_key, &probe) == 0)
                pthread_join(thread, NULL);
        }
        pthread_attr_destroy(&attributes);
    }
}

static void stop_unload(void)
{
    const char* text = probe_get(&probe, "unload_supervisor_text");
    if (text)
        raise_text_for_supervisor("unload-supervisor", text);
}

/* A thread the core never saw raises data that ends a page short. */
static pthread_t ownThread;
static int ownThreadStarted;

static void* raise_past_end(void* unused)
{
    const long page = sysconf(_SC_PAGESIZE);
    char* pages;
    _EventParmsIn event = make_event(0x2, 0);
    (void)unused;
    probe_wait_for_file("go", PROBE_WAIT_FILE_MS);
    pages = (char*)mmap(NULL, (size_t)page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return NULL;
    munmap(pages + page, (size_t)page);
    memset(pages, 0x5A, (size_t)page);
    event.data = pages;
    event.dataSize = (uint32_t)page * 2;
    probe_journal(&probe, "own-thread raising");
    probe_journal(&probe, "own-thread raised %d", (int)raise_event(&event));
    return NULL;
}

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    const int32_t result = probe_load(&probe, in, out);
    const char* waitFile = probe_get(&probe, "load_wait_file");
    if (probe_get(&probe, "misbehave"))
        misbehave = probe_get(&probe, "misbehave");
    if (waitFile)
        probe_wait_for_file(waitFile, PROBE_WAIT_FILE_MS);
    return result;
}

int32_t Open(_OpenParmsIn* in, _OpenParmsOut* out)
{
    const char* text;
    int i;
    (void)in;
    (void)out;
    probe_journal(&probe, "Open");
    for (i = 0; i < probe.count; ++i) {
        if (strcmp(probe.entries[i].key, "config_text") == 0) {
            _EventParmsIn event =
                make_event((uint32_t)probe_get_int(&probe, "config_type", EVENT_TYPE_CONFIG), EVENT_FLAGS_XML);
            text = probe.entries[i].value;
            event.data = (void*)text;
            event.dataSize = (uint32_t)strlen(text);
            probe_journal(&probe, "config %d", (int)raise_event(&event));
        }
    }
    for (i = 0; i < probe.count; ++i) {
        long provider = 0, level = 0;
        int offset = 0;
        if (strcmp(probe.entries[i].key, "log_as") == 0 &&
            sscanf(probe.entries[i].value, "%li %li %n", &provider, &level, &offset) >= 2) {
            _EventParmsIn event = make_event(EVENT_TYPE_LOG, EVENT_FLAGS_LOG_LINE);
            const char* line = probe.entries[i].value + offset;
            event.providerID = (uint32_t)provider;
            event.payload.log.logLevel = (int32_t)level;
            event.data = (void*)line;
            event.dataSize = (uint32_t)strlen(line) + 1;
            raise_event(&event);
        }
    }
    if (strcmp(misbehave, "supervisor-null") == 0)
        raise_for_supervisor("supervisor-null", NULL, 16);
    if (strcmp(misbehave, "raise-past-end") == 0)
        ownThreadStarted = pthread_create(&ownThread, NULL, raise_past_end, NULL) == 0;
    text = probe_get(&probe, "supervisor_text");
    if (text) {
        _EventParmsIn event = make_event(EVENT_TYPE_SUPERVISOR, 0);
        event.dataSize = (uint32_t)strlen(text);
        event.data = malloc(event.dataSize); /* the core takes it */
        memcpy(event.data, text, event.dataSize);
        probe_journal(&probe, "supervisor %d", (int)raise_event(&event));
    }
    for (i = 0; i < probe.count; ++i) {
        long id = 0, type = 0, flags = 0;
        int offset = 0;
        if (strcmp(probe.entries[i].key, "request") == 0 &&
            sscanf(probe.entries[i].value, "%li %li %li %n", &id, &type, &flags, &offset) >= 3) {
            _EventParmsIn event = make_event((uint32_t)type, (uint32_t)flags);
            const char* data = probe.entries[i].value + offset;
            event.providerID = 0;
            event.requestID = (uint32_t)id;
            event.data = (void*)data;
            event.dataSize = (uint32_t)strlen(data);
            probe_journal(&probe, "request %ld %d", id, (int)raise_event(&event));
        }
    }
    text = probe_get(&probe, "raise_in");
    if (text && strcmp(text, "open") == 0)
        run_raises();
    stop_open_misbehaviour();
    return 0;
}

int32_t Close(_CloseParmsIn* in, _CloseParmsOut* out)
{
    const char* mode = probe_get(&probe, "release");
    int i;
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    closed = 1;
    pthread_cond_broadcast(&changed);
    if (mode && (strcmp(mode, "close") == 0 || strcmp(mode, "next") == 0 || release_file()))
        while (keptCount)
            release_oldest_locked();
    for (i = 0; i < MAX_PROVIDERS && seen[i].count; ++i)
        probe_journal(&probe, "received 0x%08X %u %s", (unsigned)seen[i].provider, (unsigned)seen[i].count,
                      seen[i].outOfOrder ? "OUT-OF-ORDER" : "in-order");
    pthread_mutex_unlock(&lock);
    if (hog)
        munmap(hog, hogSize);
    hog = NULL;
    if (ownThreadStarted)
        pthread_join(ownThread, NULL);
    ownThreadStarted = 0;
    if (probe_get(&probe, "close_log")) {
        long level = 0;
        int offset = 0;
        if (sscanf(probe_get(&probe, "close_log"), "%li %n", &level, &offset) >= 1) {
            _EventParmsIn event = make_event(EVENT_TYPE_LOG, EVENT_FLAGS_LOG_LINE);
            const char* line = probe_get(&probe, "close_log") + offset;
            event.payload.log.logLevel = (int32_t)level;
            event.data = (void*)line;
            event.dataSize = (uint32_t)strlen(line) + 1;
            probe_journal(&probe, "close-logged %d", (int)raise_event(&event));
        }
    }
    if (probe_get(&probe, "close_wait_file"))
        probe_wait_for_file(probe_get(&probe, "close_wait_file"), PROBE_WAIT_FILE_MS);
    probe_journal(&probe, "Close");
    return 0;
}

int32_t Unload(_UnloadParmsIn* in, _UnloadParmsOut* out)
{
    (void)in;
    (void)out;
    probe_journal(&probe, "Unload");
    stop_unload();
    return 0;
}

/* log_calls=: one log line from the thread of the call. */
static void log_call(void)
{
    const char* text = probe_get(&probe, "log_calls");
    if (text)
        probe_log(&probe, 25, text);
}

int32_t IOCTL(_IoctlParmsIn* in, _IoctlParmsOut* out)
{
    (void)out;
    if (in->request == IOCTL_WORKER) {
        const char* worker = probe_get(&probe, "worker");
        const char* file = release_file();
        const char* raiseIn = probe_get(&probe, "raise_in");
        int i;
        if (worker && strcmp(worker, "raise") == 0 && !(raiseIn && strcmp(raiseIn, "open") == 0))
            run_raises();
        if (worker && strcmp(worker, "naps") == 0)
            stop_worker_naps();
        if (worker && strcmp(worker, "steps") == 0)
            for (i = 0; i < probe.count; ++i)
                if (strcmp(probe.entries[i].key, "step") == 0)
                    run_step(probe.entries[i].value);
        if (file && probe_wait_for_file(file, PROBE_WAIT_FILE_MS)) {
            pthread_mutex_lock(&lock);
            while (keptCount)
                release_oldest_locked();
            pthread_mutex_unlock(&lock);
        }
        pthread_mutex_lock(&lock);
        while (!closed)
            pthread_cond_wait(&changed, &lock);
        pthread_mutex_unlock(&lock);
        return 0;
    }
    if (in->request == IOCTL_CONFIG && probe_get(&probe, "config_dump")) {
        static int dumps;
        char path[PROBE_LINE_MAX];
        int fd;
        snprintf(path, sizeof path, "%s.%d", probe_get(&probe, "config_dump"), ++dumps);
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (in->data && in->dataSize && write(fd, in->data, in->dataSize) < 0) {
                /* the test will see a short file */
            }
            close(fd);
        }
    }
    {
        char text[65];
        uint32_t length = in->dataSize < 64 ? in->dataSize : 64;
        if (in->data)
            memcpy(text, in->data, length);
        else
            length = 0;
        text[length] = '\0';
        probe_journal(&probe, "IOCTL %u %u %s", (unsigned)in->request, (unsigned)in->dataSize, text);
    }
    if (in->request == IOCTL_SUPERVISOR)
        stop_supervisor_ioctl();
    log_call();
    if (in->request == IOCTL_SUPERVISOR && strcmp(misbehave, "supervisor-packet-block") == 0)
        raise_for_supervisor("supervisor-packet", in->data, in->dataSize);
    return 0;
}

int32_t Read(_ReadParmsIn* in, _ReadParmsOut* out)
{
    char hex[2 * PROBE_HEX_BYTES + 1];
    const char* recipe = probe_get(&probe, "read_raise");
    long type = 0;
    unsigned long count = 0, size = 0, i;
    (void)out;
    if (in->requestID == 0)
        return 0; /* the reader thread: nothing to read here */
    probe_hex(hex, sizeof hex, in->data, in->dataSize);
    probe_journal(&probe, "Read %u %u %s ptr=%p", (unsigned)in->requestID, (unsigned)in->dataSize, hex, in->data);
    if (strcmp(misbehave, "supervisor-read-copy") == 0)
        raise_for_supervisor("supervisor-read", in->data, in->dataSize);
    if (probe_get(&probe, "read_wait_file"))
        probe_wait_for_file(probe_get(&probe, "read_wait_file"), PROBE_WAIT_FILE_MS);
    if (recipe && sscanf(recipe, "%li %lu %lu", &type, &count, &size) == 3) {
        for (i = 0; i < count; ++i) {
            _EventParmsIn event = make_event((uint32_t)type, 0);
            unsigned char* data = make_data((uint32_t)size, (uint32_t)i);
            int32_t result;
            event.requestID = in->requestID;
            event.data = data;
            event.dataSize = (uint32_t)size;
            result = raise_event(&event);
            free(data);
            probe_journal(&probe, "read-raised %u %lu %d", (unsigned)in->requestID, i, (int)result);
        }
    }
    return 0;
}

int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out)
{
    const char* mode = probe_get(&probe, "release");
    uint32_t seq = 0;
    int i;
    const long long delayUs = probe_get_int(&probe, "write_delay_us", 0);
    const char* waitFile = probe_get(&probe, "write_wait_file");
    if (waitFile)
        probe_wait_for_file(waitFile, PROBE_WAIT_FILE_MS);
    log_call();
    if (delayUs > 0) {
        struct timespec delay = {(time_t)(delayUs / 1000000), (long)(delayUs % 1000000) * 1000};
        while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
        }
    }
    if (in->data && in->dataSize >= 4)
        memcpy(&seq, in->data, 4);
    if (probe_get_int(&probe, "journal_status", 0) && in->eventType == EVENT_TYPE_STATUS && in->data) {
        char text[256];
        const uint32_t length = in->dataSize < sizeof text - 1 ? in->dataSize : (uint32_t)sizeof text - 1;
        memcpy(text, in->data, length);
        text[length] = '\0';
        probe_journal(&probe, "status %s", text);
    }
    if (probe_get_int(&probe, "journal_writes", 0))
        probe_journal(&probe, "Write 0x%08X 0x%X %u %u", (unsigned)in->providerID, (unsigned)in->eventType,
                      (unsigned)in->dataSize, (unsigned)seq);
    if (in->data && in->dataSize) {
        if (strcmp(misbehave, "release-as-core") == 0)
            release_as(CORE_PROVIDER_ID, in->data);
        else if (strncmp(misbehave, "release-for=", 12) == 0)
            release_as((uint32_t)strtoul(misbehave + 12, NULL, 0), in->data);
        else if (strcmp(misbehave, "supervisor-write-block") == 0)
            raise_for_supervisor("supervisor-write", in->data, in->dataSize);
    }

    pthread_mutex_lock(&lock);
    if (in->data && in->dataSize >= 4) {
        for (i = 0; i < MAX_PROVIDERS; ++i) {
            if (seen[i].count == 0 || seen[i].provider == in->providerID) {
                if (seen[i].count == 0)
                    seen[i].provider = in->providerID;
                if (seq != seen[i].next)
                    seen[i].outOfOrder = 1;
                seen[i].next = seq + 1;
                ++seen[i].count;
                break;
            }
        }
    }
    if (mode && strcmp(mode, "next") == 0)
        while (keptCount)
            release_oldest_locked();
    if (probe_get_int(&probe, "retain", 0) && in->data && in->dataSize >= 4 && keptCount < MAX_KEPT) {
        kept[keptCount] = in->data;
        keptSeq[keptCount++] = seq;
        out->retain = 1;
        probe_journal(&probe, "retained %u", (unsigned)seq);
    }
    pthread_mutex_unlock(&lock);
    return 0;
}
