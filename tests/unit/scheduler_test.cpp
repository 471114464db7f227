// The scheduler, memory monitor and video throttling on fake clocks and a fake
// resident size: what the log shows, what the plugins are told (the memory
// documents left in the queue) and when video is refused.
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "core/resident_size.h"
#include "support/core_harness.h"
#include "support/process.h"

namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr size_t kMiB = size_t{1} << 20;
constexpr time_t kStartWall = 1'700'000'000;

// One scheduler run per Tick, with both clocks under the test's hand.
class SchedulerCore : public dvrtest::TestCore {
public:
    time_t wall = kStartWall;
    size_t resident = 0;
    int samples = 0;

    time_t WallClock() override { return wall; }
    size_t ResidentBytes() override
    {
        ++samples;
        return resident;
    }

    // Moves both clocks on by `seconds` (wall clock by `wallStep` if given),
    // then runs the scheduler once.
    void Tick(int64_t seconds = 1) { Step(seconds * kSecond, static_cast<time_t>(seconds)); }
    void Step(int64_t monotonicNs, time_t wallStep)
    {
        Advance(monotonicNs);
        wall += wallStep;
        Run();
    }
    void Run() { housekeeping().Run(boost::system::error_code()); }
    void RunCancelled() { housekeeping().Run(boost::asio::error::operation_aborted); }
    void Disable() { housekeeping().throttlingEnabled = false; }
    bool Throttled() { return housekeeping().throttled(); }

    int Count(const std::string& text) const
    {
        int n = 0;
        for (const std::string& line : Texts())
            n += line == text;
        return n;
    }
    // The memory documents raised since the last call, as text.
    std::vector<std::string> Documents()
    {
        std::vector<std::string> texts;
        for (const _EventParmsIn& event : TakeQueued())
            if (event.eventType == EVENT_TYPE_STATUS) {
                EXPECT_EQ(event.providerID, CORE_PROVIDER_ID);
                EXPECT_EQ(event.eventFlags, EVENT_FLAGS_XML);
                texts.emplace_back(static_cast<const char*>(event.data), event.dataSize);
            }
        return texts;
    }
};

const char kLow[] = "available system memory is low, throttling video";
const char kOk[] = "available system memory ok, not throttling video";

std::string MemoryDocument(int throttling, long long time)
{
    return "<?xml ?><Kavo><Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) + "\" Time=\"" +
           std::to_string(time) + "\" /></Kavo>";
}

class SchedulerRuns : public ::testing::Test {
protected:
    SchedulerCore core;
};

TEST_F(SchedulerRuns, TheLimitIsExclusiveAndTheFlagFollowsEverySample)
{
    struct Case {
        size_t resident;
        bool throttled;
    } cases[] = {{MEMORY_LIMIT, false}, {MEMORY_LIMIT + 1, true}, {0, false}, {MEMORY_LIMIT - 1, false}};
    for (const Case& c : cases) {
        core.resident = c.resident;
        core.Tick();
        EXPECT_EQ(core.Throttled(), c.throttled) << c.resident;
    }
    EXPECT_EQ(core.Count(kLow), 1);
    EXPECT_EQ(core.Count(kOk), 0); // the episode is not 60 s old
}

TEST_F(SchedulerRuns, TheFirstRunAnnouncesThenOneEpisodeOpensAndClosesAfterSixtySeconds)
{
    core.resident = MEMORY_LIMIT + 1;
    core.Run();
    EXPECT_TRUE(core.Throttled());
    EXPECT_EQ(core.Documents(),
              (std::vector<std::string>{MemoryDocument(0, kStartWall), MemoryDocument(1, kStartWall)}));

    core.resident = MEMORY_LIMIT;
    for (int second = 1; second < 60; ++second) {
        core.Tick();
        ASSERT_FALSE(core.Throttled()) << second; // video flows again at once
    }
    EXPECT_EQ(core.Count(kOk), 0);
    EXPECT_TRUE(core.Documents().empty());
    core.Tick(); // 60 s after the over-limit sample
    EXPECT_EQ(core.Count(kOk), 1);
    EXPECT_EQ(core.Documents(), std::vector<std::string>{MemoryDocument(0, kStartWall + 60)});
    for (int second = 0; second < 120; ++second)
        core.Tick();
    EXPECT_EQ(core.Count(kLow), 1);
    EXPECT_EQ(core.Count(kOk), 1);
    EXPECT_TRUE(core.Documents().empty());
}

TEST_F(SchedulerRuns, AlternatingSamplesForFiveMinutesMakeOneEpisode)
{
    core.Run();
    core.Documents();
    int64_t lastLow = 0;
    for (int second = 1; second <= 300; ++second) {
        core.resident = second % 2 ? MEMORY_LIMIT + kMiB : kMiB;
        core.Tick();
        ASSERT_EQ(core.Throttled(), second % 2 == 1);
        if (second % 2)
            lastLow = second;
    }
    EXPECT_EQ(core.Count(kLow), 1);
    EXPECT_EQ(core.Count(kOk), 0);
    EXPECT_EQ(core.Documents().size(), 1u);
    core.resident = kMiB;
    for (int64_t second = 301; second < lastLow + 60; ++second)
        core.Tick();
    EXPECT_EQ(core.Count(kOk), 0);
    core.Tick();
    EXPECT_EQ(core.Count(kOk), 1);
}

TEST_F(SchedulerRuns, OneSamplePerWallClockSecond)
{
    core.Run();
    for (int run = 0; run < 9; ++run)
        core.Step(SCHEDULER_PERIOD_NS, 0);
    EXPECT_EQ(core.samples, 1);
    core.Step(SCHEDULER_PERIOD_NS, 1);
    EXPECT_EQ(core.samples, 2);
}

TEST_F(SchedulerRuns, WithThrottlingDisabledOnlyTheClockIsWatched)
{
    core.Disable();
    core.logLevels[0] = 0; // the report would pass the gate
    core.resident = MEMORY_LIMIT * 2;
    core.Run();
    for (int second = 0; second < 120; ++second)
        core.Tick();
    core.Step(SCHEDULER_PERIOD_NS, 3600);
    EXPECT_EQ(core.samples, 0);
    EXPECT_FALSE(core.Throttled());
    EXPECT_TRUE(core.Documents().empty());
    EXPECT_EQ(core.Count(kLow), 0);
    EXPECT_TRUE(core.HasLine("memory limit set to 199229440"));
    EXPECT_FALSE(core.HasLine("memory usage changed"));
    EXPECT_EQ(core.Count("system time changed by 3600 seconds"), 1);
}

TEST_F(SchedulerRuns, ClockStepsOfMoreThanOneSecondAreLoggedWithTheirSign)
{
    struct Case {
        time_t step;
        const char* line; // nullptr: nothing logged
    } cases[] = {
        {3600, "system time changed by 3600 seconds"},
        {-3600, "system time changed by -3600 seconds"},
        {1, nullptr},
        {-1, nullptr},
        {0, nullptr},
        {2, "system time changed by 2 seconds"},
        {-2, "system time changed by -2 seconds"},
    };
    core.Run();
    for (const Case& c : cases) {
        const size_t before = core.Lines().size();
        core.Step(SCHEDULER_PERIOD_NS, c.step);
        std::vector<dvrtest::LogLine> lines = core.Lines();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
        if (!c.line) {
            EXPECT_TRUE(lines.empty()) << c.step;
            continue;
        }
        ASSERT_EQ(lines.size(), 1u) << c.step;
        EXPECT_EQ(lines[0].text, c.line);
        EXPECT_EQ(lines[0].level, static_cast<uint32_t>(LEVEL_WARNING));
        EXPECT_EQ(lines[0].source, CORE_PROVIDER_ID);
    }
}

TEST_F(SchedulerRuns, TheMemoryReportComesEverySixtySecondsWhileLevelZeroPasses)
{
    core.Run(); // level 0 gated: no limit line, no report
    EXPECT_FALSE(core.HasLine("memory limit set to"));
    EXPECT_FALSE(core.HasLine("memory usage changed"));

    core.logLevels[0] = 0;
    struct Case {
        int64_t afterSeconds;
        size_t resident;
        const char* report; // nullptr: no report at this sample
    } cases[] = {
        {1, 100 * kMiB + 5, "memory usage changed 100MB (total usage: 100MB)"}, // the first: everything
        {59, 200 * kMiB, nullptr},
        {1, 98 * kMiB + kMiB / 2, "memory usage changed -1MB (total usage: 98MB)"},
        {60, 98 * kMiB, "memory usage changed 0MB (total usage: 98MB)"}, // half a MiB less rounds to 0
        {60, 96 * kMiB - 1, "memory usage changed -2MB (total usage: 95MB)"},
        {60, 99 * kMiB, "memory usage changed 3MB (total usage: 99MB)"},
    };
    for (const Case& c : cases) {
        const size_t before = core.Lines().size();
        core.resident = c.resident;
        core.Tick(c.afterSeconds);
        std::vector<std::string> reports;
        const std::vector<std::string> texts = core.Texts();
        for (size_t i = before; i < texts.size(); ++i)
            if (texts[i].rfind("memory usage changed", 0) == 0)
                reports.push_back(texts[i]);
        if (c.report)
            EXPECT_EQ(reports, std::vector<std::string>{c.report});
        else
            EXPECT_TRUE(reports.empty()) << reports.front();
    }
}

TEST_F(SchedulerRuns, TheDocumentWritesTimeAsASigned32BitNumber)
{
    core.wall = static_cast<time_t>(0x7FFFFFFF);
    core.AnnounceThrottle();
    if constexpr (sizeof(time_t) > 4) {
        core.wall = static_cast<time_t>(int64_t{1} << 31); // past 2038 on a 64-bit time_t
        core.AnnounceThrottle();
        EXPECT_EQ(core.Documents(),
                  (std::vector<std::string>{MemoryDocument(0, 2147483647), MemoryDocument(0, -2147483648LL)}));
    } else {
        EXPECT_EQ(core.Documents(), std::vector<std::string>{MemoryDocument(0, 2147483647)});
    }
}

TEST_F(SchedulerRuns, ACancelledRunDoesNothing)
{
    core.RunCancelled();
    EXPECT_TRUE(core.Lines().empty());
    EXPECT_EQ(core.samples, 0);
}

TEST(ResidentSize, ReadsTheSecondPageCountOrZero)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    EXPECT_GT(ReadResidentBytes(), 0u);
    EXPECT_EQ(ReadResidentBytes("/nonexistent/statm"), 0u);
    struct Case {
        const char* text;
        size_t bytes;
    } cases[] = {{"10 3 1 1 0 2 0\n", 3 * page}, {"10\n", 0}, {"", 0}, {"x y\n", 0}, {"10 x\n", 0}};
    dvrtest::TempDir dir;
    const std::string path = (dir.path() / "statm").string();
    for (const Case& c : cases) {
        dvrtest::WriteFile(path, c.text);
        EXPECT_EQ(ReadResidentBytes(path.c_str()), c.bytes) << c.text;
    }
}

} // namespace
