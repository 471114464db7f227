#include "decode_times.h"

#include <algorithm>

namespace ingest {

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
