#include "media_fixtures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "dvrcamera.h"

namespace dvrtest::media {

namespace {

// Runs a command to its end and returns its output; empty optional when it
// did not exit 0.
std::optional<std::string> Run(const fs::path& exe, const std::vector<std::string>& args)
{
    ProcessOptions options;
    options.args = args;
    auto process = Process::Start(exe, options);
    const auto status = process->WaitExit(Scaled(std::chrono::milliseconds{120000}));
    if (status != 0)
        return std::nullopt;
    return process->Output();
}

const fs::path kMediaTests = DVR_MEDIA_TEST_DIR;
const fs::path kSystemPython = "/usr/bin/python3"; // Debian's, which sees GStreamer's bindings

} // namespace

void MakeTestClip(const fs::path& out, int seconds, int gop, const std::string& codec, const std::string& size)
{
    const auto made = Run(kMediaTests / "make_test_clip.sh",
                          {out.string(), std::to_string(seconds), std::to_string(gop), codec, size});
    ASSERT_TRUE(made && fs::exists(out)) << "make_test_clip.sh failed for " << out;
}

void JoinClips(const fs::path& out, const std::vector<fs::path>& parts)
{
    std::string input = "concat:";
    for (const fs::path& part : parts)
        input += (input.size() > 7 ? "|" : "") + part.string();
    const auto joined =
        Run("/usr/bin/ffmpeg", {"-nostdin", "-v", "error", "-y", "-i", input, "-c", "copy", out.string()});
    ASSERT_TRUE(joined && fs::exists(out)) << "ffmpeg could not join the clips into " << out;
}

std::vector<ProbedPacket> ProbePackets(const fs::path& file)
{
    std::vector<ProbedPacket> packets;
    const auto text = Run("/usr/bin/ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                               "packet=pts_time,dts_time,flags", "-of", "csv=p=0", file.string()});
    EXPECT_TRUE(text) << "ffprobe failed on " << file;
    std::istringstream lines(text.value_or(""));
    for (std::string line; std::getline(lines, line);) {
        ProbedPacket packet;
        char flags[8] = {};
        if (sscanf(line.c_str(), "%lf,%lf,%7s", &packet.pts, &packet.dts, flags) == 3) {
            packet.key = flags[0] == 'K';
            packets.push_back(packet);
        }
    }
    return packets;
}

RtspTestServer::~RtspTestServer()
{
    Stop();
}

::testing::AssertionResult RtspTestServer::Start(int port)
{
    std::vector<std::string> args = {(kMediaTests / "rtsp_test_server.py").string(), "--port", std::to_string(port)};
    if (!clip_.empty())
        args.insert(args.end(), {"--clip", clip_.string()});
    if (!clip265_.empty())
        args.insert(args.end(), {"--clip-h265", clip265_.string()});
    ProcessOptions options;
    options.args = args;
    process_ = Process::Start(kSystemPython, options);
    if (!process_->WaitForOutput("ready ") || !process_->WaitForOutput("\n"))
        return ::testing::AssertionFailure() << "the RTSP test server did not start:\n" << process_->Output();
    const std::string output = process_->Output();
    port_ = std::stoi(output.substr(output.find("ready ") + 6));
    return ::testing::AssertionSuccess();
}

void RtspTestServer::Stop()
{
    if (!process_)
        return;
    process_->Signal(SIGCONT); // a frozen server would not hear the stop
    process_->Signal(SIGTERM);
    process_->WaitExit();
    process_.reset();
}

std::string RtspTestServer::Url(const std::string& mount) const
{
    return "rtsp://127.0.0.1:" + std::to_string(port_) + mount;
}

::testing::AssertionResult HttpFileServer::Start()
{
    ProcessOptions options;
    options.args = {"-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory", dir_.string(), "0"};
    process_ = Process::Start(kSystemPython, options);
    const std::string marker = " port ";
    if (!process_->WaitForOutput(marker) || !process_->WaitForOutput(" (http"))
        return ::testing::AssertionFailure() << "the HTTP server did not start:\n" << process_->Output();
    const std::string output = process_->Output();
    port_ = std::stoi(output.substr(output.find(marker) + marker.size()));
    return ::testing::AssertionSuccess();
}

std::string HttpFileServer::Url(const std::string& file) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + file;
}

::testing::AssertionResult RtpSender::Start()
{
    // A pair of free ports, RTP and RTCP one above it, found by binding them.
    int port = 0;
    for (int attempt = 0; attempt < 50 && !port; ++attempt) {
        int rtp = socket(AF_INET, SOCK_DGRAM, 0), rtcp = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(rtp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(rtp, reinterpret_cast<sockaddr*>(&address), &length) == 0 && ntohs(address.sin_port) % 2 == 0 &&
            ntohs(address.sin_port) < 65534) {
            address.sin_port = htons(ntohs(address.sin_port) + 1);
            if (bind(rtcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                port = ntohs(address.sin_port) - 1;
        }
        close(rtp);
        close(rtcp);
    }
    if (!port)
        return ::testing::AssertionFailure() << "no free pair of UDP ports";
    ProcessOptions options;
    options.args = {"-nostdin",     "-v",        "error",       "-re",
                    "-stream_loop", "-1",        "-i",          clip_.string(),
                    "-c",           "copy",      "-an",         "-f",
                    "rtp",          "-sdp_file", sdp_.string(), "rtp://127.0.0.1:" + std::to_string(port)};
    process_ = Process::Start("/usr/bin/ffmpeg", options);
    if (!WaitUntil([&] { return fs::exists(sdp_) && ReadFile(sdp_).find("m=video") != std::string::npos; }))
        return ::testing::AssertionFailure() << "ffmpeg wrote no session description:\n" << process_->Output();
    return ::testing::AssertionSuccess();
}

std::vector<MediaEvent> MediaEvents(const PluginJournal& journal, const std::string& stem)
{
    std::vector<MediaEvent> events;
    for (const std::string& line : journal.Lines()) {
        if (line.rfind(stem + " ", 0) != 0)
            continue;
        std::istringstream in(line.substr(stem.size() + 1));
        MediaEvent event;
        char slash;
        in >> event.kind >> std::hex >> event.provider >> std::dec;
        if (event.kind == "frame") {
            std::string form;
            in >> event.camera >> event.generation >> event.sequence >> event.key >> event.pts >> event.dts >>
                event.timeBaseNum >> slash >> event.timeBaseDen >> event.bytes >> form >> event.hash;
            event.annexB = form == "annexb";
        } else if (event.kind == "stream") {
            unsigned rateNum = 0, rateDen = 0;
            char x;
            in >> event.camera >> event.generation >> event.sequence >> event.codec >> event.width >> x >>
                event.height >> rateNum >> slash >> rateDen >> event.timeBaseNum >> slash >> event.timeBaseDen >>
                event.parameterSetBytes >> event.name;
        } else if (event.kind == "end") {
            in >> event.camera >> event.generation >> event.sequence;
        }
        events.push_back(event);
    }
    return events;
}

std::vector<MediaEvent> CameraEvents(const std::vector<MediaEvent>& events, unsigned camera)
{
    std::vector<MediaEvent> selected;
    for (const MediaEvent& event : events)
        if (event.camera == camera)
            selected.push_back(event);
    return selected;
}

size_t CountFrames(const std::vector<MediaEvent>& events, unsigned camera)
{
    size_t count = 0;
    for (const MediaEvent& event : events)
        count += event.kind == "frame" && event.camera == camera;
    return count;
}

CameraRig::CameraRig()
{
    fs::copy_file(DVR_CAMERA_PLUGIN, install.plugins / "ingest.so");
    install.AddConfiguredPlugin("mediaprobe", "mediaprobe", "id=0x00510000", journalPath);
}

CameraRig::~CameraRig()
{
    if (core && core->Running())
        Stop();
}

void CameraRig::WriteCameras(const std::string& text)
{
    WriteFile(install.work / "cameras.conf", text);
}

::testing::AssertionResult CameraRig::Start()
{
    core = StartCore(install, &supervisor);
    return ConfigureCore(supervisor, *core);
}

::testing::AssertionResult CameraRig::Stop()
{
    supervisor.Send(IPC_KIND_STOP, 0);
    const auto status = core->WaitExit();
    if (status != 0)
        return ::testing::AssertionFailure() << "the core ended with " << status.value_or(-1) << ":\n"
                                             << core->Output();
    return ::testing::AssertionSuccess();
}

bool CameraRig::WaitForFrames(unsigned camera, size_t count) const
{
    return WaitUntil([&] { return CountFrames(Events(), camera) >= count; });
}

std::string CameraRig::Request(uint32_t kind, const std::string& payload)
{
    if (!supervisor.Send(kind, DVR_IPC_TARGET(DVR_CAMERA_MODULE_INDEX), payload))
        return "";
    std::string text;
    while (auto block = supervisor.Receive()) {
        if (block->size() < IPC_HEADER_SIZE)
            return text + "<short block>";
        IpcHeader header;
        memcpy(&header, block->data(), sizeof header);
        text.append(reinterpret_cast<const char*>(block->data()) + IPC_HEADER_SIZE, block->size() - IPC_HEADER_SIZE);
        if (header.kind != (kind | DVR_CAMERA_REPLY | DVR_CAMERA_REPLY_MORE))
            break;
    }
    return text;
}

uint16_t ListenOnLoopback(int fd, int backlog)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd, backlog), 0);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "getsockname failed";
        return 0;
    }
    return ntohs(address.sin_port);
}

} // namespace dvrtest::media
