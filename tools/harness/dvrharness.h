/*
 * dvrharness.h - a test harness for tarvoSentry core plugins.
 *
 * Loads one plugin library into the test process and plays the core around
 * it: Load, Open, Close and Unload with the records the core passes; events
 * delivered to Write by the core's own routing rules; configuration documents
 * through IOCTL_CONFIG and supervisor packets through IOCTL_SUPERVISOR; the
 * worker IOCTL on a thread of its own when the descriptor asks for it. Every
 * event the plugin raises is answered as the core would answer it (releases,
 * supervisor blocks, log lines against the slot's threshold, log-level
 * queries) and recorded for the test to examine. Data blocks handed to the
 * plugin are accounted: what it kept and did not give back by Close is
 * reported, naming the call that handed it out.
 *
 * Usable from any C or C++ test framework. One harness at a time per process.
 * Functions that return pointers keep them valid until DvrHarnessUnload.
 */
#ifndef DVRHARNESS_H
#define DVRHARNESS_H

#include <stddef.h>
#include <stdint.h>

#include "dvrplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Marks the harness's functions as exported from its shared library. */
#if defined(__GNUC__) || defined(__clang__)
#define DVR_HARNESS_API __attribute__((visibility("default")))
#else
#define DVR_HARNESS_API
#endif

typedef struct DvrHarness DvrHarness;

/* Opens the library and calls its Load as the core does. Returns NULL only
 * when a harness is already loaded in this process or memory ran out; check
 * DvrHarnessRejection before going on. */
DVR_HARNESS_API DvrHarness* DvrHarnessLoad(const char* libraryPath);

/* NULL when the core would accept the plugin, else the message the core logs
 * when it rejects it. A rejected plugin receives no further calls. */
DVR_HARNESS_API const char* DvrHarnessRejection(const DvrHarness* harness);

/* The descriptor Load filled in. */
DVR_HARNESS_API const _LoadParmsOut* DvrHarnessDescriptor(const DvrHarness* harness);

/* Sets the log threshold of the plugin's slot (what core.xml would set); it
 * starts as the core would leave it: the plugin's logLevelDefault when the core
 * takes it, else -1. */
DVR_HARNESS_API void DvrHarnessSetLogThreshold(DvrHarness* harness, int32_t threshold);

/* Starts the worker (IOCTL_WORKER on a thread) when workerEnabled is set, then
 * calls Open. Returns Open's value. */
DVR_HARNESS_API int32_t DvrHarnessOpen(DvrHarness* harness);

/* Delivers one event as the core's writer does: the data block is copied; a
 * configuration event (EVENT_TYPE_CONFIG) from another source goes to IOCTL
 * with IOCTL_CONFIG; otherwise Write is called when writeEnabled is set and the
 * masks accept the event. Returns 1 when the plugin was called and succeeded,
 * 0 when the event does not reach it, -1 when the call returned a failure.
 * Called from one thread at a time, as the core's writer delivers. */
DVR_HARNESS_API int DvrHarnessDeliver(DvrHarness* harness, const _EventParmsIn* event);

/* Why DvrHarnessDeliver would not call the plugin with `event`: NULL when it
 * would, else one line ("writeEnabled is 0", the mask that lacks bits of the
 * event's routing class, a configuration document the plugin raised itself,
 * ...). Deliver prints the same line to stderr when it calls nothing. The
 * text stays valid until the next call. */
DVR_HARNESS_API const char* DvrHarnessWhyNotDelivered(DvrHarness* harness, const _EventParmsIn* event);

/* Delivers a configuration document (text with its terminating zero) from
 * the core through IOCTL_CONFIG. Returns as DvrHarnessDeliver. */
DVR_HARNESS_API int DvrHarnessConfigure(DvrHarness* harness, const char* document);

/* Sends one supervisor packet of `kind` with the payload to the plugin through
 * IOCTL_SUPERVISOR, addressed to its moduleIndex; the 16-byte IpcHeader is
 * added. Returns 1 on success, -1 on a failure, 0 when the plugin has no IOCTL. */
DVR_HARNESS_API int DvrHarnessSupervisorPacket(DvrHarness* harness, uint32_t kind, const void* payload,
                                               uint32_t payloadSize);

/* Events the plugin raised that the core would have queued, in order. The
 * record's data points at the harness's copy (null when there was none). */
DVR_HARNESS_API size_t DvrHarnessRaisedCount(const DvrHarness* harness);
DVR_HARNESS_API const _EventParmsIn* DvrHarnessRaised(const DvrHarness* harness, size_t index);

/* Log lines the core would have written (its threshold let them through). */
DVR_HARNESS_API size_t DvrHarnessLogCount(const DvrHarness* harness);
DVR_HARNESS_API const char* DvrHarnessLogLine(const DvrHarness* harness, size_t index);

/* Blocks the plugin raised for the supervisor (EVENT_TYPE_SUPERVISOR). */
DVR_HARNESS_API size_t DvrHarnessSupervisorBlockCount(const DvrHarness* harness);
DVR_HARNESS_API const void* DvrHarnessSupervisorBlock(const DvrHarness* harness, size_t index, uint32_t* size);

/* Stops accepting events as the stopping core does (they get result 1), calls
 * Close and joins the worker. Returns 0 when Close returned 0 with error 0,
 * else Close's value (or its error word). */
DVR_HARNESS_API int32_t DvrHarnessClose(DvrHarness* harness);

/* Blocks the plugin still holds: one line each, naming the call that handed
 * it out. Empty text and a count of 0 when nothing is held. */
DVR_HARNESS_API size_t DvrHarnessLeakCount(const DvrHarness* harness);
DVR_HARNESS_API const char* DvrHarnessLeakReport(DvrHarness* harness);

/* Closes first if the test did not, calls Unload, unmaps the library, frees
 * every block and the harness. */
DVR_HARNESS_API void DvrHarnessUnload(DvrHarness* harness);

#ifdef __cplusplus
}
#endif

#endif /* DVRHARNESS_H */
