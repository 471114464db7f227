#include "retention.h"

#include <algorithm>
#include <map>

namespace recorder {

std::vector<int64_t> ChooseDeletions(const std::vector<SegmentRow>& rows, const RetentionLimits& limits, int64_t nowUs,
                                     int64_t freeBytes)
{
    std::vector<const SegmentRow*> byAge;
    for (const SegmentRow& row : rows)
        byAge.push_back(&row);
    std::stable_sort(byAge.begin(), byAge.end(),
                     [](const SegmentRow* a, const SegmentRow* b) { return a->startUs < b->startUs; });

    int64_t total = 0;
    std::map<uint32_t, int64_t> perCamera;
    for (const SegmentRow* row : byAge) {
        total += row->bytes;
        perCamera[row->camera] += row->bytes;
    }
    int64_t freed = 0;
    std::vector<int64_t> chosen;
    std::vector<bool> gone(byAge.size(), false);
    auto take = [&](size_t i) {
        gone[i] = true;
        chosen.push_back(byAge[i]->id);
        total -= byAge[i]->bytes;
        perCamera[byAge[i]->camera] -= byAge[i]->bytes;
        freed += byAge[i]->bytes;
    };
    auto deletable = [&](size_t i) { return !gone[i] && byAge[i]->state != "open"; };

    for (size_t i = 0; i < byAge.size(); ++i) {
        if (!deletable(i))
            continue;
        if (limits.maxAgeUs > 0 && nowUs - byAge[i]->endUs > limits.maxAgeUs)
            take(i);
    }
    if (limits.maxCameraBytes > 0)
        for (size_t i = 0; i < byAge.size(); ++i)
            if (deletable(i) && perCamera[byAge[i]->camera] > limits.maxCameraBytes)
                take(i);
    if (limits.maxBytes > 0)
        for (size_t i = 0; i < byAge.size() && total > limits.maxBytes; ++i)
            if (deletable(i))
                take(i);
    if (limits.minFreeBytes > 0 && freeBytes >= 0)
        for (size_t i = 0; i < byAge.size() && freeBytes + freed < limits.minFreeBytes; ++i)
            if (deletable(i))
                take(i);
    return chosen;
}

} // namespace recorder
