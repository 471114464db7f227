// Shared by the fuzz targets: invariant checks that abort (so libFuzzer keeps
// the input as a finding and the corpus replay fails), a reader that takes
// fields from the input bytes, and marking memory unreadable for the address
// sanitizer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DVR_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define DVR_FUZZ_ASAN 1
#endif
#ifdef DVR_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

#define FUZZ_CHECK(condition) \
    do { \
        if (!(condition)) { \
            fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            abort(); \
        } \
    } while (0)

// The entry point libFuzzer calls; the replay driver calls it the same way.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size);

namespace dvrfuzz {

// Takes little-endian fields off the front of the input; past its end every
// field reads as zero, so any input decodes to something.
class Input {
public:
    Input(const unsigned char* data, size_t size) : data_(data), left_(size) {}

    bool empty() const { return left_ == 0; }
    size_t left() const { return left_; }

    uint8_t u8() { return static_cast<uint8_t>(take(1)); }
    uint16_t u16() { return static_cast<uint16_t>(take(2)); }
    uint32_t u32() { return static_cast<uint32_t>(take(4)); }

    // Up to `count` bytes; fewer when the input ends first.
    const unsigned char* bytes(size_t count, size_t* got)
    {
        *got = std::min(count, left_);
        const unsigned char* start = data_;
        data_ += *got;
        left_ -= *got;
        return start;
    }

private:
    uint64_t take(size_t width)
    {
        uint64_t value = 0;
        for (size_t i = 0; i < width && left_ > 0; ++i, ++data_, --left_)
            value |= static_cast<uint64_t>(*data_) << (8 * i);
        return value;
    }

    const unsigned char* data_;
    size_t left_;
};

// Marks bytes the code under test must not read; no-ops without the address
// sanitizer.
inline void Forbid(const void* start, size_t size)
{
#ifdef DVR_FUZZ_ASAN
    ASAN_POISON_MEMORY_REGION(start, size);
#else
    (void)start;
    (void)size;
#endif
}
inline void Allow(const void* start, size_t size)
{
#ifdef DVR_FUZZ_ASAN
    ASAN_UNPOISON_MEMORY_REGION(start, size);
#else
    (void)start;
    (void)size;
#endif
}

} // namespace dvrfuzz
