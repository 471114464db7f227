// Segment files as players see them: a cleanly closed segment reports its
// duration and seeks; a file cut anywhere (a crash, a power cut) plays up to
// its last complete fragment once repaired, and loses at most about a second.
#include <gtest/gtest.h>

#include <fstream>

#include "recorder_fixtures.h"
#include "segment_scan.h"
#include "segment_writer.h"
#include "support/process.h"

namespace {

using namespace recordertest;
using recorder::SegmentWriter;

class Segment : public ::testing::Test {
protected:
    // Writes `count` frames of the clip (from its start) into `name`.
    fs::path Write(const std::string& name, size_t count, bool close = true)
    {
        const fs::path path = dir.path() / name;
        SegmentWriter writer(recorder::RealFiles());
        recorder::StreamParams params{
            1, clip.width, clip.height, clip.timeBaseNum, clip.timeBaseDen, clip.parameterSets};
        EXPECT_EQ(writer.Open(path.string(), params), 0);
        for (size_t i = 0; i < count; ++i) {
            const ClipFrame& f = clip.frames[i];
            EXPECT_EQ(writer.Write(f.data.data(), f.data.size(), f.key, f.pts, f.dts, f.duration), 0);
        }
        if (close) {
            EXPECT_EQ(writer.Close(), 0);
        }
        return path;
    }

    dvrtest::TempDir dir;
    Clip clip = MakeClip(dir.path(), 4, 25);
};

TEST_F(Segment, ClosedCleanlyItPlaysReportsItsDurationAndSeeks)
{
    const fs::path file = Write("clean.mp4", clip.frames.size());
    const Playback playback = Play(file);
    EXPECT_EQ(playback.decodedFrames, 100);
    EXPECT_EQ(playback.errors, "");
    EXPECT_NEAR(playback.duration, 4.0, 0.05);
    EXPECT_EQ(Shell("ffmpeg -v error -ss 2.5 -i " + file.string() + " -frames:v 5 -f null -"), "");
    const recorder::SegmentFacts facts = recorder::ScanSegment(file.string());
    EXPECT_TRUE(facts.complete);
    EXPECT_TRUE(facts.startsWithKeyFrame);
    EXPECT_EQ(facts.frames, 100u);
    EXPECT_EQ(facts.durationUs, 4000000);
    // Every frame exactly as the camera sent it, in order.
    const auto recorded = ReadRecorded(file);
    ASSERT_EQ(recorded.size(), clip.frames.size());
    for (size_t i = 0; i < recorded.size(); ++i) {
        EXPECT_EQ(recorded[i].nals, LengthPrefixed(clip.frames[i].data)) << "frame " << i;
        EXPECT_EQ(recorded[i].key, clip.frames[i].key) << "frame " << i;
    }
}

TEST_F(Segment, CutAnywhereItPlaysUpToItsLastCompleteFragment)
{
    const fs::path whole = Write("whole.mp4", clip.frames.size(), false); // the writer died: no trailer
    const auto size = static_cast<int64_t>(fs::file_size(whole));
    std::ifstream in(whole, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int previousFrames = -1;
    for (int64_t cut = 600; cut < size; cut += size / 13) {
        const fs::path file = dir.path() / ("cut-" + std::to_string(cut) + ".mp4");
        std::ofstream(file, std::ios::binary).write(bytes.data(), cut);
        const recorder::SegmentFacts facts = recorder::RepairSegment(recorder::RealFiles(), file.string());
        SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(size));
        if (!facts.readable) {
            EXPECT_EQ(previousFrames, -1) << "a longer file lost what a shorter one had";
            continue;
        }
        EXPECT_FALSE(facts.complete);
        EXPECT_EQ(static_cast<int64_t>(fs::file_size(file)), facts.validBytes);
        const Playback playback = Play(file);
        EXPECT_EQ(playback.errors, "");
        EXPECT_EQ(playback.decodedFrames, static_cast<int>(facts.frames));
        EXPECT_GE(playback.decodedFrames, previousFrames);
        // At most one fragment (about a second) and what was not yet flushed is lost.
        const double kept = static_cast<double>(cut) / static_cast<double>(size);
        EXPECT_GE(facts.frames + 25 + 25, static_cast<uint64_t>(kept * 100)) << "kept " << facts.frames;
        previousFrames = playback.decodedFrames;
    }
    EXPECT_GE(previousFrames, 50) << "three of the four fragments were on the disk";
}

TEST_F(Segment, FragmentsHoldAboutOneSecond)
{
    const fs::path file = Write("fragments.mp4", clip.frames.size());
    const std::string boxes = Shell("ffprobe -v trace " + file.string() + " 2>&1 | grep -c \"type:'moof'\"");
    EXPECT_EQ(std::stoi(boxes), 4) << "a fragment per second of a four-second segment";
}

} // namespace
