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
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/allocator.h"
#include "core/dvrcore.h"
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
Recorder* g_recorder = nullptr;

int32_t RecorderWrite(void* in, void*)
{
    if (static_cast<_WriteParmsIn*>(in)->eventType != kFrameType)
        return 0;
    std::unique_lock lock(g_recorder->mutex);
    g_recorder->changed.wait(lock, [] { return !g_recorder->holding; });
    ++g_recorder->delivered;
    g_recorder->changed.notify_all();
    return 0;
}

class TunedCore : public dvrcore {
public:
    TunedCore() : dvrcore("/nonexistent/bin/dvrcore")
    {
        TuneAllocator(); // as the executable does once its core exists
        PLUGININFO plugin;
        plugin.Write = &RecorderWrite;
        plugin.info.systemID = 0x00100000;
        plugin.info.writeEnabled = 1;
        for (uint32_t& mask : plugin.info.eventMasks)
            mask = 0xFFFFFFFF;
        plugin.Filename = "recorder.so";
        plugins.push_back(std::move(plugin));
        writer = std::thread([this] { WriterLoop(); });
    }
    ~TunedCore() override
    {
        RequestStop();
        writer.join();
    }
    void WriteLog(uint32_t, uint32_t level, const char* text) override
    {
        std::lock_guard lock(logMutex);
        logs.emplace_back(level, text);
    }
    std::vector<std::pair<uint32_t, std::string>> Logs()
    {
        std::lock_guard lock(logMutex);
        return logs;
    }

private:
    std::thread writer;
    std::mutex logMutex;
    std::vector<std::pair<uint32_t, std::string>> logs;
};

long MinorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

size_t ResidentBytes()
{
    unsigned long size = 0, resident = 0;
    FILE* statm = fopen("/proc/self/statm", "r");
    if (statm) {
        if (fscanf(statm, "%lu %lu", &size, &resident) != 2)
            resident = 0;
        fclose(statm);
    }
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

class Allocator : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "the sanitizer replaces the C allocator, which is what is tested here";
#endif
        g_recorder = &recorder;
    }
    void TearDown() override
    {
        g_recorder = nullptr;
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

    Recorder recorder;
    uint32_t raised = 0;
};

TEST_F(Allocator, TheTuningIsAcceptedHereAndARefusedSettingIsLoggedAsAWarning)
{
    TunedCore core;
    EXPECT_TRUE(core.Logs().empty()) << core.Logs().front().second;
    // Fast bins end far below 1 MiB on every machine; the last value is the one named.
    EXPECT_FALSE(ApplyAllocatorSetting(M_MXFAST, "fast bin limit", {2 << 20, 1 << 20}));
    auto logs = core.Logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].first, uint32_t{LEVEL_WARNING});
    EXPECT_EQ(logs[0].second, "core allocator refused fast bin limit 1048576");
}

// Had a frame its own mapping, each event would fault in all of its 50
// pages and unmap them again when the last holder lets go. (On 32 bits
// glibc's per-thread heaps are 1 MiB: the raising thread's heap is still
// made and dropped every few frames when the queue runs empty, a few faults
// per event on average; the bound leaves room for that.)
TEST_F(Allocator, AWarmStreamOfLargeFramesFaultsNoFreshPagesPerEvent)
{
    TunedCore core;
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
    TunedCore core;
    constexpr uint32_t kFrame = 64 << 10, kBurst = 2048;
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
