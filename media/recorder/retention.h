// Which closed segments to delete so that the recordings stay within their
// limits: by age and by bytes, per camera and overall, and above a floor of
// free space. The oldest go first; an open segment is never chosen.
#pragma once

#include <cstdint>
#include <vector>

#include "recording_index.h"

namespace recorder {

struct RetentionLimits {
    int64_t maxBytes = 0;       // all cameras together; 0 = no limit
    int64_t maxCameraBytes = 0; // each camera; 0 = no limit
    int64_t maxAgeUs = 0;       // a segment whose end is older goes; 0 = no limit
    int64_t minFreeBytes = 0;   // free space to keep on the recording filesystem
};

// `rows` is every segment, open ones included (their bytes count, they stay).
// `freeBytes` is the filesystem's free space now (negative: not known).
// Returns the ids to delete, oldest first.
std::vector<int64_t> ChooseDeletions(const std::vector<SegmentRow>& rows, const RetentionLimits& limits, int64_t nowUs,
                                     int64_t freeBytes);

} // namespace recorder
