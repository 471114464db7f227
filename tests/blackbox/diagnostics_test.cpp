// What an operator learns from the core's own output about its plugins: which
// one hangs, which one crashed, what each one costs. Real executable, real
// plugin libraries, real seconds.
#include <gtest/gtest.h>

#include <cstdlib>

#include <signal.h>
#include <unistd.h>

#include <regex>

#include "dvrplugin.h"
#include "support/plugin_journal.h"
#include "support/process.h"
#include "support/supervisor_peer.h"
#include "support/syslog_capture.h"

namespace {

using namespace dvrtest;
using namespace std::chrono_literals;

// Subscribed to log events: the core's start-up line reaches its Write.
const std::string kHearsLogLines = "write=1\nmask6=0xFFFFFFFF\n";
const std::string kStarted = "successfully started core version";

// The timing of the reports is the watchdog's unit tests' business (on a
// fake clock); here, that the running core watches its main thread (Write,
// and Close at the stop, naming what the stop waits for) and its I/O thread
// (supervisor IOCTL), in real seconds, all three in one run.
TEST(HungCalls, TheMainAndIoThreadsAreWatchedAndTheStopNamesThePluginItWaitsFor)
{
    CoreInstall install;
    install.AddConfiguredPlugin("probe", "sleeper", kHearsLogLines + "id=0x00310000\nfirst_write_sleep_ms=7000\n");
    // Eight seconds: the watchdog looks once a second, so a loaded machine
    // still sees the call pass its five-second mark.
    install.AddConfiguredPlugin("probe", "slowpeer", "id=0x00050000\nsupervisor_sleep_ms=8000\n");
    install.AddConfiguredPlugin("probe", "lingerer", "id=0x00320000\nclose_sleep_ms=7000\n");
    SupervisorPeer supervisor;
    auto core = StartCore(install, &supervisor);
    ASSERT_TRUE(ConfigureCore(supervisor, *core));
    ASSERT_TRUE(supervisor.Send(3, DVR_IPC_TARGET(5), "slow"));
    ASSERT_TRUE(core->WaitForOutput("plugin sleeper.so has not returned from Write for 5 seconds")) << core->Output();
    ASSERT_TRUE(core->WaitForOutput("plugin sleeper.so returned from Write after ")) << core->Output();
    // Looked at once a second: the seven seconds show as six to eight.
    std::smatch after;
    const std::string output = core->Output();
    ASSERT_TRUE(std::regex_search(output, after, std::regex("returned from Write after (\\d+) seconds")));
    EXPECT_GE(std::stoi(after[1]), 6);
    EXPECT_LE(std::stoi(after[1]), 9);
    EXPECT_TRUE(core->WaitForOutput("plugin slowpeer.so has not returned from IOCTL for 5 seconds")) << core->Output();
    EXPECT_TRUE(core->WaitForOutput("plugin slowpeer.so returned from IOCTL after ")) << core->Output();
    EXPECT_EQ(core->CountOutput("core stop is waiting"), 0u);

    ASSERT_TRUE(supervisor.Send(IPC_KIND_STOP, 0));
    ASSERT_TRUE(core->WaitForOutput("plugin lingerer.so has not returned from Close for 5 seconds")) << core->Output();
    EXPECT_TRUE(core->WaitForOutput("core stop is waiting for plugin lingerer.so to return from Close"));
    EXPECT_EQ(core->WaitExit(), 0);
    EXPECT_NE(core->Output().find("plugin lingerer.so returned from Close after "), std::string::npos);
    EXPECT_EQ(core->CountOutput("has not returned"), 3u) << core->Output();
}

// --- crashes ----------------------------------------------------------------

struct CrashCase {
    const char* name;
    std::string plugin; // probe configuration of crasher.so; empty: no plugin
    bool supervisorPacket;
    int signal;
    std::string line;
};

void PrintTo(const CrashCase& crash, std::ostream* out)
{
    *out << crash.name;
}

class Crash : public ::testing::TestWithParam<CrashCase> {};

TEST_P(Crash, EndsTheCoreWithTheSignalAndALineNamingWhereItHappened)
{
    if (!Emulator().empty())
        // qemu-user reports a guest's fatal signal itself and ends with its own status.
        GTEST_SKIP() << "the emulator handles the core's fatal signals itself";
    const CrashCase& crash = GetParam();
    CoreInstall install;
    if (!crash.plugin.empty())
        install.AddConfiguredPlugin("probe", "crasher", crash.plugin);
    SyslogCapture syslog(install);
    SupervisorPeer supervisor;
    auto core =
        StartCore(install, &supervisor, [&](const ProcessOptions& options) { return syslog.Start(install, options); });
    ASSERT_TRUE(ConfigureCore(supervisor, *core));
    if (crash.supervisorPacket)
        ASSERT_TRUE(supervisor.Send(3, DVR_IPC_TARGET(5), "go"));
    else if (crash.plugin.empty())
        core->Signal(crash.signal);

    const std::optional<int> exit = core->WaitExit();
    if (exit != 128 + crash.signal && core->Output().find("Sanitizer") != std::string::npos)
        GTEST_SKIP() << "the sanitizer of this build owns the fatal signals: " << core->Output();
    EXPECT_EQ(exit, 128 + crash.signal) << core->Output();
    EXPECT_EQ(core->CountOutput(crash.line), 1u) << core->Output();
    if (!syslog.owned())
        return; // needs root and mount namespaces
    const std::string message = syslog.Find(crash.line);
    EXPECT_EQ(message.rfind("<10>", 0), 0u) << message; // user facility, LOG_CRIT
}

INSTANTIATE_TEST_SUITE_P(
    Where, Crash,
    ::testing::Values(CrashCase{"NullPointerInWrite", kHearsLogLines + "write_fault=1\n", false, SIGSEGV,
                                "fatal signal 11 (SIGSEGV) in plugin crasher.so (Write), fault address 0x0"},
                      CrashCase{"AbortInSupervisorIoctl", "id=0x00050000\nsupervisor_abort=1\n", true, SIGABRT,
                                "fatal signal 6 (SIGABRT) in plugin crasher.so (IOCTL), fault address 0x0"},
                      CrashCase{"OutsidePlugins", "", false, SIGSEGV,
                                "fatal signal 11 (SIGSEGV) in the core, fault address 0x0"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- counters ---------------------------------------------------------------

TEST(PluginCounters, SIGUSR1LogsOneLinePerPluginWithWhatItRaisedAndKeeps)
{
    // The blocks the plugin keeps are the leak the core reports itself; the
    // leak checker of a sanitizer build must not end the core over them.
    const char* asanOptions = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asanOptions ? asanOptions : "") + ":detect_leaks=0").c_str(), 1);
    CoreInstall install;
    fs::path journal = install.root() / "journal";
    // Five 100-byte events and two video frames refused for want of a key
    // frame, raised under an ID of the plugin's module that is not its
    // systemID, as a camera's source ID is: they are the plugin's all the same.
    install.AddConfiguredPlugin(
        "eventprobe", "source",
        "id=0x00600000\nraise_as=0x00600003\nraise_in=open\nraise=0x2 0x0 100 5\nraise=0x1 0x01000000 8 2", journal);
    // One keeps every block it receives, the other only the last one.
    const std::string keeps = "write=1\nmask1=0xFFFFFFFF\nretain=1\n";
    install.AddConfiguredPlugin("eventprobe", "keeper", "id=0x00700000\n" + keeps, journal);
    install.AddConfiguredPlugin("eventprobe", "lastonly", "id=0x00710000\n" + keeps + "release=next", journal);
    auto core = StartCore(install);
    ASSERT_TRUE(core->WaitForOutput(kStarted)) << core->Output();
    ASSERT_TRUE(WaitUntil([&] {
        PluginJournal log(journal);
        return log.CountPrefix("keeper retained") == 5 && log.CountPrefix("lastonly retained") == 5;
    }));

    // The journal shows the last Write before the core records its outcome:
    // ask again until the counters have caught up.
    const std::vector<std::string> expected = {
        "plugin source.so: write 0 calls",
        "raised ok 5 refused 0 unadmitted 2 ",
        "plugin keeper.so: write 5 calls",
        "holds 5 blocks 500 bytes, peak 5 blocks 500 bytes",
        "holds 1 blocks 100 bytes, peak 1 blocks 100 bytes",
        // Giving four blocks back is not raising four events.
        "raised ok 0 refused 0 unadmitted 0 expired 0 throttled 0 nomemory 0 other 0; released 4; holds 1 blocks",
    };
    auto missing = [&] {
        std::string absent;
        for (const std::string& text : expected)
            if (core->Output().find(text) == std::string::npos)
                absent += text + "\n";
        return absent;
    };
    for (size_t asked = 1; asked <= 10 && !missing().empty(); ++asked) {
        core->Signal(SIGUSR1);
        // Every plugin's line of this round, whichever the core writes last.
        for (const char* name : {"plugin source.so: ", "plugin keeper.so: ", "plugin lastonly.so: "})
            ASSERT_TRUE(core->WaitForOutputCount(name, asked)) << core->Output();
    }
    EXPECT_EQ(missing(), "") << core->Output();
    EXPECT_EQ(core->CountOutput("plugin keeper.so: "), core->CountOutput("plugin source.so: "));
    // SIGUSR1 does not stop the core; SIGTERM still does.
    EXPECT_TRUE(core->Running());
    core->Signal(SIGTERM);
    EXPECT_EQ(core->WaitExit(), 0);
    // What a plugin still holds at unload is a warning, by file, with its
    // origin; lastonly gave its block back at Close.
    EXPECT_EQ(core->CountOutput("plugin keeper.so still holds 5 blocks (500 bytes) at unload; the oldest was handed "
                                "out by Write of event type 0x0002"),
              1u)
        << core->Output();
    EXPECT_EQ(core->CountOutput("still holds"), 1u);
}

} // namespace
