// The camera plugin (ingest.so) through the real core: real H.264 from files
// and live RTSP cameras arrives at a receiver as the media events it
// promises, cameras stay apart, come back after a loss, and are managed with
// the cameras file and supervisor packets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

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
// camera's own, every frame in Annex B form and with its timestamps.
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
            ASSERT_NE(event.pts, DVR_MEDIA_NO_TIMESTAMP) << "frame " << event.sequence;
            ASSERT_NE(event.dts, DVR_MEDIA_NO_TIMESTAMP) << "frame " << event.sequence;
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

TEST(FileCamera, ParametersChangingInBandAreDescribedBeforeTheirKeyFrame)
{
    TempDir dir;
    MakeTestClip(dir.path() / "large.ts", 1, kGop, "h264", "320x240");
    MakeTestClip(dir.path() / "small.ts", 1, kGop, "h264", "160x120");
    JoinClips(dir.path() / "joined.ts", {dir.path() / "large.ts", dir.path() / "small.ts"});
    CameraRig rig;
    rig.WriteCameras("1 resized " + (dir.path() / "joined.ts").string() + " pace=no\n");
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(rig.WaitForFrames(1, 50)) << rig.core->Output();
    ASSERT_TRUE(rig.Stop());

    const auto events = CameraEvents(rig.Events(), 1);
    ExpectWellFormed(events, 1);
    ASSERT_GE(events.size(), 53u);
    EXPECT_EQ(events[0].kind, "stream");
    EXPECT_EQ(events[0].width, 320u);
    EXPECT_EQ(events[26].kind, "stream") << "no new description where the size changes";
    EXPECT_EQ(events[26].generation, 2u);
    EXPECT_EQ(events[26].sequence, 25u);
    EXPECT_EQ(events[26].width, 160u);
    EXPECT_EQ(events[26].height, 120u);
    EXPECT_GT(events[26].parameterSetBytes, 8u);
    EXPECT_TRUE(events[27].key);
    EXPECT_EQ(events[27].sequence, 25u);
}

size_t CountKind(const std::vector<MediaEvent>& events, const std::string& kind, unsigned generation)
{
    return std::count_if(events.begin(), events.end(),
                         [&](const MediaEvent& e) { return e.kind == kind && e.generation == generation; });
}

// The first generation of one camera's frames (its first connection).
std::vector<MediaEvent> FirstConnection(const std::vector<MediaEvent>& events, unsigned camera)
{
    std::vector<MediaEvent> frames;
    for (const MediaEvent& event : CameraEvents(events, camera))
        if (event.kind == "frame" && event.generation == 1)
            frames.push_back(event);
    return frames;
}

// What a receiver gets of a clip: all of it (TCP); all of it but for what
// the network loses (UDP); or what is sent from some key frame on while the
// source repeats the clip (plain RTP, which the camera joins late).
enum class Delivery { Whole, Lossy, Joined };

// A live source of one clip, and how the camera reaches it.
struct Source {
    std::string name;
    std::string codec, extension;
    // Starts serving `clip` (what serves it goes into `keep`) and returns the
    // camera's URL and options.
    std::function<std::string(const Clip& clip, std::vector<std::shared_ptr<void>>& keep)> serve;
    Delivery delivery;
};

std::string ServeRtsp(const Clip& clip, const std::string& mount, const std::string& options,
                      std::vector<std::shared_ptr<void>>& keep)
{
    const bool h265 = mount == "/clip265";
    auto server = std::make_unique<RtspTestServer>(h265 ? fs::path() : clip.path, h265 ? clip.path : fs::path());
    EXPECT_TRUE(server->Start());
    const std::string url = server->Url(mount) + " " + options;
    keep.push_back(std::move(server));
    return url;
}

void PrintTo(const Source& source, std::ostream* out)
{
    *out << source.name;
}

class LiveSource : public ::testing::TestWithParam<Source> {};

// The camera of the source against a camera reading the clip's file: the
// same pictures in the same order, key frames where ffprobe finds them in
// the file, timestamps spaced as the file's.
TEST_P(LiveSource, DeliversTheClipsFramesOnceInOrderWithKeyFramesAndTimestamps)
{
    const Source& source = GetParam();
    Clip clip(1, source.codec, source.extension);
    ASSERT_EQ(clip.packets.size(), 25u);
    std::vector<std::shared_ptr<void>> keep;
    const std::string url = source.serve(clip, keep);
    CameraRig rig;
    rig.WriteCameras("1 file " + clip.path.string() + "\n2 live " + url + "\n");
    ASSERT_TRUE(rig.Start());
    // A source that plays the clip once: until its stream ended; one that
    // repeats it: a clip's worth.
    ASSERT_TRUE(WaitUntil([&] {
        const auto events = rig.Events();
        const auto camera = CameraEvents(events, 2);
        const bool ended = std::any_of(camera.begin(), camera.end(), [](auto& e) { return e.kind == "end"; });
        return FirstConnection(events, 1).size() == 25 &&
               (source.delivery == Delivery::Joined ? FirstConnection(events, 2).size() >= 25 : ended);
    })) << rig.core->Output();
    ASSERT_TRUE(rig.Stop());

    const auto events = rig.Events();
    ExpectWellFormed(events, 1);
    ExpectWellFormed(events, 2);
    const auto reference = FirstConnection(events, 1), live = FirstConnection(events, 2);
    ASSERT_FALSE(live.empty());
    // Walk the live frames through the clip: each is the clip's next picture.
    // A lossy transport may lose pictures (skipped) or damage them (no match).
    size_t at = 0, matched = 0, skipped = 0, damaged = 0;
    while (at < reference.size() && reference[at].hash != live.front().hash)
        ++at;
    ASSERT_LT(at, reference.size()) << "the live camera's first picture is not in the clip";
    if (source.delivery != Delivery::Joined) {
        EXPECT_EQ(at, 0u) << "the clip's first frames are missing";
    }
    for (const MediaEvent& frame : live) {
        size_t step = 0;
        while (step < reference.size() && reference[(at + step) % reference.size()].hash != frame.hash)
            ++step;
        if (step == reference.size()) {
            ++damaged;
            ++at;
            continue;
        }
        skipped += step;
        at = (at + step) % reference.size();
        EXPECT_EQ(frame.key, clip.packets[at].key) << "frame " << frame.sequence;
        if (source.delivery != Delivery::Joined) {
            EXPECT_NEAR(frame.Seconds(frame.pts) - live[0].Seconds(live[0].pts),
                        clip.packets[at].pts - clip.packets[0].pts, 1e-3)
                << "frame " << frame.sequence;
            EXPECT_NEAR(frame.Seconds(frame.dts) - live[0].Seconds(live[0].dts),
                        clip.packets[at].dts - clip.packets[0].dts, 1e-3)
                << "frame " << frame.sequence;
        }
        ++matched;
        ++at;
    }
    if (source.delivery == Delivery::Whole) {
        EXPECT_EQ(live.size(), clip.packets.size()) << "frames lost or doubled";
        EXPECT_EQ(skipped + damaged, 0u);
    } else {
        EXPECT_GE(matched * 10, live.size() * 8) << "too many damaged frames: " << damaged << " of " << live.size();
    }
    const auto stream = CameraEvents(events, 2).front();
    EXPECT_EQ(stream.codec, source.codec == "h265" ? DVR_MEDIA_CODEC_H265 : DVR_MEDIA_CODEC_H264);
    EXPECT_EQ(stream.width, 320u);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, LiveSource,
    ::testing::Values(
        Source{"RtspOverTcp", "h264", ".mp4",
               [](const Clip& clip, auto& keep) { return ServeRtsp(clip, "/clip", "transport=tcp", keep); },
               Delivery::Whole},
        Source{"RtspOverUdp", "h264", ".mp4",
               [](const Clip& clip, auto& keep) { return ServeRtsp(clip, "/clip", "transport=udp", keep); },
               Delivery::Lossy},
        Source{"RtspH265", "h265", ".mp4",
               [](const Clip& clip, auto& keep) { return ServeRtsp(clip, "/clip265", "", keep); }, Delivery::Whole},
        Source{"HttpTransportStream", "h264", ".ts",
               [](const Clip& clip, auto& keep) {
                   auto server = std::make_unique<HttpFileServer>(clip.dir.path());
                   EXPECT_TRUE(server->Start());
                   const std::string url = server->Url(clip.path.filename().string());
                   keep.push_back(std::move(server));
                   return url;
               },
               Delivery::Whole},
        Source{"PlainRtp", "h264", ".mp4",
               [](const Clip& clip, auto& keep) {
                   const fs::path sdp = clip.dir.path() / "stream.sdp";
                   auto sender = std::make_unique<RtpSender>(clip.path, sdp);
                   EXPECT_TRUE(sender->Start());
                   keep.push_back(std::move(sender));
                   return sdp.string();
               },
               Delivery::Joined}),
    [](const ::testing::TestParamInfo<Source>& info) { return info.param.name; });

// A camera whose pictures come out of order (B-frames): its frames keep the
// clip's presentation times, and their decode times rise as the file's do.
TEST(RtspCamera, BFramesKeepTheClipsPresentationAndDecodeTimes)
{
    TempDir dir;
    const fs::path path = dir.path() / "bframes.mp4";
    ProcessOptions options;
    options.args = {"-nostdin", "-v",       "error",   "-f",         "lavfi", "-i", "testsrc2=size=320x240:rate=25",
                    "-t",       "1",        "-c:v",    "libx264",    "-bf",   "2",  "-g",
                    "25",       "-pix_fmt", "yuv420p", path.string()};
    ASSERT_EQ(Process::Start("/usr/bin/ffmpeg", options)->WaitExit().value_or(-1), 0);
    const auto packets = ProbePackets(path);
    RtspTestServer server(path);
    ASSERT_TRUE(server.Start());
    CameraRig rig;
    rig.WriteCameras("1 door " + server.Url("/clip") + "\n");
    ASSERT_TRUE(rig.Start());
    ASSERT_TRUE(WaitUntil([&] {
        const auto events = CameraEvents(rig.Events(), 1);
        return std::any_of(events.begin(), events.end(), [](auto& e) { return e.kind == "end"; });
    })) << rig.core->Output();
    ASSERT_TRUE(rig.Stop());
    const auto frames = FirstConnection(rig.Events(), 1);
    ASSERT_EQ(frames.size(), packets.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const double origin = frames[0].Seconds(frames[0].dts);
        EXPECT_NEAR(frames[i].Seconds(frames[i].pts) - origin, packets[i].pts - packets[0].dts, 1e-3) << i;
        EXPECT_NEAR(frames[i].Seconds(frames[i].dts) - origin, packets[i].dts - packets[0].dts, 1e-3) << i;
    }
}

// The value of `key` in a status line ("... refused=1 ..."), or "".
std::string Field(const std::string& line, const std::string& key)
{
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    const size_t start = at + key.size() + 2;
    return line.substr(start, line.find_first_of(" \n", start) - start);
}

std::vector<unsigned> Sequences(const std::vector<MediaEvent>& frames)
{
    std::vector<unsigned> sequences;
    for (const MediaEvent& frame : frames)
        sequences.push_back(frame.sequence);
    return sequences;
}

TEST(Cameras, EachIsASourceOfItsOwnForTheAdmissionGate)
{
    // Camera 1 has 800 frames from key frame to key frame and reads them as
    // fast as the file gives them: the core refuses its 767th dependent frame
    // (expired), and the camera then sends nothing until its next key frame.
    // Camera 2 raises nothing but key frames at the same time: were the two
    // one source, those would keep camera 1 admitted.
    TempDir dir;
    MakeTestClip(dir.path() / "long.mp4", 40, 800, "h264", "160x120");
    MakeTestClip(dir.path() / "keys.mp4", 40, 1, "h264", "160x120");
    CameraRig rig;
    rig.WriteCameras("1 long " + (dir.path() / "long.mp4").string() + " pace=no\n2 keys " +
                     (dir.path() / "keys.mp4").string() + " pace=no\n");
    ASSERT_TRUE(rig.Start());
    // Both files read to their ends.
    ASSERT_TRUE(WaitUntil([&] {
        const auto events = rig.Events();
        for (unsigned camera : {1u, 2u})
            if (FirstConnection(events, camera).empty() || FirstConnection(events, camera).back().sequence != 999)
                return false;
        return true;
    })) << rig.core->Output();
    const std::string status = rig.Request(DVR_CAMERA_STATUS, "long");
    ASSERT_TRUE(rig.Stop());

    std::vector<unsigned> expected;
    for (unsigned sequence = 0; sequence < 1000; ++sequence)
        if (sequence < 767 || sequence >= 800)
            expected.push_back(sequence);
    EXPECT_EQ(Sequences(FirstConnection(rig.Events(), 1)), expected);
    EXPECT_EQ(FirstConnection(rig.Events(), 2).size(), 1000u) << "camera 2 lost frames";
    ExpectWellFormed(rig.Events(), 2);
    // Each pass of the file: one refusal, then 32 frames left out.
    ASSERT_EQ(status.rfind("ok\n1 long ", 0), 0u) << status;
    const int refused = std::stoi(Field(status, "refused"));
    EXPECT_GE(refused, 1) << status;
    EXPECT_GE(std::stoi(Field(status, "skipped")), 32) << status;
    EXPECT_EQ(Field(status, "keyint"), "800") << status;
}

// A camera on the test server's endless stream, streaming.
class Reconnect : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.Start());
        rig.WriteCameras("1 door " + server.Url("/live") + " timeout=1\n");
        ASSERT_TRUE(rig.Start());
        ASSERT_TRUE(rig.WaitForFrames(1, 10)) << rig.core->Output();
    }
    // Until the camera's second connection has brought frames.
    bool WaitForSecondStream() const
    {
        return WaitUntil([&] { return CountKind(CameraEvents(rig.Events(), 1), "frame", 2) >= 10; });
    }

    RtspTestServer server; // outlives the core
    CameraRig rig;
};

TEST_F(Reconnect, AServerRestartedOnItsPortResumesTheStreamAtAKeyFrame)
{
    const int port = server.port();
    server.Stop();
    EXPECT_TRUE(rig.core->WaitForOutput("camera door: lost: ")) << rig.core->Output();
    EXPECT_TRUE(rig.core->WaitForOutput("camera door: reconnecting"));
    ASSERT_TRUE(server.Start(port));
    ASSERT_TRUE(WaitForSecondStream()) << rig.core->Output();
    EXPECT_TRUE(rig.core->WaitForOutputCount("camera door: connected, h264 320x240", 2)) << rig.core->Output();
    const std::string status = rig.Request(DVR_CAMERA_STATUS, "door");
    ASSERT_TRUE(rig.Stop());
    EXPECT_EQ(rig.core->CountOutput("camera door: connected, h264 320x240"), 2u) << rig.core->Output();

    const auto events = CameraEvents(rig.Events(), 1);
    ExpectWellFormed(events, 1);
    // The first stream ends, then the second is described: its numbering
    // goes on from the end (frames before its first key frame are a gap).
    const auto end = std::find_if(events.begin(), events.end(), [](auto& e) { return e.kind == "end"; });
    ASSERT_NE(end, events.end());
    const auto next = std::find_if(end, events.end(), [](auto& e) { return e.kind == "stream"; });
    ASSERT_NE(next, events.end());
    EXPECT_EQ(end->generation, 1u);
    EXPECT_EQ(next->generation, 2u);
    EXPECT_GE(next->sequence, end->sequence);
    EXPECT_GE(std::stoi(Field(status, "reconnects")), 1) << status;
    EXPECT_EQ(Field(status, "state"), "connected") << status;
}

TEST_F(Reconnect, ACameraThatStopsSendingIsLostAfterItsTimeoutAndFoundAgain)
{
    server.Freeze();
    EXPECT_TRUE(rig.core->WaitForOutput("camera door: lost: no data for 1 s")) << rig.core->Output();
    // Attempts meanwhile connect and hear nothing.
    EXPECT_TRUE(rig.core->WaitForOutput("camera door: cannot connect: Connection timed out"));
    server.Thaw();
    ASSERT_TRUE(WaitForSecondStream()) << rig.core->Output();
    ASSERT_TRUE(rig.Stop());
    ExpectWellFormed(rig.Events(), 1);
}

// A TCP port that accepts connections and never answers.
class SilentPort {
public:
    SilentPort()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        port = ListenOnLoopback(fd_, 8);
    }
    ~SilentPort() { close(fd_); }
    int port = 0;

private:
    int fd_ = -1;
};

// A port nothing listens on: bound for a moment, then let go.
int ClosedPort()
{
    SilentPort taken;
    return taken.port;
}

TEST(BadCameras, EachGetsOneClearLineAndTheOthersRunOn)
{
    Clip clip;
    RtspTestServer server;
    ASSERT_TRUE(server.Start());
    SilentPort silent;
    CameraRig rig;
    rig.WriteCameras("1 good " + clip.path.string() + " loop=yes\n" +
                     "2 silent rtsp://127.0.0.1:" + std::to_string(silent.port) + "/cam timeout=1\n" +
                     "3 refused rtsp://127.0.0.1:" + std::to_string(ClosedPort()) + "/cam\n" + "4 audio " +
                     server.Url("/audio") + "\n" + "5 missing " + (clip.dir.path() / "none.mp4").string() + "\n" +
                     "6 short\n"
                     "0 zero /x.mp4\n"
                     "7 sctp rtsp://127.0.0.1/x transport=sctp\n"
                     "8 good /x.mp4\n"
                     "1 again /x.mp4\n"
                     "9 colour /x.mp4 colour=red\n"
                     "10 live rtsp://127.0.0.1/x loop=yes\n");
    ASSERT_TRUE(rig.Start());
    for (const char* line : {
             "camera silent: cannot connect: Connection timed out",
             "camera refused: cannot connect: Connection refused",
             "camera audio: read with FFmpeg from now on: no H.264 or H.265 video track in the session description",
             "camera audio: cannot connect: no video stream",
             "camera missing: cannot connect: No such file or directory",
             "cameras.conf line 6: expected: <number> <name> <url> [options]",
             "cameras.conf line 7: camera number must be from 1 to 65535, not '0'",
             "cameras.conf line 8: transport must be tcp or udp, not 'sctp'",
             "cameras.conf line 9: camera name 'good' is used twice",
             "cameras.conf line 10: camera number 1 is used twice",
             "cameras.conf line 11: unknown option 'colour'",
             "cameras.conf line 12: loop=yes needs a file, not a network address",
             "5 camera(s) from cameras.conf",
         })
        EXPECT_TRUE(rig.core->WaitForOutput(line)) << line << "\n" << rig.core->Output();
    // Every camera that cannot connect has tried again a few times by now,
    // and said so once.
    ASSERT_TRUE(WaitUntil([&] {
        const std::string status = rig.Request(DVR_CAMERA_STATUS, "");
        std::istringstream lines(status);
        int retrying = 0;
        for (std::string line; std::getline(lines, line);)
            retrying += Field(line, "state") == "reconnecting" && std::stoi(Field(line, "reconnects")) >= 3;
        return retrying == 4;
    })) << rig.Request(DVR_CAMERA_STATUS, "");
    for (const char* name : {"silent", "refused", "audio", "missing"})
        EXPECT_EQ(rig.core->CountOutput(std::string("camera ") + name + ": cannot connect"), 1u) << name;
    EXPECT_EQ(rig.core->CountOutput("camera audio: read with FFmpeg"), 1u);
    const size_t before = CountFrames(rig.Events(), 1);
    EXPECT_TRUE(rig.WaitForFrames(1, before + 10));
    EXPECT_TRUE(rig.Stop());
    ExpectWellFormed(rig.Events(), 1);
}

// A camera that asks for credentials, in either scheme: those of the URL are
// answered, and a wrong or missing password is one clear line.
TEST(RtspCredentials, TheUrlsAreAnsweredInBothSchemesAndAWrongOneIsOneClearLine)
{
    for (const std::string scheme : {"basic", "digest"}) {
        SCOPED_TRACE(scheme);
        ProcessOptions options;
        options.args = {std::string(DVR_MEDIA_TEST_DIR) + "/rtsp_test_server.py",
                        "--auth",
                        scheme,
                        "--user",
                        "ann",
                        "--password",
                        "s3cret"};
        const auto server = Process::Start("/usr/bin/python3", options);
        ASSERT_TRUE(server->WaitForOutput("ready ") && server->WaitForOutput("\n")) << server->Output();
        const std::string ready = server->Output();
        const std::string at =
            "127.0.0.1:" + std::to_string(std::stoi(ready.substr(ready.find("ready ") + 6))) + "/live";
        CameraRig rig;
        rig.WriteCameras("1 door rtsp://ann:s3cret@" + at + "\n2 wrong rtsp://ann:guess@" + at + "\n3 none rtsp://" +
                         at + "\n");
        ASSERT_TRUE(rig.Start());
        ASSERT_TRUE(rig.WaitForFrames(1, 10)) << rig.core->Output();
        for (const std::string name : {"wrong", "none"})
            EXPECT_TRUE(rig.core->WaitForOutput("camera " + name +
                                                ": cannot connect: Server returned 401 Unauthorized (authorization "
                                                "failed)"))
                << rig.core->Output();
        ASSERT_TRUE(rig.Stop());
        ExpectWellFormed(rig.Events(), 1);
    }
}

TEST(SupervisorPackets, AddDisableEnableListStatusAndRemoveACamera)
{
    Clip clip;
    CameraRig rig;
    ASSERT_TRUE(rig.Start());
    EXPECT_TRUE(rig.core->WaitForOutput("no cameras.conf in the working directory: no cameras yet"));
    const std::string porch = "4 porch " + clip.path.string();

    // The answer names the request's kind and gives back its extra word.
    ASSERT_TRUE(rig.supervisor.SendRaw(
        IpcPacket(DVR_CAMERA_ADD, DVR_IPC_TARGET(DVR_CAMERA_MODULE_INDEX), porch + " loop=yes", 77)));
    const auto added = rig.supervisor.Receive();
    ASSERT_TRUE(added && added->size() == IPC_HEADER_SIZE + 3);
    IpcHeader header;
    memcpy(&header, added->data(), sizeof header);
    EXPECT_EQ(header.kind, DVR_CAMERA_ADD | DVR_CAMERA_REPLY);
    EXPECT_EQ(header.extra, 77u);
    EXPECT_EQ(header.length, added->size());
    EXPECT_EQ(std::string(added->begin() + IPC_HEADER_SIZE, added->end()), "ok\n");
    // Two key frames, so that the status knows their interval.
    ASSERT_TRUE(rig.WaitForFrames(4, kGop + 2)) << rig.core->Output();

    EXPECT_EQ(rig.Request(DVR_CAMERA_LIST, ""),
              "ok\n" + porch + " transport=tcp enabled=yes loop=yes pace=yes timeout=10 retry=30\n");
    const std::string status = rig.Request(DVR_CAMERA_STATUS, "porch");
    EXPECT_EQ(status.rfind("ok\n4 porch state=connected codec=h264 size=320x240 ", 0), 0u) << status;
    EXPECT_EQ(Field(status, "keyint"), std::to_string(kGop)) << status;

    // Disabled: the stream ends and no frame follows.
    EXPECT_EQ(rig.Request(DVR_CAMERA_DISABLE, "porch"), "ok\n");
    // The end goes out before the answer; the receiver has it, and every
    // frame before it, a moment later.
    EXPECT_TRUE(WaitUntil([&] { return CountKind(CameraEvents(rig.Events(), 4), "end", 1) == 1; }));
    const size_t framesWhenDisabled = CountFrames(rig.Events(), 4);
    EXPECT_EQ(Field(rig.Request(DVR_CAMERA_STATUS, "4"), "state"), "disabled");
    // Enabled again (by number): a new description, the numbering going on.
    EXPECT_EQ(rig.Request(DVR_CAMERA_ENABLE, "4"), "ok\n");
    ASSERT_TRUE(WaitUntil([&] { return CountKind(CameraEvents(rig.Events(), 4), "frame", 2) >= 5; }));
    EXPECT_EQ(CountKind(CameraEvents(rig.Events(), 4), "frame", 1), framesWhenDisabled);
    EXPECT_EQ(rig.Request(DVR_CAMERA_REMOVE, "porch"), "ok\n");
    EXPECT_TRUE(WaitUntil([&] { return CountKind(CameraEvents(rig.Events(), 4), "end", 2) == 1; }));
    EXPECT_EQ(rig.Request(DVR_CAMERA_LIST, ""), "ok\n");
    ASSERT_TRUE(rig.Stop());

    ExpectWellFormed(rig.Events(), 4);
    for (const char* line :
         {"camera porch: added", "camera porch: disabled", "camera porch: enabled", "camera porch: removed"})
        EXPECT_EQ(rig.core->CountOutput(line), 1u) << line;
}

TEST(SupervisorPackets, BadRequestsAreAnsweredWithTheFaultAndLoggedWhileCamerasRunOn)
{
    Clip clip;
    CameraRig rig;
    rig.WriteCameras("1 front " + clip.path.string() + " loop=yes\n");
    ASSERT_TRUE(rig.Start());
    struct Case {
        uint32_t kind;
        std::string payload, answer;
    };
    for (const Case& request : std::vector<Case>{
             {DVR_CAMERA_ADD, "", "error: expected: <number> <name> <url> [options]\n"},
             {DVR_CAMERA_ADD, "2 yard /x.mp4 timeout=0",
              "error: timeout must be a number of seconds from 1 to 3600, not '0'\n"},
             {DVR_CAMERA_ADD, "2 yard/x /x.mp4",
              "error: camera name 'yard/x' must be 1 to 63 letters, digits, '-', '_' or '.'\n"},
             {DVR_CAMERA_ADD, "1 yard /x.mp4", "error: camera number 1 is already camera 'front'\n"},
             {DVR_CAMERA_ADD, "2 front /x.mp4", "error: camera name 'front' is already in use\n"},
             {DVR_CAMERA_REMOVE, "yard", "error: no camera 'yard'\n"},
             {DVR_CAMERA_ENABLE, "", "error: no camera ''\n"},
             {DVR_CAMERA_STATUS, "9", "error: no camera '9'\n"},
             {0x1ff, "", "error: unknown request kind 0x01ff\n"},
         }) {
        EXPECT_EQ(rig.Request(request.kind, request.payload), request.answer) << request.payload;
        char place[48];
        snprintf(place, sizeof place, "supervisor packet kind 0x%04x: ", request.kind);
        const std::string line = place + request.answer.substr(7, request.answer.size() - 8);
        EXPECT_TRUE(rig.core->WaitForOutput(line)) << line;
    }
    // A trailing NUL, as a C supervisor sends strings, is not part of the name.
    EXPECT_EQ(rig.Request(DVR_CAMERA_STATUS, std::string("front\0", 6)).rfind("ok\n1 front ", 0), 0u);
    const size_t before = CountFrames(rig.Events(), 1);
    EXPECT_TRUE(rig.WaitForFrames(1, before + 5));
    EXPECT_EQ(rig.Request(DVR_CAMERA_LIST, "").substr(0, 11), "ok\n1 front ");
    ASSERT_TRUE(rig.Stop());
}

TEST(SupervisorPackets, AListLongerThanOnePacketComesInSeveralBlocks)
{
    CameraRig rig;
    std::string cameras, expected = "ok\n";
    for (int number = 1; number <= 700; ++number) {
        const std::string line = std::to_string(number) + " camera" + std::to_string(number) +
                                 " rtsp://127.0.0.1/a-rather-long-path/for-camera-" + std::to_string(number) +
                                 " transport=udp enabled=no pace=no timeout=10 retry=30";
        cameras += line + "\n";
        expected += line.substr(0, line.find(" enabled")) + " enabled=no loop=no pace=no timeout=10 retry=30\n";
    }
    rig.WriteCameras(cameras);
    ASSERT_TRUE(rig.Start());
    ASSERT_GT(expected.size(), IPC_BUFFER_SIZE);
    EXPECT_EQ(rig.Request(DVR_CAMERA_LIST, ""), expected);
    ASSERT_TRUE(rig.Stop());
}

} // namespace
