// Shared by the recorder's tests: real H.264 made with the ffmpeg command and
// turned into the frames a camera would raise (Annex B access units), and
// what ffprobe and libavformat read back from recorded files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace recordertest {

namespace fs = std::filesystem;

struct ClipFrame {
    std::vector<uint8_t> data; // Annex B
    bool key = false;
    int64_t pts = 0, dts = 0, duration = 0;
};

struct Clip {
    std::vector<uint8_t> parameterSets; // Annex B SPS + PPS
    uint32_t timeBaseNum = 1, timeBaseDen = 1;
    uint32_t width = 0, height = 0;
    std::vector<ClipFrame> frames;
};

// A test pattern of `seconds` at 25 frames/s with a key frame every `gop`
// frames, encoded once per process into `dir`.
Clip MakeClip(const fs::path& dir, int seconds, int gop);

// Runs a shell command; its standard output and error.
std::string Shell(const std::string& command, int* status = nullptr);

// The frames of a recorded file as length-prefixed NAL units, each with its
// decode time in microseconds from the file's first frame and its key flag.
struct RecordedFrame {
    std::vector<uint8_t> nals;
    int64_t dtsUs = 0;
    bool key = false;
};
std::vector<RecordedFrame> ReadRecorded(const fs::path& file);
// An Annex B access unit in the same form as ReadRecorded's.
std::vector<uint8_t> LengthPrefixed(const std::vector<uint8_t>& annexB);
// The hash the media probe journals for a frame (FNV-1a over its H.264 coded
// slices), here of a recorded frame's length-prefixed NAL units.
std::string SliceHash(const std::vector<uint8_t>& nals);

// What players see: frames decoded by ffmpeg (and whether it complained), the
// duration ffprobe reports.
struct Playback {
    int decodedFrames = -1;
    std::string errors;
    double duration = -1;
};
Playback Play(const fs::path& file);

} // namespace recordertest

#include <condition_variable>
#include <map>
#include <mutex>

#include "file_system.h"

namespace recordertest {

// Real files under a quota the test sets: past it writes fail with ENOSPC and
// the free space reported shrinks as files grow. Writes can also be made to
// fail with another error, or to wait until the test lets them go.
class QuotaFiles : public recorder::FileSystem {
public:
    explicit QuotaFiles(int64_t quota) : quota_(quota) {}

    int Create(const std::string& path) override;
    ssize_t Write(int fd, const void* data, size_t size) override;
    int Close(int fd) override;
    int Remove(const std::string& path) override;
    int Truncate(const std::string& path, int64_t size) override;
    int64_t FreeBytes(const std::string& path) override;

    void SetQuota(int64_t quota);
    void FailWrites(int error); // 0: no longer
    void HoldWrites(bool hold); // true: every write waits until released
    int64_t used() const;
    int writesWaiting() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    int64_t quota_, used_ = 0;
    int failWith_ = 0;
    bool hold_ = false;
    int waiting_ = 0;
    std::map<int, std::string> open_;
    std::map<std::string, int64_t> sizes_;
};

} // namespace recordertest
