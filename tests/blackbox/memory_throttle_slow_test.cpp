// The end of a throttling episode through the real executable: a minute after
// the last over-limit sample the core says so once, and tells its plugins.
#include <gtest/gtest.h>

#include <signal.h>

#include "support/plugin_journal.h"
#include "support/process.h"

namespace {

using namespace dvrtest;

TEST(MemoryThrottleRelease, OneOkLineAndDocumentAMinuteAfterTheLastOverLimitSample)
{
    CoreInstall install;
    const fs::path journal = install.root() / "journal";
    PluginJournal journalReader{journal};
    install.AddTestPlugin("eventprobe", "hog.so");
    WriteFile(install.plugins / "hog.conf", "journal=" + journal.string() +
                                                "\nid=0x00200000\nworker=steps\nwrite=1\nmask2=0x02000010\n"
                                                "journal_status=1\nstep=hog 200\nstep=wait " +
                                                (install.root() / "go").string() + "\nstep=free\n");
    ProcessOptions options;
    options.cwd = install.work;
    options.pty = true; // the core writes its lines to a terminal only
    auto core = Process::Start(install.exe, options);
    ASSERT_TRUE(core->WaitForOutput("available system memory is low, throttling video")) << core->Output();
    WriteFile(install.root() / "go", "");
    ASSERT_TRUE(journalReader.WaitForLine("hog freed")) << journalReader.Text();
    const auto freedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(core->WaitForOutput("available system memory ok, not throttling video", Scaled(milliseconds{120000})))
        << core->Output();
    // Not before a minute has passed since (about) the last over-limit sample.
    EXPECT_GE(*core->ArrivalOf("available system memory ok, not throttling video") - freedAt, std::chrono::seconds(58));
    ASSERT_TRUE(WaitUntil([&] { return journalReader.CountPrefix("hog status ") >= 3; })) << journalReader.Text();
    std::string values;
    for (const std::string& line : journalReader.Lines())
        if (line.rfind("hog status ", 0) == 0) {
            const size_t at = line.find("Throttling=\"");
            values += at == std::string::npos ? '?' : line[at + 12];
        }
    EXPECT_EQ(values, "010");
    EXPECT_EQ(core->CountOutput("available system memory is low, throttling video"), 1u);
    core->Signal(SIGTERM);
    EXPECT_EQ(core->WaitExit(), 0) << core->Output();
}

} // namespace
