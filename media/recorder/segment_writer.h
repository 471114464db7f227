// One segment file: fragmented MP4 written by libavformat through the
// recorder's file calls. The file starts with its codec description (an
// empty moov) and then holds fragments (moof + mdat) of about a second each,
// so a file cut at any point plays up to its last complete fragment; a
// segment closed cleanly ends with a fragment index (mfra) through which
// players find its duration and seek.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "file_system.h"

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace recorder {

// What a segment's single video track is.
struct StreamParams {
    uint32_t codec = 0;             // DVR_MEDIA_CODEC_*
    uint32_t width = 0, height = 0; // 0 = not known
    uint32_t timeBaseNum = 1, timeBaseDen = 90000;
    std::vector<uint8_t> parameterSets; // Annex B
};

class SegmentWriter {
public:
    // `syncFragment`, when given, is handed the descriptor after every
    // fragment, to bring it to the disk; Close always syncs.
    explicit SegmentWriter(FileSystem& files, std::function<void(int fd)> syncFragment = {});
    ~SegmentWriter(); // abandons an open file
    SegmentWriter(const SegmentWriter&) = delete;
    SegmentWriter& operator=(const SegmentWriter&) = delete;

    // Creates `path` and writes the file header. 0 or -errno (or a negative
    // libavformat code when the stream cannot be described).
    int Open(const std::string& path, const StreamParams& params);
    // Appends one Annex B access unit; timestamps are in the stream's time
    // base, counted from the segment's first frame (dts 0). 0 or a negative code.
    int Write(const uint8_t* data, size_t size, bool keyFrame, int64_t pts, int64_t dts, int64_t duration);
    // Writes the last fragment and the index, syncs and closes. 0 or a negative code.
    int Close();
    // Closes the file as it stands (after a failure): what reached the disk stays.
    void Abandon();

    bool open() const { return format_ != nullptr; }
    uint64_t bytes() const { return bytes_; }
    // The first errno a file call failed with, or 0.
    int fileError() const { return fileError_; }

private:
    static int WritePacket(void* opaque, uint8_t* data, int size); // FFmpeg 5.1: not const
    int FlushFragment();
    void Release();

    FileSystem& files_;
    int64_t fragmentTicks_ = 0; // a second in the stream's time base
    const std::function<void(int fd)> syncFragment_;
    AVFormatContext* format_ = nullptr;
    AVIOContext* io_ = nullptr;
    AVPacket* packet_ = nullptr; // reused for every frame
    int fd_ = -1;
    uint64_t bytes_ = 0;
    int fileError_ = 0;
    int64_t fragmentStart_ = 0;
    bool fragmentEmpty_ = true;
    int timeBaseNum_ = 1, timeBaseDen_ = 90000;
};

} // namespace recorder
