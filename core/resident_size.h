// The process's resident memory, as the kernel reports it.
#pragma once

#include <cstddef>

// Resident size in bytes from a statm file ("/proc/self/statm" by default);
// 0 when the file cannot be opened or does not hold two page counts.
size_t ReadResidentBytes(const char* statmPath = "/proc/self/statm");
