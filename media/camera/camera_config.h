// A camera as the operator configures it: one line of the cameras file, or
// the payload of a supervisor packet that adds one.
//
//   <number> <name> <url> [transport=tcp|udp] [enabled=yes|no] [loop=yes|no]
//                         [pace=yes|no] [timeout=SECONDS] [retry=SECONDS]
//
// The number (1..65535) is the camera's identity for receivers: it is the low
// half of the camera's source ID, so it must stay the same for a camera.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace ingest {

enum class Transport { Tcp, Udp };

struct CameraConfig {
    uint16_t number = 0;
    std::string name;
    std::string url;
    Transport transport = Transport::Tcp; // RTSP only: interleaved in the TCP connection, or RTP over UDP
    bool enabled = true;
    bool loop = false;       // files: start again at the end
    bool pace = false;       // play at the timestamps' pace (default for files)
    int timeoutSeconds = 10; // no data for this long: the connection is taken as lost
    int retrySeconds = 30;   // longest wait between two connection attempts

    bool IsFile() const; // a recording standing in for a camera (not an .sdp file)
};

// Longest camera name: the stream description carries it in 64 bytes.
inline constexpr size_t kMaxNameLength = 63;

// One line parsed: the camera, or what is wrong with it.
using ParsedLine = std::variant<CameraConfig, std::string>;
ParsedLine ParseCameraLine(const std::string& line);

// The line that ParseCameraLine turns back into `config`.
std::string FormatCameraLine(const CameraConfig& config);

// A cameras file: the cameras of its good lines and one message per bad line
// ("cameras.conf line 3: ..."). A number or name used twice keeps the first.
struct CamerasFile {
    std::vector<CameraConfig> cameras;
    std::vector<std::string> errors;
};
CamerasFile ParseCamerasFile(const std::string& text, const std::string& fileName);

// True for a blank line or a comment (# first).
bool IsBlankOrComment(const std::string& line);

} // namespace ingest
