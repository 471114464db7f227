// The camera plugin (ingest.so) through the real core: real H.264 from files
// and live RTSP cameras arrives at a receiver as the media events it
// promises, cameras stay apart, come back after a loss, and are managed with
// the cameras file and supervisor packets.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "dvrcamera.h"
#include "dvrmedia.h"
#include "media_fixtures.h"

namespace {

using namespace dvrtest;
using namespace dvrtest::media;

constexpr int kGop = 10;
constexpr uint32_t kCameraSystemID = DVR_CAMERA_SYSTEM_ID;

// A clip made once per test in its own directory.
struct Clip {
    explicit Clip(int seconds = 1, const std::string& codec = "h264", const std::string& extension = ".mp4")
    {
        path = dir.path() / ("clip" + extension);
        MakeTestClip(path, seconds, kGop, codec);
        packets = ProbePackets(path);
    }
    TempDir dir;
    fs::path path;
    std::vector<ProbedPacket> packets;
};

// Checks one camera's events: a description first and before every new
// generation, frames numbered without gaps from the description's sequence,
// the first frame after each description a key frame, the source ID the
// camera's own, every frame in Annex B form.
void ExpectWellFormed(const std::vector<MediaEvent>& events, unsigned camera)
{
    const uint32_t source = DVR_MEDIA_SOURCE_ID(kCameraSystemID, camera);
    const MediaEvent* description = nullptr;
    unsigned expected = 0;
    bool first = true;
    for (const MediaEvent& event : CameraEvents(events, camera)) {
        ASSERT_EQ(event.provider, source) << event.kind << " " << event.sequence;
        if (event.kind == "stream") {
            description = &event;
            expected = event.sequence;
            first = true;
        } else if (event.kind == "frame") {
            ASSERT_NE(description, nullptr) << "a frame before any description";
            ASSERT_EQ(event.generation, description->generation);
            ASSERT_EQ(event.sequence, expected) << "gap or reordering in camera " << camera;
            ASSERT_TRUE(!first || event.key) << "the first frame after a description is dependent";
            ASSERT_TRUE(event.annexB) << "frame " << event.sequence;
            ++expected;
            first = false;
        }
    }
}

TEST(FileCamera, LoopingFileArrivesWhole_InOrder_WithItsTimestampsAndKeyFrames)
{
    Clip clip;
    ASSERT_EQ(clip.packets.size(), 25u);
    CameraRig rig;
    rig.WriteCameras("# a file standing in for a live camera\n3 yard " + clip.path.string() + " loop=yes\n");
    ASSERT_TRUE(rig.Start());
    // Two and a half passes of the clip.
    ASSERT_TRUE(rig.WaitForFrames(3, 63)) << rig.core->Output();
    EXPECT_TRUE(rig.core->WaitForOutput("camera yard: connected, h264 320x240 25 fps"));
    ASSERT_TRUE(rig.Stop());

    const auto events = rig.Events();
    ExpectWellFormed(events, 3);
    const auto camera = CameraEvents(events, 3);
    ASSERT_EQ(camera.front().kind, "stream");
    EXPECT_EQ(camera.front().name, "yard");
    EXPECT_EQ(camera.front().codec, DVR_MEDIA_CODEC_H264);
    EXPECT_EQ(camera.front().width, 320u);
    EXPECT_EQ(camera.front().height, 240u);
    EXPECT_GT(camera.front().parameterSetBytes, 8u) << "no SPS/PPS in the description";
    // Pass after pass the same pictures, key frames where the file has them,
    // timestamps going on across the seams.
    std::map<size_t, std::string> hashes;
    size_t index = 0;
    for (const MediaEvent& frame : camera) {
        if (frame.kind != "frame")
            continue;
        const size_t pass = index / clip.packets.size(), at = index % clip.packets.size();
        const ProbedPacket& source = clip.packets[at];
        EXPECT_EQ(frame.key, source.key) << "frame " << index;
        EXPECT_NEAR(frame.Seconds(frame.pts), source.pts + pass * 1.0, 1e-3) << "frame " << index;
        EXPECT_NEAR(frame.Seconds(frame.dts), source.dts + pass * 1.0, 1e-3) << "frame " << index;
        if (pass == 0)
            hashes[at] = frame.hash;
        else
            EXPECT_EQ(frame.hash, hashes[at]) << "frame " << index;
        ++index;
    }
    EXPECT_EQ(std::count_if(camera.begin(), camera.end(), [](auto& e) { return e.kind == "stream"; }), 1)
        << "a loop is not a new stream";
}

} // namespace
