#include "annexb.h"

#include <algorithm>
#include <cstring>

namespace ingest {

namespace {

// The offset of the next start code at or after `at`, or `size`. memchr
// finds the candidates: most bytes of a slice are not zero.
size_t NextStartCode(const uint8_t* data, size_t size, size_t at)
{
    while (at + 3 <= size) {
        const auto* zero = static_cast<const uint8_t*>(std::memchr(data + at, 0, size - at - 2));
        if (!zero)
            return size;
        at = static_cast<size_t>(zero - data);
        if (data[at + 1] == 0 && data[at + 2] == 1)
            return at;
        ++at;
    }
    return size;
}

// Calls `unit(begin, end)` for each NAL unit in order until it returns false.
template <typename Unit>
void ForEachNalUnit(const uint8_t* data, size_t size, Unit unit)
{
    size_t at = NextStartCode(data, size, 0);
    while (at < size) {
        const size_t begin = at + 3;
        size_t end = NextStartCode(data, size, begin);
        at = end;
        while (end > begin && data[end - 1] == 0) // trailing zeros, or the first byte of a 4-byte start code
            --end;
        if (end > begin && !unit(begin, end))
            return;
    }
}

} // namespace

std::vector<std::pair<size_t, size_t>> NalUnits(const uint8_t* data, size_t size)
{
    std::vector<std::pair<size_t, size_t>> units;
    ForEachNalUnit(data, size, [&](size_t begin, size_t end) {
        units.emplace_back(begin, end);
        return true;
    });
    return units;
}

std::vector<uint8_t> ParameterSets(const uint8_t* data, size_t size, bool hevc)
{
    std::vector<uint8_t> sets;
    // Parameter sets come before the access unit's first slice: the scan
    // ends there rather than reading through the picture.
    ForEachNalUnit(data, size, [&](size_t begin, size_t end) {
        const int type = hevc ? (data[begin] >> 1) & 0x3F : data[begin] & 0x1F;
        if (hevc ? type >= 32 && type <= 34 : type == 7 || type == 8) {
            sets.insert(sets.end(), {0, 0, 0, 1});
            sets.insert(sets.end(), data + begin, data + end);
        }
        return hevc ? type > 31 : type < 1 || type > 5;
    });
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
