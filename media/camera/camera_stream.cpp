#include "camera_stream.h"

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include "annexb.h"
#include "decode_times.h"
#include "dvrmedia.h"
#include "rtsp_client.h"

namespace ingest {

namespace {

constexpr int64_t kSecond = 1000000000;
constexpr int64_t kFirstRetryNs = kSecond / 2;
// An RTP clock that leaps further than this between two frames has restarted.
constexpr int kMaxClockLeapSeconds = 5;

int64_t MonotonicNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * kSecond + now.tv_nsec;
}

// The monotonic clock to a few milliseconds, for the deadline FFmpeg's
// interrupt callback checks before each read: cheaper than the exact one.
int64_t CoarseNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec * kSecond + now.tv_nsec;
}

int64_t WallClockUs()
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

std::string ErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

uint32_t MediaCodec(AVCodecID id)
{
    return id == AV_CODEC_ID_H264 ? DVR_MEDIA_CODEC_H264 : id == AV_CODEC_ID_HEVC ? DVR_MEDIA_CODEC_H265 : 0;
}

const char* CodecName(AVCodecID id)
{
    return id == AV_CODEC_ID_H264 ? "h264" : id == AV_CODEC_ID_HEVC ? "h265" : avcodec_get_name(id);
}

// Parameter sets that start with a configuration record (avcC, hvcC: version
// byte 1) rather than a start code: frames are then length-prefixed too, and
// a bitstream filter turns both into Annex B.
bool IsConfigurationRecord(const uint8_t* data, size_t size)
{
    return data && size >= 7 && data[0] == 1;
}

void CopyName(char (&target)[64], const std::string& name)
{
    const size_t length = std::min(name.size(), sizeof target - 1);
    name.copy(target, length);
    target[length] = '\0';
}

} // namespace

void Host::Log(int32_t level, const std::string& text) const
{
    DvrRaiseLogLine(raise, systemID, level, text.c_str()); // the core copies the text
}

const char* StateName(CameraState state)
{
    switch (state) {
    case CameraState::Stopped:
        return "stopped";
    case CameraState::Connecting:
        return "connecting";
    case CameraState::Connected:
        return "connected";
    case CameraState::Reconnecting:
        return "reconnecting";
    }
    return "?";
}

// One connection's FFmpeg objects and what was described of it.
struct CameraStream::Session {
    AVFormatContext* input = nullptr;
    AVBSFContext* filter = nullptr;         // length-prefixed to Annex B, when needed
    AVCodecParserContext* parser = nullptr; // reads the size from new parameter sets
    AVCodecContext* parserCodec = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVPacket* filtered = av_packet_alloc();
    AVPacket* held = av_packet_alloc(); // a first frame without timestamps, until the next one tells them
    bool holding = false;
    int streamIndex = -1;
    AVCodecID codec = AV_CODEC_ID_NONE;
    AVRational timeBase{0, 1};
    AVRational frameRate{0, 1};
    int64_t frameStep = 1; // one frame's duration in the time base, where the rate is known
    int64_t lastDts = AV_NOPTS_VALUE;
    int width = 0, height = 0;
    std::vector<uint8_t> parameterSets; // Annex B, or empty when only in band
    bool described = false;             // a description of the current parameters went out
    bool waitingForKey = true;          // nothing is raised until the next key frame
    DvrMediaStreamInfo description{};   // the last one raised
    // Looping files continue their timestamps: offset added per pass, first
    // timestamp and end of the current pass.
    int64_t loopOffset = 0, passStart = AV_NOPTS_VALUE, passEnd = AV_NOPTS_VALUE;
    // Pacing: the monotonic time and timestamp of the first frame.
    int64_t paceStartNs = 0, paceStartTs = AV_NOPTS_VALUE;
    // RTSP read by the own client: decode times from presentation times.
    DecodeTimes decodeTimes;

    ~Session()
    {
        av_bsf_free(&filter);
        if (parser)
            av_parser_close(parser);
        avcodec_free_context(&parserCodec);
        avformat_close_input(&input);
        av_packet_free(&packet);
        av_packet_free(&filtered);
        av_packet_free(&held);
    }
};

CameraStream::CameraStream(const Host& host, CameraConfig config, StreamNumbers numbers)
    : host_(host),
      config_(std::move(config)),
      sourceID_(DVR_MEDIA_SOURCE_ID(host.systemID, config_.number)),
      numbers_(numbers)
{}

CameraStream::~CameraStream()
{
    Stop();
    Join();
}

void CameraStream::Start()
{
    // The thread starts with the stop signals blocked, whichever thread
    // creates it (a supervisor request runs on a thread that has them open):
    // they are the core's to take.
    sigset_t stopSignals, previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGQUIT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void CameraStream::Stop()
{
    std::lock_guard lock(waitMutex_);
    stop_ = true;
    wake_.notify_all();
}

void CameraStream::Join()
{
    if (thread_.joinable())
        thread_.join();
}

StreamNumbers CameraStream::Numbers() const
{
    return numbers_;
}

CameraStatus CameraStream::Status() const
{
    std::lock_guard lock(statusMutex_);
    CameraStatus status = status_;
    const int64_t now = MonotonicNs();
    status.msSinceLastFrame = lastFrameAt_ ? (now - lastFrameAt_) / 1000000 : -1;
    if (status.msSinceLastFrame < 0 || status.msSinceLastFrame > 2000)
        status.framesPerSecond = status.bitsPerSecond = 0; // a stalled camera has no rate
    return status;
}

bool CameraStream::WaitFor(int64_t ns)
{
    std::unique_lock lock(waitMutex_);
    wake_.wait_for(lock, std::chrono::nanoseconds(ns), [this] { return stop_.load(); });
    return !stop_;
}

int CameraStream::Interrupted(void* opaque)
{
    auto* stream = static_cast<CameraStream*>(opaque);
    return stream->stop_ || CoarseNs() > stream->deadline_;
}

void CameraStream::SetState(CameraState state, const std::string& error)
{
    std::lock_guard lock(statusMutex_);
    status_.state = state;
    if (!error.empty())
        status_.lastError = error;
}

void CameraStream::Run()
{
    const std::string camera = "camera " + config_.name + ": ";
    int64_t retryNs = kFirstRetryNs;
    std::string lastLogged; // the failure last logged, so a camera that stays down says it once
    bool first = true;
    while (!stop_) {
        SetState(first ? CameraState::Connecting : CameraState::Reconnecting);
        if (!first) {
            std::lock_guard lock(statusMutex_);
            ++status_.reconnects;
        }
        first = false;
        // Whatever a connection throws (out of memory at worst) ends that
        // connection, never the thread: an exception leaving it would end
        // the core.
        Outcome outcome;
        try {
            outcome = RunSession();
        } catch (const std::exception& error) {
            outcome = {false, error.what()};
        } catch (...) {
            outcome = {false, "unexpected error"};
        }
        if (stop_)
            break;
        SetState(CameraState::Reconnecting, outcome.reason);
        if (outcome.connected) {
            host_.Log(LEVEL_WARNING, camera + "lost: " + outcome.reason);
            host_.Log(LEVEL_INFO, camera + "reconnecting");
            lastLogged.clear();
            retryNs = kFirstRetryNs;
        } else if (outcome.reason != lastLogged) {
            host_.Log(LEVEL_WARNING, camera + "cannot connect: " + outcome.reason);
            lastLogged = outcome.reason;
        }
        if (!WaitFor(retryNs))
            break;
        retryNs = std::min<int64_t>(retryNs * 2, int64_t{config_.retrySeconds} * kSecond);
    }
    SetState(CameraState::Stopped);
    finished_ = true;
}

CameraStream::Outcome CameraStream::RunSession()
{
    Session session;
    if (!session.packet || !session.filtered || !session.held)
        return {false, "out of memory"};
    // rtsp:// over TCP: the own client, unless it could not take this camera.
    const bool ownRtsp =
        !ffmpegRtsp_ && config_.transport == Transport::Tcp && config_.url.compare(0, 7, "rtsp://") == 0;
    bool fallBack = false;
    Outcome outcome;
    if (ownRtsp)
        outcome = RunRtsp(session, fallBack);
    if (!ownRtsp || fallBack) {
        outcome = OpenInput(session);
        if (!outcome.reason.empty())
            return outcome;
        outcome = ReadFrames(session);
    }
    if (session.described)
        RaiseStreamEnd(session);
    return outcome;
}

CameraStream::Outcome CameraStream::OpenInput(Session& session)
{
    session.input = avformat_alloc_context();
    if (!session.input)
        return {false, "out of memory"};
    session.input->interrupt_callback = {&CameraStream::Interrupted, this};
    AVDictionary* options = nullptr;
    if (config_.url.rfind("rtsp", 0) == 0)
        av_dict_set(&options, "rtsp_transport", config_.transport == Transport::Tcp ? "tcp" : "udp", 0);
    // A session description file names the RTP streams to receive.
    if (config_.url.size() > 4 && config_.url.compare(config_.url.size() - 4, 4, ".sdp") == 0)
        av_dict_set(&options, "protocol_whitelist", "file,udp,rtp", 0);
    deadline_ = CoarseNs() + int64_t{config_.timeoutSeconds} * kSecond;
    int error = avformat_open_input(&session.input, config_.url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (error < 0)
        return {false, ErrorText(stop_ || CoarseNs() <= deadline_ ? error : AVERROR(ETIMEDOUT))};
    deadline_ = CoarseNs() + int64_t{config_.timeoutSeconds} * kSecond;
    if ((error = avformat_find_stream_info(session.input, nullptr)) < 0)
        return {false, ErrorText(error)};
    const int index = av_find_best_stream(session.input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0)
        return {false, "no video stream"};
    for (unsigned i = 0; i < session.input->nb_streams; ++i)
        session.input->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    const AVStream* stream = session.input->streams[index];
    const AVCodecParameters* parameters = stream->codecpar;
    if (!MediaCodec(parameters->codec_id))
        return {false, std::string("video codec ") + CodecName(parameters->codec_id) + " is not h264 or h265"};
    session.streamIndex = index;
    session.codec = parameters->codec_id;
    session.timeBase = stream->time_base;
    session.width = parameters->width;
    session.height = parameters->height;
    // A file states its average rate; a live stream at best its nominal one.
    session.frameRate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (session.frameRate.num <= 0 || session.frameRate.den <= 0 || av_q2d(session.frameRate) > 240)
        session.frameRate = {0, 1};
    if (session.frameRate.num)
        session.frameStep = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(session.frameRate), session.timeBase));
    if (!HandleNewParameters(session, parameters->extradata, static_cast<size_t>(parameters->extradata_size)))
        return {false, "cannot convert the stream to Annex B"};
    return {};
}

// Takes the stream's parameter sets: kept as they are when they are Annex B,
// converted (and the frames with them, through a bitstream filter) when they
// are a configuration record. The next frame raised gets a new description.
bool CameraStream::HandleNewParameters(Session& session, const uint8_t* extradata, size_t size)
{
    av_bsf_free(&session.filter);
    session.parameterSets.clear();
    session.described = false;
    session.waitingForKey = true;
    if (!IsConfigurationRecord(extradata, size)) {
        if (extradata)
            session.parameterSets.assign(extradata, extradata + size);
        return true;
    }
    const AVBitStreamFilter* kind =
        av_bsf_get_by_name(session.codec == AV_CODEC_ID_H264 ? "h264_mp4toannexb" : "hevc_mp4toannexb");
    if (!kind || av_bsf_alloc(kind, &session.filter) < 0)
        return false;
    AVCodecParameters* in = session.filter->par_in;
    if (avcodec_parameters_copy(in, session.input->streams[session.streamIndex]->codecpar) < 0)
        return false;
    av_freep(&in->extradata);
    in->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!in->extradata)
        return false;
    std::copy(extradata, extradata + size, in->extradata);
    in->extradata_size = static_cast<int>(size);
    session.filter->time_base_in = session.timeBase;
    if (av_bsf_init(session.filter) < 0)
        return false;
    const AVCodecParameters* out = session.filter->par_out;
    if (out->extradata && out->extradata_size > 0)
        session.parameterSets.assign(out->extradata, out->extradata + out->extradata_size);
    return true;
}

CameraStream::Outcome CameraStream::RunRtsp(Session& session, bool& fallBack)
{
    RtspClient client(config_.url, config_.timeoutSeconds, stop_);
    client.SetLog(
        [this](const std::string& text) { host_.Log(LEVEL_WARNING, "camera " + config_.name + ": " + text); });
    std::string reason;
    const RtspClient::Result result = client.Open(reason);
    // FFmpeg reads what the own client cannot take; for good once it could
    // not a few times in a row (a camera still starting up may describe no
    // stream once).
    if (result == RtspClient::Result::Fallback) {
        fallBack = true;
        if (++fallbacks_ >= kFallbacksToLatch) {
            host_.Log(LEVEL_INFO, "camera " + config_.name + ": read with FFmpeg from now on: " + reason);
            ffmpegRtsp_ = true;
        }
        return {};
    }
    if (result != RtspClient::Result::Ok)
        return {false, stop_ ? "stopped" : reason};
    fallbacks_ = 0;
    const SdpVideo& video = client.video();
    session.codec = video.hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    session.timeBase = {1, static_cast<int>(video.clockRate)};
    session.parameterSets = video.parameterSets;
    // Timestamps count the RTP clock from the first frame of the connection,
    // unwrapped past 32 bits, as FFmpeg's RTP reader counts them. Where the
    // clock does not go on (the sender restarted, or its clock leapt by more
    // than a few seconds) they go on by one frame instead, and nothing is
    // raised until the next key frame, a gap in the sequence numbers showing
    // the break as after a loss.
    const int64_t maxStep = int64_t{kMaxClockLeapSeconds} * video.clockRate;
    bool announced = false, clockStarted = false;
    uint32_t lastTimestamp = 0;
    int64_t timestamp = 0, lastStep = 0;
    AVPacket& packet = *session.packet;
    reason = client.Play([&](RtpFrame& frame) {
        const int64_t step = static_cast<int32_t>(frame.timestamp - lastTimestamp);
        if (clockStarted && (frame.discontinuity || step > maxStep || step < -maxStep)) {
            timestamp += session.frameRate.num ? session.frameStep : std::max<int64_t>(1, lastStep);
            ++numbers_.nextSequence;
            session.waitingForKey = true;
        } else if (clockStarted) {
            timestamp += step;
            if (step > 0)
                lastStep = step;
        }
        clockStarted = true;
        lastTimestamp = frame.timestamp;
        if (frame.damaged) {
            Lose(session, frame.data.size());
            return;
        }
        // Connected once the first key frame tells the picture size and rate.
        if (!announced && frame.keyFrame) {
            ProbePicture(session, frame.data.data(), frame.data.size());
            Announce(session);
            announced = true;
        }
        // The RTP timestamp is the presentation time. The decode time is
        // the earliest presentation time among this frame and the reorder
        // depth before it, as FFmpeg's reader derives it, and always after
        // the last; from a key frame after a gap on, earlier frames are
        // taken as one frame apart.
        if (frame.keyFrame && session.waitingForKey)
            session.decodeTimes.Restart(timestamp, session.frameStep);
        packet.dts = session.decodeTimes.Next(timestamp);
        packet.data = frame.data.data();
        packet.size = static_cast<int>(frame.data.size());
        packet.pts = timestamp;
        packet.duration = session.frameRate.num ? session.frameStep : 0;
        packet.flags = frame.keyFrame ? AV_PKT_FLAG_KEY : 0;
        Emit(session, packet);
        packet.data = nullptr;
        packet.size = 0;
    });
    return {announced, stop_ ? "stopped" : reason};
}

// Parses one picture (`size` bytes, padded as FFmpeg's parser reads) with
// the session's parser, made on first use, and takes its picture size.
// False when no parser could be made.
bool CameraStream::ParsePicture(Session& session, const uint8_t* data, int size)
{
    if (!session.parser || !session.parserCodec) {
        if (!session.parser)
            session.parser = av_parser_init(session.codec);
        if (!session.parserCodec)
            session.parserCodec = avcodec_alloc_context3(nullptr);
        if (!session.parser || !session.parserCodec)
            return false;
        session.parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
#ifndef FF_API_TICKS_PER_FRAME
        // This FFmpeg's H.264 parser counts the rate in ticks of the context,
        // two per frame as its decoder sets them (later ones count two itself).
        if (session.codec == AV_CODEC_ID_H264)
            session.parserCodec->ticks_per_frame = 2;
#endif
    }
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(session.parser, session.parserCodec, &out, &outSize, data, size, AV_NOPTS_VALUE, AV_NOPTS_VALUE,
                     0);
    if (session.parser->width > 0 && session.parser->height > 0) {
        session.width = session.parser->width;
        session.height = session.parser->height;
    }
    return true;
}

// The first key frame of an RTSP stream read by the own client: its picture
// size, and its frame rate where the sequence parameter set states one.
void CameraStream::ProbePicture(Session& session, const uint8_t* data, size_t size)
{
    // The parser needs the parameter sets before the picture; the session
    // description may be the only place that has them.
    std::vector<uint8_t> picture(session.parameterSets);
    picture.insert(picture.end(), data, data + size);
    picture.resize(picture.size() + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!ParsePicture(session, picture.data(), static_cast<int>(picture.size() - AV_INPUT_BUFFER_PADDING_SIZE)))
        return;
    const AVRational rate = session.parserCodec->framerate;
    if (rate.num > 0 && rate.den > 0 && av_q2d(rate) <= 240) {
        session.frameRate = rate;
        session.frameStep = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), session.timeBase));
    }
    // How many pictures a decoder holds back for reordering, as the
    // sequence parameter set states it; where it does not, none, until the
    // decode times show more (DecodeTimes). Read here rather than by opening
    // a decoder, whose memory for every camera starting at once counted.
    session.decodeTimes.AtLeast(StatedReorderDepth(picture.data(), picture.size() - AV_INPUT_BUFFER_PADDING_SIZE,
                                                   session.codec == AV_CODEC_ID_HEVC));
}

// The connection is up and its stream known: one line, and the status.
void CameraStream::Announce(Session& session)
{
    char connected[160];
    snprintf(connected, sizeof connected, "camera %s: connected, %s %dx%d", config_.name.c_str(),
             CodecName(session.codec), session.width, session.height);
    if (session.frameRate.num)
        snprintf(connected + strlen(connected), sizeof connected - strlen(connected), " %.4g fps",
                 av_q2d(session.frameRate));
    host_.Log(LEVEL_INFO, connected);
    {
        std::lock_guard lock(statusMutex_);
        status_.state = CameraState::Connected;
        status_.codec = CodecName(session.codec);
        status_.width = session.width;
        status_.height = session.height;
    }
}

CameraStream::Outcome CameraStream::ReadFrames(Session& session)
{
    Announce(session);
    while (!stop_) {
        deadline_ = CoarseNs() + int64_t{config_.timeoutSeconds} * kSecond;
        int error = av_read_frame(session.input, session.packet);
        if (error == AVERROR_EOF && config_.loop && session.passStart != AV_NOPTS_VALUE) {
            // Play the file again, its timestamps going on from the end of this pass.
            session.loopOffset += session.passEnd - session.passStart;
            session.passStart = session.passEnd = session.lastDts = AV_NOPTS_VALUE;
            error = av_seek_frame(session.input, session.streamIndex, 0, AVSEEK_FLAG_BACKWARD);
            if (error >= 0)
                continue;
        }
        if (error < 0) {
            if (stop_)
                return {true, "stopped"};
            if (error == AVERROR_EOF)
                return {true, "end of stream"};
            return {true, error == AVERROR_EXIT ? "no data for " + std::to_string(config_.timeoutSeconds) + " s"
                                                : ErrorText(error)};
        }
        if (session.packet->stream_index != session.streamIndex) {
            av_packet_unref(session.packet);
            continue;
        }
        size_t sideSize = 0;
        const uint8_t* side = av_packet_get_side_data(session.packet, AV_PKT_DATA_NEW_EXTRADATA, &sideSize);
        if (side && sideSize && !HandleNewParameters(session, side, sideSize)) {
            av_packet_unref(session.packet);
            return {true, "cannot convert the new parameters to Annex B"};
        }
        if (!session.filter) {
            Deliver(session, *session.packet);
            av_packet_unref(session.packet);
            continue;
        }
        if ((error = av_bsf_send_packet(session.filter, session.packet)) < 0) {
            av_packet_unref(session.packet);
            return {true, "bitstream conversion failed: " + ErrorText(error)};
        }
        while (av_bsf_receive_packet(session.filter, session.filtered) >= 0) {
            Deliver(session, *session.filtered);
            av_packet_unref(session.filtered);
        }
    }
    return {true, "stopped"};
}

// Fills in the timestamps of a frame that has none: one frame on from the
// last, or, for the first frame of a connection (an RTSP stream's first frame
// can come before its clock is known), one frame before the next; that one is
// held back until the next arrives.
void CameraStream::Deliver(Session& session, AVPacket& packet)
{
    const int64_t step = packet.duration > 0 ? packet.duration : session.frameStep;
    if (session.holding) {
        AVPacket& held = *session.held;
        if (packet.dts != AV_NOPTS_VALUE)
            held.dts = packet.dts - (held.duration > 0 ? held.duration : session.frameStep);
        if (held.pts == AV_NOPTS_VALUE)
            held.pts = held.dts;
        session.holding = false;
        session.lastDts = held.dts;
        Emit(session, held);
        av_packet_unref(&held);
    }
    if (packet.dts == AV_NOPTS_VALUE) {
        if (session.lastDts == AV_NOPTS_VALUE) {
            session.holding = av_packet_ref(session.held, &packet) >= 0;
            return;
        }
        packet.dts = session.lastDts + step;
        if (packet.pts == AV_NOPTS_VALUE)
            packet.pts = packet.dts;
    }
    session.lastDts = packet.dts;
    Emit(session, packet);
}

// Waits until a frame's time has come, when the camera is paced. Returns false
// when the camera was stopped meanwhile.
bool CameraStream::Pace(Session& session, int64_t timestamp)
{
    if (!config_.pace || timestamp == AV_NOPTS_VALUE)
        return true;
    const int64_t now = MonotonicNs();
    if (session.paceStartTs == AV_NOPTS_VALUE || timestamp < session.paceStartTs) {
        session.paceStartTs = timestamp;
        session.paceStartNs = now;
        return true;
    }
    const int64_t due = session.paceStartNs +
                        av_rescale_q(timestamp - session.paceStartTs, session.timeBase, AVRational{1, 1000000000});
    return due <= now || WaitFor(due - now);
}

void CameraStream::Emit(Session& session, const AVPacket& packet)
{
    const int64_t pts = packet.pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : packet.pts + session.loopOffset;
    const int64_t dts = packet.dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : packet.dts + session.loopOffset;
    // Where a looping file's next pass starts: after the last frame of this one.
    const int64_t start = packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
    if (start != AV_NOPTS_VALUE) {
        const int64_t duration = packet.duration > 0 ? packet.duration : session.frameStep;
        if (session.passStart == AV_NOPTS_VALUE)
            session.passStart = start;
        session.passEnd = std::max(session.passEnd == AV_NOPTS_VALUE ? start : session.passEnd, start + duration);
    }
    if (!Pace(session, dts != AV_NOPTS_VALUE ? dts : pts))
        return;
    const uint32_t sequence = numbers_.nextSequence++;
    const bool keyFrame = packet.flags & AV_PKT_FLAG_KEY;
    if (session.waitingForKey && !keyFrame) {
        CountFrame(false, packet.size, false, false);
        return;
    }
    if (keyFrame)
        CheckParameterSets(session, packet);
    if (!session.described && !RaiseDescription(session, sequence)) {
        CountFrame(keyFrame, packet.size, false, true);
        return;
    }
    session.waitingForKey = false;

    DvrMediaFrameInfo info{};
    info.camera = config_.number;
    info.codec = MediaCodec(session.codec);
    info.sequence = sequence;
    info.streamGeneration = numbers_.generation;
    info.keyFrame = keyFrame ? 1 : 0;
    info.frameFlags = (packet.flags & AV_PKT_FLAG_CORRUPT) ? DVR_MEDIA_FRAME_CORRUPT : 0;
    info.timeBaseNum = static_cast<uint32_t>(session.timeBase.num);
    info.timeBaseDen = static_cast<uint32_t>(session.timeBase.den);
    info.pts = pts == AV_NOPTS_VALUE ? DVR_MEDIA_NO_TIMESTAMP : pts;
    info.dts = dts == AV_NOPTS_VALUE ? DVR_MEDIA_NO_TIMESTAMP : dts;
    info.duration = packet.duration > 0 && packet.duration <= UINT32_MAX ? static_cast<uint32_t>(packet.duration) : 0;
    info.wallClockUs = WallClockUs();
    _EventParmsIn event;
    _EventParmsOut out;
    DvrInitEvent(&event, &out, sourceID_, EVENT_TYPE_MEDIA, DVR_MEDIA_FLAGS_FRAME);
    DvrMediaSetFrameInfo(&event.payload, &info);
    event.data = packet.data; // the core copies it
    event.dataSize = static_cast<uint32_t>(packet.size);
    host_.raise(&event, &out);
    const bool refused = out.result != EVENT_RESULT_OK;
    // The core admits a source again only from a key frame: send none before.
    session.waitingForKey = refused;
    CountFrame(keyFrame, packet.size, !refused, refused);
}

// A frame that arrived damaged (RTP packets of it lost): not raised, its
// sequence number left out so that receivers see the gap, and nothing more
// until the next key frame, as after a refused frame.
void CameraStream::Lose(Session& session, size_t bytes)
{
    ++numbers_.nextSequence;
    session.waitingForKey = true;
    CountFrame(false, bytes, false, false);
}

// A key frame whose parameter sets differ from those described starts a new
// description (the camera changed its resolution or encoder settings); its
// size comes from the new sequence parameter set.
void CameraStream::CheckParameterSets(Session& session, const AVPacket& packet)
{
    std::vector<uint8_t> sets =
        ParameterSets(packet.data, static_cast<size_t>(packet.size), session.codec == AV_CODEC_ID_HEVC);
    if (sets.empty() || SameNalUnits(sets, session.parameterSets))
        return;
    if (session.parameterSets.empty()) {
        // Only in band so far: they describe the stream that is starting.
        if (!session.described)
            session.parameterSets = std::move(sets);
        return;
    }
    ParsePicture(session, packet.data, packet.size);
    session.parameterSets = std::move(sets);
    session.described = false;
    std::lock_guard lock(statusMutex_);
    status_.width = session.width;
    status_.height = session.height;
}

bool CameraStream::RaiseDescription(Session& session, uint32_t sequence)
{
    DvrMediaStreamInfo& info = session.description;
    info = {};
    info.camera = config_.number;
    info.codec = MediaCodec(session.codec);
    info.sequence = sequence;
    info.streamGeneration = static_cast<uint16_t>(numbers_.generation + 1);
    info.width = static_cast<uint32_t>(std::max(session.width, 0));
    info.height = static_cast<uint32_t>(std::max(session.height, 0));
    info.frameRateNum = static_cast<uint32_t>(session.frameRate.num);
    info.frameRateDen = static_cast<uint32_t>(session.frameRate.den);
    info.timeBaseNum = static_cast<uint32_t>(session.timeBase.num);
    info.timeBaseDen = static_cast<uint32_t>(session.timeBase.den);
    CopyName(info.name, config_.name);
    _EventParmsIn event;
    _EventParmsOut out;
    DvrInitEvent(&event, &out, sourceID_, EVENT_TYPE_MEDIA, DVR_MEDIA_FLAGS_STREAM);
    DvrMediaSetStreamInfo(&event.payload, &info);
    if (!session.parameterSets.empty()) {
        event.data = session.parameterSets.data();
        event.dataSize = static_cast<uint32_t>(session.parameterSets.size());
    }
    host_.raise(&event, &out);
    if (out.result != EVENT_RESULT_OK)
        return false;
    numbers_.generation = info.streamGeneration;
    session.described = true;
    return true;
}

void CameraStream::RaiseStreamEnd(Session& session)
{
    DvrMediaStreamInfo info = session.description;
    info.sequence = numbers_.nextSequence;
    _EventParmsIn event;
    _EventParmsOut out;
    DvrInitEvent(&event, &out, sourceID_, EVENT_TYPE_MEDIA, DVR_MEDIA_FLAGS_STREAM_END);
    DvrMediaSetStreamInfo(&event.payload, &info);
    host_.raise(&event, &out); // refused only while the core stops: nobody is left to tell
}

void CameraStream::CountFrame(bool keyFrame, size_t bytes, bool raised, bool refused)
{
    const int64_t now = MonotonicNs();
    std::lock_guard lock(statusMutex_);
    lastFrameAt_ = now;
    if (keyFrame) {
        if (keySeen_)
            status_.keyFrameInterval = framesSinceKey_;
        keySeen_ = true;
        framesSinceKey_ = 0;
    }
    ++framesSinceKey_;
    if (raised) {
        ++status_.frames;
        status_.bytes += bytes;
    } else if (refused) {
        ++status_.refused;
    } else {
        ++status_.skipped;
    }
    if (!windowStart_)
        windowStart_ = now;
    ++windowFrames_;
    windowBytes_ += bytes;
    if (now - windowStart_ >= kSecond) {
        const double seconds = static_cast<double>(now - windowStart_) / kSecond;
        status_.framesPerSecond = static_cast<double>(windowFrames_) / seconds;
        status_.bitsPerSecond = static_cast<double>(windowBytes_) * 8 / seconds;
        windowStart_ = now;
        windowFrames_ = windowBytes_ = 0;
    }
}

} // namespace ingest
