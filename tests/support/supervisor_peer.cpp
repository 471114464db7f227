#include "support/supervisor_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "dvrplugin.h"

namespace dvrtest {

std::vector<uint8_t> IpcHeaderBytes(uint32_t length, uint32_t target, uint32_t kind, uint32_t extra)
{
    IpcHeader header{length, target, kind, extra};
    std::vector<uint8_t> bytes(sizeof header);
    memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

std::vector<uint8_t> IpcPacket(uint32_t kind, uint32_t target, const std::string& payload, uint32_t extra)
{
    std::vector<uint8_t> bytes =
        IpcHeaderBytes(static_cast<uint32_t>(IPC_HEADER_SIZE + payload.size()), target, kind, extra);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

SupervisorPeer::SupervisorPeer()
{
    // Close-on-exec: only the child that is given the end keeps it.
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error(std::string("socketpair failed: ") + strerror(errno));
    fd_ = fds[0];
    childFd_ = fds[1];
}

SupervisorPeer::~SupervisorPeer()
{
    Close();
    ChildStarted();
}

void SupervisorPeer::Attach(ProcessOptions& options) const
{
    options.args.push_back(std::to_string(childFd_));
    options.inheritFds.push_back(childFd_);
}

void SupervisorPeer::ChildStarted()
{
    if (childFd_ >= 0)
        close(childFd_);
    childFd_ = -1;
}

bool SupervisorPeer::Send(uint32_t kind, uint32_t target, const std::string& payload)
{
    return SendRaw(IpcPacket(kind, target, payload));
}

bool SupervisorPeer::SendRaw(const std::vector<uint8_t>& bytes)
{
    if (fd_ < 0)
        return false;
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::optional<std::vector<uint8_t>> SupervisorPeer::Receive(milliseconds deadline)
{
    if (fd_ < 0)
        return std::nullopt;
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        auto left = std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
        pollfd readable{fd_, POLLIN, 0};
        int ready = poll(&readable, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        std::vector<uint8_t> record(4 * IPC_BUFFER_SIZE);
        ssize_t length = recv(fd_, record.data(), record.size(), MSG_DONTWAIT);
        if (length < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (length <= 0)
            return std::nullopt;
        record.resize(static_cast<size_t>(length));
        return record;
    }
}

void SupervisorPeer::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

std::unique_ptr<Process> StartCore(const CoreInstall& install, SupervisorPeer* supervisor, const CoreStarter& start)
{
    ProcessOptions options;
    options.cwd = install.work;
    options.pty = true;
    if (supervisor)
        supervisor->Attach(options);
    auto core = start ? start(options) : Process::Start(install.exe, options);
    if (supervisor)
        supervisor->ChildStarted();
    return core;
}

::testing::AssertionResult ConfigureCore(SupervisorPeer& supervisor, const Process& core)
{
    using namespace std::string_literals;
    if (!supervisor.Send(IPC_KIND_CONFIG, 0,
                         "tarvod\0"
                         "4.2.1"s))
        return ::testing::AssertionFailure() << "the configuration packet was not sent";
    if (!core.WaitForOutput("successfully started core version"))
        return ::testing::AssertionFailure() << "the core did not start:\n" << core.Output();
    return ::testing::AssertionSuccess();
}

} // namespace dvrtest
