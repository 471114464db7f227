// Events between real plugin libraries through the real executable: who gets
// what, through which entry point, in which order, and what a plugin's log
// line looks like on the operator's terminal.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "support/plugin_journal.h"
#include "support/process.h"

namespace {

using namespace dvrtest;

// A core installation whose plugins all journal into one file.
class Switchboard {
public:
    // `binary` is a built test plugin (probe, eventprobe); `name` its file stem here.
    void Add(const std::string& binary, const std::string& name, const std::string& conf)
    {
        install.AddConfiguredPlugin(binary, name, conf, journal);
    }

    void Start(bool pty = false)
    {
        ProcessOptions options;
        options.cwd = install.work;
        options.pty = pty;
        core = Process::Start(install.exe, options);
    }

    std::vector<std::string> Lines() const { return journalReader.Lines(); }
    bool Has(const std::string& line) const { return journalReader.Has(line); }
    size_t CountPrefix(const std::string& prefix) const { return journalReader.CountPrefix(prefix); }
    // Index of the first line starting with `prefix`, or -1.
    long IndexOf(const std::string& prefix) const { return journalReader.IndexOf(prefix); }
    bool WaitFor(const std::string& prefix) const { return journalReader.WaitForPrefix(prefix); }

    // Stops the core once `prefix` is journaled and waits for a clean exit.
    void StopAfter(const std::string& prefix)
    {
        ASSERT_TRUE(WaitFor(prefix)) << ReadFile(journal);
        core->Signal(SIGTERM);
        ASSERT_EQ(core->WaitExit(), 0) << core->Output();
    }

    CoreInstall install;
    fs::path journal = install.root() / "journal";
    PluginJournal journalReader{journal};
    std::unique_ptr<Process> core;
};

TEST(Routing, VideoFramesReachOnlyMasksHoldingTheShiftedFlags)
{
    Switchboard board;
    // eventFlags 0x01000000 become routing class 0x02000000 for queued delivery.
    board.Add("eventprobe", "camera", "id=0x00200000\nraise_in=open\nraise=0x1 0x01000000 64 1 1\n");
    board.Add("probe", "shifted", "id=0x00210000\nwrite=1\nmask0=0x02000000\n");
    board.Add("probe", "unshifted", "id=0x00220000\nwrite=1\nmask0=0x01000000\n");
    board.Add("probe", "deaf", "id=0x00230000\nwrite=0\nmask0=0x02000000\n");
    board.Start();
    board.StopAfter("shifted Write");
    EXPECT_TRUE(board.Has("camera raised 0x1 1 ok=1 refused=0 results=0"));
    EXPECT_EQ(board.CountPrefix("shifted Write 0x00200000 0x1 64"), 1u);
    EXPECT_EQ(board.CountPrefix("unshifted Write"), 0u);
    EXPECT_EQ(board.CountPrefix("deaf Write"), 0u);
}

TEST(Routing, VideoAdmissionAsAPluginSeesIt)
{
    Switchboard board;
    // A dependent frame first (3), then a key frame and dependent frames (0).
    board.Add("eventprobe", "camera",
              "id=0x00200000\nraise_in=open\nraise=0x1 0x01000000 8 1\nraise=0x1 0x01000000 8 4 4\n");
    board.Add("probe", "recorder", "id=0x00210000\nwrite=1\nmask0=0x02000000\n");
    board.Start();
    board.StopAfter("recorder Write");
    EXPECT_TRUE(board.Has("camera raised 0x1 1 ok=0 refused=1 results=3"));
    EXPECT_TRUE(board.Has("camera raised 0x1 4 ok=4 refused=0 results=0,0,0,0"));
    board.WaitFor("recorder Close");
    EXPECT_EQ(board.CountPrefix("recorder Write"), 4u);
}

TEST(Routing, ConfigurationDocumentsGoToEveryOtherPluginThroughIoctl)
{
    Switchboard board;
    const std::string document = "<Kavo Delta=\"1\" />";
    // Raised as configuration (0x100) plus 0x0002, so the raiser can subscribe.
    board.Add("eventprobe", "author",
              "id=0x00200000\nwrite=1\njournal_writes=1\nmask1=0x02000010\nconfig_type=0x102\nconfig_text=" + document +
                  "\n");
    board.Add("probe", "listener", "id=0x00210000\nwrite=1\nmask1=0x02000010\n");
    board.Add("probe", "silent", "id=0x00220000\nwrite=0\n");
    board.Start();
    board.StopAfter("silent IOCTL");
    ASSERT_TRUE(board.WaitFor("listener IOCTL"));
    // Configuration updates come through IOCTL_CONFIG with the document, even
    // to a plugin that takes no Write; never as Write to the others.
    EXPECT_EQ(board.CountPrefix("listener IOCTL 2 18 3c4b61766f"), 1u);
    EXPECT_EQ(board.CountPrefix("silent IOCTL 2 18 3c4b61766f"), 1u);
    EXPECT_EQ(board.CountPrefix("listener Write"), 0u);
    // The author gets its own document only through Write (the core's status
    // document reaches it through IOCTL like every plugin).
    EXPECT_EQ(board.CountPrefix("author IOCTL 2 18 "), 0u);
    EXPECT_EQ(board.CountPrefix("author Write 0x00200000 0x102 18"), 1u);
    EXPECT_TRUE(board.Has("author config 0"));
}

TEST(Routing, SubscribersReceiveTheirOwnEventsInOrder)
{
    Switchboard board;
    board.Add("eventprobe", "echo",
              "id=0x00200000\nworker=raise\nwrite=1\njournal_writes=1\nmask1=0xFFFFFFFF\nraise=0x2 0x0 16 3\n");
    board.Start();
    ASSERT_TRUE(WaitUntil([&] { return board.CountPrefix("echo Write") == 3; }));
    board.StopAfter("echo Write 0x00200000 0x2 16 2");
    EXPECT_LT(board.IndexOf("echo Write 0x00200000 0x2 16 0"), board.IndexOf("echo Write 0x00200000 0x2 16 1"));
    EXPECT_LT(board.IndexOf("echo Write 0x00200000 0x2 16 1"), board.IndexOf("echo Write 0x00200000 0x2 16 2"));
}

TEST(ReadRequests, EachMatchingReaderGetsAThreadAndItsOwnCopy)
{
    Switchboard board;
    // eventFlags 0x01000010 become routing class 0x00800010 for a request.
    board.Add("eventprobe", "asker", "id=0x00200000\nrequest=7 0x10 0x01000010 hello\n");
    // Both readers stay inside Read until the test has seen both, so both
    // copies are alive at once and their addresses can be compared.
    const fs::path go = board.install.root() / "go";
    const std::string waitGo = "read_wait_file=" + go.string() + "\n";
    board.Add("eventprobe", "readera", "id=0x00210000\nreader=on\nmask4=0x00800010\n" + waitGo);
    board.Add("eventprobe", "readerb", "id=0x00220000\nreader=on\nmask4=0x00800010\n" + waitGo);
    board.Add("eventprobe", "unshifted", "id=0x00230000\nreader=on\nmask4=0x00000010\n");
    board.Add("eventprobe", "notreading", "id=0x00240000\nmask4=0x00800010\n");
    board.Start();
    ASSERT_TRUE(board.WaitFor("readera Read 7"));
    ASSERT_TRUE(board.WaitFor("readerb Read 7"));
    // The asker writes its line once the call returned, maybe after the readers began.
    EXPECT_TRUE(board.WaitFor("asker request 7 0"));
    EXPECT_EQ(board.CountPrefix("unshifted Read"), 0u);
    EXPECT_EQ(board.CountPrefix("notreading Read"), 0u);
    std::smatch a, b;
    std::string lineA = board.Lines()[static_cast<size_t>(board.IndexOf("readera Read 7"))];
    std::string lineB = board.Lines()[static_cast<size_t>(board.IndexOf("readerb Read 7"))];
    std::regex read("Read 7 5 68656c6c6f ptr=(\\S+)");
    ASSERT_TRUE(std::regex_search(lineA, a, read)) << lineA;
    ASSERT_TRUE(std::regex_search(lineB, b, read)) << lineB;
    EXPECT_NE(a[1], b[1]) << "both readers were handed the same copy";
    WriteFile(go, "");
    board.StopAfter("readerb Read 7");
}

TEST(ReadRequests, EventsOfARequestComeFromItsThreadOnly)
{
    Switchboard board;
    board.Add("eventprobe", "asker", "id=0x00200000\nrequest=9 0x10 0x0 x\n");
    board.Add("eventprobe", "reader", "id=0x00210000\nreader=on\nread_raise=0x2 3 32\n");
    board.Add("eventprobe", "sink", "id=0x00220000\nwrite=1\njournal_writes=1\n");
    board.Start();
    ASSERT_TRUE(WaitUntil([&] { return board.CountPrefix("sink Write 0x00210000 0x2 32") == 3; }));
    board.StopAfter("reader read-raised 9 2 0");
    EXPECT_TRUE(board.Has("reader read-raised 9 0 0"));
    EXPECT_TRUE(board.Has("reader read-raised 9 1 0"));
}

TEST(Shutdown, EventsQueuedBeforeTheStopAreAllDelivered)
{
    Switchboard board;
    board.Add("eventprobe", "producer", "id=0x00200000\nworker=raise\nraise=0x2 0x0 512 3000\n");
    // Slow enough that the queue still holds events when the stop comes.
    board.Add("eventprobe", "consumer", "id=0x00210000\nwrite=1\nwrite_delay_us=200\n");
    board.Start();
    ASSERT_TRUE(board.WaitFor("producer raised 0x2 3000 ok=3000"));
    board.core->Signal(SIGTERM);
    ASSERT_EQ(board.core->WaitExit(), 0);
    EXPECT_TRUE(board.Has("consumer received 0x00200000 3000 in-order"));
}

TEST(Stress, ManyProducersWithRetainingConsumersLoseNothing)
{
    Switchboard board;
    constexpr int kEvents = 4000;
    for (int p = 0; p < 3; ++p)
        board.Add("eventprobe", "producer" + std::to_string(p),
                  "id=0x0020" + std::to_string(p) + "000\nworker=raise\nraise=0x2 0x0 " + std::to_string(64 + 100 * p) +
                      " " + std::to_string(kEvents) + "\n");
    // One gives each block back at its next Write, one keeps them all until
    // Close, one keeps nothing; all check per-producer order.
    board.Add("eventprobe", "keepnext", "id=0x00300000\nwrite=1\nretain=1\nrelease=next\n");
    board.Add("eventprobe", "keepall", "id=0x00310000\nwrite=1\nretain=1\nrelease=close\n");
    board.Add("eventprobe", "counter", "id=0x00320000\nwrite=1\n");
    board.Start();
    for (int p = 0; p < 3; ++p)
        ASSERT_TRUE(board.WaitFor("producer" + std::to_string(p) + " raised 0x2 " + std::to_string(kEvents) +
                                  " ok=" + std::to_string(kEvents)));
    board.core->Signal(SIGTERM);
    ASSERT_EQ(board.core->WaitExit(), 0) << board.core->Output();
    for (const char* consumer : {"keepnext", "keepall", "counter"})
        for (int p = 0; p < 3; ++p)
            EXPECT_TRUE(board.Has(std::string(consumer) + " received 0x0020" + std::to_string(p) + "000 " +
                                  std::to_string(kEvents) + " in-order"))
                << consumer << " from producer " << p;
    EXPECT_EQ(board.CountPrefix("keepall kept block changed"), 0u);
    EXPECT_EQ(board.CountPrefix("keepnext kept block changed"), 0u);
}

TEST(PluginLogLines, ShowTheSourceNameCutToSixCharactersOrAQuestionMark)
{
    Switchboard board;
    board.Add("eventprobe", "webserver",
              "id=0x00200000\nlog_as=0x00200000 60 from the web\nlog_as=0x00770000 30 nobody knows me\n"
              "log_as=0x00200000 101 beyond critical\n");
    board.Start(true);
    ASSERT_TRUE(board.core->WaitForOutput("beyond critical"));
    board.core->Signal(SIGTERM);
    ASSERT_EQ(board.core->WaitExit(), 0);
    std::string output = board.core->Output();
    // Level 60 is yellow (33); an unknown source is shown as "?"; above 100 the
    // line has no colours.
    EXPECT_TRUE(std::regex_search(
        output, std::regex("\x1b\\[33m\\d\\d:\\d\\d:\\d\\d\x1b\\[36m webser\x1b\\[0m from the web\n")))
        << output;
    EXPECT_TRUE(std::regex_search(
        output, std::regex("\x1b\\[32m\\d\\d:\\d\\d:\\d\\d\x1b\\[36m \\?     \x1b\\[0m nobody knows me\n")))
        << output;
    EXPECT_TRUE(std::regex_search(output, std::regex("\n\\d\\d:\\d\\d:\\d\\d webser beyond critical\n"))) << output;
}

} // namespace
