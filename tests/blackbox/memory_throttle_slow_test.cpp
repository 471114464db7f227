// The end of a throttling episode through the real executable: a minute after
// the last over-limit sample the core says so once, and tells its plugins.
#include <gtest/gtest.h>

#include "support/journaled_core.h"

namespace {

using namespace dvrtest;

TEST(MemoryThrottleRelease, OneOkLineAndDocumentAMinuteAfterTheLastOverLimitSample)
{
    JournaledCore run;
    run.Add("eventprobe", "hog",
            "id=0x00200000\nworker=steps\nwrite=1\nmask2=0x02000010\njournal_status=1\nstep=hog 200\nstep=wait " +
                (run.install.root() / "go").string() + "\nstep=free\n");
    run.Start();
    ASSERT_TRUE(run.core->WaitForOutput("available system memory is low, throttling video")) << run.core->Output();
    WriteFile(run.install.root() / "go", "");
    ASSERT_TRUE(run.journal.WaitForLine("hog freed")) << run.journal.Text();
    const auto freedAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(
        run.core->WaitForOutput("available system memory ok, not throttling video", Scaled(milliseconds{120000})))
        << run.core->Output();
    // Not before a minute has passed since (about) the last over-limit sample.
    EXPECT_GE(*run.core->ArrivalOf("available system memory ok, not throttling video") - freedAt,
              std::chrono::seconds(58));
    ASSERT_TRUE(WaitUntil([&] { return run.journal.CountPrefix("hog status ") >= 3; })) << run.journal.Text();
    std::string values;
    for (const std::string& line : run.journal.Lines()) {
        if (line.rfind("hog status ", 0) == 0) {
            const size_t at = line.find("Throttling=\"");
            values += at == std::string::npos ? '?' : line[at + 12];
        }
    }
    EXPECT_EQ(values, "010");
    EXPECT_EQ(run.core->CountOutput("available system memory is low, throttling video"), 1u);
    run.Stop();
}

} // namespace
