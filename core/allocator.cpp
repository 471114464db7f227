#include "core/allocator.h"

#include <malloc.h>

namespace {

// Free memory the heap may keep at its top before giving it back. Without
// this, glibc trims whenever 128 KiB are free at the top: a steady stream of
// video frames (malloc'd by one thread, freed by the writer) then shrinks and
// regrows the heap for every few frames and pays page faults each time. Kept
// well below the memory limit that throttles video.
constexpr int kTrimThreshold = 16 << 20;
// Blocks below this come from the heap rather than a mapping of their own, so
// large key frames do not map and fault their pages per event either. Fixing
// it also stops glibc from moving the trim threshold on its own.
constexpr int kMmapThreshold = 4 << 20;

} // namespace

void TuneAllocator()
{
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
}
