#include "ipc/ipc_framing.h"

#include <cstring>

IpcFramer::IpcFramer(unsigned char* buffer, uint32_t fill)
    : buffer_(buffer), fill_(fill < IPC_BUFFER_SIZE ? fill : IPC_BUFFER_SIZE)
{}

IpcFramer::Step IpcFramer::Next()
{
    packet_ = nullptr;
    length_ = 0;
    // A packet whose length is not a multiple of 4 leaves the next one
    // misaligned; plugins get the header at an aligned address.
    if (start_ % alignof(IpcHeader) != 0)
        MoveTailToStart();
    const uint32_t available = fill_ - start_;
    if (available < IPC_HEADER_SIZE)
        return Step::NeedMore;
    uint32_t length;
    memcpy(&length, buffer_ + start_, sizeof length);
    // Checked as soon as the header is in: an over-long length could never be
    // completed, and one below the header size would not advance.
    if (length < IPC_HEADER_SIZE || length > IPC_BUFFER_SIZE) {
        fill_ = 0;
        start_ = 0;
        return Step::BadLength;
    }
    if (available < length)
        return Step::NeedMore;
    packet_ = buffer_ + start_;
    length_ = length;
    start_ += length;
    return Step::Packet;
}

uint32_t IpcFramer::Finish()
{
    MoveTailToStart();
    packet_ = nullptr;
    length_ = 0;
    return fill_;
}

void IpcFramer::MoveTailToStart()
{
    if (start_ == 0)
        return;
    memmove(buffer_, buffer_ + start_, fill_ - start_);
    fill_ -= start_;
    start_ = 0;
}

IpcHeader ReadIpcHeader(const unsigned char* packet)
{
    IpcHeader header;
    memcpy(&header, packet, sizeof header);
    return header;
}

IpcPacketRole RoleOf(const IpcHeader& header)
{
    if (header.kind == IPC_KIND_STOP)
        return IpcPacketRole::Stop;
    // Without a payload there is nothing to configure: the plugin gets it.
    if (header.kind == IPC_KIND_CONFIG && header.length > IPC_HEADER_SIZE)
        return IpcPacketRole::Configuration;
    return IpcPacketRole::Plugin;
}

std::vector<std::string_view> SplitConfigFields(const unsigned char* payload, uint32_t size)
{
    std::vector<std::string_view> fields;
    const char* text = reinterpret_cast<const char*>(payload);
    const char* end = text + size;
    for (;;) {
        const char* nul =
            text == end ? nullptr : static_cast<const char*>(memchr(text, '\0', static_cast<size_t>(end - text)));
        if (!nul) {
            fields.emplace_back(text, static_cast<size_t>(end - text));
            return fields;
        }
        fields.emplace_back(text, static_cast<size_t>(nul - text));
        text = nul + 1;
    }
}

SupervisorConfig ParseConfigPayload(const unsigned char* payload, uint32_t size)
{
    const std::vector<std::string_view> fields = SplitConfigFields(payload, size);
    SupervisorConfig config;
    config.filename = fields[0];
    if (fields.size() >= 2)
        config.version = std::string(fields[1]);
    if (fields.size() >= 3)
        config.background = fields[2] == "Background:true";
    return config;
}
