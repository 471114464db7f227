// Buggy plugins against the real executable under a supervisor: one hostile
// plugin (the event probe with its misbehave= switch) plays each fault, and
// the core must end every one in a defined outcome (refused, ignored,
// delivered) with nothing freed twice, read after free or lost. Under the
// sanitizer build a fault the core mishandles ends the run with a report.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "dvrplugin.h"
#include "support/journaled_core.h"

namespace {

using namespace dvrtest;
using namespace std::chrono_literals;

// Every row raises its events from a_raiser (0x00200000) unless it says
// otherwise; the plugins' file names give their delivery order.
const std::string kRaise50 = "id=0x00200000\nworker=raise\nraise=0x2 0x0 64 50\n";

struct Misbehaviour {
    const char* name;
    std::vector<std::pair<std::string, std::string>> plugins; // file stem, configuration
    std::function<void(JournaledCore&)> check;                // drives the started core; stops it
};

void PrintTo(const Misbehaviour& misbehaviour, std::ostream* out)
{
    *out << misbehaviour.name;
}

const Misbehaviour kMisbehaviours[] = {
    // Events raised without an output record are handled all the same: a log
    // line, a block for the supervisor, and the release that lets a reader,
    // whose second block waits until every holder let go of the first, go on.
    {"NoOutputRecordStillHasTheEventHandled",
     {{"a_asker", "id=0x00200000\nrequest=9 0x10 0x0 x\n"},
      {"b_rude", "id=0x00210000\nmisbehave=null-out\nwrite=1\nretain=1\nworker=on\nrelease=file:go\n"
                 "log_as=0x00210000 30 said without an answer\nsupervisor_text=unanswered\n"},
      {"c_reader", "id=0x00220000\nreader=on\nread_raise=0x2 2 32\n"}},
     [](JournaledCore& run) {
         EXPECT_EQ(run.Received(), "unanswered");
         EXPECT_TRUE(run.core->WaitForOutput("said without an answer")) << run.core->Output();
         ASSERT_TRUE(run.journal.WaitForLine("b_rude retained 0"));
         EXPECT_EQ(run.journal.IndexOf("c_reader read-raised 9 1"), -1);
         WriteFile(run.install.work / "go", "");
         EXPECT_TRUE(run.journal.WaitForLine("c_reader read-raised 9 1 0")) << run.journal.Text();
         run.Stop();
         EXPECT_TRUE(run.journal.Has("b_rude supervisor 0"));
     }},
    // Releases in the core's name while the writer still has plugins to
    // serve, and in a later plugin's name before its Write: neither the
    // writer's hold nor the keeper's goes.
    {"ReleasesInTheCoresOrAnotherPluginsNameLeaveTheHoldsAlone",
     {{"a_raiser", kRaise50},
      {"b_rude", "id=0x00210000\nwrite=1\nmisbehave=release-as-core\n"},
      {"c_rude", "id=0x00220000\nwrite=1\nmisbehave=release-for=0x00230000\n"},
      {"d_keeper", "id=0x00230000\nwrite=1\nretain=1\nrelease=close\n"},
      {"e_sink", "id=0x00240000\nwrite=1\n"}},
     [](JournaledCore& run) {
         ASSERT_TRUE(run.journal.WaitForLine("d_keeper retained 49"));
         run.Stop(); // the keeper reads every kept block back at Close
         EXPECT_TRUE(run.journal.Has("d_keeper received 0x00200000 50 in-order")) << run.journal.Text();
         EXPECT_EQ(run.journal.CountPrefix("d_keeper kept block changed"), 0u) << run.journal.Text();
         EXPECT_EQ(run.journal.CountPrefix("d_keeper released"), 50u);
         EXPECT_TRUE(run.journal.Has("e_sink received 0x00200000 50 in-order")) << run.journal.Text();
     }},
    // A block without data, and one raised from Unload when the channel is
    // gone, are refused (and the latter freed); the others arrive whole, one
    // record each, in order, and their raisers hear 0.
    {"SupervisorBlocksWithoutDataOrFromUnloadAreRefusedAndLaterBlocksStillGo",
     {{"a_rude", "id=0x00200000\nmisbehave=supervisor-null\nsupervisor_text=still sent\n"},
      {"b_polite", "id=0x00210000\nsupervisor_text=sent as well\nunload_supervisor_text=too late\n"}},
     [](JournaledCore& run) {
         EXPECT_EQ(run.Received(), "still sent");
         EXPECT_EQ(run.Received(), "sent as well");
         run.Stop();
         EXPECT_TRUE(run.journal.Has("a_rude supervisor-null 1"));
         EXPECT_TRUE(run.journal.Has("a_rude supervisor 0"));
         EXPECT_TRUE(run.journal.Has("b_polite supervisor 0"));
         EXPECT_TRUE(run.journal.Has("b_polite unload-supervisor 1")) << run.journal.Text();
         EXPECT_EQ(run.Received(), "<nothing>");
     }},
    // --- stop ---
    {"ManyPacketsInOneReceiveLeaveRoomForSendsAndTheStop",
     {{"a_slow", "id=0x00200000\nioctl_wait_us=50000\nioctl_reply=answered\n"}},
     [](JournaledCore& run) {
         // 4,096 packets at 50 ms each would keep the I/O thread for minutes.
         std::vector<uint8_t> record;
         for (int i = 0; i < 4096; ++i) {
             const auto packet = IpcPacket(3, DVR_IPC_TARGET(DVR_MODULE_INDEX(0x00200000u)));
             record.insert(record.end(), packet.begin(), packet.end());
         }
         ASSERT_TRUE(run.supervisor.SendRaw(record));
         EXPECT_EQ(run.Received(), "answered"); // raised by the first packet's IOCTL
         run.core->Signal(SIGTERM);
         ASSERT_EQ(run.core->WaitExit(), 0) << run.core->Output();
         EXPECT_LT(run.journal.CountPrefix("a_slow IOCTL 4 "), 4096u);
     }},
    {"SignalsDuringTheRunStopItInOrderAndSpareThePluginsThreads",
     {{"a_napper", "id=0x00200000\nworker=naps\n"}, {"b_piper", "id=0x00210000\nmisbehave=sigpipe\n"}},
     [](JournaledCore& run) {
         EXPECT_TRUE(run.journal.Has("b_piper sigpipe -1 EPIPE")) << run.journal.Text();
         ASSERT_TRUE(run.journal.WaitForLine("a_napper napping"));
         const auto stormStart = std::chrono::steady_clock::now();
         for (int i = 0; i < 200; ++i)
             run.core->Signal(SIGUSR1);
         const auto stormSeconds =
             std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - stormStart).count();
         run.core->Signal(SIGHUP);
         ASSERT_EQ(run.core->WaitExit(), 0) << run.core->Output();
         EXPECT_TRUE(run.core->WaitForOutput("stop requested by signal SIGHUP"));
         EXPECT_TRUE(run.journal.Has("a_napper Close"));
         const std::string naps = run.journal.Text();
         EXPECT_TRUE(std::regex_search(naps, std::regex("a_napper naps [0-9]+ eintr=0\n"))) << naps;
         // The counter lines come at most once a second however many signals ask.
         const size_t counterLines = run.core->CountOutput("plugin a_napper.so: write");
         EXPECT_GE(counterLines, 1u) << run.core->Output();
         EXPECT_LE(counterLines, static_cast<size_t>(stormSeconds) + 2) << run.core->Output();
     }},
    {"HungRequestReadIsNamedDuringTheRunAndAtTheStop",
     {{"a_asker", "id=0x00200000\nrequest=9 0x10 0x0 x\n"},
      {"b_hung", "id=0x00210000\nreader=on\nread_wait_file=go\n"}},
     [](JournaledCore& run) {
         ASSERT_TRUE(run.core->WaitForOutput("plugin b_hung.so has not returned from Read for 5 seconds"))
             << run.core->Output();
         ASSERT_TRUE(run.supervisor.Send(IPC_KIND_STOP, 0));
         ASSERT_TRUE(run.core->WaitForOutput("core stop is waiting for plugin b_hung.so to return from Read"))
             << run.core->Output();
         WriteFile(run.install.work / "go", "");
         ASSERT_EQ(run.core->WaitExit(), 0) << run.core->Output();
         EXPECT_TRUE(run.core->WaitForOutput("plugin b_hung.so returned from Read after "));
     }},
    {"RaisingFromAKeyDestructorWorks",
     {{"a_keys", "id=0x00200000\nmisbehave=key-destructor-raise\n"}, {"b_sink", "id=0x00210000\nwrite=1\n"}},
     [](JournaledCore& run) {
         EXPECT_EQ(run.journal.CountPrefix("a_keys key-raised 0"), 4u) << run.journal.Text();
         run.Stop();
         EXPECT_TRUE(run.journal.Has("b_sink Close"));
     }},
    // --- bounds ---
    {"FloodWhileAWriteBlocksIsRefusedAtTheQueuesBound",
     {{"a_raiser", "id=0x00200000\nworker=steps\nstep=wait flood\nstep=raise 0x2 0x0 1024 60000\n"
                   "step=wait more\nstep=raise 0x2 0x0 1024 100000\n"},
      {"b_blocker", "id=0x00210000\nwrite=1\nwrite_wait_file=go\n"},
      {"c_sink", "id=0x00220000\nwrite=1\n"}},
     [](JournaledCore& run) {
         // 60,000 KiB raised while the writer waits in b_blocker's Write: more
         // than a quarter of the memory limit, so the bound is reached...
         WriteFile(run.install.work / "flood", "");
         ASSERT_TRUE(run.journal.WaitForPrefix("a_raiser raised 0x2 60000 ")) << run.core->Output();
         EXPECT_EQ(run.journal.FirstWithPrefix("a_raiser first-refused").rfind("a_raiser first-refused -1 at ", 0), 0u);
         ASSERT_TRUE(run.core->WaitForOutput("writer in plugin b_blocker.so (Write); refusing events"))
             << run.core->Output();
         // ...and 100,000 KiB more are refused without costing memory.
         const size_t before = ResidentBytes(run.core->pid());
         WriteFile(run.install.work / "more", "");
         ASSERT_TRUE(run.journal.WaitForLine("a_raiser raised 0x2 100000 ok=0 refused=100000 results=-"));
         EXPECT_LT(ResidentBytes(run.core->pid()), before + (size_t{16} << 20));
         EXPECT_EQ(run.core->CountOutput("core event queue full: "), 1u);
         WriteFile(run.install.work / "go", "");
         EXPECT_TRUE(run.core->WaitForOutput("core event queue below its bound again")) << run.core->Output();
         run.Stop();
         std::smatch ok;
         const std::string text = run.journal.Text();
         ASSERT_TRUE(std::regex_search(text, ok, std::regex("a_raiser raised 0x2 60000 ok=(\\d+) "))) << text;
         EXPECT_TRUE(run.journal.Has("c_sink received 0x00200000 " + ok[1].str() + " in-order")) << text;
     }},
    {"UnreadTerminalHoldsUpNeitherEventsNorSupervisorPackets",
     {{"a_talker", "id=0x00200000\nworker=steps\nstep=wait flood\nstep=log 20000\nstep=raise 0x2 0x0 64 200\n"},
      {"b_sink", "id=0x00210000\nwrite=1\njournal_writes=1\nlog_calls=called\n"}},
     [](JournaledCore& run) {
         // The talker's lines fill the terminal; the sink logs from the
         // writer (Write) and the I/O thread (supervisor IOCTL).
         run.core->PauseReading();
         WriteFile(run.install.work / "flood", "");
         EXPECT_TRUE(run.journal.WaitForLine("a_talker raised 0x2 200 ok=200 refused=0 results=-"));
         for (int i = 0; i < 5; ++i)
             ASSERT_TRUE(run.supervisor.Send(3, DVR_IPC_TARGET(DVR_MODULE_INDEX(0x00210000u)), "packet"));
         EXPECT_TRUE(WaitUntil([&] { return run.journal.CountPrefix("b_sink Write 0x00200000 ") == 200; }));
         EXPECT_TRUE(WaitUntil([&] { return run.journal.CountPrefix("b_sink IOCTL 4 ") == 5; })) << run.journal.Text();
         run.core->ResumeReading();
         EXPECT_TRUE(run.core->WaitForOutput(" log lines dropped")) << run.core->Output();
         run.Stop();
     }},
    // A block the core handed out (delivered through Write, the copy a Read
    // is given, a supervisor packet), raised for the supervisor whole or from
    // its middle. The core frees the read copy when the Read returns: taken
    // for the supervisor as well, it would be freed twice.
    {"CoreBlocksRaisedForTheSupervisorWholeOrFromTheirMiddleAreRefused",
     {{"a_raiser", kRaise50 + "request=9 0x10 0x0 for the readers\n"},
      {"b_rude", "id=0x00210000\nwrite=1\nmisbehave=supervisor-write-block\n"},
      {"c_rude", "id=0x00220000\nwrite=1\nmisbehave=supervisor-write-block\nsupervisor_offset=8\n"},
      {"d_rude", "id=0x00230000\nreader=on\nmisbehave=supervisor-read-copy\n"},
      {"e_rude", "id=0x00240000\nreader=on\nmisbehave=supervisor-read-copy\nsupervisor_offset=4\n"},
      {"f_rude", "id=0x00250000\nmisbehave=supervisor-packet-block\n"},
      {"g_rude", "id=0x00260000\nmisbehave=supervisor-packet-block\nsupervisor_offset=4\n"},
      {"h_sink", "id=0x00270000\nwrite=1\n"}},
     [](JournaledCore& run) {
         for (uint32_t id : {0x00250000u, 0x00260000u})
             ASSERT_TRUE(run.supervisor.Send(3, DVR_IPC_TARGET(DVR_MODULE_INDEX(id)), "for the plugin"));
         ASSERT_TRUE(run.journal.WaitForLine("a_raiser raised 0x2 50 ok=50 refused=0 results=-"));
         for (const char* line : {"d_rude supervisor-read", "e_rude supervisor-read", "f_rude supervisor-packet",
                                  "g_rude supervisor-packet"})
             ASSERT_TRUE(run.journal.WaitForPrefix(line)) << line << "\n" << run.core->Output();
         run.Stop();
         for (const char* rude : {"b_rude", "c_rude"})
             EXPECT_EQ(run.journal.CountPrefix(std::string(rude) + " supervisor-write 1"), 50u) << run.journal.Text();
         for (const char* line : {"d_rude supervisor-read 1", "e_rude supervisor-read 1", "f_rude supervisor-packet 1",
                                  "g_rude supervisor-packet 1"})
             EXPECT_TRUE(run.journal.Has(line)) << line;
         EXPECT_TRUE(run.journal.Has("h_sink received 0x00200000 50 in-order"));
         EXPECT_EQ(run.Received(), "<nothing>");
     }},
    {"CrashInTheCopyOfDataRaisedFromAPluginsOwnThreadNamesThePlugin",
     {{"a_rude", "id=0x00200000\nmisbehave=raise-past-end\n"}},
     [](JournaledCore& run) {
         if (!Emulator().empty())
             GTEST_SKIP() << "the emulator handles the core's fatal signals itself";
         WriteFile(run.install.work / "go", "");
         const std::optional<int> exit = run.core->WaitExit();
         if (exit != 128 + SIGSEGV && run.core->Output().find("Sanitizer") != std::string::npos)
             GTEST_SKIP() << "the sanitizer of this build owns the fatal signals";
         EXPECT_EQ(exit, 128 + SIGSEGV) << run.core->Output();
         EXPECT_EQ(run.core->CountOutput("fatal signal 11 (SIGSEGV) in plugin a_rude.so (raising an event)"), 1u)
             << run.core->Output();
     }},
    {"LogLinesAreCountedAsShownOrBelowTheThresholdNotAsRefused",
     {{"a_talker", "id=0x00200000\nlog_level_default=50\nlog_as=0x00200000 25 too quiet\n"
                   "log_as=0x00200000 50 heard\nclose_log=50 heard at the stop\nclose_wait_file=closed\n"}},
     [](JournaledCore& run) {
         ASSERT_TRUE(run.supervisor.Send(IPC_KIND_STOP, 0));
         ASSERT_TRUE(run.journal.WaitForPrefix("a_talker close-logged"));
         ASSERT_TRUE(run.core->WaitForOutput("heard at the stop"));
         run.core->Signal(SIGUSR1); // the counter lines, while Close waits
         EXPECT_TRUE(run.core->WaitForOutput(
             "raised ok 0 refused 0 unadmitted 0 expired 0 throttled 0 nomemory 0 other 0; released 0"))
             << run.core->Output();
         EXPECT_TRUE(run.core->WaitForOutput("log lines shown 2 not forwarded 1 below threshold 1"));
         WriteFile(run.install.work / "closed", "");
         EXPECT_EQ(run.core->WaitExit(), 0);
     }},
};

class Hostile : public ::testing::TestWithParam<Misbehaviour> {};

TEST_P(Hostile, PluginMeetsADefinedOutcome)
{
    JournaledCore run;
    for (const auto& [name, conf] : GetParam().plugins)
        run.Add("eventprobe", name, conf);
    run.StartSupervised();
    GetParam().check(run);
    if (IsSkipped())
        return;
    EXPECT_EQ(run.core->Output().find("Sanitizer"), std::string::npos) << run.core->Output();
}

INSTANTIATE_TEST_SUITE_P(Misbehaviours, Hostile, ::testing::ValuesIn(kMisbehaviours),
                         [](const ::testing::TestParamInfo<Misbehaviour>& info) { return info.param.name; });

// A worker raising 64 KiB events in a tight loop while the stop arrives: every
// event answered 0 is delivered before the core exits. The race sits between
// the entry's test of the stop and its append, so it takes repetition to show.
// The stop comes as the supervisor's packet: every stop request takes the same
// path from there; the lifecycle tests cover the signals.
TEST(HostileStop, EveryEventAnsweredZeroDuringTheStopIsDelivered)
{
    constexpr int kRuns = 30;
    const std::regex raised("a_raiser raised 0x2 0 ok=(\\d+) refused=1");
    for (int i = 0; i < kRuns; ++i) {
        JournaledCore run;
        run.Add("eventprobe", "a_raiser", "id=0x00200000\nworker=raise\nraise=0x2 0x0 65536 0\n");
        run.Add("eventprobe", "b_sink", "id=0x00210000\nwrite=1\n");
        run.StartSupervised();
        ASSERT_TRUE(run.journal.WaitForLine("a_raiser raising")) << run.core->Output();
        run.Stop();
        const std::string text = run.journal.Text();
        std::smatch match;
        ASSERT_TRUE(std::regex_search(text, match, raised)) << text;
        const std::string accepted = match[1];
        if (accepted == "0")
            continue; // stopped before the first event
        ASSERT_TRUE(run.journal.Has("b_sink received 0x00200000 " + accepted + " in-order"))
            << "run " << i << ": " << accepted << " answered 0\n"
            << text;
    }
}

} // namespace
