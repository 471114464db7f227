// The hung-call watchdog on a fake clock: what it says, when, and about whom.
// The test thread plays the watched thread; Check is the watchdog's look.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "plugin-host/plugin_watchdog.h"

namespace {

constexpr int64_t kSecond = 1'000'000'000;

class Watchdog : public ::testing::Test {
protected:
    Watchdog()
    {
        PluginWatchdog::Hooks hooks;
        hooks.now = [this] { return clock; };
        hooks.name = [](uint32_t systemID, char* name, size_t size) { snprintf(name, size, "p%x.so", systemID); };
        hooks.report = [this](const char* text) { lines.push_back(text); };
        hooks.returned = [this](uint32_t, PluginEntry, int64_t elapsed) { returned.push_back(elapsed); };
        watchdog.emplace(hooks, stopping);
        watchdog->Watch(watch);
        PluginCallScope::WatchThisThread(&watch);
    }
    ~Watchdog() override { PluginCallScope::WatchThisThread(nullptr); }

    // Looks once a second from now until `until` seconds on the clock.
    void LookUntil(int64_t until)
    {
        while (clock < until * kSecond) {
            clock += kSecond;
            watchdog->Check();
        }
    }

    int64_t clock = 0;
    std::atomic<bool> stopping{false};
    PluginCallWatch watch;
    std::optional<PluginWatchdog> watchdog;
    std::vector<std::string> lines;
    std::vector<int64_t> returned;
};

TEST_F(Watchdog, AHungWriteIsReportedAtFiveSecondsThenEveryMinuteAndWhenItReturns)
{
    {
        // The event path's Write carries no entry time: first seen at 1 s.
        PluginCallScope call(0x00500000, PluginEntry::Write, 0);
        LookUntil(126);
    }
    LookUntil(127);
    EXPECT_EQ(lines, (std::vector<std::string>{"plugin p500000.so has not returned from Write for 5 seconds",
                                               "plugin p500000.so has not returned from Write for 65 seconds",
                                               "plugin p500000.so has not returned from Write for 125 seconds",
                                               "plugin p500000.so returned from Write after 126 seconds"}));
    EXPECT_EQ(returned, std::vector<int64_t>{125 * kSecond});
}

TEST_F(Watchdog, AStampedCallCountsFromItsEntryAndShortCallsPassUnsaid)
{
    clock = 3 * kSecond;
    {
        PluginCallScope quick(0x00600000, PluginEntry::Write, 0);
        watchdog->Check(); // seen once: how long it lasted is unknown
    }
    {
        PluginCallScope open(0x00600000, PluginEntry::Open, 1 * kSecond);
        LookUntil(6);
        EXPECT_EQ(lines, std::vector<std::string>{"plugin p600000.so has not returned from Open for 5 seconds"});
    }
    watchdog->Check();
    EXPECT_EQ(lines.back(), "plugin p600000.so returned from Open after 5 seconds");
    EXPECT_EQ(returned, std::vector<int64_t>{5 * kSecond});
}

TEST_F(Watchdog, ALateLookStillNamesTheMarkTheCallPassed)
{
    PluginCallScope call(0x00900000, PluginEntry::IOCTL, kSecond / 2);
    clock = 5 * kSecond; // 4.5 s in: not yet
    watchdog->Check();
    clock = 6 * kSecond + 600'000'000; // a loaded machine's next look, 6.1 s in
    watchdog->Check();
    EXPECT_EQ(lines, std::vector<std::string>{"plugin p900000.so has not returned from IOCTL for 5 seconds"});
}

TEST_F(Watchdog, AtTheStopTheLineNamesThePluginTheStopWaitsFor)
{
    stopping = true;
    {
        PluginCallScope close(0x00700000, PluginEntry::Close, kSecond);
        LookUntil(6);
    }
    // Joining a plugin's thread is no call of the core's: only the stop line.
    PluginCallScope::ShowJoining(0x00800000, PluginEntry::Read, 7 * kSecond);
    LookUntil(12);
    PluginCallScope::ShowIdle();
    LookUntil(13);
    EXPECT_EQ(lines, (std::vector<std::string>{"plugin p700000.so has not returned from Close for 5 seconds",
                                               "core stop is waiting for plugin p700000.so to return from Close",
                                               "plugin p700000.so returned from Close after 6 seconds",
                                               "core stop is waiting for plugin p800000.so to return from Read"}));
}

TEST_F(Watchdog, LoadIsNamedByItsLibraryAndANestedCallByItself)
{
    {
        PluginCallScope load(0, PluginEntry::Load, kSecond, "early.so");
        LookUntil(6);
    }
    {
        PluginCallScope write(0x00900000, PluginEntry::Write, 0);
        LookUntil(7);
        // The plugin calls back into the core, which calls another plugin.
        PluginCallScope inner(0x00A00000, PluginEntry::IOCTL, 7 * kSecond);
        LookUntil(12);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"plugin early.so has not returned from Load for 5 seconds",
                                               "plugin early.so returned from Load after 6 seconds",
                                               "plugin pa00000.so has not returned from IOCTL for 5 seconds"}));
}

} // namespace
