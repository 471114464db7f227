#include "rtp_depacketizer.h"

namespace ingest {

namespace {

constexpr uint8_t kStartCode[] = {0, 0, 0, 1};

uint16_t Be16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t Be32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

// True when an H.264 SEI unit (its payload after the unit header) holds a
// recovery point: the picture is a random access point without being IDR,
// as FFmpeg's parser counts key frames. The messages' types and sizes are
// read as they stand; a size that runs past the unit ends the search.
bool HoldsRecoveryPoint(const uint8_t* data, size_t size)
{
    size_t at = 0;
    while (at < size && data[at] != 0x80) { // 0x80: the unit's trailing bits
        size_t type = 0, length = 0;
        while (at < size && data[at] == 0xFF)
            type += 255, ++at;
        if (at == size)
            return false;
        type += data[at++];
        while (at < size && data[at] == 0xFF)
            length += 255, ++at;
        if (at == size)
            return false;
        length += data[at++];
        if (type == 6)
            return true;
        if (length > size - at)
            return false;
        at += length;
    }
    return false;
}

} // namespace

RtpDepacketizer::RtpDepacketizer(bool hevc, uint8_t payloadType, FrameSink sink, size_t maxFrameBytes)
    : hevc_(hevc), payloadType_(payloadType), sink_(std::move(sink)), maxFrameBytes_(maxFrameBytes)
{}

void RtpDepacketizer::Push(const uint8_t* packet, size_t size)
{
    if (size < 12 || packet[0] >> 6 != 2 || (packet[1] & 0x7F) != payloadType_)
        return;
    const bool padding = packet[0] & 0x20, extension = packet[0] & 0x10, marker = packet[1] & 0x80;
    const uint16_t sequence = Be16(packet + 2);
    const uint32_t timestamp = Be32(packet + 4);
    size_t at = 12 + 4 * size_t{packet[0] & 0x0Fu};
    if (extension) {
        if (at + 4 > size)
            return;
        at += 4 + 4 * size_t{Be16(packet + at + 2)};
    }
    if (at > size)
        return; // header longer than the packet
    size_t end = size;
    if (padding) {
        if (packet[size - 1] > size - at)
            return; // padding longer than the payload
        end -= packet[size - 1];
    }

    // A new synchronization source: the sender restarted (an encoder
    // restarting on the same connection). Its sequence numbers and
    // timestamps start afresh: the frame in progress is cut off damaged,
    // and the next one is marked as not following on from it.
    const uint32_t source = Be32(packet + 8);
    if (haveSource_ && source != source_) {
        if (started_)
            frame_.damaged = true;
        Finish();
        haveSequence_ = false;
        discontinuity_ = true;
    }
    haveSource_ = true;
    source_ = source;

    // Sequence numbers: one behind is late or doubled and left out; one
    // ahead means packets were lost, and the frames they belonged to are
    // damaged: the one in progress and the next.
    bool gap = false;
    if (haveSequence_) {
        const auto ahead = static_cast<int16_t>(sequence - nextSequence_);
        if (ahead < 0)
            return;
        gap = ahead > 0;
        lostPackets_ += static_cast<uint16_t>(ahead);
    }
    haveSequence_ = true;
    nextSequence_ = static_cast<uint16_t>(sequence + 1);

    if (started_ && timestamp != frame_.timestamp) {
        frame_.damaged |= gap; // its end may be what was lost
        Finish();
    }
    if (!started_) {
        started_ = true;
        frame_.timestamp = timestamp;
    }
    frame_.damaged |= gap;
    Payload(packet + at, end - at);
    // The marker ends a frame once it holds a picture: some senders also
    // set it on a packet of parameter sets or SEI alone, before the
    // picture of the same timestamp.
    if (marker && slice_)
        Finish();
}

bool RtpDepacketizer::IsSlice(int type) const
{
    return hevc_ ? type < 32 : type >= 1 && type <= 5;
}

void RtpDepacketizer::Payload(const uint8_t* data, size_t size)
{
    if (hevc_)
        PayloadH265(data, size);
    else
        PayloadH264(data, size);
}

void RtpDepacketizer::PayloadH264(const uint8_t* data, size_t size)
{
    if (size < 1) {
        frame_.damaged = true;
        return;
    }
    const int type = data[0] & 0x1F;
    if (type != 28 && fragmenting_) {
        frame_.damaged = true; // the fragmented unit never ended
        fragmenting_ = false;
    }
    if (type >= 1 && type <= 23) {
        AppendUnit(data, 1, data + 1, size - 1);
    } else if (type == 24) { // STAP-A
        Aggregated(data, size, 1);
    } else if (type == 28) { // FU-A
        if (size < 2) {
            frame_.damaged = true;
            return;
        }
        const uint8_t header = static_cast<uint8_t>((data[0] & 0xE0) | (data[1] & 0x1F));
        const bool first = data[1] & 0x80, last = data[1] & 0x40;
        slice_ |= IsSlice(header & 0x1F);
        if (first) {
            frame_.damaged |= fragmenting_;
            AppendUnit(&header, 1, data + 2, size - 2);
            fragmenting_ = !last;
        } else if (fragmenting_) {
            Append(data + 2, size - 2);
            fragmenting_ = !last;
        } else {
            frame_.damaged = true; // its first fragment is missing
        }
    } else {
        frame_.damaged = true; // interleaved-mode packets, which are not negotiated, or no unit
    }
}

void RtpDepacketizer::PayloadH265(const uint8_t* data, size_t size)
{
    if (size < 2) {
        frame_.damaged = true;
        return;
    }
    const int type = (data[0] >> 1) & 0x3F;
    if (type != 49 && fragmenting_) {
        frame_.damaged = true;
        fragmenting_ = false;
    }
    if (type < 48) {
        AppendUnit(data, 2, data + 2, size - 2);
    } else if (type == 48) { // aggregation packet
        Aggregated(data, size, 2);
    } else if (type == 49) { // fragmentation unit
        if (size < 3) {
            frame_.damaged = true;
            return;
        }
        const uint8_t header[2] = {static_cast<uint8_t>((data[0] & 0x81) | ((data[2] & 0x3F) << 1)), data[1]};
        const bool first = data[2] & 0x80, last = data[2] & 0x40;
        slice_ |= IsSlice(data[2] & 0x3F);
        if (first) {
            frame_.damaged |= fragmenting_;
            AppendUnit(header, 2, data + 3, size - 3);
            fragmenting_ = !last;
        } else if (fragmenting_) {
            Append(data + 3, size - 3);
            fragmenting_ = !last;
        } else {
            frame_.damaged = true;
        }
    } else {
        frame_.damaged = true;
    }
}

void RtpDepacketizer::Aggregated(const uint8_t* data, size_t size, size_t at)
{
    const size_t headerSize = hevc_ ? 2 : 1;
    while (at < size) {
        if (size - at < 2) {
            frame_.damaged = true;
            return;
        }
        const size_t length = Be16(data + at);
        at += 2;
        if (length < headerSize || length > size - at) {
            frame_.damaged = true;
            return;
        }
        AppendUnit(data + at, headerSize, data + at + headerSize, length - headerSize);
        at += length;
    }
}

void RtpDepacketizer::AppendUnit(const uint8_t* header, size_t headerSize, const uint8_t* data, size_t size)
{
    const int type = hevc_ ? (header[0] >> 1) & 0x3F : header[0] & 0x1F;
    slice_ |= IsSlice(type);
    if (hevc_ ? type >= 16 && type <= 23 : type == 5 || (type == 6 && HoldsRecoveryPoint(data, size)))
        frame_.keyFrame = true;
    Append(kStartCode, sizeof kStartCode);
    Append(header, headerSize);
    Append(data, size);
}

void RtpDepacketizer::Append(const uint8_t* data, size_t size)
{
    if (frame_.data.size() + size > maxFrameBytes_) {
        frame_.damaged = true; // kept short: it is not raised
        return;
    }
    frame_.data.insert(frame_.data.end(), data, data + size);
}

void RtpDepacketizer::Finish()
{
    if (started_ && (!frame_.data.empty() || frame_.damaged)) {
        frame_.damaged |= fragmenting_;
        frame_.discontinuity = discontinuity_;
        discontinuity_ = false;
        sink_(frame_);
    }
    frame_.data.clear();
    frame_.keyFrame = frame_.damaged = frame_.discontinuity = false;
    started_ = fragmenting_ = slice_ = false;
}

} // namespace ingest
