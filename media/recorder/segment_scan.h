// What a segment file holds, read back from the file itself: used to enter
// segments the index does not know (after a crash) and by tests.
#pragma once

#include <cstdint>
#include <string>

#include "file_system.h"

namespace recorder {

struct SegmentFacts {
    bool readable = false;  // a file header and at least one complete fragment
    bool complete = false;  // closed cleanly: ends with its fragment index
    int64_t validBytes = 0; // length up to the end of the last complete fragment (or the index)
    int64_t fileBytes = 0;
    uint64_t frames = 0;
    int64_t durationUs = 0; // from the first frame's decode time to the end of the last frame
    bool startsWithKeyFrame = false;
};

// Reads the box structure and the frames of `path`.
SegmentFacts ScanSegment(const std::string& path);

// Cuts a file that ends in a partial fragment back to its last complete one,
// so every player reads it without error. Returns the facts after the repair;
// an unreadable file is left alone.
SegmentFacts RepairSegment(FileSystem& files, const std::string& path);

} // namespace recorder
