#include "core/logging.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/dvrcore.h"

namespace {

_EventParmsIn LogEvent(uint32_t sourceID, uint32_t flags)
{
    _EventParmsIn event;
    memset(&event, 0, sizeof event);
    event.structSize = sizeof event;
    event.version = DVR_RECORD_VERSION;
    event.providerID = sourceID;
    event.eventType = EVENT_TYPE_LOG;
    event.eventFlags = flags;
    return event;
}

_EventParmsOut EventResult()
{
    return _EventParmsOut{sizeof(_EventParmsOut), DVR_RECORD_VERSION, 0};
}

} // namespace

int32_t QueryLogLevel(uint32_t sourceID, DvrEventFunction function)
{
    _EventParmsIn query = LogEvent(sourceID, EVENT_FLAGS_LOG_QUERY);
    _EventParmsOut out = EventResult();
    function(&query, &out);
    return out.result;
}

bool LogLevelEnabled(uint32_t sourceID, DvrEventFunction function, int32_t level)
{
    int32_t threshold = QueryLogLevel(sourceID, function);
    return threshold == -1 || level >= threshold;
}

void LogMessage(uint32_t sourceID, DvrEventFunction function, int32_t level, const char* format, ...)
{
    if (!function || !LogLevelEnabled(sourceID, function, level))
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length <= 0)
        return;
    size_t stored = strlen(text);
    _EventParmsIn message = LogEvent(sourceID, EVENT_FLAGS_LOG_LINE);
    message.dataSize = static_cast<uint32_t>(stored + 1);
    message.data = text;
    message.payload.log.logLevel = level;
    _EventParmsOut out = EventResult();
    function(&message, &out);
}

void dvrcore::WriteLog(uint32_t sourceID, uint32_t level, const char* text)
{
    if (!text)
        return;
    static const bool terminal = isatty(STDOUT_FILENO) == 1;
    if (level == LEVEL_CRITICAL)
        syslog(LOG_CRIT, "%s", text);
    if (!terminal || backgroundMode)
        return;

    time_t seconds = time(nullptr);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char name[7] = "?";
    host_.CopyModuleName(sourceID, name, sizeof name);
    if (level <= 100) {
        static const int colours[] = {5, 2, 3, 1, 1};
        printf("\033[3%dm%02d:%02d:%02d\033[36m %-6.6s\033[0m %s\n", colours[level / 25], utc.tm_hour, utc.tm_min,
               utc.tm_sec, name, text);
    } else {
        printf("%02d:%02d:%02d %-6.6s %s\n", utc.tm_hour, utc.tm_min, utc.tm_sec, name, text);
    }
}
