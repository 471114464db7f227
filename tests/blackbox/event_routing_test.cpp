// Events between real plugin libraries through the real executable: who gets
// what, through which entry point, in which order, and what a plugin's log
// line looks like on the operator's terminal.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "support/journaled_core.h"

namespace {

using namespace dvrtest;

TEST(Routing, VideoFramesReachOnlyMasksHoldingTheShiftedFlags)
{
    JournaledCore board;
    // eventFlags 0x01000000 become routing class 0x02000000 for queued delivery.
    board.Add("eventprobe", "camera", "id=0x00200000\nraise_in=open\nraise=0x1 0x01000000 64 1 1\n");
    board.Add("probe", "shifted", "id=0x00210000\nwrite=1\nmask0=0x02000000\n");
    board.Add("probe", "unshifted", "id=0x00220000\nwrite=1\nmask0=0x01000000\n");
    board.Add("probe", "deaf", "id=0x00230000\nwrite=0\nmask0=0x02000000\n");
    board.Start();
    board.StopAfter("shifted Write");
    EXPECT_TRUE(board.journal.Has("camera raised 0x1 1 ok=1 refused=0 results=0"));
    EXPECT_EQ(board.journal.CountPrefix("shifted Write 0x00200000 0x1 64"), 1u);
    EXPECT_EQ(board.journal.CountPrefix("unshifted Write"), 0u);
    EXPECT_EQ(board.journal.CountPrefix("deaf Write"), 0u);
    // Both mistakes are said when the plugin loads, which is still accepted.
    EXPECT_EQ(board.core->CountOutput("plugin unshifted.so accepted with a warning: mask 0x0001 media is 0x01000000: "
                                      "bit 0x01000000 is a raw eventFlags bit"),
              1u)
        << board.core->Output();
    EXPECT_EQ(board.core->CountOutput("plugin deaf.so accepted with a warning: masks are set but writeEnabled is 0"),
              1u);
    EXPECT_EQ(board.core->CountOutput("accepted with a warning"), 2u);
}

TEST(Routing, ConfigurationDocumentsGoToEveryOtherPluginThroughIoctl)
{
    JournaledCore board;
    const std::string document = "<Kavo Delta=\"1\" />";
    // Raised as configuration (0x100) plus 0x0002, so the raiser can subscribe.
    board.Add("eventprobe", "author",
              "id=0x00200000\nwrite=1\njournal_writes=1\nmask1=0x02000010\nconfig_type=0x102\nconfig_text=" + document +
                  "\n");
    board.Add("probe", "listener", "id=0x00210000\nwrite=1\nmask1=0x02000010\n");
    board.Add("probe", "silent", "id=0x00220000\nwrite=0\n");
    board.Start();
    board.StopAfter("silent IOCTL");
    ASSERT_TRUE(board.journal.WaitForPrefix("listener IOCTL"));
    // Configuration updates come through IOCTL_CONFIG with the document, even
    // to a plugin that takes no Write; never as Write to the others.
    EXPECT_EQ(board.journal.CountPrefix("listener IOCTL 2 18 3c4b61766f"), 1u);
    EXPECT_EQ(board.journal.CountPrefix("silent IOCTL 2 18 3c4b61766f"), 1u);
    EXPECT_EQ(board.journal.CountPrefix("listener Write"), 0u);
    // The author gets its own document only through Write (the core's status
    // document reaches it through IOCTL like every plugin).
    EXPECT_EQ(board.journal.CountPrefix("author IOCTL 2 18 "), 0u);
    EXPECT_EQ(board.journal.CountPrefix("author Write 0x00200000 0x102 18"), 1u);
    EXPECT_TRUE(board.journal.Has("author config 0"));
}

TEST(ReadRequests, EachMatchingReaderGetsAThreadAndItsOwnCopy)
{
    JournaledCore board;
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
    ASSERT_TRUE(board.journal.WaitForPrefix("readera Read 7"));
    ASSERT_TRUE(board.journal.WaitForPrefix("readerb Read 7"));
    // The asker writes its line once the call returned, maybe after the readers began.
    EXPECT_TRUE(board.journal.WaitForPrefix("asker request 7 0"));
    EXPECT_EQ(board.journal.CountPrefix("unshifted Read"), 0u);
    EXPECT_EQ(board.journal.CountPrefix("notreading Read"), 0u);
    std::smatch a, b;
    std::string lineA = board.journal.Lines()[static_cast<size_t>(board.journal.IndexOf("readera Read 7"))];
    std::string lineB = board.journal.Lines()[static_cast<size_t>(board.journal.IndexOf("readerb Read 7"))];
    std::regex read("Read 7 5 68656c6c6f ptr=(\\S+)");
    ASSERT_TRUE(std::regex_search(lineA, a, read)) << lineA;
    ASSERT_TRUE(std::regex_search(lineB, b, read)) << lineB;
    EXPECT_NE(a[1], b[1]) << "both readers were handed the same copy";
    WriteFile(go, "");
    board.StopAfter("readerb Read 7");
}

TEST(Stress, ManyProducersWithRetainingConsumersLoseNothingThroughTheStop)
{
    JournaledCore board;
    constexpr int kEvents = 4000;
    for (int p = 0; p < 3; ++p)
        board.Add("eventprobe", "producer" + std::to_string(p),
                  "id=0x0020" + std::to_string(p) + "000\nworker=raise\nraise=0x2 0x0 " + std::to_string(64 + 100 * p) +
                      " " + std::to_string(kEvents) + "\n");
    // One gives each block back at its next Write, one keeps them all until
    // Close, one keeps nothing but is slow enough that the queue still holds
    // events when the stop comes; all check per-producer order.
    board.Add("eventprobe", "keepnext", "id=0x00300000\nwrite=1\nretain=1\nrelease=next\n");
    board.Add("eventprobe", "keepall", "id=0x00310000\nwrite=1\nretain=1\nrelease=close\n");
    board.Add("eventprobe", "counter", "id=0x00320000\nwrite=1\nwrite_delay_us=200\n");
    board.Start();
    for (int p = 0; p < 3; ++p)
        ASSERT_TRUE(board.journal.WaitForPrefix("producer" + std::to_string(p) + " raised 0x2 " +
                                                std::to_string(kEvents) + " ok=" + std::to_string(kEvents)));
    board.core->Signal(SIGTERM);
    ASSERT_EQ(board.core->WaitExit(), 0) << board.core->Output();
    for (const char* consumer : {"keepnext", "keepall", "counter"})
        for (int p = 0; p < 3; ++p)
            EXPECT_TRUE(board.journal.Has(std::string(consumer) + " received 0x0020" + std::to_string(p) + "000 " +
                                          std::to_string(kEvents) + " in-order"))
                << consumer << " from producer " << p;
    EXPECT_EQ(board.journal.CountPrefix("keepall kept block changed"), 0u);
    EXPECT_EQ(board.journal.CountPrefix("keepnext kept block changed"), 0u);
}

TEST(PluginLogLines, ShowTheSourceNameLowerCasedAndCutToSixCharactersOrAQuestionMark)
{
    JournaledCore board;
    board.Add("eventprobe", "WebServer",
              "id=0x00200000\nlog_as=0x00200000 60 from the web\nlog_as=0x00770000 30 nobody knows me\n"
              "log_as=0x00200000 101 beyond critical\n");
    board.Start();
    ASSERT_TRUE(board.core->WaitForOutput("beyond critical"));
    board.core->Signal(SIGTERM);
    ASSERT_EQ(board.core->WaitExit(), 0);
    std::string output = board.core->Output();
    // A source is named by its plugin's file stem, lower-cased; level 60 is
    // yellow (33); an unknown source is shown as "?"; above 100 the line has
    // no colours.
    EXPECT_TRUE(std::regex_search(
        output, std::regex("\x1b\\[33m\\d\\d:\\d\\d:\\d\\d\x1b\\[36m webser\x1b\\[0m from the web\n")))
        << output;
    EXPECT_TRUE(std::regex_search(
        output, std::regex("\x1b\\[32m\\d\\d:\\d\\d:\\d\\d\x1b\\[36m \\?     \x1b\\[0m nobody knows me\n")))
        << output;
    EXPECT_TRUE(std::regex_search(output, std::regex("\n\\d\\d:\\d\\d:\\d\\d webser beyond critical\n"))) << output;
}

} // namespace
