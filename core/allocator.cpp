#include "core/allocator.h"

void TuneAllocator() {}
