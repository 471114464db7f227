#include "support/syslog_capture.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace dvrtest {

bool CanUseMountNamespaces()
{
    // Mounting inside the new namespace must work too (it hides nothing outside).
    return geteuid() == 0 && system("unshare -m sh -c 'mount -t tmpfs none /proc' 2>/dev/null") == 0;
}

SyslogCapture::SyslogCapture(const CoreInstall& install) : path_((install.root() / "log.sock").string())
{
    if (!CanUseMountNamespaces())
        return;
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
    }
    const auto deadline = std::chrono::duration_cast<std::chrono::seconds>(kDeadline);
    timeval timeout{static_cast<time_t>(deadline.count()), 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

SyslogCapture::~SyslogCapture()
{
    if (fd_ >= 0)
        close(fd_);
}

std::unique_ptr<Process> SyslogCapture::Start(const CoreInstall& install, ProcessOptions options) const
{
    if (!owned())
        return Process::Start(install.exe, options);
    // The shell in the namespace runs the core as given: through the emulator
    // where there is one.
    std::vector<std::string> args = {"-m", "sh", "-c",
                                     "mount -t tmpfs none /dev && ln -s \"$0\" /dev/log && exec \"$@\"", path_};
    args.insert(args.end(), Emulator().begin(), Emulator().end());
    args.push_back(install.exe.string());
    args.insert(args.end(), options.args.begin(), options.args.end());
    options.args = args;
    return Process::Start("/usr/bin/unshare", options);
}

std::string SyslogCapture::Find(const std::string& text) const
{
    char record[1024];
    for (;;) {
        const ssize_t received = recv(fd_, record, sizeof record, 0);
        if (received <= 0)
            return "";
        std::string message(record, static_cast<size_t>(received));
        if (message.find(text) != std::string::npos)
            return message;
    }
}

} // namespace dvrtest
