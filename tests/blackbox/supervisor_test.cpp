// The core under a supervisor, driven from outside: the configuration packet
// and the start-up wait, the stop packet, malformed packets, and the
// development supervisor that plugin authors run the core with.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
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

TEST(SupervisorConfiguration, EndsTheStartupWaitAtOnce)
{
    SupervisedCore run;
    ASSERT_TRUE(run.Configure());
    EXPECT_TRUE(run.StartedWithinTheWait()) << run.core->Output();
    EXPECT_TRUE(run.core->Running());
    run.supervisor.Send(IPC_KIND_STOP, 0);
    EXPECT_EQ(run.core->WaitExit(), 0);
}

TEST(SupervisorConfiguration, SplitOverTwoRecordsIsPutTogether)
{
    SupervisedCore run;
    std::vector<uint8_t> packet = IpcPacket(IPC_KIND_CONFIG, 0,
                                            "tarvod\0"
                                            "4.2.1"s);
    ASSERT_TRUE(run.supervisor.SendRaw(std::vector<uint8_t>(packet.begin(), packet.begin() + 6)));
    ASSERT_TRUE(run.supervisor.SendRaw(std::vector<uint8_t>(packet.begin() + 6, packet.end())));
    EXPECT_TRUE(run.StartedWithinTheWait()) << run.core->Output();
    run.supervisor.Send(IPC_KIND_STOP, 0);
    EXPECT_EQ(run.core->WaitExit(), 0);
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

TEST(SupervisorStop, ConfigurationAndStopInOneRecordAreBothHandled)
{
    SupervisedCore run;
    std::vector<uint8_t> record = IpcPacket(IPC_KIND_CONFIG, 0,
                                            "tarvod\0"
                                            "4.2.1"s);
    std::vector<uint8_t> stop = IpcPacket(IPC_KIND_STOP, 0);
    record.insert(record.end(), stop.begin(), stop.end());
    ASSERT_TRUE(run.supervisor.SendRaw(record));
    EXPECT_EQ(run.core->WaitExit(), 0);
    ASSERT_TRUE(run.core->OutputEndedAt().has_value());
    EXPECT_LT(*run.core->OutputEndedAt() - run.started, kWellBeforeTheWait);
    EXPECT_EQ(run.core->CountOutput(kStopping), 1u) << run.core->Output();
}

TEST(SupervisorPackets, BadLengthsAreReportedAndTheCoreStillObeys)
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

    ASSERT_TRUE(run.supervisor.Send(IPC_KIND_STOP, 0));
    EXPECT_EQ(run.core->WaitExit(), 0);
    EXPECT_EQ(run.core->CountOutput(kStopping), 1u);
}

TEST(SupervisorPackets, AwkwardButValidRecordsDoNotUpsetTheCore)
{
    SupervisedCore run;
    ASSERT_TRUE(run.Configure());
    ASSERT_TRUE(run.StartedWithinTheWait()) << run.core->Output();
    // A record longer than the receive buffer, cut by the socket; packets
    // for plugins nobody has; a kind-7 packet without payload.
    std::vector<uint8_t> huge = IpcPacket(3, 0x00500000, std::string(100000, 'h'));
    const uint32_t claimed = IPC_BUFFER_SIZE;
    memcpy(huge.data(), &claimed, sizeof claimed);
    ASSERT_TRUE(run.supervisor.SendRaw(huge));
    ASSERT_TRUE(run.supervisor.Send(3, 0xFFF00000, "nobody"));
    ASSERT_TRUE(run.supervisor.Send(IPC_KIND_CONFIG, 0x00100000));
    ASSERT_TRUE(run.supervisor.Send(IPC_KIND_STOP, 0));
    EXPECT_EQ(run.core->WaitExit(), 0);
    EXPECT_EQ(run.core->CountOutput(kStopping), 1u);
    EXPECT_EQ(run.core->Output().find(kBadLength), std::string::npos) << run.core->Output();
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
    // Plugins load in file-name order: "a-" comes first.
    SupervisedCore run([&](CoreInstall& install) {
        probes.Add(install, "a-camera", 0x00050001);
        probes.Add(install, "b-camera", 0x00050002);
        probes.Add(install, "c-storage", 0x00070000);
    });
    ASSERT_TRUE(run.Configure());
    ASSERT_TRUE(run.StartedWithinTheWait()) << run.core->Output();

    const auto forCamera = IpcPacket(3, 0x00500000 | 0x12345, "zoom");
    const auto forNobody = IpcPacket(3, 0x00900000, "lost");
    const auto forStorage = IpcPacket(IPC_KIND_CONFIG, 0x00700000); // no payload: a plugin packet
    ASSERT_TRUE(run.supervisor.SendRaw(forCamera));
    ASSERT_TRUE(run.supervisor.SendRaw(forNobody));
    ASSERT_TRUE(run.supervisor.SendRaw(forStorage));
    ASSERT_TRUE(probes.WaitForCalls(2)) << ReadFile(probes.journal);

    EXPECT_EQ(probes.SupervisorCalls(),
              (std::vector<std::string>{JournalLine("a-camera", forCamera), JournalLine("c-storage", forStorage)}));
    run.supervisor.Send(IPC_KIND_STOP, 0);
    EXPECT_EQ(run.core->WaitExit(), 0);
    EXPECT_EQ(probes.SupervisorCalls().size(), 2u) << ReadFile(probes.journal);
}

// --- blocks for the supervisor ----------------------------------------------

// An event probe that raises `text` as a block for the supervisor when opened.
void AddBlockRaiser(CoreInstall& install, const std::string& stem, uint32_t systemID, const std::string& text)
{
    install.AddConfiguredPlugin("eventprobe", stem, "id=" + std::to_string(systemID) + "\nsupervisor_text=" + text,
                                install.root() / "journal");
}

std::string Text(const std::optional<std::vector<uint8_t>>& record)
{
    return record ? std::string(record->begin(), record->end()) : "<nothing>";
}

TEST(SupervisorBlocks, BlocksRaisedByPluginsArriveUnchangedOneRecordEachInOrder)
{
    SupervisedCore run([](CoreInstall& install) {
        AddBlockRaiser(install, "a-first", 0x00050000, "first block for the supervisor");
        AddBlockRaiser(install, "b-second", 0x00060001, "second");
    });
    ASSERT_TRUE(run.Configure());
    EXPECT_EQ(Text(run.supervisor.Receive()), "first block for the supervisor");
    EXPECT_EQ(Text(run.supervisor.Receive()), "second");
    // The raiser notes the answer after its call returns, which may be after the block arrived.
    EXPECT_TRUE(run.journal.WaitForLine("a-first supervisor 0")) << run.journal.Text();
    EXPECT_TRUE(run.journal.WaitForLine("b-second supervisor 0")) << run.journal.Text();
    run.supervisor.Send(IPC_KIND_STOP, 0);
    EXPECT_EQ(run.core->WaitExit(), 0);
}

// --- the development supervisor -------------------------------------------

std::unique_ptr<Process> RunDevSupervisor(const CoreInstall& install, std::vector<std::string> args, bool pty)
{
    ProcessOptions options;
    options.args = std::move(args);
    options.cwd = install.work;
    options.pty = pty;
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

TEST(DevSupervisor, StatsCommandMakesTheCoreLogItsPluginCounters)
{
    CoreInstall install;
    install.AddDemoPlugin("recorder");
    auto supervisor = RunDevSupervisor(install, {install.exe.string()}, true);
    ASSERT_TRUE(supervisor->WaitForOutput(kStarted, kWellBeforeTheWait)) << supervisor->Output();
    supervisor->Input("stats\n");
    EXPECT_TRUE(supervisor->WaitForOutput("plugin recorder.so: write 0 calls")) << supervisor->Output();
    EXPECT_TRUE(supervisor->Running());
    supervisor->Signal(SIGTERM);
    EXPECT_EQ(supervisor->WaitExit(), 0);
}

TEST(DevSupervisor, EndOfInputDoesNotEndTheSupervision)
{
    CoreInstall install;
    // Not on a terminal: standard input is empty from the start.
    auto supervisor = RunDevSupervisor(install, {install.exe.string()}, false);
    ASSERT_TRUE(supervisor->WaitForOutput("end of standard input")) << supervisor->Output();
    EXPECT_TRUE(supervisor->Running());
    supervisor->Signal(SIGTERM);
    EXPECT_EQ(supervisor->WaitExit(), 0);
    EXPECT_EQ(supervisor->CountOutput("core exited with code 0"), 1u) << supervisor->Output();
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

TEST(DevSupervisor, PrintsEachBlockTheCoreSends)
{
    CoreInstall install;
    AddBlockRaiser(install, "raiser", 0x00050000, "hi");
    auto supervisor = RunDevSupervisor(install, {install.exe.string()}, true);
    EXPECT_TRUE(supervisor->WaitForOutput("block 1: 2 bytes: 68 69\n")) << supervisor->Output();
    supervisor->Signal(SIGTERM);
    EXPECT_EQ(supervisor->WaitExit(), 0);
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
    ProcessOptions options;
    options.args = {fake.string()};
    options.env = {{"DVR_EMULATOR", ""}}; // a script runs without the emulator
    auto supervisor = Process::Start(DVR_SUPERVISOR_EXE, options);
    EXPECT_EQ(supervisor->WaitExit(), 2) << supervisor->Output();
}

TEST(DevSupervisor, MalformedPacketIsRefusedBeforeAnythingStarts)
{
    CoreInstall install;
    for (const char* packet : {"3:@5:01f", "3:@5:zz", "3::00", "nine:0:", "3:@4096:"}) {
        auto supervisor = RunDevSupervisor(install, {"--send", packet, install.exe.string()}, false);
        EXPECT_EQ(supervisor->WaitExit(), 2) << packet;
        EXPECT_NE(supervisor->Output().find("usage: devsupervisor"), std::string::npos) << packet;
        EXPECT_EQ(supervisor->Output().find("started"), std::string::npos) << packet;
    }
}

TEST(DevSupervisor, ArgumentsForTheCoreAreRefusedBeforeAnythingStarts)
{
    // The core reads only its descriptor; the usage offers nothing more.
    CoreInstall install;
    auto supervisor = RunDevSupervisor(install, {install.exe.string(), "-v"}, false);
    EXPECT_EQ(supervisor->WaitExit(), 2);
    EXPECT_NE(supervisor->Output().find("the core takes no arguments: -v"), std::string::npos) << supervisor->Output();
    EXPECT_EQ(supervisor->Output().find("started"), std::string::npos);
    EXPECT_EQ(supervisor->Output().find("[core arguments"), std::string::npos);
}

} // namespace
