#include "recorder_fixtures.h"

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include <array>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

#include "annexb.h"
#include "dvrmedia.h"
#include "dvrplugin.h"

namespace recordertest {

std::string Shell(const std::string& command, int* status)
{
    std::string output;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    std::array<char, 4096> buffer;
    for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        output.append(buffer.data(), n);
    const int result = pclose(pipe);
    if (status)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return output;
}

Clip MakeClip(const fs::path& dir, int seconds, int gop)
{
    const fs::path file = dir / ("clip-" + std::to_string(seconds) + "-" + std::to_string(gop) + ".mp4");
    if (!fs::exists(file)) {
        int status = 0;
        const std::string output =
            Shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x180:rate=25 -t " + std::to_string(seconds) +
                      " -c:v libx264 -g " + std::to_string(gop) + " -bf 0 -pix_fmt yuv420p " + file.string(),
                  &status);
        if (status != 0)
            throw std::runtime_error("ffmpeg failed: " + output);
    }
    Clip clip;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, file.c_str(), nullptr, nullptr) < 0)
        throw std::runtime_error("cannot open " + file.string());
    avformat_find_stream_info(input, nullptr);
    AVStream* stream = input->streams[0];
    clip.timeBaseNum = static_cast<uint32_t>(stream->time_base.num);
    clip.timeBaseDen = static_cast<uint32_t>(stream->time_base.den);
    clip.width = static_cast<uint32_t>(stream->codecpar->width);
    clip.height = static_cast<uint32_t>(stream->codecpar->height);
    // What a camera gets off an RTSP stream: Annex B, parameter sets in band.
    AVBSFContext* bsf = nullptr;
    av_bsf_alloc(av_bsf_get_by_name("h264_mp4toannexb"), &bsf);
    avcodec_parameters_copy(bsf->par_in, stream->codecpar);
    bsf->time_base_in = stream->time_base;
    av_bsf_init(bsf);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        if (av_bsf_send_packet(bsf, packet) < 0)
            break;
        while (av_bsf_receive_packet(bsf, packet) == 0) {
            ClipFrame frame;
            frame.data.assign(packet->data, packet->data + packet->size);
            frame.key = packet->flags & AV_PKT_FLAG_KEY;
            frame.pts = packet->pts;
            frame.dts = packet->dts;
            frame.duration = packet->duration;
            clip.frames.push_back(std::move(frame));
            av_packet_unref(packet);
        }
    }
    av_packet_free(&packet);
    av_bsf_free(&bsf);
    avformat_close_input(&input);
    clip.parameterSets =
        recorder::ParameterSets(DVR_MEDIA_CODEC_H264, clip.frames.at(0).data.data(), clip.frames.at(0).data.size());
    return clip;
}

std::vector<uint8_t> LengthPrefixed(const std::vector<uint8_t>& annexB)
{
    std::vector<uint8_t> out;
    for (const recorder::NalUnit& unit : recorder::SplitNalUnits(annexB.data(), annexB.size())) {
        const auto size = static_cast<uint32_t>(unit.size);
        out.insert(out.end(), {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)});
        out.insert(out.end(), unit.data, unit.data + unit.size);
    }
    return out;
}

std::string SliceHash(const std::vector<uint8_t>& nals)
{
    uint64_t hash = 1469598103934665603ull;
    for (size_t at = 0; at + 4 <= nals.size();) {
        const size_t size =
            (size_t{nals[at]} << 24) | (size_t{nals[at + 1]} << 16) | (size_t{nals[at + 2]} << 8) | nals[at + 3];
        const size_t start = at + 4, end = std::min(nals.size(), start + size);
        size_t last = end;
        while (last > start && nals[last - 1] == 0)
            --last;
        const int type = start < end ? nals[start] & 0x1F : 0;
        if (type >= 1 && type <= 5)
            for (size_t i = start; i < last; ++i)
                hash = (hash ^ nals[i]) * 1099511628211ull;
        at = end;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::vector<RecordedFrame> ReadRecorded(const fs::path& file)
{
    std::vector<RecordedFrame> frames;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, file.c_str(), nullptr, nullptr) < 0)
        return frames;
    const AVRational timeBase = input->streams[0]->time_base;
    AVPacket* packet = av_packet_alloc();
    int64_t first = AV_NOPTS_VALUE;
    while (av_read_frame(input, packet) >= 0) {
        if (first == AV_NOPTS_VALUE)
            first = packet->dts;
        frames.push_back({std::vector<uint8_t>(packet->data, packet->data + packet->size),
                          av_rescale_q(packet->dts - first, timeBase, AVRational{1, 1000000}),
                          (packet->flags & AV_PKT_FLAG_KEY) != 0});
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return frames;
}

Playback Play(const fs::path& file)
{
    Playback playback;
    const std::string counted = Shell("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                      "stream=nb_read_frames:format=duration -of default=nw=1 " +
                                      file.string());
    std::sscanf(counted.c_str() + std::min(counted.find("nb_read_frames="), counted.size()), "nb_read_frames=%d",
                &playback.decodedFrames);
    const size_t at = counted.find("duration=");
    if (at != std::string::npos)
        std::sscanf(counted.c_str() + at, "duration=%lf", &playback.duration);
    playback.errors = Shell("ffmpeg -v error -i " + file.string() + " -f null -");
    return playback;
}

} // namespace recordertest

namespace recordertest {

int QuotaFiles::Create(const std::string& path)
{
    const int fd = FileSystem::Create(path);
    std::lock_guard lock(mutex_);
    if (fd >= 0) {
        open_[fd] = path;
        sizes_[path] = 0;
    }
    return fd;
}

ssize_t QuotaFiles::Write(int fd, const void* data, size_t size)
{
    std::unique_lock lock(mutex_);
    ++waiting_;
    released_.wait(lock, [&] { return !hold_; });
    --waiting_;
    if (failWith_)
        return -failWith_;
    if (used_ + static_cast<int64_t>(size) > quota_)
        return -ENOSPC;
    const ssize_t written = FileSystem::Write(fd, data, size);
    if (written > 0) {
        used_ += written;
        sizes_[open_[fd]] += written;
    }
    return written;
}

int QuotaFiles::Close(int fd)
{
    std::lock_guard lock(mutex_);
    open_.erase(fd);
    return FileSystem::Close(fd);
}

int QuotaFiles::Remove(const std::string& path)
{
    const int removed = FileSystem::Remove(path);
    std::lock_guard lock(mutex_);
    if (removed == 0) {
        used_ -= sizes_[path];
        sizes_.erase(path);
    }
    return removed;
}

int QuotaFiles::Truncate(const std::string& path, int64_t size)
{
    const int cut = FileSystem::Truncate(path, size);
    std::lock_guard lock(mutex_);
    if (cut == 0) {
        used_ -= sizes_[path] - size;
        sizes_[path] = size;
    }
    return cut;
}

int64_t QuotaFiles::FreeBytes(const std::string&)
{
    std::lock_guard lock(mutex_);
    return quota_ - used_;
}

void QuotaFiles::SetQuota(int64_t quota)
{
    std::lock_guard lock(mutex_);
    quota_ = quota;
}

void QuotaFiles::FailWrites(int error)
{
    std::lock_guard lock(mutex_);
    failWith_ = error;
}

void QuotaFiles::HoldWrites(bool hold)
{
    {
        std::lock_guard lock(mutex_);
        hold_ = hold;
    }
    released_.notify_all();
}

int64_t QuotaFiles::used() const
{
    std::lock_guard lock(mutex_);
    return used_;
}

int QuotaFiles::writesWaiting() const
{
    std::lock_guard lock(mutex_);
    return waiting_;
}

} // namespace recordertest
