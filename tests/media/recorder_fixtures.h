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

// What players see: frames decoded by ffmpeg (and whether it complained), the
// duration ffprobe reports.
struct Playback {
    int decodedFrames = -1;
    std::string errors;
    double duration = -1;
};
Playback Play(const fs::path& file);

} // namespace recordertest
