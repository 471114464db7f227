#include "terminal_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool TerminalRelay::Open(std::string& error)
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = strerror(errno);
        return false;
    }
    const char* name = ptsname(master_);
    slave_ = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (slave_ < 0) {
        error = strerror(errno);
        return false;
    }
    // Lines pass through unchanged: no carriage returns added.
    termios mode;
    if (tcgetattr(slave_, &mode) == 0) {
        cfmakeraw(&mode);
        tcsetattr(slave_, TCSANOW, &mode);
    }
    return true;
}

void TerminalRelay::AttachChild() const
{
    dup2(slave_, STDOUT_FILENO);
}

void TerminalRelay::AfterFork()
{
    close(slave_);
    slave_ = -1;
}

void TerminalRelay::Emit(const char* data, size_t size)
{
    // Drops ESC [ ... m colour sequences, which only a terminal can show.
    char out[4096];
    size_t n = 0;
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (escape_ == 0 && c == '\033') {
            escape_ = 1;
        } else if (escape_ == 1) {
            escape_ = c == '[' ? 2 : 0;
        } else if (escape_ == 2) {
            if ((c >= '@' && c <= '~'))
                escape_ = 0;
        } else {
            out[n++] = c;
        }
    }
    if (n)
        fwrite(out, 1, n, stdout);
    fflush(stdout);
}

bool TerminalRelay::Forward()
{
    char chunk[4096];
    const ssize_t n = read(master_, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0)
        return false; // EIO: every descriptor of the far end is closed
    Emit(chunk, static_cast<size_t>(n));
    return true;
}

void TerminalRelay::Drain()
{
    if (master_ < 0)
        return;
    for (;;) {
        pollfd ready{master_, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0 || !Forward())
            break;
    }
    close(master_);
    master_ = -1;
}
