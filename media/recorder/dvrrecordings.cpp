// dvrrecordings: lists what the recorder recorded and exports a time range of
// one camera as a single MP4, by stream copy (nothing is decoded).
//
//   dvrrecordings list   [-d DIR] [-c CAMERA] [-f FROM] [-t TO]
//   dvrrecordings export [-d DIR] -c CAMERA -f FROM -t TO -o OUT.mp4
//
// Times are UTC, as 2026-12-09T22:45:12Z (fractions allowed), or seconds
// since 1970. The export starts at the key frame at or before FROM.
extern "C" {
#include <libavformat/avformat.h>
}

#include <getopt.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "recording_index.h"

namespace {

namespace fs = std::filesystem;
using recorder::SegmentRow;

constexpr AVRational kMicroseconds{1, 1000000};

std::optional<int64_t> ParseTime(const std::string& text)
{
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end && *end == '\0' && !text.empty())
        return static_cast<int64_t>(seconds * 1e6);
    struct tm utc = {};
    const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &utc);
    if (!rest)
        rest = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &utc);
    if (!rest)
        return std::nullopt;
    int64_t us = int64_t{timegm(&utc)} * 1000000;
    if (*rest == '.') {
        const double fraction = std::strtod(rest, &end);
        us += static_cast<int64_t>(fraction * 1e6);
        rest = end;
    }
    if (*rest == 'Z')
        ++rest;
    return *rest == '\0' ? std::optional<int64_t>(us) : std::nullopt;
}

std::string FormatTime(int64_t us)
{
    const time_t seconds = static_cast<time_t>(us / 1000000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(us / 1000 % 1000));
    return text;
}

int Usage()
{
    std::fprintf(stderr, "usage: dvrrecordings list [-d DIR] [-c CAMERA] [-f FROM] [-t TO]\n"
                         "       dvrrecordings export [-d DIR] -c CAMERA -f FROM -t TO -o OUT.mp4\n"
                         "DIR is the recordings directory (default: recordings); times are UTC\n"
                         "(2026-12-09T22:45:12Z) or seconds since 1970\n");
    return 2;
}

int List(const std::vector<SegmentRow>& rows)
{
    std::printf("%-6s %-24s %-24s %9s %7s %11s %-6s %5s %s\n", "camera", "start", "end", "seconds", "frames", "bytes",
                "state", "gap", "file");
    for (const SegmentRow& row : rows)
        std::printf("%-6u %-24s %-24s %9.3f %7" PRId64 " %11" PRId64 " %-6s %5" PRId64 " %s\n", row.camera,
                    FormatTime(row.startUs).c_str(), FormatTime(row.endUs).c_str(),
                    static_cast<double>(row.endUs - row.startUs) / 1e6, row.frames, row.bytes, row.state.c_str(),
                    row.gapBefore, row.file.c_str());
    return 0;
}

// Writes the frames of `rows` between fromUs and toUs into one file.
class Exporter {
public:
    Exporter(int64_t fromUs, int64_t toUs) : fromUs_(fromUs), toUs_(toUs) {}
    ~Exporter()
    {
        for (AVPacket* packet : pending_)
            av_packet_free(&packet);
        if (output_) {
            if (output_->pb)
                avio_closep(&output_->pb);
            avformat_free_context(output_);
        }
    }

    bool Start(const std::string& path)
    {
        path_ = path;
        return avformat_alloc_output_context2(&output_, nullptr, "mp4", path.c_str()) >= 0;
    }

    // Copies the frames of one segment file; false stops the export.
    bool AddSegment(const std::string& file, int64_t startUs)
    {
        AVFormatContext* input = nullptr;
        if (avformat_open_input(&input, file.c_str(), nullptr, nullptr) < 0 ||
            avformat_find_stream_info(input, nullptr) < 0 || input->nb_streams < 1) {
            std::fprintf(stderr, "dvrrecordings: cannot read %s\n", file.c_str());
            avformat_close_input(&input);
            return true; // a missing or damaged segment leaves a gap, not a failed export
        }
        const bool ok = Copy(input, startUs, file);
        avformat_close_input(&input);
        return ok;
    }

    bool Finish()
    {
        if (!Flush())
            return false;
        if (!headerWritten_) {
            std::fprintf(stderr, "dvrrecordings: nothing recorded in that range\n");
            return false;
        }
        return av_write_trailer(output_) >= 0 && avio_closep(&output_->pb) >= 0;
    }
    int64_t frames() const { return frames_; }

private:
    bool Copy(AVFormatContext* input, int64_t startUs, const std::string& file)
    {
        AVStream* in = input->streams[0];
        if (!headerWritten_ && !OpenOutput(in))
            return false;
        if (!SameParameters(in->codecpar)) {
            std::fprintf(stderr, "dvrrecordings: export ends before %s: the stream parameters changed\n", file.c_str());
            return false;
        }
        AVPacket* packet = av_packet_alloc();
        int64_t first = AV_NOPTS_VALUE;
        bool more = true;
        while (more && av_read_frame(input, packet) >= 0) {
            if (packet->stream_index == 0) {
                const int64_t dts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
                if (first == AV_NOPTS_VALUE)
                    first = dts;
                const int64_t atUs = startUs + av_rescale_q(dts - first, in->time_base, kMicroseconds);
                const int64_t ptsShift = packet->pts != AV_NOPTS_VALUE ? packet->pts - dts : 0;
                packet->dts = atUs;
                packet->pts = atUs + av_rescale_q(ptsShift, in->time_base, kMicroseconds);
                packet->duration = av_rescale_q(packet->duration, in->time_base, kMicroseconds);
                more = Take(packet);
            }
            av_packet_unref(packet);
        }
        av_packet_free(&packet);
        return more;
    }

    // Packets come with wall-clock microseconds; those before FROM wait until
    // it is clear which key frame the export starts at.
    bool Take(AVPacket* packet)
    {
        if (packet->dts >= toUs_)
            return false;
        const bool key = packet->flags & AV_PKT_FLAG_KEY;
        if (!started_) {
            if (packet->dts <= fromUs_ || pending_.empty()) {
                if (key) {
                    for (AVPacket* old : pending_)
                        av_packet_free(&old);
                    pending_.clear();
                }
                if (key || !pending_.empty())
                    pending_.push_back(av_packet_clone(packet));
                if (packet->dts < fromUs_)
                    return true;
            } else {
                pending_.push_back(av_packet_clone(packet));
            }
            started_ = true;
            return Flush();
        }
        return Write(packet);
    }

    bool Flush()
    {
        bool ok = true;
        for (AVPacket* packet : pending_) {
            ok = ok && Write(packet);
            av_packet_free(&packet);
        }
        pending_.clear();
        return ok;
    }

    bool Write(AVPacket* packet)
    {
        if (originUs_ == AV_NOPTS_VALUE)
            originUs_ = packet->dts;
        packet->dts -= originUs_;
        packet->pts -= originUs_;
        if (packet->dts <= lastDts_)
            packet->dts = lastDts_ + 1; // segments that overlap by rounding keep rising decode times
        if (packet->pts < packet->dts)
            packet->pts = packet->dts;
        lastDts_ = packet->dts;
        packet->stream_index = 0;
        av_packet_rescale_ts(packet, kMicroseconds, output_->streams[0]->time_base);
        if (av_write_frame(output_, packet) < 0) {
            std::fprintf(stderr, "dvrrecordings: cannot write %s\n", path_.c_str());
            return false;
        }
        ++frames_;
        return true;
    }

    bool OpenOutput(AVStream* in)
    {
        AVStream* out = avformat_new_stream(output_, nullptr);
        if (!out || avcodec_parameters_copy(out->codecpar, in->codecpar) < 0)
            return false;
        out->codecpar->codec_tag = 0;
        out->time_base = AVRational{1, 90000};
        if (avio_open(&output_->pb, path_.c_str(), AVIO_FLAG_WRITE) < 0) {
            std::fprintf(stderr, "dvrrecordings: cannot create %s\n", path_.c_str());
            return false;
        }
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "faststart", 0);
        const int result = avformat_write_header(output_, &options);
        av_dict_free(&options);
        headerWritten_ = result >= 0;
        return headerWritten_;
    }

    bool SameParameters(const AVCodecParameters* in) const
    {
        const AVCodecParameters* out = output_->streams[0]->codecpar;
        return in->codec_id == out->codec_id && in->width == out->width && in->height == out->height &&
               in->extradata_size == out->extradata_size &&
               (in->extradata_size == 0 || std::memcmp(in->extradata, out->extradata, in->extradata_size) == 0);
    }

    const int64_t fromUs_, toUs_;
    std::string path_;
    AVFormatContext* output_ = nullptr;
    bool headerWritten_ = false, started_ = false;
    std::vector<AVPacket*> pending_;
    int64_t originUs_ = AV_NOPTS_VALUE, lastDts_ = -1, frames_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    // FFmpeg's notes ("moving the moov atom ...") are not the operator's
    // business; its errors still show.
    av_log_set_level(AV_LOG_ERROR);
    const std::string command = argv[1];
    std::string directory = "recordings", output;
    uint32_t camera = 0;
    std::optional<int64_t> from = INT64_MIN / 2, to = INT64_MAX / 2;
    optind = 2;
    for (int option; (option = getopt(argc, argv, "d:c:f:t:o:")) != -1;) {
        switch (option) {
        case 'd':
            directory = optarg;
            break;
        case 'c':
            camera = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10));
            break;
        case 'f':
            from = ParseTime(optarg);
            break;
        case 't':
            to = ParseTime(optarg);
            break;
        case 'o':
            output = optarg;
            break;
        default:
            return Usage();
        }
    }
    if (!from || !to || optind != argc || (command != "list" && command != "export")) {
        std::fprintf(stderr, "dvrrecordings: bad arguments\n");
        return Usage();
    }
    recorder::RecordingIndex index;
    const std::string problem = index.Open(directory, true);
    if (!problem.empty()) {
        std::fprintf(stderr, "dvrrecordings: cannot open the index: %s\n", problem.c_str());
        return 1;
    }
    const std::vector<SegmentRow> rows = index.Find(camera, *from, *to);
    if (command == "list")
        return List(rows);
    if (camera == 0 || output.empty() || *from <= INT64_MIN / 2 || *to >= INT64_MAX / 2)
        return Usage();
    Exporter exporter(*from, *to);
    if (!exporter.Start(output))
        return 1;
    for (const SegmentRow& row : rows)
        if (!exporter.AddSegment((fs::path(directory) / row.file).string(), row.startUs))
            break;
    if (!exporter.Finish())
        return 1;
    std::printf("exported %" PRId64 " frames of camera %u to %s\n", exporter.frames(), camera, output.c_str());
    return 0;
}
