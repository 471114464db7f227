// The start-up wait for the supervisor and the pause after losing it, run
// through Start on a fake clock: what the wait waits for and how long, and
// what the core does before and after the pause. The same two intervals in
// real time are the black-box slow tests' business.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include "support/core_harness.h"
#include "support/supervisor_peer.h"

namespace {

using namespace std::string_literals;
using dvrtest::WaitUntil;

// A supervised core, started on a thread of its own, with no plugins.
class SupervisedStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(core.supervisor().Adopt(dup(supervisor.childFd())));
        supervisor.ChildStarted();
        run = std::thread([this] { core.Start(); });
    }
    void TearDown() override
    {
        if (run.joinable()) {
            core.RequestStop();
            run.join();
        }
    }

    dvrtest::SupervisorPeer supervisor;
    dvrtest::TestCore core;
    std::thread run;
};

const std::string kStarted = "successfully started core version";

TEST_F(SupervisedStart, WithoutConfigurationTheCoreGoesOnAfterTenSecondsOfItsClock)
{
    ASSERT_TRUE(WaitUntil([&] { return core.Waits().size() == 1; }));
    EXPECT_EQ(core.Waits()[0], STARTUP_WAIT_NS);
    core.Advance(STARTUP_WAIT_NS - 1);
    EXPECT_FALSE(core.HasLine(kStarted));
    core.Advance(1);
    EXPECT_TRUE(core.WaitForLine(kStarted));
    EXPECT_TRUE(core.Pauses().empty());
}

TEST_F(SupervisedStart, ConfigurationEndsTheWaitWithoutTheClockMoving)
{
    ASSERT_TRUE(supervisor.Send(IPC_KIND_CONFIG, 0,
                                "tarvod\0"
                                "4.2.1"s));
    EXPECT_TRUE(core.WaitForLine(kStarted));
    EXPECT_EQ(core.clock.load(), 0);
}

TEST_F(SupervisedStart, LostSupervisorStopsThenPausesAMinuteBeforeClosing)
{
    // A packet in flight when the supervisor goes is still handled.
    ASSERT_TRUE(supervisor.Send(IPC_KIND_CONFIG, 0,
                                "renamed\0"
                                "4.2.1"s));
    supervisor.Close();
    run.join(); // Start returns only after the pause
    EXPECT_EQ(core.Pauses(), std::vector<int64_t>{SUPERVISOR_LOST_PAUSE_NS});
    EXPECT_EQ(core.supervisorState().filename, "renamed");
    const auto lines = core.Lines();
    auto at = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const dvrtest::LogLine& line) { return line.text.find(text) == 0; });
    };
    ASSERT_NE(at("stopping core version"), lines.end());
    ASSERT_NE(at("tarvod ipc pipe disconnected"), lines.end());
    ASSERT_NE(at("sleeping for one minute to allow active watchdogs to expire..."), lines.end());
    EXPECT_LT(at("tarvod ipc pipe disconnected"), at("sleeping for one minute"));
    EXPECT_LT(at("sleeping for one minute"), at("stopping core version"));
    EXPECT_EQ(at("tarvod ipc pipe disconnected")->level, static_cast<uint32_t>(LEVEL_CRITICAL));
    EXPECT_EQ(at("sleeping for one minute")->level, static_cast<uint32_t>(LEVEL_CRITICAL));
}

} // namespace
