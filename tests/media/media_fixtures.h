// What the media tests share: test clips made with the ffmpeg command, what
// ffprobe reads from them, a live RTSP camera on the loopback interface
// (rtsp_test_server.py), the journal of the media receiver probe
// (mediaprobe.c), and a core running the camera plugin under a supervisor.
#pragma once

#include <signal.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/plugin_journal.h"
#include "support/process.h"
#include "support/supervisor_peer.h"

namespace dvrtest::media {

// A test pattern clip (make_test_clip.sh): `size` pixels, 25 frames/s, no
// B-frames, a key frame every `gop` frames; codec "h264" or "h265"; the
// container follows the extension of `out`. Fails the test when ffmpeg fails.
void MakeTestClip(const fs::path& out, int seconds, int gop, const std::string& codec = "h264",
                  const std::string& size = "320x240");

// Joins transport-stream clips byte by byte (ffmpeg's concat protocol, no
// re-encoding): a stream whose parameters change in band where they meet.
void JoinClips(const fs::path& out, const std::vector<fs::path>& parts);

// One packet of a file's video stream as ffprobe reads it.
struct ProbedPacket {
    double pts = 0, dts = 0; // seconds
    bool key = false;
};
std::vector<ProbedPacket> ProbePackets(const fs::path& file);

// rtsp_test_server.py on 127.0.0.1: /clip (once per client), /clip265,
// /live (endless), /audio (no video).
class RtspTestServer {
public:
    // `clip` and `clip265` are the MP4 files of /clip and /clip265 (optional).
    explicit RtspTestServer(fs::path clip = {}, fs::path clip265 = {}) : clip_(clip), clip265_(clip265) {}
    ~RtspTestServer();
    // Starts it on `port` (0: a free one) and waits until it serves.
    ::testing::AssertionResult Start(int port = 0);
    // Ends it and waits for it: clients lose their connections.
    void Stop();
    // Freezes it (SIGSTOP), connections open but silent, and lets it go on.
    void Freeze() { process_->Signal(SIGSTOP); }
    void Thaw() { process_->Signal(SIGCONT); }
    int port() const { return port_; }
    std::string Url(const std::string& mount) const;

private:
    fs::path clip_, clip265_;
    int port_ = 0;
    std::unique_ptr<Process> process_;
};

// Python's http.server serving `dir` on 127.0.0.1.
class HttpFileServer {
public:
    explicit HttpFileServer(fs::path dir) : dir_(std::move(dir)) {}
    ::testing::AssertionResult Start();
    std::string Url(const std::string& file) const;

private:
    fs::path dir_;
    int port_ = 0;
    std::unique_ptr<Process> process_; // ended with the server
};

// The ffmpeg command sending `clip` as plain RTP to 127.0.0.1, over and over
// at its own pace, with the session description a receiver opens in `sdp`.
class RtpSender {
public:
    RtpSender(fs::path clip, fs::path sdp) : clip_(std::move(clip)), sdp_(std::move(sdp)) {}
    ::testing::AssertionResult Start();

private:
    fs::path clip_, sdp_;
    std::unique_ptr<Process> process_;
};

// One line of mediaprobe's journal.
struct MediaEvent {
    std::string kind; // "stream", "frame", "end", "bad"
    uint32_t provider = 0;
    unsigned camera = 0, generation = 0, sequence = 0;
    // frames
    bool key = false;
    long long pts = 0, dts = 0;
    unsigned timeBaseNum = 0, timeBaseDen = 1, bytes = 0;
    bool annexB = false;
    std::string hash;
    // descriptions
    unsigned codec = 0, width = 0, height = 0, parameterSetBytes = 0;
    std::string name;

    double Seconds(long long timestamp) const { return double(timestamp) * timeBaseNum / timeBaseDen; }
};
// The events a probe with file stem `stem` journaled, in order.
std::vector<MediaEvent> MediaEvents(const PluginJournal& journal, const std::string& stem = "mediaprobe");
// Only those of one camera.
std::vector<MediaEvent> CameraEvents(const std::vector<MediaEvent>& events, unsigned camera);
size_t CountFrames(const std::vector<MediaEvent>& events, unsigned camera);

// A core with the camera plugin (ingest.so) and a media receiver probe,
// run under an in-process supervisor in its own installation.
class CameraRig {
public:
    CameraRig();
    ~CameraRig();
    // Before Start: the cameras file, and more plugins if wanted.
    void WriteCameras(const std::string& text);
    CoreInstall install;
    fs::path journalPath = install.root() / "journal";
    PluginJournal journal{journalPath};
    SupervisorPeer supervisor;
    std::unique_ptr<Process> core;

    ::testing::AssertionResult Start();
    // The orderly stop; true when the core exits 0.
    ::testing::AssertionResult Stop();
    std::vector<MediaEvent> Events() const { return MediaEvents(journal); }
    // Waits until camera `camera` has `count` frames in the journal.
    bool WaitForFrames(unsigned camera, size_t count) const;
    // Sends the camera plugin a request and returns the answer's text
    // (all blocks of it); "" when none came.
    std::string Request(uint32_t kind, const std::string& payload);
};

// Binds the TCP socket `fd` to a free port on 127.0.0.1 and listens with
// `backlog`; returns the port (0, failing the test, when it cannot).
uint16_t ListenOnLoopback(int fd, int backlog);

} // namespace dvrtest::media
