// Annex B byte streams: the NAL units of an access unit, and its parameter
// sets, which become a segment's codec description when a camera sends them
// only in band.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace recorder {

struct NalUnit {
    const uint8_t* data; // first byte after the start code
    size_t size;
};

// The NAL units between start codes (00 00 01 or 00 00 00 01).
std::vector<NalUnit> SplitNalUnits(const uint8_t* data, size_t size);

// The parameter sets in `data` (H.264: SPS, PPS; H.265: VPS, SPS, PPS), each
// behind a four-byte start code; empty when there are none.
std::vector<uint8_t> ParameterSets(uint32_t codec, const uint8_t* data, size_t size);

} // namespace recorder
