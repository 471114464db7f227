// Decode times for frames that carry only their presentation time, as RTP
// frames do: the earliest presentation time among a frame and the ones a
// decoder holds back for reordering before it (B-frames), made strictly
// increasing. A presentation time below the last decode time shows that more
// pictures are held back than assumed: the depth grows by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ingest {

// How many pictures a decoder holds back for reordering, as the sequence
// parameter sets among the Annex B units in `data` state it (H.264: the
// VUI's max_num_reorder_frames; H.265: sps_max_num_reorder_pics of the
// highest sub-layer): the most any of them states, 0 where none does or one
// cannot be read. Capped at DecodeTimes::kMaxDepth.
int StatedReorderDepth(const uint8_t* data, size_t size, bool hevc);

class DecodeTimes {
public:
    static constexpr int kMaxDepth = 16;

    int depth() const { return depth_; }
    // Holds back at least `depth` pictures (at most kMaxDepth).
    void AtLeast(int depth);
    // From a key frame after a break on: the frames held back before it are
    // taken as `step` apart.
    void Restart(int64_t pts, int64_t step);
    // The decode time of the next frame, given its presentation time.
    int64_t Next(int64_t pts);

private:
    int depth_ = 0;
    std::vector<int64_t> pending_; // presentation times not yet given out as decode times, in order
    bool started_ = false;
    int64_t last_ = 0; // the last decode time given out
};

} // namespace ingest
