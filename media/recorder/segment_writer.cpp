#include "segment_writer.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "dvrmedia.h"
#include "dvrplugin.h"

namespace recorder {

namespace {
constexpr int kIoBufferSize = 64 * 1024;
}

SegmentWriter::SegmentWriter(FileSystem& files, std::function<void(int fd)> syncFragment)
    : files_(files), syncFragment_(std::move(syncFragment))
{}

SegmentWriter::~SegmentWriter()
{
    Abandon();
    av_packet_free(&packet_);
}

int SegmentWriter::WritePacket(void* opaque, uint8_t* data, int size)
{
    auto* self = static_cast<SegmentWriter*>(opaque);
    if (self->fileError_)
        return AVERROR(self->fileError_);
    for (int done = 0; done < size;) {
        const ssize_t n = self->files_.Write(self->fd_, data + done, static_cast<size_t>(size - done));
        if (n <= 0) {
            self->fileError_ = n < 0 ? static_cast<int>(-n) : EIO;
            return AVERROR(self->fileError_);
        }
        done += static_cast<int>(n);
        self->bytes_ += static_cast<uint64_t>(n);
    }
    return size;
}

int SegmentWriter::Open(const std::string& path, const StreamParams& params)
{
    Abandon();
    bytes_ = 0;
    fileError_ = 0;
    fragmentEmpty_ = true;
    fragmentStart_ = 0;
    timeBaseNum_ = static_cast<int>(params.timeBaseNum);
    timeBaseDen_ = static_cast<int>(params.timeBaseDen);
    fragmentTicks_ = std::max<int64_t>(1, params.timeBaseDen / std::max<uint32_t>(1, params.timeBaseNum));

    const int fd = files_.Create(path);
    if (fd < 0)
        return fd;
    fd_ = fd;
    int result = avformat_alloc_output_context2(&format_, nullptr, "mp4", nullptr);
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (result >= 0 && buffer)
        io_ = avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &SegmentWriter::WritePacket, nullptr);
    if (!format_ || !io_) {
        if (!io_)
            av_free(buffer);
        Abandon();
        return result < 0 ? result : AVERROR(ENOMEM);
    }
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;

    AVStream* stream = avformat_new_stream(format_, nullptr);
    if (!stream) {
        Abandon();
        return AVERROR(ENOMEM);
    }
    AVCodecParameters* par = stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = params.codec == DVR_MEDIA_CODEC_H265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    par->width = static_cast<int>(params.width);
    par->height = static_cast<int>(params.height);
    if (!params.parameterSets.empty()) {
        // Annex B parameter sets: the muxer turns them into the sample
        // description and the frames into length-prefixed NAL units.
        par->extradata = static_cast<uint8_t*>(av_mallocz(params.parameterSets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) {
            Abandon();
            return AVERROR(ENOMEM);
        }
        std::memcpy(par->extradata, params.parameterSets.data(), params.parameterSets.size());
        par->extradata_size = static_cast<int>(params.parameterSets.size());
    }
    stream->time_base = AVRational{timeBaseNum_, timeBaseDen_};

    // Fragments are cut by this writer (frag_custom), about once a second;
    // empty_moov puts the description first so that every fragment that
    // reached the disk can be played.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
    result = avformat_write_header(format_, &options);
    av_dict_free(&options);
    if (result < 0) {
        Abandon();
        return fileError_ ? -fileError_ : result;
    }
    avio_flush(io_);
    if (fileError_) {
        Abandon();
        return -fileError_;
    }
    return 0;
}

int SegmentWriter::FlushFragment()
{
    if (fragmentEmpty_)
        return 0;
    int result = av_write_frame(format_, nullptr);
    avio_flush(io_);
    fragmentEmpty_ = true;
    if (fileError_)
        return -fileError_;
    if (result < 0)
        return result;
    if (syncFragment_)
        syncFragment_(fd_);
    return 0;
}

int SegmentWriter::Write(const uint8_t* data, size_t size, bool keyFrame, int64_t pts, int64_t dts, int64_t duration)
{
    if (!format_)
        return AVERROR(EBADF);
    // A fragment of a second, cut at a key frame when one comes within it.
    if (!fragmentEmpty_ &&
        (dts - fragmentStart_ >= fragmentTicks_ || (keyFrame && dts - fragmentStart_ >= fragmentTicks_ / 2))) {
        const int flushed = FlushFragment();
        if (flushed < 0)
            return flushed;
    }
    if (fragmentEmpty_) {
        fragmentStart_ = dts;
        fragmentEmpty_ = false;
    }
    if (!packet_ && !(packet_ = av_packet_alloc()))
        return AVERROR(ENOMEM);
    AVPacket* packet = packet_;
    packet->data = const_cast<uint8_t*>(data);
    packet->size = static_cast<int>(size);
    packet->pts = pts;
    packet->dts = dts;
    packet->duration = duration;
    packet->flags = keyFrame ? AV_PKT_FLAG_KEY : 0;
    packet->stream_index = 0;
    av_packet_rescale_ts(packet, AVRational{timeBaseNum_, timeBaseDen_}, format_->streams[0]->time_base);
    const int result = av_write_frame(format_, packet);
    av_packet_unref(packet); // the data is the caller's: nothing to free
    if (fileError_)
        return -fileError_;
    return result < 0 ? result : 0;
}

int SegmentWriter::Close()
{
    if (!format_)
        return 0;
    int result = av_write_trailer(format_);
    avio_flush(io_);
    if (!fileError_) {
        const int synced = files_.Sync(fd_);
        if (synced < 0)
            fileError_ = -synced;
    }
    if (fileError_)
        result = -fileError_;
    Release();
    const int closed = files_.Close(fd_);
    fd_ = -1;
    return result < 0 ? result : closed;
}

void SegmentWriter::Release()
{
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    if (format_) {
        format_->pb = nullptr;
        avformat_free_context(format_);
        format_ = nullptr;
    }
}

void SegmentWriter::Abandon()
{
    Release();
    if (fd_ >= 0)
        files_.Close(fd_);
    fd_ = -1;
}

} // namespace recorder
