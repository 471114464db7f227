/*
 * dvrplugin.h - the plugin SDK of the tarvoSentry core.
 *
 * A plugin is a shared library that exports up to eight C entry points by name:
 *   Load, Unload, Open, Close, Read, Write, Seek, IOCTL.
 * Only Load is required. The core calls Load once right after dlopen, Open once
 * after every plugin is loaded, then Write/IOCTL/Read while it runs, and Close
 * and Unload at shutdown. Seek is resolved but never called.
 *
 * Return convention (stated once, holds for every entry point and for the event
 * function): 0 means success; any other value is a failure. Where an output
 * record has an `error` word, a nonzero `error` is a failure as well.
 *
 * Ownership, for every record in this header:
 *   - The side that makes a call allocates both records (usually on its stack)
 *     and writes `structSize` and `version`. The callee may read and write them
 *     during the call only: never keep a pointer to a record after returning.
 *   - Data blocks are described where they are passed (see _WriteParmsIn,
 *     _IoctlParmsIn, _ReadParmsIn and _EventParmsIn).
 *
 * Threads: Write and configuration IOCTL calls come from the core's one writer
 * thread, which delivers every event to every plugin in turn: they must return
 * promptly (hand long work to a thread of your own), or every plugin waits.
 * Supervisor IOCTL calls come from the core's I/O thread, the worker IOCTL and
 * the reader Read from threads of their own, and per-request Read calls from
 * short-lived threads. A plugin must accept these calls concurrently.
 * FlatPluginEvent may be called from any thread, from Load onward, also from
 * inside any entry point. It never waits for delivery, with one exception: on a
 * read-request thread (an event with a nonzero requestID) it blocks until the
 * block of the previous event of that thread was released by every holder.
 * Called after the core has ended (from a thread of the plugin's own), it
 * returns -1 and handles nothing, but still takes and frees a supervisor block.
 *
 * Data blocks: a block the plugin kept (retain in _WriteParmsOut or
 * _IoctlParmsOut) must be given back with EVENT_TYPE_RELEASE by the time Close
 * returns at the latest; what is still held when the core ends is reported as
 * a leak.
 *
 * Versions: the core writes the version numbers below into the records it
 * allocates and never checks structSize or version of a record it receives; a
 * plugin should read only the fields of the layout it was built against.
 *
 * Building: mark your entry points with DVR_PLUGIN_EXPORT (the declarations
 * below already carry it, so a definition after including this header is
 * exported even with -fvisibility=hidden). An entry point the core cannot find
 * by name is not called; a missing Load rejects the library.
 *
 * Layout: on a 32-bit target every record has exactly the size noted beside it
 * (the layout plugins are built against). On a 64-bit target the same fields
 * come in the same order with natural alignment; `structSize` is always
 * sizeof(record). All integers are native-endian (little-endian targets).
 *
 * Plain C99; also compiles as C++.
 */
#ifndef DVRPLUGIN_H
#define DVRPLUGIN_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* The records and their one-line field comments are aligned by hand. */
/* clang-format off */

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------- constants */

/* Source ID of the core itself in events, log messages, block ownership and documents. */
#define CORE_PROVIDER_ID 0x80000000u
/* A plugin with this systemID is placed first in the delivery order. */
#define FRONT_PLUGIN_ID 0x00060000u
/* A plugin with this systemID is never unmapped with dlclose. */
#define RESIDENT_PLUGIN_ID 0x00470000u

/* moduleIndex of a systemID: its slot in the log-level tables and its supervisor address. */
#define DVR_MODULE_INDEX(systemID) ((((uint32_t)(systemID)) >> 16) & 0xFFFu)

/* Supervisor packet addressing (IpcHeader.target): the top 12 bits carry the
 * addressed plugin's moduleIndex, the low 20 bits are free. */
#define DVR_IPC_TARGET_SHIFT 20
#define DVR_IPC_TARGET_MODULE_INDEX(target) (((uint32_t)(target)) >> DVR_IPC_TARGET_SHIFT)
#define DVR_IPC_TARGET(moduleIndex) (((uint32_t)(moduleIndex)) << DVR_IPC_TARGET_SHIFT)

/* IOCTL requests (_IoctlParmsIn.request). */
#define IOCTL_WORKER 1u     /* on the plugin's worker thread, once; returns when the plugin is closed */
#define IOCTL_CONFIG 2u     /* a configuration document raised by someone else */
#define IOCTL_SUPERVISOR 4u /* one packet from the supervisor, IpcHeader included */

/* eventType bits. The nine subscribable ones each have a mask in _LoadParmsOut.eventMasks. */
#define EVENT_TYPE_MEDIA 0x0001u         /* media data; with EVENT_FLAG_VIDEO a video frame */
#define EVENT_TYPE_0002 0x0002u          /* defined between plugins */
#define EVENT_TYPE_STATUS 0x0004u        /* status document raised by the core (memory) */
#define EVENT_TYPE_0008 0x0008u          /* defined between plugins */
#define EVENT_TYPE_0010 0x0010u          /* defined between plugins */
#define EVENT_TYPE_0020 0x0020u          /* defined between plugins; its mask is also the close-order key */
#define EVENT_TYPE_LOG 0x0040u           /* log line or log-level query */
#define EVENT_TYPE_0080 0x0080u          /* defined between plugins */
#define EVENT_TYPE_0400 0x0400u          /* defined between plugins */
#define EVENT_TYPE_CONFIG 0x0100u        /* configuration document; reaches other plugins through IOCTL_CONFIG */
#define EVENT_TYPE_RELEASE 0x0200u       /* exact value: give back a retained data block */
#define EVENT_TYPE_CLOSE_REQUEST 0x1000u /* exact value, providerID 0: close a read request */
#define EVENT_TYPE_SUPERVISOR 0x2000u    /* exact value: malloc'ed block for the supervisor, taken over by the core; eventFlags unread */

/* Number of subscribable bits, and the index of each in eventMasks. */
#define DVR_EVENT_MASK_COUNT 9
#define DVR_EVENT_MASK_INDEX_MEDIA 0  /* 0x0001 */
#define DVR_EVENT_MASK_INDEX_0002 1   /* 0x0002 */
#define DVR_EVENT_MASK_INDEX_STATUS 2 /* 0x0004 */
#define DVR_EVENT_MASK_INDEX_0008 3   /* 0x0008 */
#define DVR_EVENT_MASK_INDEX_0010 4   /* 0x0010 */
#define DVR_EVENT_MASK_INDEX_0020 5   /* 0x0020 */
#define DVR_EVENT_MASK_INDEX_LOG 6    /* 0x0040 */
#define DVR_EVENT_MASK_INDEX_0080 7   /* 0x0080 */
#define DVR_EVENT_MASK_INDEX_0400 8   /* 0x0400 */

/* eventFlags bits the core tests: test them with (eventFlags & BIT). Never put
 * one into an eventMasks entry as it is: a mask holds routing classes (see
 * DVR_ROUTING_CLASS below). */
#define EVENT_FLAG_BIT_VIDEO 0x01000000u     /* on a media event: a video frame, gated by admission */
#define EVENT_FLAG_BIT_LOG_QUERY 0x00000001u /* on a log event: a log-level query */
#define EVENT_FLAG_BIT_LOG_LINE 0x00000002u  /* on a log event: a log line */
/* Whole eventFlags words the core raises: compare with ==, or raise them. */
#define EVENT_FLAGS_WORD_LOG_QUERY 0x00000001u /* eventFlags of a log-level query */
#define EVENT_FLAGS_WORD_LOG_LINE 0x01000002u  /* eventFlags of a log line */
#define EVENT_FLAGS_WORD_XML 0x01000010u       /* eventFlags of an XML document raised by the core */
/* Earlier names, kept for existing plugins. */
#define EVENT_FLAG_VIDEO EVENT_FLAG_BIT_VIDEO            /* same as EVENT_FLAG_BIT_VIDEO */
#define EVENT_FLAG_LOG_QUERY EVENT_FLAG_BIT_LOG_QUERY    /* same as EVENT_FLAG_BIT_LOG_QUERY */
#define EVENT_FLAG_LOG_LINE EVENT_FLAG_BIT_LOG_LINE      /* same as EVENT_FLAG_BIT_LOG_LINE */
#define EVENT_FLAGS_LOG_QUERY EVENT_FLAGS_WORD_LOG_QUERY /* same as EVENT_FLAGS_WORD_LOG_QUERY */
#define EVENT_FLAGS_LOG_LINE EVENT_FLAGS_WORD_LOG_LINE   /* same as EVENT_FLAGS_WORD_LOG_LINE */
#define EVENT_FLAGS_XML EVENT_FLAGS_WORD_XML             /* same as EVENT_FLAGS_WORD_XML */

/*
 * Routing: an event reaches a plugin's Write when, for at least one subscribable
 * bit b set in its eventType, every bit of the event's routing class is set in
 * the plugin's eventMasks entry for b. Bits 0..23 of eventFlags are taken as
 * they are; bits 24..30 move up one place for queued delivery, bits 24..31 move
 * down one place for read requests. Example: to receive log lines (eventFlags
 * 0x01000002) set eventMasks[DVR_EVENT_MASK_INDEX_LOG] to include 0x02000002,
 * DVR_ROUTING_CLASS(EVENT_FLAGS_WORD_LOG_LINE); for video frames use
 * DVR_ROUTING_CLASS(EVENT_FLAG_BIT_VIDEO) = 0x02000000, not 0x01000000. A mask
 * of 0xFFFFFFFF accepts every event of its type. Masks matter only with
 * writeEnabled (Write) or readEnabled (read requests); tools/dvrinspect checks
 * a descriptor for these mistakes.
 */
#define DVR_ROUTING_CLASS(flags) \
    (((((uint32_t)(flags)) << 1) & 0xFE000000u) | (((uint32_t)(flags)) & 0x00FFFFFFu))
#define DVR_REQUEST_ROUTING_CLASS(flags) \
    (((((uint32_t)(flags)) >> 1) & 0x7F800000u) | (((uint32_t)(flags)) & 0x00FFFFFFu))

/* _EventParmsOut.result codes. The core leaves result as the raiser set it for
 * EVENT_TYPE_RELEASE and for a log line that is dropped by its threshold, or
 * written but not passed on (threshold -1 and level 0): preset it. */
#define EVENT_RESULT_OK 0                /* queued or handled */
#define EVENT_RESULT_REFUSED 1           /* core stopping, request closed or foreign, or no supervisor */
#define EVENT_RESULT_NOT_ADMITTED 3      /* video frame from a source without a key frame */
#define EVENT_RESULT_KEYFRAME_EXPIRED 4  /* 766 dependent frames followed the last key frame */
#define EVENT_RESULT_THROTTLED 5         /* video refused while memory is low */
#define EVENT_RESULT_NO_MEMORY (-1)      /* no memory for the copy, or too much waits for delivery: the event is lost */

/* Log levels and thresholds. A line passes when its level reaches its source's
 * threshold; a threshold of -1 lets every line pass (level-0 lines are then
 * written but not passed on to subscribed plugins). */
#define LEVEL_DETAIL 0
#define LEVEL_INFO 25
#define LEVEL_WARNING 50
#define LEVEL_CRITICAL 100

/* Versions the core writes into the records it allocates. */
#define DVR_LOAD_IN_VERSION 3u
#define DVR_LOAD_OUT_VERSION 2u
#define DVR_RECORD_VERSION 1u

/* Supervisor packets (see IpcHeader). */
#define IPC_HEADER_SIZE 16u
#define IPC_BUFFER_SIZE 65536u
#define IPC_KIND_CONFIG 7u /* supervisor identity and run mode; never reaches a plugin when it has a payload */
#define IPC_KIND_STOP 8u   /* orderly stop; never reaches a plugin */

/* ------------------------------------------------------------ entry points */

/* Marks an entry point for export by name, whatever the default visibility. */
#if defined(__GNUC__) || defined(__clang__)
#define DVR_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define DVR_PLUGIN_EXPORT
#endif

struct _EventParmsIn;
struct _EventParmsOut;

/* The event function (FlatPluginEvent): raise an event into the core. */
typedef int32_t (*DvrEventFunction)(struct _EventParmsIn* in, struct _EventParmsOut* out);

/* Every entry point, held untyped: input record first, output record second. */
typedef int32_t (*DvrEntryPoint)(void* in, void* out);

/* --------------------------------------------------------------- records */

/* Input of Load (16 bytes). Allocated by the core for the one call. */
typedef struct _LoadParmsIn {
    uint32_t structSize;            /* sizeof(_LoadParmsIn) */
    uint32_t version;               /* 3 */
    void* coreContext;              /* the core object; opaque, never dereference */
    DvrEventFunction eventFunction; /* FlatPluginEvent; valid for the life of the process */
} _LoadParmsIn;

/* Output of Load (68 bytes): the plugin's descriptor. The core zero-fills it and
 * presets structSize and version; the plugin fills the rest. The core keeps a copy. */
typedef struct _LoadParmsOut {
    uint32_t structSize;                       /* 68, preset by the core */
    uint32_t version;                          /* 2, preset by the core */
    uint32_t systemID;                         /* unique plugin ID; bits 16..27 are its moduleIndex (0..255) */
    uint32_t eventMasks[DVR_EVENT_MASK_COUNT]; /* routing mask per subscribable eventType bit, order 0x1..0x400 */
    uint32_t reserved48;                       /* not read by the core */
    uint8_t workerEnabled;                     /* nonzero: the core runs IOCTL(IOCTL_WORKER) on a thread of its own */
    uint8_t reserved53;                        /* not read by the core */
    uint8_t readEnabled;                       /* nonzero: the core drives Read (reader thread and read requests) */
    uint8_t writeEnabled;                      /* nonzero: the plugin receives routed events through Write */
    uint32_t reserved56;                       /* not read by the core */
    int32_t error;                             /* nonzero: Load failed, the library is closed without Unload */
    int32_t logLevelDefault;                   /* default threshold of your lines, 1..100 or -1 (all pass); 0 or out of range: none given, the slot stays as configured (unset = all pass) */
} _LoadParmsOut;

/* Input of Open (20 bytes). */
typedef struct _OpenParmsIn {
    uint32_t structSize;  /* sizeof(_OpenParmsIn) */
    uint32_t version;     /* 1 */
    uint32_t reserved[3]; /* zero */
} _OpenParmsIn;

/* Output of Open (16 bytes). Open's return value is recorded as its open code. */
typedef struct _OpenParmsOut {
    uint32_t structSize;  /* sizeof(_OpenParmsOut) */
    uint32_t version;     /* 1 */
    uint32_t reserved[2]; /* zero, not read */
} _OpenParmsOut;

/* Input of Close (12 bytes). After Close, the worker IOCTL and the reader Read must return. */
typedef struct _CloseParmsIn {
    uint32_t structSize; /* sizeof(_CloseParmsIn) */
    uint32_t version;    /* 1 */
    uint32_t reserved;   /* zero */
} _CloseParmsIn;

/* Output of Close (12 bytes). */
typedef struct _CloseParmsOut {
    uint32_t structSize; /* sizeof(_CloseParmsOut) */
    uint32_t version;    /* 1 */
    int32_t error;       /* preset 0; nonzero is logged */
} _CloseParmsOut;

/* Input of Unload (8 bytes). The library is unmapped right after Unload returns. */
typedef struct _UnloadParmsIn {
    uint32_t structSize; /* sizeof(_UnloadParmsIn) */
    uint32_t version;    /* 1 */
} _UnloadParmsIn;

/* Output of Unload (12 bytes). */
typedef struct _UnloadParmsOut {
    uint32_t structSize; /* sizeof(_UnloadParmsOut) */
    uint32_t version;    /* 1 */
    int32_t error;       /* preset 0; nonzero is logged */
} _UnloadParmsOut;

/* Input of Read (28 bytes). On the reader thread dataSize, data and requestID are 0.
 * For a read request, data is the request thread's own copy of the request data,
 * valid until Read returns (then the core frees it); it may be null even with a
 * nonzero dataSize when no copy could be made. */
typedef struct _ReadParmsIn {
    uint32_t structSize;  /* sizeof(_ReadParmsIn) */
    uint32_t version;     /* 1 */
    uint32_t reserved8;   /* zero */
    uint8_t readMode;     /* 1 in Read records (0 in Write records); no meaning to the core */
    uint8_t reserved13[3];/* zero */
    uint32_t dataSize;    /* byte length of the request data */
    void* data;           /* request data, owned by the core */
    uint32_t requestID;   /* the request; raise its events with this requestID */
} _ReadParmsIn;

/* Output of Read (20 bytes). The core ignores it and Read's return value. */
typedef struct _ReadParmsOut {
    uint32_t structSize;  /* sizeof(_ReadParmsOut) */
    uint32_t version;     /* 1 */
    uint32_t reserved[3]; /* zero, not read */
} _ReadParmsOut;

/* Type-specific part of an event (152 bytes), passed to Write unchanged. The
 * core reads only logLevel (log events) and keyFrame (video frames). */
typedef union _EventPayload {
    uint8_t bytes[152]; /* the whole payload */
    struct {
        uint32_t reserved[2]; /* plugin-defined */
        int32_t logLevel;     /* log events: the message's level (payload offset 8) */
    } log;
    struct {
        uint8_t reserved[18]; /* plugin-defined */
        uint8_t keyFrame;     /* video frames: 1 = key frame, anything else = dependent (payload offset 18) */
    } video;
} _EventPayload;

/* Input of FlatPluginEvent (184 bytes). Allocated by the raiser for the call.
 * The core copies the record and the data block; the raiser keeps and frees its
 * own block, except with EVENT_TYPE_SUPERVISOR (the core takes the malloc'ed
 * block and frees it) and EVENT_TYPE_RELEASE (data names a block the core handed
 * out earlier). */
typedef struct _EventParmsIn {
    uint32_t structSize;   /* sizeof(_EventParmsIn) */
    uint32_t version;      /* 1 */
    uint32_t dataSize;     /* byte length of the block at data (a release needs only data, not dataSize) */
    void* data;            /* the event's data block, or null */
    uint32_t providerID;   /* raiser: its systemID; 0 for a read request */
    uint32_t requestID;    /* read request this event belongs to; 0 = none */
    uint32_t eventType;    /* EVENT_TYPE_* bits */
    uint32_t eventFlags;   /* bits 0..23 and 24..31, matched against eventMasks */
    _EventPayload payload; /* type-specific, passed on unchanged */
} _EventParmsIn;

/* Output of FlatPluginEvent (12 bytes). Allocated by the raiser. */
typedef struct _EventParmsOut {
    uint32_t structSize; /* sizeof(_EventParmsOut) */
    uint32_t version;    /* 1 */
    int32_t result;      /* EVENT_RESULT_* or, for a log-level query, the threshold; some events leave it untouched */
} _EventParmsOut;

/* Input of Write (192 bytes): one routed event. data is shared with the core and
 * the other receivers and stays valid during the call; to keep it longer, set
 * retain in _WriteParmsOut and later raise EVENT_TYPE_RELEASE with your systemID
 * as providerID and the same data pointer. Never free it yourself. */
typedef struct _WriteParmsIn {
    uint32_t structSize;   /* sizeof(_WriteParmsIn) */
    uint32_t version;      /* 1 */
    uint32_t reserved8;    /* zero */
    uint8_t readMode;      /* 0 in Write records; no meaning to the core */
    uint8_t reserved13[3]; /* zero */
    uint32_t dataSize;     /* from here on: the event as raised (see _EventParmsIn) */
    void* data;            /* the core's copy of the event's data block, or null */
    uint32_t providerID;   /* raiser of the event */
    uint32_t requestID;    /* read request of the event; 0 = none */
    uint32_t eventType;    /* EVENT_TYPE_* bits */
    uint32_t eventFlags;   /* as raised */
    _EventPayload payload; /* as raised */
} _WriteParmsIn;

/* Output of Write (24 bytes). */
typedef struct _WriteParmsOut {
    uint32_t structSize;  /* sizeof(_WriteParmsOut) */
    uint32_t version;     /* 1 */
    uint32_t reserved[2]; /* zero, not read */
    int32_t error;        /* preset 0; nonzero is logged */
    uint32_t retain;      /* preset 0; nonzero: the plugin keeps the data block until it releases it */
} _WriteParmsOut;

/* Input of IOCTL (28 bytes). The data block is valid during the call:
 * IOCTL_WORKER: none. IOCTL_CONFIG: the configuration document (shared; keep it
 * with retain and release it like a Write block). IOCTL_SUPERVISOR: the packet
 * from the supervisor, IpcHeader included; copy what you keep. */
typedef struct _IoctlParmsIn {
    uint32_t structSize;  /* sizeof(_IoctlParmsIn) */
    uint32_t version;     /* 1 */
    uint32_t request;     /* IOCTL_WORKER, IOCTL_CONFIG or IOCTL_SUPERVISOR */
    uint32_t presetSize;  /* 8 for IOCTL_WORKER, 16 otherwise; no meaning to the core */
    uint32_t presetCount; /* 1; no meaning to the core */
    uint32_t dataSize;    /* byte length of the data block; 0 for IOCTL_WORKER */
    void* data;           /* the data block; null for IOCTL_WORKER */
} _IoctlParmsIn;

/* Output of IOCTL (28 bytes). */
typedef struct _IoctlParmsOut {
    uint32_t structSize;  /* sizeof(_IoctlParmsOut) */
    uint32_t version;     /* 1 */
    uint32_t request;     /* the request again */
    int32_t error;        /* preset 0; nonzero is logged (not for IOCTL_WORKER) */
    uint32_t retain;      /* preset 0; read after IOCTL_CONFIG only: nonzero keeps the data block */
    uint32_t presetSize;  /* 8; no meaning to the core */
    uint32_t presetCount; /* 1; no meaning to the core */
} _IoctlParmsOut;

/* Header of a supervisor packet (16 bytes), also the head of the data block of
 * IOCTL_SUPERVISOR. Native-endian words. */
typedef struct IpcHeader {
    uint32_t length; /* whole packet in bytes, header included: 16..65536 */
    uint32_t target; /* bits 20..31: moduleIndex of the addressed plugin (systemID bits 16..27 moved up 4 places); bits 0..19 free */
    uint32_t kind;   /* IPC_KIND_CONFIG, IPC_KIND_STOP, or anything else for a plugin */
    uint32_t extra;  /* not examined by the core */
} IpcHeader;

/* ------------------------------------------------- what a plugin exports */

/* The core's event function, exported by the dvrcore executable. Prefer the
 * pointer in _LoadParmsIn.eventFunction. */
int32_t FlatPluginEvent(struct _EventParmsIn* in, struct _EventParmsOut* out);

/* Entry points a plugin defines (only Load is required). A -1 or any other
 * nonzero return, or a nonzero error word, is a failure: from Load it rejects
 * the library; from Close, Unload, Write and IOCTL it is logged at level 0 and
 * nothing else happens; Open's value is only reported; Read's is ignored. */
DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out);
DVR_PLUGIN_EXPORT int32_t Unload(_UnloadParmsIn* in, _UnloadParmsOut* out);
DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn* in, _OpenParmsOut* out);
DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn* in, _CloseParmsOut* out);
DVR_PLUGIN_EXPORT int32_t Read(_ReadParmsIn* in, _ReadParmsOut* out);
DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out);
DVR_PLUGIN_EXPORT int32_t Seek(void* in, void* out);
DVR_PLUGIN_EXPORT int32_t IOCTL(_IoctlParmsIn* in, _IoctlParmsOut* out);

/* --------------------------------------------------------------- helpers */

/* Prepares an event and its result record: everything zero except structSize,
 * version, providerID, eventType and eventFlags; result preset to 0. Set data,
 * dataSize and the payload, then call the event function. */
static inline void DvrInitEvent(_EventParmsIn* event, _EventParmsOut* out, uint32_t providerID, uint32_t eventType,
                                uint32_t eventFlags)
{
    memset(event, 0, sizeof *event);
    event->structSize = sizeof *event;
    event->version = DVR_RECORD_VERSION;
    event->providerID = providerID;
    event->eventType = eventType;
    event->eventFlags = eventFlags;
    out->structSize = sizeof *out;
    out->version = DVR_RECORD_VERSION;
    out->result = 0;
}

/* Raises one log line in the name of `sourceID` (normally your systemID) and
 * returns the core's result. The core copies the text; a line below the
 * source's threshold is dropped. */
static inline int32_t DvrRaiseLogLine(DvrEventFunction raise, uint32_t sourceID, int32_t level, const char* text)
{
    _EventParmsIn event;
    _EventParmsOut out;
    DvrInitEvent(&event, &out, sourceID, EVENT_TYPE_LOG, EVENT_FLAGS_WORD_LOG_LINE);
    event.dataSize = (uint32_t)strlen(text) + 1;
    event.data = (void*)text;
    event.payload.log.logLevel = level;
    raise(&event, &out);
    return out.result;
}

/* ------------------------------------------------------- layout checks */

#if defined(__cplusplus)
#define DVR_LAYOUT_ASSERT(name, cond) static_assert(cond, #name)
#else
#define DVR_LAYOUT_ASSERT(name, cond) typedef char dvr_layout_assert_##name[(cond) ? 1 : -1]
#endif

/* On every target: the fields the core reads inside the payload. */
DVR_LAYOUT_ASSERT(payload_size, sizeof(_EventPayload) == 152);
DVR_LAYOUT_ASSERT(log_level_in_payload, offsetof(_EventPayload, log.logLevel) == 8);
DVR_LAYOUT_ASSERT(key_frame_in_payload, offsetof(_EventPayload, video.keyFrame) == 18);
/* Write carries the event from dataSize on, unchanged. */
DVR_LAYOUT_ASSERT(write_mirrors_event,
                  sizeof(_WriteParmsIn) - offsetof(_WriteParmsIn, dataSize) ==
                      sizeof(_EventParmsIn) - offsetof(_EventParmsIn, dataSize));
DVR_LAYOUT_ASSERT(write_payload_mirrors_event,
                  offsetof(_WriteParmsIn, payload) - offsetof(_WriteParmsIn, dataSize) ==
                      offsetof(_EventParmsIn, payload) - offsetof(_EventParmsIn, dataSize));

#if UINTPTR_MAX == 0xFFFFFFFFu
/* The 32-bit layout plugins are built against. */
DVR_LAYOUT_ASSERT(load_in_size, sizeof(_LoadParmsIn) == 16);
DVR_LAYOUT_ASSERT(load_in_event_function, offsetof(_LoadParmsIn, eventFunction) == 12);
DVR_LAYOUT_ASSERT(load_out_size, sizeof(_LoadParmsOut) == 68);
DVR_LAYOUT_ASSERT(load_out_masks, offsetof(_LoadParmsOut, eventMasks) == 12);
DVR_LAYOUT_ASSERT(load_out_mask5, offsetof(_LoadParmsOut, eventMasks[5]) == 32);
DVR_LAYOUT_ASSERT(load_out_worker, offsetof(_LoadParmsOut, workerEnabled) == 52);
DVR_LAYOUT_ASSERT(load_out_read, offsetof(_LoadParmsOut, readEnabled) == 54);
DVR_LAYOUT_ASSERT(load_out_write, offsetof(_LoadParmsOut, writeEnabled) == 55);
DVR_LAYOUT_ASSERT(load_out_error, offsetof(_LoadParmsOut, error) == 60);
DVR_LAYOUT_ASSERT(load_out_level, offsetof(_LoadParmsOut, logLevelDefault) == 64);
DVR_LAYOUT_ASSERT(open_in_size, sizeof(_OpenParmsIn) == 20);
DVR_LAYOUT_ASSERT(open_out_size, sizeof(_OpenParmsOut) == 16);
DVR_LAYOUT_ASSERT(close_in_size, sizeof(_CloseParmsIn) == 12);
DVR_LAYOUT_ASSERT(close_out_size, sizeof(_CloseParmsOut) == 12);
DVR_LAYOUT_ASSERT(close_out_error, offsetof(_CloseParmsOut, error) == 8);
DVR_LAYOUT_ASSERT(unload_in_size, sizeof(_UnloadParmsIn) == 8);
DVR_LAYOUT_ASSERT(unload_out_size, sizeof(_UnloadParmsOut) == 12);
DVR_LAYOUT_ASSERT(unload_out_error, offsetof(_UnloadParmsOut, error) == 8);
DVR_LAYOUT_ASSERT(read_in_size, sizeof(_ReadParmsIn) == 28);
DVR_LAYOUT_ASSERT(read_in_mode, offsetof(_ReadParmsIn, readMode) == 12);
DVR_LAYOUT_ASSERT(read_in_data_size, offsetof(_ReadParmsIn, dataSize) == 16);
DVR_LAYOUT_ASSERT(read_in_data, offsetof(_ReadParmsIn, data) == 20);
DVR_LAYOUT_ASSERT(read_in_request, offsetof(_ReadParmsIn, requestID) == 24);
DVR_LAYOUT_ASSERT(read_out_size, sizeof(_ReadParmsOut) == 20);
DVR_LAYOUT_ASSERT(write_in_size, sizeof(_WriteParmsIn) == 192);
DVR_LAYOUT_ASSERT(write_in_mode, offsetof(_WriteParmsIn, readMode) == 12);
DVR_LAYOUT_ASSERT(write_in_data_size, offsetof(_WriteParmsIn, dataSize) == 16);
DVR_LAYOUT_ASSERT(write_in_payload, offsetof(_WriteParmsIn, payload) == 40);
DVR_LAYOUT_ASSERT(write_out_size, sizeof(_WriteParmsOut) == 24);
DVR_LAYOUT_ASSERT(write_out_error, offsetof(_WriteParmsOut, error) == 16);
DVR_LAYOUT_ASSERT(write_out_retain, offsetof(_WriteParmsOut, retain) == 20);
DVR_LAYOUT_ASSERT(ioctl_in_size, sizeof(_IoctlParmsIn) == 28);
DVR_LAYOUT_ASSERT(ioctl_in_request, offsetof(_IoctlParmsIn, request) == 8);
DVR_LAYOUT_ASSERT(ioctl_in_data_size, offsetof(_IoctlParmsIn, dataSize) == 20);
DVR_LAYOUT_ASSERT(ioctl_in_data, offsetof(_IoctlParmsIn, data) == 24);
DVR_LAYOUT_ASSERT(ioctl_out_size, sizeof(_IoctlParmsOut) == 28);
DVR_LAYOUT_ASSERT(ioctl_out_error, offsetof(_IoctlParmsOut, error) == 12);
DVR_LAYOUT_ASSERT(ioctl_out_retain, offsetof(_IoctlParmsOut, retain) == 16);
DVR_LAYOUT_ASSERT(event_in_size, sizeof(_EventParmsIn) == 184);
DVR_LAYOUT_ASSERT(event_in_data_size, offsetof(_EventParmsIn, dataSize) == 8);
DVR_LAYOUT_ASSERT(event_in_data, offsetof(_EventParmsIn, data) == 12);
DVR_LAYOUT_ASSERT(event_in_provider, offsetof(_EventParmsIn, providerID) == 16);
DVR_LAYOUT_ASSERT(event_in_request, offsetof(_EventParmsIn, requestID) == 20);
DVR_LAYOUT_ASSERT(event_in_type, offsetof(_EventParmsIn, eventType) == 24);
DVR_LAYOUT_ASSERT(event_in_flags, offsetof(_EventParmsIn, eventFlags) == 28);
DVR_LAYOUT_ASSERT(event_in_payload, offsetof(_EventParmsIn, payload) == 32);
DVR_LAYOUT_ASSERT(event_in_log_level, offsetof(_EventParmsIn, payload.log.logLevel) == 40);
DVR_LAYOUT_ASSERT(event_in_key_frame, offsetof(_EventParmsIn, payload.video.keyFrame) == 50);
DVR_LAYOUT_ASSERT(event_out_size, sizeof(_EventParmsOut) == 12);
DVR_LAYOUT_ASSERT(event_out_result, offsetof(_EventParmsOut, result) == 8);
#endif

DVR_LAYOUT_ASSERT(ipc_header_size, sizeof(IpcHeader) == IPC_HEADER_SIZE);

#undef DVR_LAYOUT_ASSERT

#ifdef __cplusplus
}
#endif

/* clang-format on */

#endif /* DVRPLUGIN_H */
