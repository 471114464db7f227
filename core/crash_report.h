// The last word of a process that dies of a fatal signal: which plugin (file
// name and entry point) the thread was in, or that it was in the core, written
// to standard error and as a syslog datagram, with async-signal-safe calls
// only. The signal's default action then runs as it would have, so the exit
// status and any core dump stay the same.
#pragma once

#include <cstdint>

class PluginSideTable;

// The signal's name without its "SIG" ("SEGV", "TERM"), "?" for an unknown
// one; async-signal-safe (a lookup in the C library's table).
const char* SignalAbbreviation(int signal);

// Marks the calling thread, while it copies the data of an event raised
// under `sourceID`, so that a crash in the copy (a dataSize longer than the
// plugin's buffer) names the plugin that ID belongs to when the thread is in
// no plugin call: a thread the plugin started itself. Two stores per event.
class RaisedDataCopy {
public:
    explicit RaisedDataCopy(uint32_t sourceID) noexcept : outer_(source_) { source_ = sourceID; }
    ~RaisedDataCopy() { source_ = outer_; }
    RaisedDataCopy(const RaisedDataCopy&) = delete;
    RaisedDataCopy& operator=(const RaisedDataCopy&) = delete;

    // The source whose data this thread copies now; 0 when none.
    static uint32_t source() noexcept { return source_; }

private:
    static inline thread_local uint32_t source_ = 0;
    const uint32_t outer_; // the core logs while it raises
};

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, an
// alternate signal stack for the calling thread (so that a plugin that
// overflows its stack is still named), and opens the syslog socket. Plugin
// names are looked up in `plugins` without a lock. Called once at start-up.
void InstallCrashReport(PluginSideTable& plugins);

// Formats the report line for `signal` at `address` as the calling thread
// would; no allocation, no lock. Returns its length (without a NUL).
unsigned FormatCrashLine(char* line, unsigned size, int signal, const void* address);
