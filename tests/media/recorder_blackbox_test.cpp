// The recorder plugin in the real core, fed by the camera plugin from a
// looping file, checked with ffprobe/ffmpeg and against what a media probe
// beside it received: every frame once and in order, segments that play and
// seek, an export over three segments, kill -9 at random moments, and a
// throttling episode of the core.
#include <gtest/gtest.h>

#include <signal.h>

#include <random>
#include <set>

#include "dvrcamera.h"
#include "dvrplugin.h"
#include "media_fixtures.h"
#include "recorder_fixtures.h"
#include "recording_index.h"
#include "segment_scan.h"

namespace {

using namespace recordertest;
using dvrtest::media::CameraEvents;
using dvrtest::media::MediaEvent;
using recorder::SegmentRow;

constexpr char kThrottling[] = "available system memory is low, throttling video";
constexpr char kNotThrottling[] = "available system memory ok, not throttling video";

class RecorderRig : public dvrtest::media::CameraRig {
public:
    explicit RecorderRig(const std::string& settings)
    {
        fs::copy_file(DVR_RECORDER_PLUGIN, install.plugins / "mediarecorder.so");
        dvrtest::WriteFile(install.work / "recorder.conf", settings);
        dvrtest::media::MakeTestClip(clip, 2, 25);
        WriteCameras("1 front " + clip.string() + " loop=yes\n");
    }
    fs::path Recordings() const { return install.work / "recordings"; }
    std::vector<SegmentRow> Rows() const
    {
        recorder::RecordingIndex index;
        EXPECT_EQ(index.Open(Recordings().string(), true), "");
        return index.All();
    }
    std::set<std::string> Files() const
    {
        std::set<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(Recordings()))
            if (entry.path().extension() == ".mp4")
                files.insert(fs::relative(entry.path(), Recordings()).generic_string());
        return files;
    }
    // The camera's frames as the probe received them: their slice hashes.
    std::vector<std::string> SentHashes() const
    {
        std::vector<std::string> hashes;
        for (const MediaEvent& event : CameraEvents(Events(), 1))
            if (event.kind == "frame")
                hashes.push_back(event.hash);
        return hashes;
    }
    fs::path clip = install.root() / "clip.mp4";
};

// Every index row agrees with its file, and every file plays.
void ExpectIndexMatchesPlayableFiles(const RecorderRig& rig)
{
    const auto rows = rig.Rows();
    std::set<std::string> indexed;
    for (const SegmentRow& row : rows) {
        SCOPED_TRACE(row.file);
        indexed.insert(row.file);
        const fs::path file = rig.Recordings() / row.file;
        const recorder::SegmentFacts facts = recorder::ScanSegment(file.string());
        EXPECT_NE(row.state, "open");
        EXPECT_TRUE(facts.startsWithKeyFrame);
        EXPECT_EQ(row.frames, static_cast<int64_t>(facts.frames));
        EXPECT_EQ(row.bytes, facts.fileBytes);
        EXPECT_EQ(row.endUs - row.startUs, facts.durationUs);
        const Playback playback = Play(file);
        EXPECT_EQ(playback.errors, "");
        EXPECT_EQ(playback.decodedFrames, row.frames);
    }
    EXPECT_EQ(indexed, rig.Files());
}

TEST(RecorderPlugin, RecordsEveryFrameOnceInOrderInSegmentsThatPlaySeekAndExport)
{
    RecorderRig rig("segment_seconds=1\n");
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitForFrames(1, 110));
    ASSERT_TRUE(rig.Stop());
    EXPECT_TRUE(rig.core->Output().find("recorder: recorded ") != std::string::npos) << rig.core->Output();

    std::vector<std::string> recorded;
    const auto rows = rig.Rows();
    for (const SegmentRow& row : rows)
        for (const RecordedFrame& frame : ReadRecorded(rig.Recordings() / row.file))
            recorded.push_back(SliceHash(frame.nals));
    EXPECT_EQ(recorded, rig.SentHashes());
    ExpectIndexMatchesPlayableFiles(rig);
    ASSERT_GE(rows.size(), 4u);
    for (const SegmentRow& row : rows) {
        const fs::path file = rig.Recordings() / row.file;
        EXPECT_EQ(row.state, "closed") << row.file;
        EXPECT_NEAR(Play(file).duration, static_cast<double>(row.endUs - row.startUs) / 1e6, 0.05) << row.file;
        EXPECT_EQ(Shell("ffmpeg -v error -ss 0.5 -i " + file.string() + " -frames:v 3 -f null -"), "") << row.file;
    }

    // From the middle of the first segment to before the end of the third:
    // the export starts at the first segment's key frame.
    const fs::path exported = rig.install.root() / "export.mp4";
    int status = -1;
    const std::string output =
        Shell(std::string(DVR_RECORDINGS_TOOL) + " export -d " + rig.Recordings().string() + " -c 1 -f " +
                  std::to_string(static_cast<double>(rows[0].startUs + 500000) / 1e6) + " -t " +
                  std::to_string(static_cast<double>(rows[2].endUs - 200000) / 1e6) + " -o " + exported.string(),
              &status);
    ASSERT_EQ(status, 0) << output;
    const auto frames = ReadRecorded(exported);
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames.front().key);
    EXPECT_EQ(SliceHash(frames.front().nals), recorded.front());
    const auto expected = static_cast<size_t>(rows[0].frames + rows[1].frames + rows[2].frames - 5);
    EXPECT_NEAR(static_cast<double>(frames.size()), static_cast<double>(expected), 1.0);
    EXPECT_EQ(Play(exported).errors, "");
    const std::string listed =
        Shell(std::string(DVR_RECORDINGS_TOOL) + " list -d " + rig.Recordings().string() + " -c 1");
    for (const SegmentRow& row : rows)
        EXPECT_NE(listed.find(row.file), std::string::npos) << listed;
}

TEST(RecorderPlugin, ACameraRestartEndsTheSegmentAndTheNextStartsAtAKeyFrame)
{
    RecorderRig rig("segment_seconds=60\n");
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitForFrames(1, 40));
    ASSERT_EQ(rig.Request(DVR_CAMERA_DISABLE, "1"), "ok\n");
    ASSERT_TRUE(dvrtest::WaitUntil([&] {
        const auto events = CameraEvents(rig.Events(), 1);
        return !events.empty() && events.back().kind == "end";
    }));
    ASSERT_EQ(rig.Request(DVR_CAMERA_ENABLE, "1"), "ok\n");
    ASSERT_TRUE(rig.WaitForFrames(1, CameraEvents(rig.Events(), 1).size() + 30));
    ASSERT_TRUE(rig.Stop());
    const auto rows = rig.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].endedBy, "stream");
    EXPECT_GE(rows[1].gapBefore, 0);
    std::vector<std::string> recorded;
    for (const SegmentRow& row : rows)
        for (const RecordedFrame& frame : ReadRecorded(rig.Recordings() / row.file))
            recorded.push_back(SliceHash(frame.nals));
    EXPECT_EQ(recorded, rig.SentHashes()) << "the reconnection starts with a key frame: nothing is left out";
    ExpectIndexMatchesPlayableFiles(rig);
}

TEST(RecorderPlugin, AfterKillNineAtRandomMomentsEverySegmentPlaysAndTheIndexAgreesWithTheFiles)
{
    RecorderRig rig("segment_seconds=2\n");
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    size_t frames = 0;
    bool killedWithAFragment = false; // a kill found the open segment holding a complete fragment
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        dvrtest::SupervisorPeer supervisor;
        rig.core = dvrtest::StartCore(rig.install, &supervisor);
        ASSERT_TRUE(dvrtest::ConfigureCore(supervisor, *rig.core));
        frames += 20 + random() % 60;
        ASSERT_TRUE(rig.WaitForFrames(1, frames));
        if (round == 3) {
            supervisor.Send(IPC_KIND_STOP, 0);
            ASSERT_EQ(rig.core->WaitExit(), 0) << rig.core->Output();
            break;
        }
        rig.core->Signal(SIGKILL);
        rig.core->WaitExit();
        // Before any repair: the newest file plays up to its last complete fragment.
        const auto files = rig.Files();
        ASSERT_FALSE(files.empty());
        const recorder::SegmentFacts cut = recorder::ScanSegment((rig.Recordings() / *files.rbegin()).string());
        EXPECT_EQ(cut.frames > 0, cut.readable);
        killedWithAFragment |= cut.frames > 0;
        frames = rig.SentHashes().size();
    }
    ExpectIndexMatchesPlayableFiles(rig);
    size_t crashed = 0;
    for (const SegmentRow& row : rig.Rows())
        crashed += row.endedBy == "crash";
    // A kill inside a segment's first fragment leaves an empty file, which
    // the repair deletes; one that came later must be entered from its file.
    if (killedWithAFragment) {
        EXPECT_GE(crashed, 1u) << "a segment open at a kill is entered from its file";
    }
}

// The core refuses video while its memory is low and admits a camera again
// only at a key frame once the episode is over (a minute after the last
// over-limit sample: the ctest label "slow"). A plugin beside the recorder
// makes the core's process hold 200 MiB for one sample.
TEST(RecorderPluginSlow, AThrottlingEpisodeEndsTheSegmentAndTheNextStartsAtAKeyFrameWithTheGapIndexed)
{
    RecorderRig rig("segment_seconds=600\n");
    const fs::path go = rig.install.root() / "hog-go", lowSeen = rig.install.root() / "low-seen";
    rig.install.AddConfiguredPlugin("eventprobe", "hog",
                                    "id=0x00290000\nworker=steps\nstep=wait " + go.string() +
                                        "\nstep=hog 200\nstep=wait " + lowSeen.string() + "\nstep=free\n",
                                    rig.install.root() / "hog-journal");
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitForFrames(1, 30));
    dvrtest::WriteFile(go, "");
    ASSERT_TRUE(rig.core->WaitForOutput(kThrottling)) << rig.core->Output();
    dvrtest::WriteFile(lowSeen, "");
    ASSERT_TRUE(rig.core->WaitForOutput(kNotThrottling, dvrtest::Scaled(std::chrono::milliseconds{180000})))
        << rig.core->Output();
    ASSERT_TRUE(rig.WaitForFrames(1, CameraEvents(rig.Events(), 1).size() + 30));
    ASSERT_TRUE(rig.Stop());

    // The frames the core let through: one jump in their numbers, at a key frame.
    std::vector<MediaEvent> sent;
    for (const MediaEvent& event : CameraEvents(rig.Events(), 1))
        if (event.kind == "frame")
            sent.push_back(event);
    std::vector<size_t> jumps;
    for (size_t i = 1; i < sent.size(); ++i)
        if (sent[i].sequence != sent[i - 1].sequence + 1)
            jumps.push_back(i);
    ASSERT_EQ(jumps.size(), 1u);
    const size_t resumed = jumps[0];
    EXPECT_TRUE(sent[resumed].key);

    const auto rows = rig.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].endedBy, "gap");
    EXPECT_EQ(rows[0].frames, static_cast<int64_t>(resumed));
    EXPECT_EQ(rows[1].gapBefore, static_cast<int64_t>(sent[resumed].sequence - sent[resumed - 1].sequence - 1));
    EXPECT_GE(rows[1].startUs, rows[0].endUs);
    std::vector<std::string> recorded;
    for (const SegmentRow& row : rows)
        for (const RecordedFrame& frame : ReadRecorded(rig.Recordings() / row.file))
            recorded.push_back(SliceHash(frame.nals));
    EXPECT_EQ(recorded, rig.SentHashes());
    ExpectIndexMatchesPlayableFiles(rig);
}

} // namespace
