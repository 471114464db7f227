#include "decode_times.h"

#include <algorithm>
#include <iterator>

#include "annexb.h"

namespace ingest {

namespace {

// Reads the bits of a NAL unit's payload, emulation prevention bytes left
// out. Reading past the end sets `failed` and yields zeros; every loop that a
// count read from the unit drives is bounded by the caller.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size)
    {
        bytes_.reserve(size);
        int zeros = 0;
        for (size_t i = 0; i < size; ++i) {
            if (zeros >= 2 && data[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = data[i] == 0 ? zeros + 1 : 0;
            bytes_.push_back(data[i]);
        }
    }

    bool failed = false;

    uint32_t Bits(int count) // at most 32
    {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i) {
            if (at_ >= bytes_.size() * 8) {
                failed = true;
                return 0;
            }
            value = value << 1 | ((bytes_[at_ / 8] >> (7 - at_ % 8)) & 1u);
            ++at_;
        }
        return value;
    }
    bool Flag() { return Bits(1) != 0; }
    // Exp-Golomb coded, unsigned; a code longer than 32 bits fails.
    uint32_t Ue()
    {
        int zeros = 0;
        while (!Flag()) {
            if (failed || ++zeros > 31) {
                failed = true;
                return 0;
            }
        }
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + Bits(zeros));
    }
    void Se() { Ue(); } // signed ones are only skipped here

private:
    std::vector<uint8_t> bytes_;
    size_t at_ = 0;
};

// H.264: hypothetical reference decoder parameters, skipped.
void SkipHrd(BitReader& bits)
{
    const uint32_t count = bits.Ue() + 1;
    if (count > 32) {
        bits.failed = true;
        return;
    }
    bits.Bits(8); // bit rate and buffer size scales
    for (uint32_t i = 0; i < count && !bits.failed; ++i) {
        bits.Ue();
        bits.Ue();
        bits.Flag();
    }
    bits.Bits(20); // four delay and offset lengths
}

// H.264 sequence parameter set after its unit header; -1 when it does not say.
int H264Reorder(BitReader& bits)
{
    const uint32_t profile = bits.Bits(8);
    bits.Bits(16); // constraint flags, level
    bits.Ue();     // its id
    static constexpr uint32_t kHighProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), profile) != std::end(kHighProfiles)) {
        const uint32_t chroma = bits.Ue();
        if (chroma == 3)
            bits.Flag(); // separate colour planes
        bits.Ue();       // bit depths
        bits.Ue();
        bits.Flag(); // transform bypass
        if (bits.Flag()) {
            for (int list = 0; list < (chroma != 3 ? 8 : 12) && !bits.failed; ++list) {
                if (!bits.Flag())
                    continue;
                int last = 8, next = 8;
                for (int j = 0; j < (list < 6 ? 16 : 64) && !bits.failed; ++j) {
                    if (next != 0) {
                        const uint32_t code = bits.Ue(); // a signed delta: its value matters here
                        const int64_t delta = code & 1 ? (int64_t{code} + 1) / 2 : -(int64_t{code} / 2);
                        next = static_cast<int>(((last + delta) % 256 + 256) % 256);
                    }
                    last = next == 0 ? last : next;
                }
            }
        }
    }
    bits.Ue(); // log2 of the largest frame number
    const uint32_t orderType = bits.Ue();
    if (orderType == 0) {
        bits.Ue();
    } else if (orderType == 1) {
        bits.Flag();
        bits.Se();
        bits.Se();
        const uint32_t cycle = bits.Ue();
        if (cycle > 255)
            return -1;
        for (uint32_t i = 0; i < cycle && !bits.failed; ++i)
            bits.Se();
    }
    bits.Ue();   // reference frames
    bits.Flag(); // gaps in frame numbers
    bits.Ue();   // width, height
    bits.Ue();
    if (!bits.Flag()) // frames only
        bits.Flag();
    bits.Flag(); // direct 8x8 inference
    if (bits.Flag())
        for (int i = 0; i < 4; ++i) // cropping
            bits.Ue();
    if (!bits.Flag() || bits.failed) // no VUI
        return -1;
    if (bits.Flag() && bits.Bits(8) == 255) // aspect ratio, extended
        bits.Bits(32);
    if (bits.Flag()) // overscan
        bits.Flag();
    if (bits.Flag()) { // video signal type
        bits.Bits(4);
        if (bits.Flag())
            bits.Bits(24); // colour description
    }
    if (bits.Flag()) { // chroma location
        bits.Ue();
        bits.Ue();
    }
    if (bits.Flag()) { // timing
        bits.Bits(32);
        bits.Bits(32);
        bits.Flag();
    }
    const bool nalHrd = bits.Flag();
    if (nalHrd)
        SkipHrd(bits);
    const bool vclHrd = bits.Flag();
    if (vclHrd)
        SkipHrd(bits);
    if (nalHrd || vclHrd)
        bits.Flag();                 // low delay
    bits.Flag();                     // picture structure
    if (!bits.Flag() || bits.failed) // no bitstream restriction
        return -1;
    bits.Flag(); // motion vectors over picture boundaries
    for (int i = 0; i < 4; ++i)
        bits.Ue();
    const uint32_t reorder = bits.Ue();
    bits.Ue(); // decoded frame buffering
    return bits.failed ? -1 : static_cast<int>(std::min<uint32_t>(reorder, DecodeTimes::kMaxDepth));
}

// H.265 sequence parameter set after its unit header; -1 when unreadable.
int H265Reorder(BitReader& bits)
{
    bits.Bits(4); // video parameter set id
    const uint32_t subLayers = bits.Bits(3);
    bits.Flag();   // temporal id nesting
    bits.Bits(32); // profile, tier and level of the whole stream: 96 bits
    bits.Bits(32);
    bits.Bits(32);
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (uint32_t i = 0; i < subLayers; ++i) {
        profilePresent[i] = bits.Flag();
        levelPresent[i] = bits.Flag();
    }
    if (subLayers > 0)
        for (uint32_t i = subLayers; i < 8; ++i)
            bits.Bits(2);
    for (uint32_t i = 0; i < subLayers; ++i) {
        if (profilePresent[i]) { // 88 bits
            bits.Bits(32);
            bits.Bits(32);
            bits.Bits(24);
        }
        if (levelPresent[i])
            bits.Bits(8);
    }
    bits.Ue();          // its id
    if (bits.Ue() == 3) // chroma format
        bits.Flag();
    bits.Ue(); // width, height
    bits.Ue();
    if (bits.Flag()) // conformance window
        for (int i = 0; i < 4; ++i)
            bits.Ue();
    bits.Ue(); // bit depths
    bits.Ue();
    bits.Ue(); // log2 of the largest picture order count
    const bool perSubLayer = bits.Flag();
    uint32_t reorder = 0;
    for (uint32_t i = perSubLayer ? 0 : subLayers; i <= subLayers && !bits.failed; ++i) {
        bits.Ue(); // decoded picture buffering
        reorder = bits.Ue();
        bits.Ue(); // latency
    }
    return bits.failed ? -1 : static_cast<int>(std::min<uint32_t>(reorder, DecodeTimes::kMaxDepth));
}

} // namespace

int StatedReorderDepth(const uint8_t* data, size_t size, bool hevc)
{
    int depth = 0;
    for (const auto& [begin, end] : NalUnits(data, size)) {
        const size_t header = hevc ? 2 : 1;
        const int type = hevc ? (data[begin] >> 1) & 0x3F : data[begin] & 0x1F;
        if (type != (hevc ? 33 : 7) || end - begin <= header)
            continue;
        BitReader bits(data + begin + header, end - begin - header);
        depth = std::max(depth, hevc ? H265Reorder(bits) : H264Reorder(bits));
    }
    return depth;
}

void DecodeTimes::AtLeast(int depth)
{
    depth_ = std::clamp(depth, depth_, kMaxDepth);
}

void DecodeTimes::Restart(int64_t pts, int64_t step)
{
    pending_.clear();
    for (int before = depth_; before > 0; --before)
        pending_.push_back(pts - before * step);
}

int64_t DecodeTimes::Next(int64_t pts)
{
    if (started_ && pts < last_)
        AtLeast(depth_ + 1); // the pending list keeps one more from now on
    pending_.insert(std::upper_bound(pending_.begin(), pending_.end(), pts), pts);
    int64_t dts = pending_.front();
    if (pending_.size() > static_cast<size_t>(depth_))
        pending_.erase(pending_.begin());
    if (started_)
        dts = std::max(dts, last_ + 1);
    started_ = true;
    last_ = dts;
    return dts;
}

} // namespace ingest
