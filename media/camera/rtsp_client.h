// The camera's own RTSP client, for rtsp:// cameras read over TCP: the video
// track's RTP interleaved in the RTSP connection ("RTP/AVP/TCP;interleaved"),
// read with large buffered reads rather than one small read per packet.
// OPTIONS, DESCRIBE, SETUP, PLAY, keep-alives within the session timeout and
// TEARDOWN at the end; Basic and Digest authentication from the URL's
// credentials. Everything the server sends is bounds-checked and capped.
//
// What it cannot take (no H.264 or H.265 video track, interleaved transport
// refused) it reports as Fallback: the camera then reads with FFmpeg.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "rtp_depacketizer.h"

struct addrinfo;

namespace ingest {

// The parts of an rtsp:// URL; user and password percent-decoded.
struct RtspUrl {
    std::string host, user, password;
    std::string userInfo; // as written, "user:password"; empty: no credentials
    int port = 554;
    std::string plain; // the URL without credentials, as requests name it
};
bool ParseRtspUrl(const std::string& url, RtspUrl& parts);

// A session description's video track, as far as the camera reads it.
struct SdpVideo {
    bool hevc = false;
    uint8_t payloadType = 0;
    uint32_t clockRate = 0;
    std::string control;                // absolute URL of the track
    std::string aggregate;              // absolute URL of the whole session (PLAY, keep-alives)
    std::vector<uint8_t> parameterSets; // Annex B, from sprop-*; may be empty
};
// The first H.264 or H.265 video track of `sdp`; false when there is none.
// `base` resolves a relative control attribute.
bool ParseSdpVideo(const std::string& sdp, const std::string& base, SdpVideo& video);

// An RTSP message head: status line or request line, and header fields with
// lower-case names (the first of each name).
struct RtspMessage {
    int status = 0; // of a response; 0 for a request from the server
    std::map<std::string, std::string> fields;
    size_t bodySize = 0;
};

// What is at the front of the bytes read from the connection.
enum class Framing { Partial, Interleaved, Message, Garbage };
struct Framed {
    Framing kind = Framing::Partial;
    size_t size = 0;       // bytes the whole unit takes (Garbage: bytes to skip)
    int channel = -1;      // Interleaved: its channel; payload from offset 4
    RtspMessage message{}; // Message: its head; the body is the last bodySize bytes
    bool bad = false;      // unusable: a head or body over its cap, or no length
};
Framed FrameAt(const uint8_t* data, size_t size);

// Longest message head, and longest message body (a session description).
inline constexpr size_t kMaxHeadBytes = 16 << 10;
inline constexpr size_t kMaxBodyBytes = 64 << 10;
// Most video kept from before PLAY's answer (the rest of it is dropped).
inline constexpr size_t kMaxEarlyBytes = 4 << 20;

class RtspClient {
public:
    enum class Result { Ok, Fallback, Failed };

    // `stop` is watched at least every fifth of a second.
    RtspClient(const std::string& url, int timeoutSeconds, const std::atomic<bool>& stop);
    ~RtspClient(); // TEARDOWN when playing, then closes
    RtspClient(const RtspClient&) = delete;
    RtspClient& operator=(const RtspClient&) = delete;

    // Connects and starts the video track playing. Failed and Fallback give
    // the reason in `reason`.
    Result Open(std::string& reason);
    const SdpVideo& video() const { return video_; }
    // Where the client tells what does not end the stream but is worth a line.
    void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

    // Reads frames and hands each to `frame` until the connection ends, the
    // server says the stream ended, no whole frame comes for the timeout, or
    // stop is set. Returns why: "stopped", "end of stream", "no data for N s"
    // (nothing came, or nothing late in that time), "no usable video for N s"
    // (packets kept coming, but none made a whole frame), or the error.
    std::string Play(const RtpDepacketizer::FrameSink& frame);

private:
    bool Connect(std::string& reason);
    // The host's addresses (getaddrinfo's error, or 0 and `found` to free);
    // a name is looked up watching the stop flag.
    int Lookup(addrinfo*& found);
    bool Send(const std::string& method, const std::string& url, const std::string& fields, std::string& reason);
    // Sends a request and waits for its response (authenticating once when
    // asked to); video before it, once a session is set up, is kept in
    // early_, anything else dropped.
    bool Request(const std::string& method, const std::string& url, const std::string& fields, RtspMessage& reply,
                 std::string& body, std::string& reason);
    std::string Authorization(const std::string& method, const std::string& url);
    bool TakeChallenge(const RtspMessage& reply);
    // Reads more bytes into the buffer; false on error, end, stop or deadline.
    bool Fill(int64_t deadlineNs, std::string& reason);
    // Sends a keep-alive, `again` after its first was refused for a stale
    // nonce; its answer is looked at by KeepAliveAnswer.
    void KeepAlive(bool again);
    void KeepAliveAnswer(const RtspMessage& answer);

    const RtspUrl url_;
    const bool urlValid_;
    const int timeoutSeconds_;
    const std::atomic<bool>& stop_;
    int fd_ = -1;
    int cseq_ = 0;
    std::string session_;
    int sessionTimeout_ = 60;
    bool getParameter_ = false; // the server takes GET_PARAMETER as keep-alive
    bool playing_ = false;
    int keepAliveCSeq_ = 0;        // of the keep-alive whose answer is awaited; 0: none
    bool keepAliveAgain_ = false;  // that one is the resend after a new challenge
    bool toldSessionGone_ = false; // a 454 to a keep-alive was logged
    std::function<void(const std::string&)> log_;
    // Authentication asked for: "basic" or "digest", with the digest's values.
    std::string scheme_, realm_, nonce_, opaque_, qop_;
    uint32_t nonceCount_ = 0;
    SdpVideo video_;
    int videoChannel_ = 0, controlChannel_ = 1;
    std::vector<uint8_t> early_; // interleaved video units that came before PLAY's answer
    std::vector<uint8_t> buffer_;
    size_t begin_ = 0, end_ = 0; // unread bytes of buffer_
};

} // namespace ingest
