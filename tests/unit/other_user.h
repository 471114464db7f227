// Root ignores mode bits: tests of unreadable files and read-only directories
// run their part in a child process as the user nobody.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace dvrtest {

// Runs `work` in a child, as nobody when the test runs as root, and returns
// the text it returned; "child failed" when it could not run or finish.
inline std::string AsAnotherUser(const std::function<std::string()>& work)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "child failed";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        const std::string text = work();
        _exit(write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 4);
    }
    close(fds[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t got; (got = read(fds[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    close(fds[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child failed";
    return text;
}

} // namespace dvrtest
