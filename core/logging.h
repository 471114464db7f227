// The one logging call of the core. Every message is a log event raised
// through the event function, filtered on arrival against its source's
// threshold, written by dvrcore::WriteLog and passed on to subscribed plugins.
//
// The terminal and syslog are written by threads of their own, never by the
// thread that logs: a line is queued (a bounded queue per output) and the
// output's thread writes it. When an output does not keep up (a terminal
// nobody reads) its queue fills and further lines are dropped and counted;
// once it takes lines again, one line says how many were dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/log_levels.h"
#include "dvrplugin.h"

// Sends a log line when the source's threshold lets `level` pass. Formats
// nothing and allocates nothing below the threshold.
void LogMessage(uint32_t sourceID, DvrEventFunction function, int32_t level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// True when the source's threshold is -1 or `level` reaches it.
bool LogLevelEnabled(uint32_t sourceID, DvrEventFunction function, int32_t level);

// Asks the core for the source's threshold through a level-query event.
int32_t QueryLogLevel(uint32_t sourceID, DvrEventFunction function);

// From here on the terminal and syslog are written by their own threads.
// Until then (the start-up, single-threaded while it drops privileges) a line
// is written on the thread that logs it.
void StartLogOutputThreads();
// Queues `parts` (written one after the other as one line, its newline
// included) for the terminal; never waits for the terminal.
void QueueTerminalLine(const char* const* parts, const size_t* lengths, int count);
// Queues a syslog message at LOG_CRIT; never waits for the syslog daemon.
void QueueSyslogLine(const char* text);
// The crash handler's: writes the lines still queued for the terminal on the
// calling thread, so that the lines before a crash come before its line.
void WriteQueuedTerminalLinesAtCrash();
// Waits until the queued lines are written or an output made no progress for
// a second (the process is about to exit).
void FlushLogOutput();
