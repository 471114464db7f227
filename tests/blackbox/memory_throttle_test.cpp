// The core's own memory watch through the real executable: a plugin makes the
// core's process hold more than 190 MiB resident and lets go again; a camera
// sees its frames refused and has to start over with a key frame, and a
// subscriber hears about it through the memory status documents.
#include <gtest/gtest.h>

#include <signal.h>

#include "support/journaled_core.h"

namespace {

using namespace dvrtest;

constexpr char kLow[] = "available system memory is low, throttling video";
constexpr char kOk[] = "available system memory ok, not throttling video";

// Key frame then a dependent frame, as the camera raises them.
constexpr char kTwoFrames[] = "raise 0x1 0x01000000 8 2 2";

class MemoryThrottle : public ::testing::Test {
protected:
    void SetUp() override
    {
        run.Add("eventprobe", "camera",
                "id=0x00200000\nworker=steps\nwrite=1\nmask2=0x02000010\njournal_status=1\n"
                "step=" +
                    std::string(kTwoFrames) + "\nstep=hog 200\nstep=wait " + lowSeen.string() +
                    // dependent frames while throttled
                    "\nstep=raise 0x1 0x01000000 8 3\nstep=free\n"
                    // key frames until the flag drops, then a fresh pair
                    "step=until_not 0x1 0x01000000 5 1\nstep=" +
                    kTwoFrames + "\n");
        run.Start();
        // The camera raises its frames only once the core throttles.
        ASSERT_TRUE(journalReader.WaitForLine("camera hogged 200")) << journalReader.Text();
        ASSERT_TRUE(core->WaitForOutput(kLow)) << core->Output();
        WriteFile(lowSeen, "");
        ASSERT_TRUE(journalReader.WaitForPrefix("camera until ")) << journalReader.Text();
    }
    void Stop() { run.Stop(); }
    std::vector<std::string> Lines(const std::string& prefix) const
    {
        std::vector<std::string> found;
        for (const std::string& line : journalReader.Lines())
            if (line.rfind(prefix, 0) == 0)
                found.push_back(line);
        return found;
    }
    // The Throttling values of the memory documents the camera received, in order.
    std::string ThrottlingSeen() const
    {
        std::string values;
        for (const std::string& line : Lines("camera status ")) {
            const size_t at = line.find("Throttling=\"");
            values += at == std::string::npos ? '?' : line[at + 12];
        }
        return values;
    }

    JournaledCore run;
    fs::path lowSeen = run.install.root() / "low-seen";
    const PluginJournal& journalReader = run.journal;
    std::unique_ptr<Process>& core = run.core;
};

TEST_F(MemoryThrottle, VideoIsRefusedWhileThrottledAndNeedsAKeyFrameAfterwards)
{
    ASSERT_TRUE(journalReader.WaitForPrefix("camera raised 0x1 2 ok=2 refused=0 results=0,0") &&
                WaitUntil([&] { return Lines("camera raised ").size() == 3; }))
        << journalReader.Text();
    EXPECT_EQ(Lines("camera raised "), (std::vector<std::string>{"camera raised 0x1 2 ok=2 refused=0 results=0,0",
                                                                 "camera raised 0x1 3 ok=0 refused=3 results=5,3,3",
                                                                 "camera raised 0x1 2 ok=2 refused=0 results=0,0"}));
    // The admitted source's first frame under throttling is refused with 5,
    // and that ends its admission: the next ones want a key frame (3). Key
    // frames are refused with 5 until the flag drops, then one admits again.
    ASSERT_EQ(Lines("camera until ").size(), 1u);
    EXPECT_EQ(Lines("camera until ")[0].rfind("camera until 0 ", 0), 0u) << Lines("camera until ")[0];

    ASSERT_TRUE(WaitUntil([&] { return ThrottlingSeen().size() >= 2; })) << journalReader.Text();
    EXPECT_EQ(ThrottlingSeen(), "01"); // the first run's state, then the episode
    for (const std::string& line : Lines("camera status "))
        EXPECT_NE(line.find("<Kavo><Memory ID=\"-2147483648\" Throttling=\""), std::string::npos) << line;
    EXPECT_EQ(core->CountOutput(kLow), 1u);
    EXPECT_EQ(core->CountOutput(kOk), 0u); // released only 60 s after the last over-limit sample
    Stop();
}

} // namespace
