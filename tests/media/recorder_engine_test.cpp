// The recorder between the core's writer thread and the disk, driven with
// real H.264 frames, files under a quota the test controls and a fake clock:
// contiguous segments, gaps, a full or failing disk, a slow disk, retention.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "recorder.h"
#include "recorder_fixtures.h"
#include "segment_scan.h"
#include "support/process.h"

namespace {

using namespace recordertest;
using recorder::RecorderConfig;
using recorder::SegmentRow;

constexpr int64_t kStartUs = 1765300000000000; // a wall clock in whole milliseconds

class Rig {
public:
    explicit Rig(RecorderConfig settings, int64_t quota = int64_t{1} << 40) : files(quota)
    {
        settings.directory = (dir.path() / "recordings").string();
        config = settings;
    }
    ~Rig()
    {
        files.HoldWrites(false); // a test that failed while holding them
        Stop();
    }

    void Start()
    {
        recorder =
            std::make_unique<recorder::Recorder>(config, files,
                                                 recorder::RecorderHooks{[this](void*) { ++released; },
                                                                         [this](int32_t, const std::string& text) {
                                                                             std::lock_guard lock(mutex);
                                                                             lines.push_back(text);
                                                                         },
                                                                         [this] { return nowUs.load(); }});
        recorder->Start();
        ASSERT_TRUE(dvrtest::WaitUntil([&] { return recorder->ready(); }));
    }
    void Stop()
    {
        if (recorder)
            recorder->Stop();
    }
    // Waits until the writing thread wrote everything it was given.
    bool Drained(uint16_t camera = 1)
    {
        return dvrtest::WaitUntil([&] { return recorder->waitingBytes(camera) == 0; });
    }

    void Describe(uint16_t camera, uint16_t generation, uint32_t sequence)
    {
        DvrMediaStreamInfo info{};
        info.camera = camera;
        info.codec = DVR_MEDIA_CODEC_H264;
        info.sequence = sequence;
        info.streamGeneration = generation;
        info.width = clip.width;
        info.height = clip.height;
        info.timeBaseNum = clip.timeBaseNum;
        info.timeBaseDen = clip.timeBaseDen;
        recorder->Stream(info, clip.parameterSets.data(), static_cast<uint32_t>(clip.parameterSets.size()));
    }
    // Frame `index` of the clip, `loop` clip lengths later; true when kept.
    bool Send(uint16_t camera, size_t index, uint32_t sequence, uint16_t generation, int loop = 0, bool stamped = true)
    {
        const ClipFrame& f = clip.frames[index];
        const int64_t loopTicks = int64_t{loop} * static_cast<int64_t>(clip.frames.size()) * f.duration;
        DvrMediaFrameInfo info{};
        info.camera = camera;
        info.codec = DVR_MEDIA_CODEC_H264;
        info.sequence = sequence;
        info.streamGeneration = generation;
        info.keyFrame = f.key ? 1 : 0;
        info.timeBaseNum = clip.timeBaseNum;
        info.timeBaseDen = clip.timeBaseDen;
        info.pts = stamped ? f.pts + loopTicks : DVR_MEDIA_NO_TIMESTAMP;
        info.dts = stamped ? f.dts + loopTicks : DVR_MEDIA_NO_TIMESTAMP;
        info.duration = static_cast<uint32_t>(f.duration);
        info.wallClockUs = WallOf(index, loop);
        nowUs = std::max(nowUs.load(), info.wallClockUs);
        const bool kept =
            recorder->Frame(info, const_cast<uint8_t*>(f.data.data()), static_cast<uint32_t>(f.data.size()));
        kept_ += kept;
        return kept;
    }
    int64_t WallOf(size_t index, int loop = 0) const
    {
        const ClipFrame& f = clip.frames[index];
        return kStartUs +
               (static_cast<int64_t>(loop) * static_cast<int64_t>(clip.frames.size()) + f.pts / f.duration) * 40000;
    }
    std::vector<SegmentRow> Rows() const
    {
        recorder::RecordingIndex index;
        EXPECT_EQ(index.Open(config.directory, true), "");
        return index.All();
    }
    fs::path PathOf(const SegmentRow& row) const { return fs::path(config.directory) / row.file; }
    size_t Count(const std::string& text)
    {
        std::lock_guard lock(mutex);
        return static_cast<size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
    }
    int kept() const { return kept_; }

    dvrtest::TempDir dir;
    Clip clip = MakeClip(dir.path(), 4, 10); // a key frame every 0.4 s
    RecorderConfig config;
    QuotaFiles files;
    std::atomic<int64_t> nowUs{kStartUs};
    std::atomic<int> released{0};
    std::mutex mutex;
    std::vector<std::string> lines;
    std::unique_ptr<recorder::Recorder> recorder;

private:
    int kept_ = 0;
};

RecorderConfig Settings(int64_t segmentSeconds = 1)
{
    RecorderConfig config;
    config.segmentSeconds = segmentSeconds;
    config.limits.minFreeBytes = 0;
    config.syncFragments = false;
    return config;
}

// Every frame a camera's segments hold, in order, with its wall clock.
std::vector<std::pair<int64_t, std::vector<uint8_t>>> Recorded(const Rig& rig, uint32_t camera)
{
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> frames;
    for (const SegmentRow& row : rig.Rows()) {
        if (row.camera != camera)
            continue;
        const auto recorded = ReadRecorded(rig.PathOf(row));
        EXPECT_FALSE(recorded.empty()) << row.file;
        EXPECT_TRUE(!recorded.empty() && recorded.front().key) << row.file << " does not start with a key frame";
        for (const RecordedFrame& frame : recorded)
            frames.emplace_back(row.startUs + frame.dtsUs, frame.nals);
    }
    return frames;
}

TEST(RecorderEngine, EveryFrameLandsInExactlyOneSegmentInOrderAndTheIndexAgreesWithTheFiles)
{
    RecorderConfig config = Settings(1);
    config.syncFragments = true;
    Rig rig(config);
    rig.Start();
    for (uint16_t camera : {1, 2})
        rig.Describe(camera, 1, 0);
    for (size_t i = 0; i < rig.clip.frames.size(); ++i)
        for (uint16_t camera : {1, 2})
            ASSERT_TRUE(rig.Send(camera, i, static_cast<uint32_t>(i), 1));
    rig.Stop();
    EXPECT_EQ(rig.released.load(), rig.kept()) << "every kept block is given back once";

    for (uint32_t camera : {1u, 2u}) {
        const auto frames = Recorded(rig, camera);
        ASSERT_EQ(frames.size(), rig.clip.frames.size()) << "camera " << camera;
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].first, rig.WallOf(i)) << "frame " << i;
            EXPECT_EQ(frames[i].second, LengthPrefixed(rig.clip.frames[i].data)) << "frame " << i;
        }
    }
    const auto rows = rig.Rows();
    // Segments of at least 1 s cut at key frames 0.4 s apart: frames 0, 30, 60 and 90 start one.
    EXPECT_EQ(rows.size(), 8u);
    for (const SegmentRow& row : rows) {
        const recorder::SegmentFacts facts = recorder::ScanSegment(rig.PathOf(row).string());
        EXPECT_EQ(row.state, "closed");
        EXPECT_TRUE(facts.complete) << row.file;
        EXPECT_EQ(row.frames, static_cast<int64_t>(facts.frames)) << row.file;
        EXPECT_EQ(row.endUs - row.startUs, facts.durationUs) << row.file;
        EXPECT_EQ(row.bytes, facts.fileBytes) << row.file;
        EXPECT_EQ(row.gapBefore, 0) << row.file;
        EXPECT_EQ(Play(rig.PathOf(row)).errors, "") << row.file;
    }
}

TEST(RecorderEngine, FramesWithoutTimestampsFollowTheirPredecessors)
{
    // An RTSP stream's first frame often comes without timestamps.
    Rig rig(Settings(60));
    rig.Start();
    rig.Describe(1, 1, 0);
    for (uint32_t i = 0; i < 100; ++i)
        rig.Send(1, i, i, 1, 0, i != 0 && i != 50);
    rig.Stop();
    const auto rows = rig.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].endUs - rows[0].startUs, 4000000);
    const auto recorded = ReadRecorded(rig.PathOf(rows[0]));
    ASSERT_EQ(recorded.size(), 100u);
    for (size_t i = 0; i < recorded.size(); ++i)
        EXPECT_EQ(recorded[i].dtsUs, static_cast<int64_t>(i) * 40000) << "frame " << i;
}

TEST(RecorderEngine, AGapEndsTheSegmentTheNextStartsAtAKeyFrameAndTheGapIsIndexed)
{
    struct Case {
        const char* story;
        bool restart; // a new connection (new description) instead of refused frames
    };
    for (const Case& c : {Case{"refused frames", false}, Case{"camera restart", true}}) {
        SCOPED_TRACE(c.story);
        Rig rig(Settings(60));
        rig.Start();
        rig.Describe(1, 1, 0);
        for (uint32_t i = 0; i < 25; ++i) // frames 0..24; 25..31 never arrive
            rig.Send(1, i, i, 1);
        if (c.restart)
            rig.Describe(1, 2, 32);
        for (uint32_t i = 32; i < 60; ++i) // resumes mid-group: the key frames are 30, 40, 50
            rig.Send(1, i, i, c.restart ? 2 : 1);
        rig.Stop();
        const auto rows = rig.Rows();
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].frames, 25);
        EXPECT_EQ(rows[0].endedBy, c.restart ? "stream" : "gap");
        EXPECT_EQ(rows[1].frames, 20) << "the second segment starts at frame 40";
        EXPECT_EQ(rows[1].gapBefore, 15) << "7 frames never arrived and 8 waited for the key frame";
        EXPECT_EQ(rows[1].startUs, rig.WallOf(40));
        EXPECT_EQ(ReadRecorded(rig.PathOf(rows[1])).front().nals, LengthPrefixed(rig.clip.frames[40].data));
    }
}

TEST(RecorderEngine, RetentionDeletesTheOldestClosedSegmentsAndNeverTheOpenOne)
{
    RecorderConfig config = Settings(1);
    config.limits.maxBytes = 1; // nothing closed may stay
    Rig rig(config);
    rig.Start();
    rig.Describe(1, 1, 0);
    for (uint32_t i = 0; i < 100; ++i)
        rig.Send(1, i, i, 1);
    ASSERT_TRUE(rig.Drained());
    const auto rows = rig.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, "open");
    EXPECT_TRUE(fs::exists(rig.PathOf(rows[0])));
    EXPECT_EQ(rows[0].startUs, rig.WallOf(90)) << "the newest segment is the one kept";
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(rig.config.directory))
        files += entry.path().extension() == ".mp4";
    EXPECT_EQ(files, 1u);
}

TEST(RecorderEngine, SegmentsPastTheAgeLimitGoAtTheNextStart)
{
    RecorderConfig config = Settings(1);
    config.limits.maxAgeUs = 3600000000LL;
    Rig rig(config);
    rig.Start();
    rig.Describe(1, 1, 0);
    for (uint32_t i = 0; i < 100; ++i)
        rig.Send(1, i, i, 1);
    rig.Stop();
    ASSERT_EQ(rig.Rows().size(), 4u);
    rig.nowUs = rig.WallOf(35) + 3600000000LL; // the first segment (frames 0..29) is now older than an hour
    rig.Start();
    rig.Stop();
    const auto rows = rig.Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].startUs, rig.WallOf(30));
}

TEST(RecorderEngine, AFullOrFailingDiskGetsOneLinePerEpisodeKeepsTheNewestAndResumes)
{
    struct Case {
        const char* story;
        int error;
    };
    for (const Case& c : {Case{"full", ENOSPC}, Case{"failing", EIO}}) {
        SCOPED_TRACE(c.story);
        Rig rig(Settings(1));
        rig.Start();
        rig.Describe(1, 1, 0);
        uint32_t sequence = 0;
        for (int loop = 0; loop < 2; ++loop)
            for (size_t i = 0; i < 100; ++i)
                rig.Send(1, i, sequence++, 1, loop);
        ASSERT_TRUE(rig.Drained());
        // The disk fills up (or fails) while the third clip length is recorded.
        if (c.error == ENOSPC)
            rig.files.SetQuota(rig.files.used() + 60000);
        else
            rig.files.FailWrites(EIO);
        for (size_t i = 0; i < 100; ++i)
            rig.Send(1, i, sequence++, 1, 2);
        ASSERT_TRUE(rig.Drained());
        EXPECT_GE(rig.Count("cannot write to"), 1u);
        if (c.error == EIO)
            rig.files.FailWrites(0); // the disk comes back
        for (int loop = 3; loop < 5; ++loop)
            for (size_t i = 0; i < 100; ++i)
                rig.Send(1, i, sequence++, 1, loop);
        rig.Stop();
        // One line when an episode begins, one when it ends.
        EXPECT_EQ(rig.Count("cannot write to"), rig.Count("recording resumed"));
        if (c.error == EIO) {
            EXPECT_EQ(rig.Count("cannot write to"), 1u);
        }
        EXPECT_EQ(rig.released.load(), rig.kept());
        const auto rows = rig.Rows();
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.back().endUs, rig.WallOf(99, 4) + 40000) << "the newest video is kept";
        if (c.error == ENOSPC) {
            EXPECT_GT(rows.front().startUs, kStartUs) << "the oldest made room";
        }
        for (const SegmentRow& row : rows) {
            EXPECT_TRUE(fs::exists(rig.PathOf(row))) << row.file;
            EXPECT_EQ(Play(rig.PathOf(row)).errors, "") << row.file;
        }
    }
}

TEST(RecorderEngine, ASlowDiskCapsTheWaitingBytesAndDropsFramesUntilTheNextKeyFrame)
{
    RecorderConfig config = Settings(60);
    Rig rig(config);
    config.cameraQueueBytes = static_cast<int64_t>(rig.clip.frames[0].data.size() * 2);
    rig.config.cameraQueueBytes = config.cameraQueueBytes;
    rig.Start();
    rig.Describe(1, 1, 0);
    rig.files.HoldWrites(true);
    uint32_t firstDropped = 0;
    for (uint32_t i = 0; i < 25 && !firstDropped; ++i) {
        if (!rig.Send(1, i, i, 1))
            firstDropped = i;
        EXPECT_LE(rig.recorder->waitingBytes(1), config.cameraQueueBytes);
    }
    ASSERT_GT(firstDropped, 0u) << "the cap was never reached";
    for (uint32_t i = firstDropped + 1; i < 50; ++i) {
        const bool kept = rig.Send(1, i, i, 1);
        if (i < 30) { // nothing of the disk is done: the waiting bytes stay at the cap
            EXPECT_FALSE(kept) << "frame " << i;
        }
    }
    EXPECT_EQ(rig.Count("disk too slow"), 1u);
    rig.files.HoldWrites(false);
    ASSERT_TRUE(rig.Drained());
    // The disk keeps up again: from the next key frame on, every frame is kept.
    for (uint32_t i = 50; i < 100; ++i) {
        EXPECT_TRUE(rig.Send(1, i, i, 1)) << "frame " << i;
        ASSERT_TRUE(rig.Drained());
    }
    rig.Stop();
    EXPECT_EQ(rig.Count("recording again after dropping"), 1u);
    const auto dropped = rig.recorder->counters().framesDropped;
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(rig.released.load(), rig.kept());
    // The frames dropped are a gap in the index before the segment that follows them.
    const auto rows = rig.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].frames, firstDropped);
    EXPECT_EQ(rows[1].gapBefore, static_cast<int64_t>(dropped));
    EXPECT_EQ(rows[0].frames + rows[1].frames + rows[1].gapBefore, 100);
}

} // namespace
