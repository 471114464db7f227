#include "annexb.h"

#include "dvrmedia.h"
#include "dvrplugin.h"

namespace recorder {

namespace {

// Offset of the first byte after the next start code at or after `from`, or size.
size_t NextUnitStart(const uint8_t* data, size_t size, size_t from)
{
    for (size_t i = from; i + 3 <= size; ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
            return i + 3;
    return size;
}

bool IsParameterSet(uint32_t codec, uint8_t header)
{
    if (codec == DVR_MEDIA_CODEC_H265) {
        const int type = (header >> 1) & 0x3F;
        return type >= 32 && type <= 34; // VPS, SPS, PPS
    }
    const int type = header & 0x1F;
    return type == 7 || type == 8; // SPS, PPS
}

} // namespace

std::vector<NalUnit> SplitNalUnits(const uint8_t* data, size_t size)
{
    std::vector<NalUnit> units;
    size_t start = NextUnitStart(data, size, 0);
    while (start < size) {
        size_t next = NextUnitStart(data, size, start);
        // The unit ends before the next start code, whose zeros (two or three) are not its own.
        size_t end = next == size ? size : next - 3;
        while (end > start && data[end - 1] == 0 && next != size)
            --end;
        units.push_back({data + start, end - start});
        start = next;
    }
    return units;
}

std::vector<uint8_t> ParameterSets(uint32_t codec, const uint8_t* data, size_t size)
{
    std::vector<uint8_t> sets;
    for (const NalUnit& unit : SplitNalUnits(data, size)) {
        if (unit.size == 0 || !IsParameterSet(codec, unit.data[0]))
            continue;
        sets.insert(sets.end(), {0, 0, 0, 1});
        sets.insert(sets.end(), unit.data, unit.data + unit.size);
    }
    return sets;
}

} // namespace recorder
