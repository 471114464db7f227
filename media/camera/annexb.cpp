#include "annexb.h"

#include <algorithm>

namespace ingest {

namespace {

bool StartCodeAt(const uint8_t* data, size_t size, size_t at)
{
    return at + 3 <= size && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
}

} // namespace

std::vector<std::pair<size_t, size_t>> NalUnits(const uint8_t* data, size_t size)
{
    std::vector<std::pair<size_t, size_t>> units;
    size_t at = 0;
    while (at < size && !StartCodeAt(data, size, at))
        ++at;
    while (at < size) {
        const size_t begin = at + 3;
        size_t end = begin;
        while (end < size && !StartCodeAt(data, size, end))
            ++end;
        at = end;
        while (end > begin && data[end - 1] == 0) // trailing zeros, or the first byte of a 4-byte start code
            --end;
        if (end > begin)
            units.emplace_back(begin, end);
    }
    return units;
}

std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t size, bool hevc)
{
    std::vector<uint8_t> sets;
    for (auto [begin, end] : NalUnits(data, size)) {
        const int type = hevc ? (data[begin] >> 1) & 0x3F : data[begin] & 0x1F;
        if (hevc ? type >= 32 && type <= 34 : type == 7 || type == 8) {
            sets.insert(sets.end(), {0, 0, 0, 1});
            sets.insert(sets.end(), data + begin, data + end);
        }
    }
    return sets;
}

bool SameNalUnits(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    const auto unitsA = NalUnits(a.data(), a.size()), unitsB = NalUnits(b.data(), b.size());
    return std::equal(unitsA.begin(), unitsA.end(), unitsB.begin(), unitsB.end(), [&](auto x, auto y) {
        return std::equal(a.begin() + x.first, a.begin() + x.second, b.begin() + y.first, b.begin() + y.second);
    });
}

} // namespace ingest
