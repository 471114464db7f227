// The core under a supervisor, driven from outside: the configuration packet
// and the start-up wait, the stop packet, malformed packets, and the
// development supervisor that plugin authors run the core with, as they see it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "dvrplugin.h"
#include "support/journaled_core.h"

namespace {

using namespace dvrtest;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

const std::string kStarted = "successfully started core version";
const std::string kStopping = "stopping core version";
const std::string kBadLength = "bad ipc packet length";
const std::string kDisconnected = "tarvod ipc pipe disconnected";

// Well below the core's own 10-second wait for its configuration.
constexpr auto kWellBeforeTheWait = 6000ms;

// The shared fixture's core under the in-process supervisor, started before
// the supervisor said anything; `prepare` installs plugins first.
struct SupervisedCore : JournaledCore {
    explicit SupervisedCore(const std::function<void(CoreInstall&)>& prepare = {})
    {
        if (prepare)
            prepare(install);
        started = Clock::now();
        StartUnconfigured();
    }

    bool Configure(const std::string& payload = "tarvod\0"
                                                "4.2.1"s)
    {
        return supervisor.Send(IPC_KIND_CONFIG, 0, payload);
    }
    bool StartedWithinTheWait() const { return core->WaitForOutput(kStarted, kWellBeforeTheWait); }

    Clock::time_point started;
};

// A configuration split over two records is put together, and a stop behind
// it in the second record is handled too, well before the start-up wait ends.
TEST(SupervisorConfiguration, SplitOverTwoRecordsIsPutTogetherAndAStopBehindItIsHandled)
{
    SupervisedCore run;
    std::vector<uint8_t> packet = IpcPacket(IPC_KIND_CONFIG, 0,
                                            "tarvod\0"
                                            "4.2.1"s);
    std::vector<uint8_t> rest(packet.begin() + 6, packet.end());
    const std::vector<uint8_t> stop = IpcPacket(IPC_KIND_STOP, 0);
    rest.insert(rest.end(), stop.begin(), stop.end());
    ASSERT_TRUE(run.supervisor.SendRaw(std::vector<uint8_t>(packet.begin(), packet.begin() + 6)));
    ASSERT_TRUE(run.supervisor.SendRaw(rest));
    EXPECT_EQ(run.core->WaitExit(), 0);
    ASSERT_TRUE(run.core->OutputEndedAt().has_value());
    EXPECT_LT(*run.core->OutputEndedAt() - run.started, kWellBeforeTheWait);
    EXPECT_EQ(run.core->CountOutput(kStarted), 1u) << run.core->Output();
    EXPECT_EQ(run.core->CountOutput(kStopping), 1u) << run.core->Output();
    // The configuration was taken: the status document names its supervisor.
    EXPECT_NE(ReadFile(run.install.work / "core.xml")
                  .find("<Library Name=\"tarvod\" Filename=\"tarvod\" Version=\"4.2.1\" />"),
              std::string::npos);
}

TEST(SupervisorConfiguration, BackgroundModeSilencesTheTerminal)
{
    SupervisedCore run;
    ASSERT_TRUE(run.Configure("tarvod\0"
                              "4.2.1\0"
                              "Background:true"s));
    // A bad packet would be reported at warning level on a terminal.
    ASSERT_TRUE(run.supervisor.SendRaw(IpcHeaderBytes(15, 0, 3)));
    ASSERT_TRUE(run.supervisor.Send(IPC_KIND_STOP, 0));
    EXPECT_EQ(run.core->WaitExit(), 0);
    const std::string output = run.core->Output();
    EXPECT_EQ(output.find(kStarted), std::string::npos) << output;
    EXPECT_EQ(output.find(kBadLength), std::string::npos) << output;
    EXPECT_EQ(output.find(kStopping), std::string::npos) << output;
}

TEST(SupervisorConfiguration, WithoutItTheCoreStartsAfterTenSeconds)
{
    SupervisedCore run;
    // The one place where absence is the point: nothing may end the wait early.
    EXPECT_FALSE(run.core->WaitForOutput(kStarted, 8000ms)) << run.core->Output();
    ASSERT_TRUE(run.core->WaitForOutput(kStarted)) << run.core->Output();
    EXPECT_GE(*run.core->ArrivalOf(kStarted) - run.started, 9500ms);
    run.supervisor.Send(IPC_KIND_STOP, 0);
    EXPECT_EQ(run.core->WaitExit(), 0);
}

TEST(SupervisorStop, StopPacketStopsWithoutTheOneMinutePause)
{
    SupervisedCore run;
    ASSERT_TRUE(run.Configure());
    ASSERT_TRUE(run.StartedWithinTheWait()) << run.core->Output();
    const auto sent = Clock::now();
    // The supervisor keeps its end open: this is not a lost supervisor.
    ASSERT_TRUE(run.supervisor.Send(IPC_KIND_STOP, 0));
    EXPECT_TRUE(run.core->WaitForOutput(kStopping));
    EXPECT_EQ(run.core->WaitExit(), 0);
    ASSERT_TRUE(run.core->OutputEndedAt().has_value());
    EXPECT_LT(*run.core->OutputEndedAt() - sent, 30s);
    EXPECT_EQ(run.core->Output().find(kDisconnected), std::string::npos);
    // Nothing is left for the supervisor but the end of the conversation.
    EXPECT_FALSE(run.supervisor.Receive(5000ms));
}

TEST(SupervisorPackets, OnlyBadLengthsAreReportedAndTheCoreStillObeys)
{
    SupervisedCore run;
    ASSERT_TRUE(run.Configure());
    ASSERT_TRUE(run.StartedWithinTheWait()) << run.core->Output();
    ASSERT_TRUE(run.supervisor.SendRaw(IpcHeaderBytes(65537, 0, 3)));
    ASSERT_TRUE(run.core->WaitForOutputCount(kBadLength, 1)) << run.core->Output();
    ASSERT_TRUE(run.supervisor.SendRaw(IpcHeaderBytes(15, 0, 3)));
    ASSERT_TRUE(run.core->WaitForOutputCount(kBadLength, 2)) << run.core->Output();
    // Zero would never advance past the packet.
    ASSERT_TRUE(run.supervisor.SendRaw(IpcHeaderBytes(0, 0, 8)));
    ASSERT_TRUE(run.core->WaitForOutputCount(kBadLength, 3)) << run.core->Output();
    EXPECT_TRUE(run.core->Running());

    // Awkward but valid, and no bad length: a record longer than the receive
    // buffer, cut by the socket; a kind-7 packet without payload for a plugin
    // nobody has.
    std::vector<uint8_t> huge = IpcPacket(3, 0x00500000, std::string(100000, 'h'));
    const uint32_t claimed = IPC_BUFFER_SIZE;
    memcpy(huge.data(), &claimed, sizeof claimed);
    ASSERT_TRUE(run.supervisor.SendRaw(huge));
    ASSERT_TRUE(run.supervisor.Send(IPC_KIND_CONFIG, 0x00100000));
    ASSERT_TRUE(run.supervisor.Send(IPC_KIND_STOP, 0));
    EXPECT_EQ(run.core->WaitExit(), 0);
    EXPECT_EQ(run.core->CountOutput(kStopping), 1u);
    EXPECT_EQ(run.core->CountOutput(kBadLength), 3u) << run.core->Output();
}

// --- packets for plugins ----------------------------------------------------

// Copies of the probe plugin, each journaling its calls into one shared file.
struct Probes {
    fs::path journal;

    void Add(CoreInstall& install, const std::string& stem, uint32_t systemID)
    {
        journal = install.root() / "journal";
        install.AddConfiguredPlugin("probe", stem, "id=" + std::to_string(systemID), journal);
    }

    std::vector<std::string> SupervisorCalls() const
    {
        std::vector<std::string> calls;
        for (const std::string& line : PluginJournal(journal).Lines())
            if (line.find(" IOCTL 4 ") != std::string::npos)
                calls.push_back(line);
        return calls;
    }
    bool WaitForCalls(size_t count) const
    {
        return WaitUntil([&] { return SupervisorCalls().size() >= count; });
    }
};

// The journal's view of a packet: "IOCTL <request> <length> <first 16 bytes in hex>".
std::string JournalLine(const std::string& stem, const std::vector<uint8_t>& packet)
{
    std::ostringstream line;
    line << stem << " IOCTL 4 " << packet.size() << " ";
    for (size_t i = 0; i < packet.size() && i < 16; ++i)
        line << std::hex << (packet[i] < 16 ? "0" : "") << static_cast<int>(packet[i]);
    return line.str();
}

TEST(SupervisorRouting, PacketReachesOnlyTheFirstPluginWithItsModuleIndex)
{
    Probes probes;
    // Plugins load in file-name order: "a-" comes first. The first of module
    // 0x53 has no IOCTL at all, and still keeps its packets from the second.
    SupervisedCore run([&](CoreInstall& install) {
        install.AddTestPlugin("bare", "a-bare.so");
        probes.Add(install, "a-camera", 0x00050001);
        probes.Add(install, "b-camera", 0x00050002);
        probes.Add(install, "b-twin", 0x00530001);
        probes.Add(install, "c-storage", 0x00070000);
    });
    ASSERT_TRUE(run.Configure());
    ASSERT_TRUE(run.StartedWithinTheWait()) << run.core->Output();

    const auto forCamera = IpcPacket(3, 0x00500000 | 0x12345, "zoom");
    const auto forNobody = IpcPacket(3, 0x00900000, "lost");
    const auto forStorage = IpcPacket(IPC_KIND_CONFIG, 0x00700000); // no payload: a plugin packet
    ASSERT_TRUE(run.supervisor.SendRaw(forCamera));
    ASSERT_TRUE(run.supervisor.Send(3, DVR_IPC_TARGET(0x53), "kept"));
    ASSERT_TRUE(run.supervisor.SendRaw(forNobody));
    ASSERT_TRUE(run.supervisor.SendRaw(forStorage));
    ASSERT_TRUE(probes.WaitForCalls(2)) << ReadFile(probes.journal);

    EXPECT_EQ(probes.SupervisorCalls(),
              (std::vector<std::string>{JournalLine("a-camera", forCamera), JournalLine("c-storage", forStorage)}));
    run.supervisor.Send(IPC_KIND_STOP, 0);
    EXPECT_EQ(run.core->WaitExit(), 0);
    EXPECT_EQ(probes.SupervisorCalls().size(), 2u) << ReadFile(probes.journal);
}

// --- the development supervisor -------------------------------------------

// `hostCore`: the core given is a script of this machine, started as it is
// rather than through the emulator a cross-built core needs.
std::unique_ptr<Process> RunDevSupervisor(const CoreInstall& install, std::vector<std::string> args, bool pty,
                                          bool hostCore = false)
{
    ProcessOptions options;
    options.args = std::move(args);
    options.cwd = install.work;
    options.pty = pty;
    if (hostCore)
        options.env.emplace_back("DVR_EMULATOR", "");
    return Process::Start(DVR_SUPERVISOR_EXE, options);
}

TEST(DevSupervisor, InterruptBecomesAStopPacketAndBothExitCleanly)
{
    CoreInstall install;
    auto supervisor = RunDevSupervisor(install, {install.exe.string()}, true);
    ASSERT_TRUE(supervisor->WaitForOutput(kStarted, kWellBeforeTheWait)) << supervisor->Output();
    // Only the supervisor is signalled: the core hears of it by packet.
    supervisor->Signal(SIGINT);
    EXPECT_TRUE(supervisor->WaitForOutput(kStopping));
    EXPECT_EQ(supervisor->WaitExit(), 0);
    EXPECT_EQ(supervisor->CountOutput("core exited with code 0"), 1u) << supervisor->Output();
    EXPECT_EQ(supervisor->Output().find(kDisconnected), std::string::npos);
}

// The development supervisor prints each block the core sends, and its stats
// command makes the core log its plugin counters.
TEST(DevSupervisor, PrintsEachBlockAndTheStatsCommandMakesTheCoreLogItsPluginCounters)
{
    CoreInstall install;
    install.AddDemoPlugin("recorder");
    install.AddConfiguredPlugin("eventprobe", "raiser", "id=0x00050000\nsupervisor_text=hi",
                                install.root() / "journal");
    auto supervisor = RunDevSupervisor(install, {install.exe.string()}, true);
    ASSERT_TRUE(supervisor->WaitForOutput(kStarted, kWellBeforeTheWait)) << supervisor->Output();
    EXPECT_TRUE(supervisor->WaitForOutput("block 1: 2 bytes: 68 69\n")) << supervisor->Output();
    supervisor->Input("stats\n");
    EXPECT_TRUE(supervisor->WaitForOutput("plugin recorder.so: write 0 calls")) << supervisor->Output();
    EXPECT_TRUE(supervisor->Running());
    supervisor->Signal(SIGTERM);
    EXPECT_EQ(supervisor->WaitExit(), 0);
}

TEST(DevSupervisor, SendOptionPassesPacketsToPluginsAndCanStopTheCore)
{
    CoreInstall install;
    Probes probes;
    probes.Add(install, "camera", 0x00050000);
    auto supervisor = RunDevSupervisor(
        install, {"--send", "3:@5:0102ff", "--send", "0x20:0x00500007:", "--send", "8:0:", install.exe.string()}, true);
    EXPECT_EQ(supervisor->WaitExit(), 0);
    EXPECT_EQ(supervisor->CountOutput(kStopping), 1u) << supervisor->Output();
    EXPECT_EQ(probes.SupervisorCalls(),
              (std::vector<std::string>{JournalLine("camera", IpcPacket(3, 0x00500000, "\x01\x02\xff")),
                                        JournalLine("camera", IpcPacket(0x20, 0x00500007))}));
}

TEST(DevSupervisor, BackgroundOptionSilencesTheCore)
{
    CoreInstall install;
    auto supervisor = RunDevSupervisor(install, {"--background", "--send", "8:0:", install.exe.string()}, true);
    EXPECT_EQ(supervisor->WaitExit(), 0);
    const std::string output = supervisor->Output();
    EXPECT_EQ(output.find(kStarted), std::string::npos) << output;
    EXPECT_EQ(output.find(kStopping), std::string::npos) << output;
    EXPECT_NE(output.find("core exited with code 0"), std::string::npos) << output;
}

TEST(DevSupervisor, ExitsWithTheCoresExitCode)
{
    CoreInstall install;
    // A stand-in core that fails the way a core refusing its descriptor does.
    fs::path fake = install.bin / "failing-core";
    WriteFile(fake, "#!/bin/sh\nexit 2\n");
    fs::permissions(fake, fs::perms::owner_all);
    auto supervisor = RunDevSupervisor(install, {fake.string()}, false, true);
    EXPECT_EQ(supervisor->WaitExit(), 2) << supervisor->Output();
}

// Usage errors: a malformed --send packet, arguments for the core (which
// reads only its descriptor; the usage offers nothing more).
TEST(DevSupervisor, UsageErrorsAreRefusedBeforeAnythingStarts)
{
    CoreInstall install;
    const std::string core = install.exe.string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--send", "3:@5:01f", core}, "usage: devsupervisor"}, {{"--send", "3:@5:zz", core}, "usage: devsupervisor"},
        {{"--send", "3::00", core}, "usage: devsupervisor"},    {{"--send", "nine:0:", core}, "usage: devsupervisor"},
        {{"--send", "3:@4096:", core}, "usage: devsupervisor"}, {{core, "-v"}, "the core takes no arguments: -v"},
    };
    for (const auto& [args, said] : cases) {
        SCOPED_TRACE(args[1]);
        auto supervisor = RunDevSupervisor(install, args, false);
        EXPECT_EQ(supervisor->WaitExit(), 2);
        EXPECT_NE(supervisor->Output().find(said), std::string::npos) << supervisor->Output();
        EXPECT_EQ(supervisor->Output().find("started"), std::string::npos);
        EXPECT_EQ(supervisor->Output().find("[core arguments"), std::string::npos);
    }
}

// What a plugin author sees through the development supervisor: the core's
// lines when the output goes to a pipe (as under `| tee log`), and the core's
// detail lines (the leak report above all) at the flip of a switch.

TEST(DevSupervisorForAuthors, RelaysTheCoresLinesIntoAPipeWithoutColours)
{
    for (const bool relay : {true, false}) {
        CoreInstall install;
        install.AddDemoPlugin("recorder");
        std::vector<std::string> args{install.exe.string()};
        if (!relay)
            args.insert(args.begin(), "--no-relay");
        auto supervisor = RunDevSupervisor(install, args, false);
        if (relay) {
            ASSERT_TRUE(supervisor->WaitForOutput(kStarted)) << supervisor->Output();
        } else {
            // Not on a terminal: standard input is empty from the start, and
            // its end does not end the supervision.
            ASSERT_TRUE(supervisor->WaitForOutput("end of standard input")) << supervisor->Output();
            EXPECT_TRUE(supervisor->Running());
        }
        supervisor->Signal(SIGTERM);
        ASSERT_EQ(supervisor->WaitExit(), 0) << supervisor->Output();
        const std::string output = supervisor->Output();
        // The last line the core writes, after its plugins are closed.
        EXPECT_EQ(output.find("recorder: recorded 0 frames") != std::string::npos, relay) << output;
        EXPECT_EQ(output.find('\033'), std::string::npos) << output;
        EXPECT_EQ(output.find('\r'), std::string::npos) << output;
        EXPECT_EQ(supervisor->CountOutput("core exited with code 0"), 1u) << output;
    }
}

TEST(DevSupervisorForAuthors, SetsTheCoresThresholdInCoreXmlKeepingTheRest)
{
    CoreInstall install;
    fs::path fakeCore = install.bin / "quiet-core";
    WriteFile(fakeCore, "#!/bin/sh\nexit 0\n");
    fs::permissions(fakeCore, fs::perms::owner_all);
    const fs::path coreXml = install.work / "core.xml";

    // No core.xml yet: one is made holding the core's entry.
    ASSERT_EQ(RunDevSupervisor(install, {"--detail", fakeCore.string()}, false, true)->WaitExit(), 0);
    EXPECT_NE(ReadFile(coreXml).find("<Plugin ID=\"-2147483648\" LogLevel=\"0\" />"), std::string::npos)
        << ReadFile(coreXml);

    // A core.xml the core wrote: its entry changes, nothing else does.
    WriteFile(coreXml, "<Kavo><Memory ID=\"1\" Throttling=\"0\" /><Modules><Module Name=\"core\">"
                       "<Plugin ID=\"-2147483648\" LogLevel=\"25\" Filename=\"dvrcore\" /></Module>"
                       "<Module><Plugin ID=\"1179648\" LogLevel=\"40\" /></Module></Modules></Kavo>");
    ASSERT_EQ(RunDevSupervisor(install, {"--core-log-level", "10", fakeCore.string()}, false, true)->WaitExit(), 0);
    const std::string updated = ReadFile(coreXml);
    for (const char* kept : {"Throttling=\"0\"", "<Plugin ID=\"-2147483648\" LogLevel=\"10\" Filename=\"dvrcore\" />",
                             "<Plugin ID=\"1179648\" LogLevel=\"40\" />"})
        EXPECT_NE(updated.find(kept), std::string::npos) << kept << "\n" << updated;
    EXPECT_EQ(updated.find("LogLevel=\"25\""), std::string::npos) << updated;

    // A level out of range is a usage error and leaves the file alone.
    EXPECT_EQ(RunDevSupervisor(install, {"--core-log-level", "101", fakeCore.string()}, false, true)->WaitExit(), 2);
    EXPECT_EQ(ReadFile(coreXml), updated);
}

TEST(DevSupervisorForAuthors, DetailSwitchShowsTheLeakReportOfALeakingPlugin)
{
    // The blocks the plugin keeps are the leak the core reports itself; the
    // leak checker of a sanitizer build must not end the core over them.
    const char* asanOptions = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asanOptions ? asanOptions : "") + ":detect_leaks=0").c_str(), 1);
    CoreInstall install;
    install.AddDemoPlugin("camera");
    install.AddTestPlugin("leaky");
    auto supervisor = RunDevSupervisor(install, {"--detail", install.exe.string()}, false);
    ASSERT_TRUE(supervisor->WaitForOutput("leaky: keeping blocks")) << supervisor->Output();
    if (supervisor->Output().find("Core: Loaded plugin") == std::string::npos) {
        supervisor->Signal(SIGTERM);
        supervisor->WaitExit();
        GTEST_SKIP() << "this core does not read its threshold from core.xml";
    }
    supervisor->Signal(SIGTERM);
    ASSERT_EQ(supervisor->WaitExit(), 0) << supervisor->Output();
    EXPECT_NE(supervisor->Output().find("leaked by plugins ["), std::string::npos) << supervisor->Output();
}

} // namespace
