// One camera's ingest: a thread that connects to the camera (rtsp:// over
// TCP with the plugin's own RTSP client, anything else with FFmpeg), raises a stream description and then every compressed frame as media
// events (dvrmedia.h), and reconnects with a capped back-off when the camera
// stops sending, refuses or drops the connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "camera_config.h"
#include "dvrplugin.h"

struct AVPacket;

namespace ingest {

// What a stream needs of its plugin.
struct Host {
    DvrEventFunction raise = nullptr; // the core's event function
    uint32_t systemID = 0;            // the plugin's; a camera's source ID adds its number
    void Log(int32_t level, const std::string& text) const;
};

// Numbers that outlive one run of a camera's thread: a camera disabled and
// enabled again goes on counting, so a receiver sees the gap.
struct StreamNumbers {
    uint32_t nextSequence = 0; // sequence of the next frame read
    uint16_t generation = 0;   // generation of the last description raised
};

enum class CameraState { Stopped, Connecting, Connected, Reconnecting };
const char* StateName(CameraState state);

// What the status request reports of a camera.
struct CameraStatus {
    CameraState state = CameraState::Stopped;
    std::string codec; // "h264", "h265"; empty before the first connection
    int width = 0, height = 0;
    double framesPerSecond = 0; // frames read per second, over the last second or so
    double bitsPerSecond = 0;
    uint32_t keyFrameInterval = 0;  // frames from one key frame to the next; 0 = not seen yet
    uint64_t frames = 0, bytes = 0; // raised and accepted by the core
    uint64_t refused = 0;           // frames the core refused (admission, throttling, memory)
    uint64_t skipped = 0;           // frames not raised while waiting for a key frame
    uint64_t reconnects = 0;
    int64_t msSinceLastFrame = -1; // -1: no frame yet
    std::string lastError;         // why the last connection ended or failed
};

class CameraStream {
public:
    CameraStream(const Host& host, CameraConfig config, StreamNumbers numbers);
    ~CameraStream(); // stops and joins
    CameraStream(const CameraStream&) = delete;
    CameraStream& operator=(const CameraStream&) = delete;

    const CameraConfig& config() const { return config_; }
    void Start();
    // Asks the thread to end; returns at once. Blocking FFmpeg calls see it
    // through their interrupt callback, the own RTSP client between two
    // polls, within a fraction of a second.
    void Stop();
    // Waits for the thread; afterwards Numbers() is final.
    void Join();
    StreamNumbers Numbers() const;
    // True once the thread has ended: Join returns at once.
    bool Finished() const { return finished_; }
    CameraStatus Status() const;

private:
    struct Session;
    struct Outcome {
        bool connected = false; // it got as far as a described stream
        std::string reason;     // why it ended
    };

    void Run();
    Outcome RunSession();
    // An rtsp:// camera over TCP read by the plugin's own client. Sets
    // `fallBack` when the client cannot take the camera's stream: FFmpeg
    // reads it then, this connection, and the following ones once the
    // client could not take it kFallbacksToLatch times in a row.
    Outcome RunRtsp(Session& session, bool& fallBack);
    void Announce(Session& session);
    void ProbePicture(Session& session, const uint8_t* data, size_t size);
    bool ParsePicture(Session& session, const uint8_t* data, int size);
    Outcome OpenInput(Session& session);
    Outcome ReadFrames(Session& session);
    bool HandleNewParameters(Session& session, const uint8_t* extradata, size_t size);
    bool Pace(Session& session, int64_t timestamp);
    void Deliver(Session& session, AVPacket& packet);
    void Emit(Session& session, const AVPacket& packet);
    void Lose(Session& session, size_t bytes);
    void CheckParameterSets(Session& session, const AVPacket& packet);
    bool RaiseDescription(Session& session, uint32_t sequence);
    void RaiseStreamEnd(Session& session);
    void CountFrame(bool keyFrame, size_t bytes, bool raised, bool refused);
    void SetState(CameraState state, const std::string& error = "");
    bool WaitFor(int64_t ns); // false when stopped meanwhile
    static int Interrupted(void* opaque);

    const Host host_;
    const CameraConfig config_;
    const uint32_t sourceID_;
    StreamNumbers numbers_;   // the thread's own until Join
    bool ffmpegRtsp_ = false; // the own RTSP client could not take this camera: FFmpeg reads it
    int fallbacks_ = 0;       // connections in a row the own client could not take
    static constexpr int kFallbacksToLatch = 3;

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::mutex waitMutex_;
    std::condition_variable wake_;
    std::atomic<int64_t> deadline_{0}; // of the blocking FFmpeg call in progress (coarse monotonic ns)

    // Status, written by the thread and read by status requests; never held
    // across a call into the core.
    mutable std::mutex statusMutex_;
    CameraStatus status_;
    int64_t lastFrameAt_ = 0, windowStart_ = 0;
    uint64_t windowFrames_ = 0, windowBytes_ = 0;
    uint32_t framesSinceKey_ = 0;
    bool keySeen_ = false;
};

} // namespace ingest
