#include "plugin-host/plugin_descriptor_rules.h"

#include <cstdio>

namespace {

// Bits of ExportedEntryBits, in kEntryPointNames order.
constexpr uint32_t kReadBit = 1u << 4, kWriteBit = 1u << 5, kIoctlBit = 1u << 7;

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace

uint32_t ExportedEntryBits(const PluginEntryPoints& entries)
{
    uint32_t bits = 0;
    for (int i = 0; i < kEntryPointCount; ++i)
        if (entries.At(i))
            bits |= 1u << i;
    return bits;
}

const char* EventTypeName(int maskIndex)
{
    static const char* const names[DVR_EVENT_MASK_COUNT] = {
        "0x0001 media", "0x0002", "0x0004 status", "0x0008", "0x0010", "0x0020", "0x0040 log", "0x0080", "0x0400"};
    return maskIndex >= 0 && maskIndex < DVR_EVENT_MASK_COUNT ? names[maskIndex] : "?";
}

std::vector<std::string> DescriptorWarnings(const _LoadParmsOut& d, uint32_t exportedEntries)
{
    std::vector<std::string> warnings;
    bool anyMask = false;
    for (int i = 0; i < DVR_EVENT_MASK_COUNT; ++i) {
        const uint32_t mask = d.eventMasks[i];
        anyMask = anyMask || mask;
        // Bit 24 of eventFlags moves to bit 25 in the routing class, so no
        // queued event's class holds bit 24 alone.
        if ((mask & 0x01000000u) && !(mask & 0x02000000u))
            warnings.push_back(std::string("mask ") + EventTypeName(i) + " is " + Hex(mask) +
                               ": bit 0x01000000 is a raw eventFlags bit that no queued event's routing class "
                               "holds; DVR_ROUTING_CLASS(" +
                               Hex(mask) + ") = " + Hex(DVR_ROUTING_CLASS(mask)) + " was surely meant");
    }
    if (anyMask && !d.writeEnabled && !d.readEnabled)
        warnings.push_back("masks are set but writeEnabled is 0: no event reaches Write");
    if (!anyMask && d.writeEnabled)
        warnings.push_back(
            "writeEnabled is set but every mask is 0: Write receives only events whose eventFlags are 0");
    if (d.writeEnabled && !(exportedEntries & kWriteBit))
        warnings.push_back("writeEnabled is set but the library exports no Write");
    if (d.workerEnabled && !(exportedEntries & kIoctlBit))
        warnings.push_back("workerEnabled is set but the library exports no IOCTL: no worker runs");
    if (d.readEnabled && !(exportedEntries & kReadBit))
        warnings.push_back("readEnabled is set but the library exports no Read");
    if (d.logLevelDefault < -1 || d.logLevelDefault > 100)
        warnings.push_back("logLevelDefault " + std::to_string(d.logLevelDefault) +
                           " is outside -1..100 and is ignored");
    return warnings;
}
