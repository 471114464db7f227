// The recorder: takes frames on the core's writer thread without touching the
// disk, and writes them on a thread of its own into one segment file per
// camera at a time, keeps the index and the disk within bounds.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dvrmedia.h"
#include "dvrplugin.h"
#include "file_system.h"
#include "recorder_config.h"
#include "recording_index.h"
#include "segment_writer.h"

namespace recorder {

// Brings fragments to the disk on a thread of its own: one camera's slow
// sync must not hold up the writing of every other camera.
class FragmentSyncer {
public:
    explicit FragmentSyncer(FileSystem& files);
    ~FragmentSyncer(); // syncs what was handed over, then ends
    FragmentSyncer(const FragmentSyncer&) = delete;
    FragmentSyncer& operator=(const FragmentSyncer&) = delete;
    // Takes a duplicate of `fd`, so the writer may close its own meanwhile.
    void Sync(int fd);

private:
    void Run();
    FileSystem& files_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<int> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

struct RecorderHooks {
    std::function<void(void* block)> release;                        // gives a kept frame back
    std::function<void(int32_t level, const std::string& text)> log; // one log line
    std::function<int64_t()> wallNowUs;                              // microseconds since 1970
};

class Recorder {
public:
    Recorder(RecorderConfig config, FileSystem& files, RecorderHooks hooks);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Starts the writing thread, which first brings the index up to date.
    void Start();
    // Writes everything taken so far, closes the segments, gives every block back.
    void Stop();

    // From the core's writer thread; none of them waits for the disk.
    // Frame returns true when it kept the block (the caller retains it; the
    // recorder releases it once written), false when it dropped the frame.
    bool Frame(const DvrMediaFrameInfo& info, void* block, uint32_t size);
    void Stream(const DvrMediaStreamInfo& info, const void* parameterSets, uint32_t size);
    void StreamEnd(const DvrMediaStreamInfo& info);

    struct Counters {
        uint64_t framesWritten = 0;
        uint64_t segmentsClosed = 0;
        uint64_t framesDropped = 0; // past the per-camera cap on frames waiting for the disk
    };
    Counters counters() const;
    // Bytes of kept frames not yet written, for one camera.
    int64_t waitingBytes(uint16_t camera) const;
    // True once the writing thread has brought the index up to date.
    bool ready() const;

private:
    struct Item {
        enum Kind { kFrame, kStream, kEnd } kind;
        DvrMediaFrameInfo frame;
        DvrMediaStreamInfo stream;
        void* block;
        uint32_t size;
        std::vector<uint8_t> parameterSets;
    };
    struct Intake {
        int64_t waitingBytes = 0;
        bool dropping = false;
        uint64_t dropped = 0; // in the current episode
    };
    struct Camera;

    static constexpr size_t kGatherItems = 64;

    void Push(Item item);
    void Run();
    void Process(Item& item);
    void OnFrame(const Item& item);
    void OnStream(const Item& item);
    void OnStreamEnd(const Item& item);
    Camera& CameraOf(uint16_t number);
    void NoteSequence(Camera& camera, uint32_t sequence);
    bool OpenSegment(Camera& camera, const Item& item);
    void CloseSegment(Camera& camera, const char* reason);
    // `atUs`: the wall clock of the frame that met the failure; the retry counts from it.
    void DiskFailed(Camera& camera, int error, int64_t atUs);
    void RunRetention();
    void Log(int32_t level, const std::string& text);
    std::string PathOf(const std::string& relative) const;
    int64_t Now() const { return hooks_.wallNowUs(); }
    // When a frame arrived: the camera's reception time, which moves with the video.
    int64_t FrameTime(const DvrMediaFrameInfo& f) const { return f.wallClockUs > 0 ? f.wallClockUs : Now(); }

    const RecorderConfig config_;
    FileSystem& files_;
    const RecorderHooks hooks_;

    // Shared between the core's writer thread and the writing thread.
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    std::map<uint16_t, Intake> intake_;
    bool running_ = false, stopping_ = false, ready_ = false;
    Counters counters_;
    std::thread thread_;

    // The writing thread's own.
    RecordingIndex index_;
    std::unique_ptr<FragmentSyncer> syncer_; // while the writing thread runs, when fragments are synced
    bool indexFailing_ = false;
    uint64_t framesWritten_ = 0; // in the current batch
    std::map<uint16_t, std::unique_ptr<Camera>> cameras_;
    bool diskFailing_ = false;
    int64_t retryAtUs_ = 0;
    int64_t nextRetentionUs_ = 0;
};

} // namespace recorder
