#include "core/allocator.h"

#include <malloc.h>

#include "core/logging.h"

namespace {

// Blocks below this come from the heap rather than a mapping of their own, so
// large key frames do not map and fault their pages per event. Some glibc
// versions refuse more than half their per-thread heap size: 512 KiB where
// long has 32 bits (the ARM target), so that is the fallback there.
constexpr int kMmapThreshold = 4 << 20;
constexpr int kMmapThreshold32 = 512 << 10;
// Free memory the heap may keep at its top before giving it back. Without
// this, glibc trims whenever 128 KiB are free at the top: a steady stream of
// video frames (malloc'd by one thread, freed by the writer) then shrinks and
// regrows the heap for every few frames and pays page faults each time. Kept
// well below the memory limit that throttles video.
constexpr int kTrimThreshold = 16 << 20;

} // namespace

bool ApplyAllocatorSetting(int option, const char* name, std::initializer_list<int> values)
{
    for (int value : values)
        if (mallopt(option, value) == 1)
            return true;
    LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "core allocator refused %s %d", name,
               values.size() ? *(values.end() - 1) : 0);
    return false;
}

void TuneAllocator()
{
    // Setting either threshold stops glibc from moving both on its own. Were
    // the trim threshold fixed while the mmap threshold was refused, every
    // block above the 128 KiB default would be mapped and unmapped per event;
    // glibc's own adjustment does better than that, so it is left in charge.
    if (ApplyAllocatorSetting(M_MMAP_THRESHOLD, "mmap threshold", {kMmapThreshold, kMmapThreshold32}))
        ApplyAllocatorSetting(M_TRIM_THRESHOLD, "trim threshold", {kTrimThreshold});
}
