// Housekeeping (scheduler, memory monitor, video throttling) on fake clocks and a fake
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

// One housekeeping run per Tick, with both clocks and the resident size under
// the test's hand.
class Housekeeper {
public:
    explicit Housekeeper(dvrtest::TestCore& core) : core_(core)
    {
        core.wallClock = [this] { return wall; };
        core.residentBytes = [this] {
            ++samples;
            return resident;
        };
    }

    time_t wall = kStartWall;
    size_t resident = 0;
    int samples = 0;

    // Moves both clocks on by `seconds` (wall clock by `wallStep` if given),
    // then runs housekeeping once.
    void Tick(int64_t seconds = 1) { Step(seconds * kSecond, static_cast<time_t>(seconds)); }
    void Step(int64_t monotonicNs, time_t wallStep)
    {
        core_.Advance(monotonicNs);
        wall += wallStep;
        Run();
    }
    void Run() { core_.housekeeping().Run(boost::system::error_code()); }
    void RunCancelled() { core_.housekeeping().Run(boost::asio::error::operation_aborted); }
    void Disable() { core_.housekeeping().throttlingEnabled = false; }
    bool Throttled() { return core_.housekeeping().throttled(); }

    int Count(const std::string& text) const
    {
        int n = 0;
        for (const std::string& line : core_.Texts())
            n += line == text;
        return n;
    }
    // The memory documents raised since the last call, as text.
    std::vector<std::string> Documents()
    {
        std::vector<std::string> texts;
        for (const _EventParmsIn& event : core_.TakeQueued())
            if (event.eventType == EVENT_TYPE_STATUS) {
                EXPECT_EQ(event.providerID, CORE_PROVIDER_ID);
                EXPECT_EQ(event.eventFlags, EVENT_FLAGS_XML);
                texts.emplace_back(static_cast<const char*>(event.data), event.dataSize);
            }
        return texts;
    }

private:
    dvrtest::TestCore& core_;
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
    dvrtest::TestCore harness;
    Housekeeper house{harness};
};

TEST_F(SchedulerRuns, TheLimitIsExclusiveAndTheFlagFollowsEverySample)
{
    struct Case {
        size_t resident;
        bool throttled;
    } cases[] = {{MEMORY_LIMIT, false}, {MEMORY_LIMIT + 1, true}, {0, false}, {MEMORY_LIMIT - 1, false}};
    for (const Case& c : cases) {
        house.resident = c.resident;
        house.Tick();
        EXPECT_EQ(house.Throttled(), c.throttled) << c.resident;
    }
    EXPECT_EQ(house.Count(kLow), 1);
    EXPECT_EQ(house.Count(kOk), 0); // the episode is not 60 s old
}

// The first run announces the state, then the episode it opens; samples that
// flap for five minutes keep that one episode (video flows again at once
// after each good sample), which closes 60 s after the last over-limit sample.
TEST_F(SchedulerRuns, TheFirstRunAnnouncesThenFlappingSamplesMakeOneEpisodeClosedSixtySecondsAfterTheLast)
{
    house.resident = MEMORY_LIMIT + 1;
    house.Run();
    EXPECT_TRUE(house.Throttled());
    EXPECT_EQ(house.Documents(),
              (std::vector<std::string>{MemoryDocument(0, kStartWall), MemoryDocument(1, kStartWall)}));
    int64_t lastLow = 0;
    for (int second = 1; second <= 300; ++second) {
        house.resident = second % 2 ? MEMORY_LIMIT + kMiB : kMiB;
        house.Tick();
        ASSERT_EQ(house.Throttled(), second % 2 == 1) << second;
        if (second % 2) {
            lastLow = second;
        }
    }
    house.resident = kMiB;
    for (int64_t second = 301; second < lastLow + 60; ++second) {
        house.Tick();
    }
    EXPECT_EQ(house.Count(kOk), 0);
    EXPECT_TRUE(house.Documents().empty());
    house.Tick();
    EXPECT_EQ(house.Count(kOk), 1);
    EXPECT_EQ(house.Documents(), std::vector<std::string>{MemoryDocument(0, kStartWall + lastLow + 60)});
    for (int second = 0; second < 120; ++second) {
        house.Tick();
    }
    EXPECT_EQ(house.Count(kLow), 1);
    EXPECT_EQ(house.Count(kOk), 1);
    EXPECT_TRUE(house.Documents().empty());
}

TEST_F(SchedulerRuns, OneSamplePerWallClockSecond)
{
    house.Run();
    for (int run = 0; run < 9; ++run)
        house.Step(SCHEDULER_PERIOD_NS, 0);
    EXPECT_EQ(house.samples, 1);
    house.Step(SCHEDULER_PERIOD_NS, 1);
    EXPECT_EQ(house.samples, 2);
}

TEST_F(SchedulerRuns, WithThrottlingDisabledOnlyTheClockIsWatched)
{
    house.Disable();
    harness.logLevels[0] = 0; // the report would pass the gate
    house.resident = MEMORY_LIMIT * 2;
    house.Run();
    for (int second = 0; second < 120; ++second)
        house.Tick();
    house.Step(SCHEDULER_PERIOD_NS, 3600);
    EXPECT_EQ(house.samples, 0);
    EXPECT_FALSE(house.Throttled());
    EXPECT_TRUE(house.Documents().empty());
    EXPECT_EQ(house.Count(kLow), 0);
    EXPECT_TRUE(harness.HasLine("memory limit set to 199229440"));
    EXPECT_FALSE(harness.HasLine("memory usage changed"));
    EXPECT_EQ(house.Count("system time changed by 3600 seconds"), 1);
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
    house.Run();
    for (const Case& c : cases) {
        const size_t before = harness.Lines().size();
        house.Step(SCHEDULER_PERIOD_NS, c.step);
        std::vector<dvrtest::LogLine> lines = harness.Lines();
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
    house.Run(); // level 0 gated: no limit line, no report
    EXPECT_FALSE(harness.HasLine("memory limit set to"));
    EXPECT_FALSE(harness.HasLine("memory usage changed"));

    harness.logLevels[0] = 0;
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
        const size_t before = harness.Lines().size();
        house.resident = c.resident;
        house.Tick(c.afterSeconds);
        std::vector<std::string> reports;
        const std::vector<std::string> texts = harness.Texts();
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
    house.wall = static_cast<time_t>(0x7FFFFFFF);
    harness.documents().AnnounceThrottle();
    if constexpr (sizeof(time_t) > 4) {
        house.wall = static_cast<time_t>(int64_t{1} << 31); // past 2038 on a 64-bit time_t
        harness.documents().AnnounceThrottle();
        EXPECT_EQ(house.Documents(),
                  (std::vector<std::string>{MemoryDocument(0, 2147483647), MemoryDocument(0, -2147483648LL)}));
    } else {
        EXPECT_EQ(house.Documents(), std::vector<std::string>{MemoryDocument(0, 2147483647)});
    }
}

TEST_F(SchedulerRuns, ACancelledRunDoesNothing)
{
    house.RunCancelled();
    EXPECT_TRUE(harness.Lines().empty());
    EXPECT_EQ(house.samples, 0);
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
