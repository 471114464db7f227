// The index and the rules around it: rebuilt from the files after a crash,
// retention choosing what to delete, and the settings file.
#include <gtest/gtest.h>

#include <fstream>

#include "recorder_config.h"
#include "recorder_fixtures.h"
#include "recording_index.h"
#include "retention.h"
#include "segment_writer.h"
#include "support/process.h"

namespace {

using namespace recordertest;
using recorder::SegmentRow;

constexpr int64_t kStartUs = 1765300000000000;

class IndexRebuild : public ::testing::Test {
protected:
    // A segment of the clip's first `frames` frames; without a trailer when `cut`.
    std::string Record(uint32_t camera, int64_t startUs, size_t frames, bool cut)
    {
        const std::string relative = recorder::SegmentFileName(camera, startUs, 0);
        fs::create_directories((root / relative).parent_path());
        recorder::SegmentWriter writer(recorder::RealFiles());
        EXPECT_EQ(writer.Open((root / relative).string(),
                              {1, clip.width, clip.height, clip.timeBaseNum, clip.timeBaseDen, clip.parameterSets}),
                  0);
        for (size_t i = 0; i < frames; ++i) {
            const ClipFrame& f = clip.frames[i];
            writer.Write(f.data.data(), f.data.size(), f.key, f.pts, f.dts, f.duration);
        }
        if (cut) {
            writer.Abandon();
            std::ofstream((root / relative).string(), std::ios::app) << "half a fragment";
        } else {
            EXPECT_EQ(writer.Close(), 0);
        }
        return relative;
    }

    dvrtest::TempDir dir;
    fs::path root = dir.path() / "recordings";
    Clip clip = MakeClip(dir.path(), 4, 25);
};

TEST_F(IndexRebuild, FilesTheIndexLacksOrLeftOpenAreEnteredAndRowsWithoutFilesGo)
{
    fs::create_directories(root);
    recorder::RecordingIndex index;
    ASSERT_EQ(index.Open(root.string()), "");
    // Known and closed; known but left open by a crash; unknown and whole;
    // unknown and cut; known but its file is gone; a file that is no segment.
    SegmentRow closed{0, 1, Record(1, kStartUs, 50, false), kStartUs, kStartUs + 2000000, 0, 50, 0, "closed", "length"};
    SegmentRow open{0,      1, Record(1, kStartUs + 2000000, 80, true), kStartUs + 2000000, kStartUs + 2000000, 0, 0, 0,
                    "open", ""};
    const std::string unknownWhole = Record(2, kStartUs, 100, false);
    const std::string unknownCut = Record(3, kStartUs, 100, true);
    SegmentRow gone{0, 4, "camera-4/20251209-170640.000.mp4", kStartUs, kStartUs + 1000000, 1, 25, 0, "closed", ""};
    std::ofstream((root / "notes.txt").string()) << "not a segment";
    closed.bytes = static_cast<int64_t>(fs::file_size(root / closed.file));
    for (SegmentRow* row : {&closed, &open, &gone})
        ASSERT_TRUE(index.Insert(*row));

    EXPECT_EQ(index.Rebuild(recorder::RealFiles()), 4) << "one updated, two entered, one removed";
    std::map<std::string, SegmentRow> rows;
    for (const SegmentRow& row : index.All())
        rows[row.file] = row;
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows.count(gone.file), 0u);
    struct Expected {
        std::string file;
        const char* state;
        int64_t frames, durationUs;
    };
    // A cut file keeps its complete fragments: three seconds of four, or one of two.
    for (const Expected& e :
         {Expected{closed.file, "closed", 50, 2000000}, Expected{open.file, "cut", 75, 3000000},
          Expected{unknownWhole, "closed", 100, 4000000}, Expected{unknownCut, "cut", 75, 3000000}}) {
        SCOPED_TRACE(e.file);
        const SegmentRow& row = rows[e.file];
        EXPECT_EQ(row.state, e.state);
        EXPECT_EQ(row.frames, e.frames);
        EXPECT_EQ(row.endUs - row.startUs, e.durationUs);
        EXPECT_EQ(row.bytes, static_cast<int64_t>(fs::file_size(root / e.file)));
        EXPECT_EQ(Play(root / e.file).errors, "");
    }
    EXPECT_EQ(rows[unknownCut].camera, 3u);
    EXPECT_EQ(rows[unknownCut].startUs, kStartUs);
    EXPECT_EQ(index.Rebuild(recorder::RealFiles()), 0) << "a second rebuild finds nothing to do";
}

TEST(IndexQueries, FindReturnsTheSegmentsOfACameraOverlappingARange)
{
    dvrtest::TempDir dir;
    recorder::RecordingIndex index;
    ASSERT_EQ(index.Open(dir.path().string()), "");
    for (uint32_t camera : {1u, 2u})
        for (int64_t second = 0; second < 30; second += 10) {
            SegmentRow row{0,
                           camera,
                           recorder::SegmentFileName(camera, kStartUs + second * 1000000, 0),
                           kStartUs + second * 1000000,
                           kStartUs + (second + 10) * 1000000,
                           1,
                           1,
                           0,
                           "closed",
                           ""};
            ASSERT_TRUE(index.Insert(row));
        }
    auto starts = [&](uint32_t camera, int64_t from, int64_t to) {
        std::vector<int64_t> seconds;
        for (const SegmentRow& row : index.Find(camera, kStartUs + from * 1000000, kStartUs + to * 1000000))
            seconds.push_back((row.startUs - kStartUs) / 1000000);
        return seconds;
    };
    EXPECT_EQ(starts(1, 5, 15), (std::vector<int64_t>{0, 10}));
    EXPECT_EQ(starts(1, 10, 20), (std::vector<int64_t>{10})) << "ranges are half-open";
    EXPECT_EQ(starts(2, 25, 100), (std::vector<int64_t>{20}));
    EXPECT_EQ(starts(0, 0, 10).size(), 2u) << "camera 0 means every camera";
    EXPECT_TRUE(starts(1, 40, 50).empty());
}

TEST(SegmentFileNames, CarryTheCameraAndTheStartToTheMillisecond)
{
    EXPECT_EQ(recorder::SegmentFileName(7, kStartUs + 123456, 0), "camera-7/20251209-170640.123.mp4");
    EXPECT_EQ(recorder::SegmentFileName(7, kStartUs, 2), "camera-7/20251209-170640.000-2.mp4");
    const auto parsed = recorder::ParseSegmentFileName("camera-7/20251209-170640.123-2.mp4");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->first, 7u);
    EXPECT_EQ(parsed->second, kStartUs + 123000);
    for (const char* bad : {"camera-0/20251209-170640.123.mp4", "camera-70000/20251209-170640.123.mp4",
                            "camera-7/20251209-170640.mp4", "camera-7/x.mp4", "index.sqlite"})
        EXPECT_FALSE(recorder::ParseSegmentFileName(bad)) << bad;
}

TEST(Retention, ChoosesTheOldestClosedSegmentsFirstAndNeverAnOpenOne)
{
    // Camera 1: four segments of 100 bytes, the newest open; camera 2: two of 300.
    auto segment = [](int64_t id, uint32_t camera, int64_t startS, int64_t bytes, const char* state) {
        return SegmentRow{id, camera, "", startS * 1000000, (startS + 10) * 1000000, bytes, 1, 0, state, ""};
    };
    const std::vector<SegmentRow> rows{segment(1, 1, 0, 100, "closed"),  segment(2, 2, 5, 300, "cut"),
                                       segment(3, 1, 10, 100, "closed"), segment(4, 2, 15, 300, "closed"),
                                       segment(5, 1, 20, 100, "closed"), segment(6, 1, 30, 100, "open")};
    struct Case {
        const char* story;
        recorder::RetentionLimits limits;
        int64_t nowS, freeBytes;
        std::vector<int64_t> expected;
    };
    const Case cases[] = {
        {"within every limit", {1000, 1000, 0, 0}, 40, -1, {}},
        {"total bytes", {600, 0, 0, 0}, 40, -1, {1, 2}},
        {"bytes of one camera", {0, 300, 0, 0}, 40, -1, {1, 2}},
        {"age", {0, 0, 25000000, 0}, 40, -1, {1}},
        {"free space floor", {0, 0, 0, 500}, 40, 150, {1, 2}},
        {"unknown free space", {0, 0, 0, 500}, 40, -1, {}},
        {"the open one stays", {1, 1, 1, 1 << 30}, 1000, 0, {1, 2, 3, 4, 5}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(recorder::ChooseDeletions(rows, c.limits, c.nowS * 1000000, c.freeBytes), c.expected) << c.story;
}

TEST(RecorderConfig, ReadsEverySettingAndReportsBadLinesKeepingTheirDefaults)
{
    recorder::RecorderConfig config;
    const auto problems = recorder::ParseConfig("# recorder\n"
                                                "directory = /var/video\n"
                                                "segment_seconds=10\n"
                                                "max_bytes=2G\n"
                                                "max_camera_bytes=300M   # each\n"
                                                "max_age=7d\n"
                                                "min_free_bytes=512K\n"
                                                "camera_queue_bytes=4M\n"
                                                "sync_fragments=0\n"
                                                "segment_seconds=0\n"
                                                "max_age=3w\n"
                                                "colour=blue\n"
                                                "max_bytes\n",
                                                config);
    EXPECT_EQ(config.directory, "/var/video");
    EXPECT_EQ(config.segmentSeconds, 10);
    EXPECT_EQ(config.limits.maxBytes, int64_t{2} << 30);
    EXPECT_EQ(config.limits.maxCameraBytes, int64_t{300} << 20);
    EXPECT_EQ(config.limits.maxAgeUs, int64_t{7} * 86400 * 1000000);
    EXPECT_EQ(config.limits.minFreeBytes, 512 << 10);
    EXPECT_EQ(config.cameraQueueBytes, 4 << 20);
    EXPECT_FALSE(config.syncFragments);
    EXPECT_EQ(problems, (std::vector<std::string>{
                            "line 10: bad value for segment_seconds: \"0\"", "line 11: bad value for max_age: \"3w\"",
                            "line 12: unknown setting \"colour\"", "line 13: bad value for max_bytes: \"\""}));
}

} // namespace
