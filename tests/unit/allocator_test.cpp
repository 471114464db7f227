// The allocator tuning as the event path feels it, on whichever machine the
// suite runs (the 32-bit target included): the copies the core makes of a
// stream of large frames must come from reused heap memory, not from fresh
// mappings faulted in per event, and a burst must not stay resident.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/allocator.h"
#include "core/dvrcore.h"
#include "support/core_harness.h"
#include "support/event_records.h"
#include "support/process.h"

namespace {

using namespace dvrtest;

constexpr uint32_t kCamera = 0x00300000;
constexpr uint32_t kFrameType = EVENT_TYPE_0002;

// The one plugin: counts the frames delivered to it and can hold the writer
// in its first call, so that a burst piles up in the queue.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    uint32_t delivered = 0;
    bool holding = false;

    void WaitForDelivered(uint32_t count)
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kDeadline, [&] { return delivered >= count; }))
            << delivered << " of " << count << " delivered";
    }
    void Hold(bool hold)
    {
        std::lock_guard lock(mutex);
        holding = hold;
        changed.notify_all();
    }
};
long MinorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

class Allocator : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the sanitizer replaces the C allocator, which is what is tested here";
#endif
    }

    // Raises `count` frames of `size` bytes from a thread of its own, as a
    // camera plugin would; with a window, waits until no more than that many
    // are still on their way before raising the next.
    void Raise(uint32_t size, uint32_t count, uint32_t window = 0)
    {
        std::thread camera([&] {
            std::vector<unsigned char> frame(size, 0x5A); // reused: only the core's copy is new
            for (uint32_t i = 0; i < count; ++i) {
                if (window) {
                    std::unique_lock lock(recorder.mutex);
                    recorder.changed.wait(lock, [&] { return raised - recorder.delivered <= window; });
                }
                _EventParmsIn event = MakeEvent(kCamera, kFrameType);
                event.data = frame.data();
                event.dataSize = size;
                _EventParmsOut out{sizeof out, DVR_RECORD_VERSION, 0};
                FlatPluginEvent(&event, &out);
                EXPECT_EQ(out.result, 0);
                ++raised;
            }
        });
        camera.join();
    }

    // The harness with the recorder as its one plugin and its writer running.
    TestCore& StartCore()
    {
        core = std::make_unique<TestCore>();
        TuneAllocator(); // as the executable does once its core exists
        core->onWrite = [this](int, _WriteParmsIn& in, _WriteParmsOut&) {
            if (in.eventType != kFrameType)
                return 0;
            std::unique_lock lock(recorder.mutex);
            recorder.changed.wait(lock, [&] { return !recorder.holding; });
            ++recorder.delivered;
            recorder.changed.notify_all();
            return 0;
        };
        core->AddFakePlugin(0, 0x00100000);
        core->StartWriter();
        return *core;
    }

    Recorder recorder;
    uint32_t raised = 0;
    std::unique_ptr<TestCore> core; // stopped before the recorder goes
};

TEST_F(Allocator, TheTuningIsAcceptedHereAndARefusedSettingIsLoggedAsAWarning)
{
    TestCore& core = StartCore();
    EXPECT_TRUE(core.Lines().empty()) << core.Lines().front().text;
    // Fast bins end far below 1 MiB on every machine; the last value is the one named.
    EXPECT_FALSE(ApplyAllocatorSetting(M_MXFAST, "fast bin limit", {2 << 20, 1 << 20}));
    auto logs = core.Lines();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].level, uint32_t{LEVEL_WARNING});
    EXPECT_EQ(logs[0].text, "core allocator refused fast bin limit 1048576");
}

// Had a frame its own mapping, each event would fault in all of its 50
// pages and unmap them again when the last holder lets go. (On 32 bits
// glibc's per-thread heaps are 1 MiB: the raising thread's heap is still
// made and dropped every few frames when the queue runs empty, a few faults
// per event on average; the bound leaves room for that.)
TEST_F(Allocator, AWarmStreamOfLargeFramesFaultsNoFreshPagesPerEvent)
{
    StartCore();
    constexpr uint32_t kFrame = 200 << 10, kWarm = 200, kMeasured = 1000;
    Raise(kFrame, kWarm, 4);
    recorder.WaitForDelivered(raised);
    const long before = MinorFaults();
    Raise(kFrame, kMeasured, 4);
    recorder.WaitForDelivered(raised);
    const long faults = MinorFaults() - before;
    EXPECT_LT(faults, long{kMeasured} * 10) << faults << " page faults for " << kMeasured << " frames";
}

TEST_F(Allocator, ABurstOfFramesDoesNotStayResident)
{
    StartCore();
    // 40 MiB: as much as the queue's bound (a quarter of the memory limit) lets wait.
    constexpr uint32_t kFrame = 64 << 10, kBurst = 640;
    Raise(kFrame, 64, 4); // the steady state the burst starts from
    recorder.WaitForDelivered(raised);
    const size_t before = ResidentBytes();

    recorder.Hold(true); // the writer waits in its first delivery: the burst piles up
    Raise(kFrame, kBurst);
    const size_t peak = ResidentBytes();
    recorder.Hold(false);
    recorder.WaitForDelivered(raised);
    EXPECT_GE(peak, before + size_t{kBurst} * kFrame / 2) << "the burst was not held at once";
    // The last frames are freed just after their delivery, and the memory
    // goes back as they are.
    size_t after = 0;
    EXPECT_TRUE(WaitUntil([&] { return (after = ResidentBytes()) <= before + (size_t{16} << 20); }))
        << "resident " << before / 1024 << " KiB before the burst, " << after / 1024 << " KiB after";
}

} // namespace
