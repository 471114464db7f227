// The one logging call of the core. Every message is a log event raised
// through the event function, filtered on arrival against its source's
// threshold, written by dvrcore::WriteLog and passed on to subscribed plugins.
#pragma once

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
