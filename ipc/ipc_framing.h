// Packet framing of the supervisor channel, kept apart from the socket so it
// can be tested on plain buffers: splitting a receive buffer into packets and
// reading the fields of a configuration packet.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dvrplugin.h"

// Walks the complete packets in a receive buffer once a receive has added to
// its fill. Every packet it hands out starts at a 4-byte boundary, so a
// plugin may read the IpcHeader in place; the bytes stay valid until the next
// call of Next or Finish.
class IpcFramer {
public:
    enum class Step {
        Packet,    // packet() and length() describe the next complete packet
        NeedMore,  // nothing complete is left; Finish keeps the partial tail
        BadLength, // a header with a length outside 16..65536: everything is discarded
    };

    // `buffer` holds `fill` valid bytes from its start (at most IPC_BUFFER_SIZE).
    IpcFramer(unsigned char* buffer, uint32_t fill);

    Step Next();
    const unsigned char* packet() const { return packet_; }
    uint32_t length() const { return length_; }

    // Moves what is left (a partial packet) to the start of the buffer and
    // returns the new fill.
    uint32_t Finish();

private:
    void MoveTailToStart();

    unsigned char* buffer_;
    uint32_t fill_;
    uint32_t start_ = 0; // first byte not yet handed out
    const unsigned char* packet_ = nullptr;
    uint32_t length_ = 0;
};

// Reads the header of a packet that holds at least IPC_HEADER_SIZE bytes,
// wherever it lies in memory.
IpcHeader ReadIpcHeader(const unsigned char* packet);

// What the core does with a complete packet.
enum class IpcPacketRole { Stop, Configuration, Plugin };
IpcPacketRole RoleOf(const IpcHeader& header);

// Cuts a configuration payload at every NUL: n NULs give n + 1 fields. The
// views point into `payload`.
std::vector<std::string_view> SplitConfigFields(const unsigned char* payload, uint32_t size);

// The supervisor values a configuration payload sets; a value it leaves
// alone is empty.
struct SupervisorConfig {
    std::string filename;
    std::optional<std::string> version;
    std::optional<bool> background;
};
SupervisorConfig ParseConfigPayload(const unsigned char* payload, uint32_t size);
