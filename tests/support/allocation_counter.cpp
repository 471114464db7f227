#include "support/allocation_counter.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool tCounting = false;
thread_local size_t tAllocations = 0;
thread_local bool tFailNext = false;

} // namespace

void* operator new(size_t size)
{
    if (!dvrtest::NoteAllocation())
        throw std::bad_alloc();
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](size_t size)
{
    return ::operator new(size);
}
// Out of line: once inlined, GCC flags free() on operator-new memory even
// though this new/delete pair is consistent.
[[gnu::noinline]] void operator delete(void* memory) noexcept
{
    std::free(memory);
}
[[gnu::noinline]] void operator delete(void* memory, size_t) noexcept
{
    std::free(memory);
}
[[gnu::noinline]] void operator delete[](void* memory) noexcept
{
    std::free(memory);
}
[[gnu::noinline]] void operator delete[](void* memory, size_t) noexcept
{
    std::free(memory);
}

namespace dvrtest {

AllocationCounter::AllocationCounter()
{
    tAllocations = 0;
    tCounting = true;
}

AllocationCounter::~AllocationCounter()
{
    tCounting = false;
}

size_t AllocationCounter::Stop()
{
    tCounting = false;
    return tAllocations;
}

bool NoteAllocation()
{
    if (tCounting)
        ++tAllocations;
    if (!tFailNext)
        return true;
    tFailNext = false;
    return false;
}

void FailNextAllocation(bool fail)
{
    tFailNext = fail;
}

} // namespace dvrtest
