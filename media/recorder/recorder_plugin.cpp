// The recorder plugin: the SDK entry points around the recorder. Write keeps
// each frame's block (retain) and queues it; the recorder's own thread writes
// it and gives the block back, so the core's writer never waits for the disk.
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include "dvrmedia.h"
#include "dvrplugin.h"
#include "recorder.h"

namespace {

constexpr uint32_t kRecorderID = 0x00270000u;
constexpr const char* kConfigFile = "recorder.conf"; // in the core's working directory

DvrEventFunction raiseEvent;
std::mutex lifecycle; // Open and Close against Write
std::unique_ptr<recorder::Recorder> active;

void LogLine(int32_t level, const std::string& text)
{
    DvrRaiseLogLine(raiseEvent, kRecorderID, level, text.c_str());
}

void ReleaseBlock(void* block)
{
    _EventParmsIn event;
    _EventParmsOut out;
    DvrInitEvent(&event, &out, kRecorderID, EVENT_TYPE_RELEASE, 0);
    event.data = block;
    raiseEvent(&event, &out);
}

int64_t WallNowUs()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

} // namespace

extern "C" {

DVR_PLUGIN_EXPORT int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    raiseEvent = in->eventFunction;
    out->systemID = kRecorderID;
    out->eventMasks[DVR_EVENT_MASK_INDEX_MEDIA] = DVR_MEDIA_RECEIVER_MASK;
    out->writeEnabled = 1;
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Open(_OpenParmsIn*, _OpenParmsOut*)
{
    recorder::RecorderConfig config;
    std::ifstream file(kConfigFile);
    if (file) {
        std::stringstream text;
        text << file.rdbuf();
        for (const std::string& problem : recorder::ParseConfig(text.str(), config))
            LogLine(LEVEL_WARNING, std::string("recorder: ") + kConfigFile + " " + problem);
    }
    auto made = std::make_unique<recorder::Recorder>(config, recorder::RealFiles(),
                                                     recorder::RecorderHooks{&ReleaseBlock, &LogLine, &WallNowUs});
    made->Start();
    std::lock_guard lock(lifecycle);
    active = std::move(made);
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Write(_WriteParmsIn* in, _WriteParmsOut* out)
{
    if (!(in->eventType & EVENT_TYPE_MEDIA))
        return 0;
    std::lock_guard lock(lifecycle);
    if (!active)
        return 0;
    if (in->eventFlags & DVR_MEDIA_FLAG_FRAME) {
        DvrMediaFrameInfo frame;
        if (DvrMediaGetFrameInfo(&in->payload, &frame) && in->data && in->dataSize &&
            DVR_MEDIA_CAMERA(in->providerID) == frame.camera)
            out->retain = active->Frame(frame, in->data, in->dataSize) ? 1 : 0;
    } else if (in->eventFlags & (DVR_MEDIA_FLAG_STREAM | DVR_MEDIA_FLAG_STREAM_END)) {
        DvrMediaStreamInfo stream;
        if (!DvrMediaGetStreamInfo(&in->payload, &stream))
            return 0;
        if (in->eventFlags & DVR_MEDIA_FLAG_STREAM_END)
            active->StreamEnd(stream);
        else
            active->Stream(stream, in->data, in->dataSize);
    }
    return 0;
}

DVR_PLUGIN_EXPORT int32_t Close(_CloseParmsIn*, _CloseParmsOut*)
{
    std::unique_ptr<recorder::Recorder> closing;
    {
        std::lock_guard lock(lifecycle);
        closing = std::move(active);
    }
    if (!closing)
        return 0;
    closing->Stop(); // writes what is queued and gives every block back
    const recorder::Recorder::Counters counters = closing->counters();
    LogLine(LEVEL_INFO, "recorder: recorded " + std::to_string(counters.framesWritten) + " frames in " +
                            std::to_string(counters.segmentsClosed) + " segments, dropped " +
                            std::to_string(counters.framesDropped));
    return 0;
}

} // extern "C"
