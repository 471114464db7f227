/*
 * ingest.so - the camera plugin: real compressed video into the core.
 *
 * Each configured camera (cameras.conf in the core's working directory, read
 * at Open, and supervisor packets at run time, see dvrcamera.h) gets a thread
 * of its own that reads the camera with FFmpeg and raises a stream
 * description and every compressed frame as media events (dvrmedia.h), under
 * a source ID of its own so that the core's admission gate keeps cameras
 * apart. Nothing is decoded.
 *
 * Threads: Open and Close come from the core's main thread, supervisor
 * packets from its I/O thread; both take the plugin's lock, which a camera's
 * thread never takes, so joining a camera under it cannot wait on the lock.
 * A supervisor request only asks a camera to stop; its thread is joined
 * once it has ended, at the latest by Close. Cameras raise their events
 * without any lock of the plugin's.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "camera_config.h"
#include "camera_stream.h"
#include "dvrcamera.h"
#include "dvrmedia.h"

namespace ingest {
namespace {

constexpr const char* kCamerasFile = "cameras.conf"; // in the core's working directory
constexpr size_t kMaxCameras = 1024;
constexpr size_t kMaxReplyText = IPC_BUFFER_SIZE - IPC_HEADER_SIZE;

struct Camera {
    CameraConfig config;
    std::unique_ptr<CameraStream> stream; // null while disabled
};

// The answer to a supervisor request: "ok" or "error: ..." and the lines.
struct Answer {
    std::string error;
    std::string lines;
};

std::string StatusLine(const Camera& camera)
{
    CameraStatus status;
    if (camera.stream)
        status = camera.stream->Status();
    char line[512];
    snprintf(line, sizeof line,
             "%u %s state=%s codec=%s size=%dx%d fps=%.1f kbps=%.0f keyint=%u frames=%llu bytes=%llu refused=%llu "
             "skipped=%llu reconnects=%llu last_frame_ms=%lld error=%s\n",
             camera.config.number, camera.config.name.c_str(), camera.stream ? StateName(status.state) : "disabled",
             status.codec.empty() ? "-" : status.codec.c_str(), status.width, status.height, status.framesPerSecond,
             status.bitsPerSecond / 1000, status.keyFrameInterval, static_cast<unsigned long long>(status.frames),
             static_cast<unsigned long long>(status.bytes), static_cast<unsigned long long>(status.refused),
             static_cast<unsigned long long>(status.skipped), static_cast<unsigned long long>(status.reconnects),
             static_cast<long long>(status.msSinceLastFrame),
             status.lastError.empty() ? "-" : status.lastError.c_str());
    return line;
}

class Plugin {
public:
    void Load(DvrEventFunction raise)
    {
        host_.raise = raise;
        host_.systemID = DVR_CAMERA_SYSTEM_ID;
    }

    void Log(int32_t level, const std::string& text) const { host_.Log(level, text); }

    void Open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        std::ifstream file(kCamerasFile);
        if (!file) {
            host_.Log(LEVEL_INFO, std::string("no ") + kCamerasFile + " in the working directory: no cameras yet");
            return;
        }
        std::stringstream text;
        text << file.rdbuf();
        CamerasFile parsed = ParseCamerasFile(text.str(), kCamerasFile);
        for (const std::string& error : parsed.errors)
            host_.Log(LEVEL_WARNING, error);
        for (CameraConfig& config : parsed.cameras)
            AddCamera(std::move(config));
        host_.Log(LEVEL_INFO, std::to_string(cameras_.size()) + " camera(s) from " + kCamerasFile);
    }

    void Close()
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        for (auto& [number, camera] : cameras_) // all at once: they stop side by side
            StopCamera(camera);
        cameras_.clear();
        Reap(true);
    }

    void Supervisor(const uint8_t* data, size_t size)
    {
        if (size < IPC_HEADER_SIZE)
            return; // the core never hands on less than a header
        IpcHeader request;
        memcpy(&request, data, sizeof request);
        std::string payload(reinterpret_cast<const char*>(data) + IPC_HEADER_SIZE, size - IPC_HEADER_SIZE);
        payload = payload.substr(0, payload.find('\0'));
        Answer answer;
        {
            std::lock_guard lock(mutex_);
            answer = Handle(request.kind, payload);
        }
        if (!answer.error.empty()) {
            char place[64];
            snprintf(place, sizeof place, "supervisor packet kind 0x%04x: ", request.kind);
            host_.Log(LEVEL_WARNING, place + answer.error);
        }
        Reply(request, answer);
    }

private:
    Answer Handle(uint32_t kind, const std::string& payload)
    {
        if (!open_ || closing_)
            return {"the plugin is not running", ""};
        const std::string argument = Trim(payload);
        switch (kind) {
        case DVR_CAMERA_ADD: {
            ParsedLine parsed = ParseCameraLine(payload);
            if (auto* problem = std::get_if<std::string>(&parsed))
                return {*problem, ""};
            auto& config = std::get<CameraConfig>(parsed);
            std::string problem = Conflict(config);
            if (!problem.empty())
                return {problem, ""};
            host_.Log(LEVEL_INFO, "camera " + config.name + ": added");
            AddCamera(std::move(config));
            return {};
        }
        case DVR_CAMERA_REMOVE:
        case DVR_CAMERA_ENABLE:
        case DVR_CAMERA_DISABLE: {
            auto found = Find(argument);
            if (found == cameras_.end())
                return {"no camera '" + argument + "'", ""};
            Camera& camera = found->second;
            const std::string name = camera.config.name;
            if (kind == DVR_CAMERA_REMOVE) {
                StopCamera(camera);
                cameras_.erase(found);
                host_.Log(LEVEL_INFO, "camera " + name + ": removed");
            } else if (kind == DVR_CAMERA_ENABLE && !camera.stream) {
                camera.config.enabled = true;
                StartCamera(camera);
                host_.Log(LEVEL_INFO, "camera " + name + ": enabled");
            } else if (kind == DVR_CAMERA_DISABLE && camera.stream) {
                camera.config.enabled = false;
                StopCamera(camera);
                host_.Log(LEVEL_INFO, "camera " + name + ": disabled");
            }
            return {};
        }
        case DVR_CAMERA_LIST: {
            Answer answer;
            for (const auto& [number, camera] : cameras_)
                answer.lines += FormatCameraLine(camera.config) + "\n";
            return answer;
        }
        case DVR_CAMERA_STATUS: {
            Answer answer;
            if (!argument.empty()) {
                auto found = Find(argument);
                if (found == cameras_.end())
                    return {"no camera '" + argument + "'", ""};
                answer.lines = StatusLine(found->second);
                return answer;
            }
            for (const auto& [number, camera] : cameras_)
                answer.lines += StatusLine(camera);
            return answer;
        }
        default: {
            char problem[64];
            snprintf(problem, sizeof problem, "unknown request kind 0x%04x", kind);
            return {problem, ""};
        }
        }
    }

    static std::string Trim(const std::string& text)
    {
        const size_t first = text.find_first_not_of(" \t\r\n");
        if (first == std::string::npos)
            return "";
        return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
    }

    std::map<uint16_t, Camera>::iterator Find(const std::string& nameOrNumber)
    {
        for (auto it = cameras_.begin(); it != cameras_.end(); ++it)
            if (it->second.config.name == nameOrNumber || std::to_string(it->first) == nameOrNumber)
                return it;
        return cameras_.end();
    }

    std::string Conflict(const CameraConfig& config) const
    {
        if (cameras_.size() >= kMaxCameras)
            return "already " + std::to_string(kMaxCameras) + " cameras";
        for (const auto& [number, camera] : cameras_) {
            if (number == config.number)
                return "camera number " + std::to_string(number) + " is already camera '" + camera.config.name + "'";
            if (camera.config.name == config.name)
                return "camera name '" + config.name + "' is already in use";
        }
        return "";
    }

    void AddCamera(CameraConfig config)
    {
        Camera& camera = cameras_[config.number];
        camera.config = std::move(config);
        if (camera.config.enabled)
            StartCamera(camera);
    }

    void StartCamera(Camera& camera)
    {
        Reap(false, camera.config.number); // its last run first: it goes on with its numbers
        try {
            camera.stream = std::make_unique<CameraStream>(host_, camera.config, numbers_[camera.config.number]);
            camera.stream->Start();
        } catch (const std::exception& error) { // no thread to be had: the camera stays off
            camera.stream.reset();
            host_.Log(LEVEL_WARNING, "camera " + camera.config.name + ": cannot start: " + error.what());
        }
    }

    // Asks the camera's thread to end without waiting for it (a camera in the
    // middle of resolving a host name can take long, and supervisor requests
    // run on the core's I/O thread); it is joined once it has ended.
    void StopCamera(Camera& camera)
    {
        if (!camera.stream)
            return;
        camera.stream->Stop();
        retired_.push_back(std::move(camera.stream));
        Reap(false);
    }

    // Joins the stopped threads that have ended (all of them with `all`, and
    // that of camera `number` in any case) and keeps their numbers for the
    // cameras' next runs.
    void Reap(bool all, int number = -1)
    {
        for (auto it = retired_.begin(); it != retired_.end();) {
            CameraStream& stream = **it;
            if (!all && !stream.Finished() && stream.config().number != number) {
                ++it;
                continue;
            }
            stream.Join();
            numbers_[stream.config().number] = stream.Numbers();
            it = retired_.erase(it);
        }
    }

    // Raises the answer as one or more blocks for the supervisor, cut at line
    // ends so that each fits one packet.
    void Reply(const IpcHeader& request, const Answer& answer) const
    {
        std::string text = (answer.error.empty() ? "ok\n" : "error: " + answer.error + "\n") + answer.lines;
        size_t at = 0;
        do {
            size_t length = text.size() - at;
            if (length > kMaxReplyText) {
                const size_t lineEnd = text.rfind('\n', at + kMaxReplyText - 1);
                length = lineEnd != std::string::npos && lineEnd >= at ? lineEnd + 1 - at : kMaxReplyText;
            }
            const bool more = at + length < text.size();
            auto* block = static_cast<uint8_t*>(malloc(IPC_HEADER_SIZE + length));
            if (!block)
                return;
            const IpcHeader header{static_cast<uint32_t>(IPC_HEADER_SIZE + length), request.target,
                                   request.kind | DVR_CAMERA_REPLY | (more ? DVR_CAMERA_REPLY_MORE : 0u),
                                   request.extra};
            memcpy(block, &header, sizeof header);
            memcpy(block + IPC_HEADER_SIZE, text.data() + at, length);
            _EventParmsIn event;
            _EventParmsOut out;
            DvrInitEvent(&event, &out, host_.systemID, EVENT_TYPE_SUPERVISOR, 0);
            event.data = block; // the core takes it over and frees it
            event.dataSize = header.length;
            host_.raise(&event, &out);
            at += length;
        } while (at < text.size());
    }

    Host host_;
    std::mutex mutex_; // everything below; never taken by a camera's thread
    bool open_ = false, closing_ = false;
    std::map<uint16_t, Camera> cameras_;
    std::map<uint16_t, StreamNumbers> numbers_;
    std::vector<std::unique_ptr<CameraStream>> retired_; // stopped, not yet joined
};

Plugin plugin;

// Runs an entry point's work; nothing it throws may cross into the core.
template <class Work>
int32_t Guarded(const char* entry, Work work)
{
    try {
        work();
        return 0;
    } catch (const std::exception& error) {
        plugin.Log(LEVEL_WARNING, std::string(entry) + " failed: " + error.what());
    }
    return 1;
}

} // namespace
} // namespace ingest

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    // FFmpeg would write to the core's terminal; every failure that matters
    // reaches the log as a camera's line instead.
    av_log_set_level(AV_LOG_QUIET);
    avformat_network_init();
    ingest::plugin.Load(in->eventFunction);
    out->systemID = DVR_CAMERA_SYSTEM_ID;
    out->logLevelDefault = LEVEL_INFO;
    return 0;
}

int32_t Open(_OpenParmsIn* in, _OpenParmsOut* out)
{
    (void)in;
    (void)out;
    return ingest::Guarded("Open", [] { ingest::plugin.Open(); });
}

int32_t IOCTL(_IoctlParmsIn* in, _IoctlParmsOut* out)
{
    (void)out;
    if (in->request != IOCTL_SUPERVISOR || !in->data)
        return 0;
    return ingest::Guarded("supervisor packet",
                           [in] { ingest::plugin.Supervisor(static_cast<const uint8_t*>(in->data), in->dataSize); });
}

int32_t Close(_CloseParmsIn* in, _CloseParmsOut* out)
{
    (void)in;
    (void)out;
    return ingest::Guarded("Close", [] { ingest::plugin.Close(); });
}

int32_t Unload(_UnloadParmsIn* in, _UnloadParmsOut* out)
{
    (void)in;
    (void)out;
    avformat_network_deinit();
    return 0;
}
