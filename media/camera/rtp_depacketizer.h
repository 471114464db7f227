// H.264 and H.265 access units put together from RTP packets: the payload
// formats of a camera's video (single NAL unit, aggregation and fragmentation
// packets), frames cut at the marker bit (once they hold a picture) or where
// the timestamp changes, lost packets found by their sequence numbers, and a
// restarted sender by its new synchronization source. The packets come from
// the network: every length is checked, and a frame is capped in size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace ingest {

struct RtpFrame {
    std::vector<uint8_t> data;  // Annex B, 4-byte start codes
    uint32_t timestamp = 0;     // RTP timestamp, in the clock rate of the payload
    bool keyFrame = false;      // holds an IDR picture or a recovery point (H.264), an IRAP picture (H.265)
    bool damaged = false;       // packets of it were lost, or it could not be read whole
    bool discontinuity = false; // the sender restarted (a new synchronization source) before this frame:
                                // its timestamp does not follow on from the frames before
};

class RtpDepacketizer {
public:
    using FrameSink = std::function<void(RtpFrame& frame)>;

    static constexpr size_t kMaxFrameBytes = 16 << 20;

    RtpDepacketizer(bool hevc, uint8_t payloadType, FrameSink sink, size_t maxFrameBytes = kMaxFrameBytes);

    // Takes one RTP packet; hands each frame it completes to the sink (at
    // most two: the one a new timestamp ends and the one its marker ends).
    // A packet of another payload type, or not RTP version 2, is ignored.
    void Push(const uint8_t* packet, size_t size);

    uint64_t lostPackets() const { return lostPackets_; }

private:
    void Payload(const uint8_t* data, size_t size);
    void PayloadH264(const uint8_t* data, size_t size);
    void PayloadH265(const uint8_t* data, size_t size);
    void AppendUnit(const uint8_t* header, size_t headerSize, const uint8_t* data, size_t size);
    void Append(const uint8_t* data, size_t size);
    // Aggregation packet: units behind 16-bit sizes from `at` on.
    void Aggregated(const uint8_t* data, size_t size, size_t at);
    void Finish();
    bool IsSlice(int type) const; // a unit type that holds (part of) a coded picture

    const bool hevc_;
    const uint8_t payloadType_;
    const FrameSink sink_;
    const size_t maxFrameBytes_;
    RtpFrame frame_;
    bool started_ = false;     // frame_ has had a packet
    bool fragmenting_ = false; // inside a fragmented unit
    bool slice_ = false;       // frame_ holds a unit of a coded picture: a marker ends it
    bool haveSequence_ = false;
    uint16_t nextSequence_ = 0;
    bool haveSource_ = false;
    uint32_t source_ = 0;        // synchronization source of the packets so far
    bool discontinuity_ = false; // the next frame handed on is the first of a new source
    uint64_t lostPackets_ = 0;
};

} // namespace ingest
