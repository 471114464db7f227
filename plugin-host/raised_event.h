// The host's decision table for a raised event, as pure functions: what kind
// of event it is, and what becomes of a log line against its source's
// threshold. The core's event entry and the plugin harness both answer by it.
#pragma once

#include <cstdint>

#include "dvrplugin.h"

enum class RaisedKind {
    Release,         // a holder gives a block back
    SupervisorBlock, // a block for the supervisor, taken over
    ReadRequest,     // source 0: a read request, handled on the spot...
    CloseRequest,    // ...or its closing
    LogQuery,        // asks for the source's threshold
    LogLine,         // written when its level passes, then passed on like any event
    Event,           // admitted, copied and delivered
};

inline RaisedKind ClassifyRaised(const _EventParmsIn& event)
{
    if (event.eventType == EVENT_TYPE_RELEASE)
        return RaisedKind::Release;
    if (event.eventType == EVENT_TYPE_SUPERVISOR)
        return RaisedKind::SupervisorBlock;
    // No plugin raises as source 0.
    if (event.providerID == 0)
        return event.eventType == EVENT_TYPE_CLOSE_REQUEST ? RaisedKind::CloseRequest : RaisedKind::ReadRequest;
    if (event.eventType & EVENT_TYPE_LOG) {
        if (event.eventFlags & EVENT_FLAG_BIT_LOG_LINE)
            return RaisedKind::LogLine;
        if (event.eventFlags & EVENT_FLAG_BIT_LOG_QUERY)
            return RaisedKind::LogQuery;
    }
    return RaisedKind::Event;
}

// A log line of `level` from a source whose threshold is `threshold` (-1:
// none): dropped unanswered below the threshold; written and not passed on
// at level 0 without a threshold; otherwise written and passed on.
enum class LogLineFate { Dropped, WrittenOnly, WrittenAndPassedOn };
inline LogLineFate FateOfLogLine(int32_t threshold, int32_t level)
{
    if (threshold >= 0 && threshold > level)
        return LogLineFate::Dropped;
    if (threshold < 0 && level == 0)
        return LogLineFate::WrittenOnly;
    return LogLineFate::WrittenAndPassedOn;
}
