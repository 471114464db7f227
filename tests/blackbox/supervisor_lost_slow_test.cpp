// A supervisor that goes away: the core reports it, drains, and waits a full
// minute before it closes its plugins (so the supervisor's watchdogs expire).
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>

#include "dvrplugin.h"
#include "support/process.h"
#include "support/supervisor_peer.h"

namespace {

using namespace dvrtest;
using namespace std::chrono_literals;

// The loss of a configured supervisor, with the order of its lines and the
// pause it asks for, is the start-up unit test's (on a fake clock); the real
// minute is proved once, here: two critical lines, the stop, then a full
// minute, which a further stop request does not cut short.
TEST(SupervisorLost, DuringTheStartupWaitPluginsFindTheChannelClosed)
{
    CoreInstall install;
    const fs::path journal = install.root() / "journal";
    install.AddConfiguredPlugin("eventprobe", "raiser", "id=0x00050000\nsupervisor_text=too late", journal);
    SupervisorPeer supervisor;
    auto core = StartCore(install, &supervisor);

    // Gone before it ever configured the core: the start-up wait ends there.
    supervisor.Close();
    ASSERT_TRUE(core->WaitForOutput("successfully started core version", 6000ms)) << core->Output();
    // The plugin opened after the loss, and its block was refused.
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(journal).find("raiser supervisor ") != std::string::npos; }));
    EXPECT_NE(ReadFile(journal).find("raiser supervisor 1"), std::string::npos) << ReadFile(journal);

    ASSERT_TRUE(core->WaitForOutput("stopping core version")) << core->Output();
    // Stamped when the line arrived: the test may have been busy elsewhere.
    const auto stopping = core->ArrivalOf("stopping core version");
    ASSERT_TRUE(stopping.has_value());
    const std::string output = core->Output();
    const size_t lost = output.find("tarvod ipc pipe disconnected");
    const size_t sleeping = output.find("sleeping for one minute to allow active watchdogs to expire...");
    ASSERT_NE(lost, std::string::npos) << output;
    ASSERT_NE(sleeping, std::string::npos) << output;
    EXPECT_LT(lost, sleeping);
    EXPECT_LT(sleeping, output.find("stopping core version"));

    core->Signal(SIGTERM);
    auto exit = core->WaitExit(120000ms);
    ASSERT_TRUE(exit.has_value()) << "the core did not end after its pause";
    const auto ended = core->OutputEndedAt();
    ASSERT_TRUE(ended.has_value());
    const auto paused = *ended - *stopping;
    EXPECT_EQ(*exit, 0);
    EXPECT_GE(paused, 59s) << "ended after " << std::chrono::duration_cast<std::chrono::milliseconds>(paused).count()
                           << " ms";
}

} // namespace
