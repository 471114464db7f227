// Annex B access units (NAL units behind start codes), as far as the camera
// needs to look into them: the parameter sets a key frame carries in band.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ingest {

// The NAL units of an Annex B buffer: [begin, end) offsets of each unit's
// bytes, start codes and trailing zero bytes left out.
std::vector<std::pair<size_t, size_t>> NalUnits(const uint8_t* data, size_t size);

// The parameter sets (H.264: SPS, PPS; H.265: VPS, SPS, PPS) among the NAL
// units of an access unit before its first slice, in Annex B form with
// 4-byte start codes; empty when it carries none. `hevc` tells the codec.
std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t size, bool hevc);

// True when two Annex B buffers hold the same NAL units in the same order,
// whatever their start codes.
bool SameNalUnits(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

} // namespace ingest
