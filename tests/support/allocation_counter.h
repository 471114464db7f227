// Counts the calling thread's operator-new allocations, so a test can check
// that a path stays allocation-free, and makes one of them fail on request.
// Linking the support library replaces the global operator new and delete
// with malloc-based ones that do this.
#pragma once

#include <cstddef>

namespace dvrtest {

// Counts this thread's allocations from construction until Stop.
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;
    // Stops counting and returns the count.
    size_t Stop();
};

// This thread's next operator-new allocation throws std::bad_alloc while set.
void FailNextAllocation(bool fail = true);

// Counts one allocation of this thread and answers whether it may succeed;
// operator new calls it, and so can a test's stand-in for another allocator.
bool NoteAllocation();

} // namespace dvrtest
