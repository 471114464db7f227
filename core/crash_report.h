// The last word of a process that dies of a fatal signal: which plugin (file
// name and entry point) the thread was in, or that it was in the core, written
// to standard error and as a syslog datagram, with async-signal-safe calls
// only. The signal's default action then runs as it would have, so the exit
// status and any core dump stay the same.
#pragma once

class PluginSideTable;

// Installs the handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, an
// alternate signal stack for the calling thread (so that a plugin that
// overflows its stack is still named), and opens the syslog socket. Plugin
// names are looked up in `plugins` without a lock. Called once at start-up.
void InstallCrashReport(PluginSideTable& plugins);

// Formats the report line for `signal` at `address` as the calling thread
// would; no allocation, no lock. Returns its length (without a NUL).
unsigned FormatCrashLine(char* line, unsigned size, int signal, const void* address);
