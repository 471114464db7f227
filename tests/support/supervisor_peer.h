// The supervisor's side of the core's socket, played in-process by a
// black-box test: a local sequenced-packet socket pair whose other end the
// core inherits as its pipe argument.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

namespace dvrtest {

class SupervisorPeer {
public:
    SupervisorPeer();
    ~SupervisorPeer();
    SupervisorPeer(const SupervisorPeer&) = delete;
    SupervisorPeer& operator=(const SupervisorPeer&) = delete;

    // The core's end: pass its number as the pipe argument and let the child
    // inherit it. Attach does both.
    int childFd() const { return childFd_; }
    void Attach(ProcessOptions& options) const;
    // Closes this process's copy of the core's end once the core has it, so
    // that the core's exit shows as the end of the conversation.
    void ChildStarted();

    // One packet: the 16-byte header (length, target, kind, extra 0) and the payload.
    bool Send(uint32_t kind, uint32_t target, const std::string& payload = "");
    // Bytes as one record, unchanged.
    bool SendRaw(const std::vector<uint8_t>& bytes);
    // One record from the core; nullopt at the deadline or when the core's end closed.
    std::optional<std::vector<uint8_t>> Receive(milliseconds deadline = kDeadline);
    // Closes the supervisor's end: the core sees its supervisor lost.
    void Close();

private:
    int fd_ = -1;
    int childFd_ = -1;
};

// Runs the core from prepared options; the default starts the installed executable as it is.
using CoreStarter = std::function<std::unique_ptr<Process>(const ProcessOptions&)>;

// Starts the installed core in its working directory on a pseudo-terminal
// (where the core writes its lines), with `supervisor` as its supervisor
// when given.
std::unique_ptr<Process> StartCore(const CoreInstall& install, SupervisorPeer* supervisor = nullptr,
                                   const CoreStarter& start = {});
// Sends the core its configuration (supervisor "tarvod", version 4.2.1) and
// waits for its start-up line.
::testing::AssertionResult ConfigureCore(SupervisorPeer& supervisor, const Process& core);

// A packet as the core expects it on the wire (host byte order).
std::vector<uint8_t> IpcPacket(uint32_t kind, uint32_t target, const std::string& payload = "", uint32_t extra = 0);
// A bare header claiming `length`, for malformed packets.
std::vector<uint8_t> IpcHeaderBytes(uint32_t length, uint32_t target, uint32_t kind, uint32_t extra = 0);

} // namespace dvrtest
