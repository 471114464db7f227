// Helpers for black-box tests: temporary core installations and child
// processes whose output is collected (through pipes or a pseudo-terminal).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace dvrtest {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// How much slower than native the built executables run: above 1 when they
// run under an emulator (DVR_TIME_FACTOR, from the build).
inline constexpr int kTimeFactor = DVR_TIME_FACTOR;
// A wait that holds natively, widened for the emulator.
constexpr milliseconds Scaled(milliseconds wait)
{
    return wait * kTimeFactor;
}

// Generous default deadline for conditions a test waits on.
inline constexpr milliseconds kDeadline = Scaled(milliseconds{30000});

// The emulator command that runs executables built for the target on this
// machine (DVR_EMULATOR, from the build); empty when they run natively.
// Process::Start puts it in front of every built executable and passes it
// to its children as the environment variable DVR_EMULATOR, so that the
// development supervisor starts the core through it too.
const std::vector<std::string>& Emulator();

// Polls `condition` until it holds or the deadline passes.
bool WaitUntil(const std::function<bool()>& condition, milliseconds deadline = kDeadline);

std::string ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::string& content);
// The resident size of process `pid` (0: this one) in bytes; 0 when unreadable.
size_t ResidentBytes(pid_t pid = 0);

// A fresh directory under the system's temporary directory, removed afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A core installation in a temporary directory: bin/dvrcore is a copy of the
// built executable (the core finds its plugins beside its own canonical path),
// bin/plugins and bin/protected-plugins hold the plugins, `work` is the
// working directory to run it in.
class CoreInstall {
public:
    CoreInstall();
    fs::path root() const { return dir_.path(); }
    fs::path bin, exe, plugins, protectedPlugins, work;

    // Copies a built test plugin (tests/plugins/<name>.c) into plugins/ (or
    // protected-plugins/) as `fileName` (default <name>.so); returns the copy.
    fs::path AddTestPlugin(const std::string& name, const std::string& fileName = "", bool protectedDir = false);
    // A configurable test plugin (probe, eventprobe) as <stem>.so with its
    // <stem>.conf beside it: `config`, then the journal line when given.
    fs::path AddConfiguredPlugin(const std::string& binary, const std::string& stem, const std::string& config,
                                 const fs::path& journal = {});
    // Same for a demo plugin (tools/plugins/<name>.c).
    fs::path AddDemoPlugin(const std::string& name, const std::string& fileName = "");

private:
    TempDir dir_;
};

struct ProcessOptions {
    std::vector<std::string> args;                        // arguments after argv[0]
    std::string argv0;                                    // default: the executable's path
    fs::path cwd;                                         // default: the test's
    std::vector<std::pair<std::string, std::string>> env; // added to the test's environment
    bool pty = false;                                     // stdout and stderr on a pseudo-terminal instead of a pipe
    std::vector<int> inheritFds;                          // descriptors the child keeps, under the same numbers
};

// A child process; stdout and stderr are merged and collected by a thread.
class Process {
public:
    static std::unique_ptr<Process> Start(const fs::path& exe, const ProcessOptions& options);
    ~Process(); // kills the child if it still runs

    pid_t pid() const { return pid_; }
    void Signal(int signal);
    // Types `text` on the child's standard input (pty children only).
    void Input(const std::string& text);
    // Stops reading the child's output, as a paused pager does: once the
    // terminal's buffer is full the child's writes wait. Resumed by
    // ResumeReading (and by the destructor).
    void PauseReading();
    void ResumeReading();

    std::string Output() const;
    size_t CountOutput(const std::string& text) const;
    bool WaitForOutput(const std::string& text, milliseconds deadline = kDeadline) const;
    // Waits until `text` appears `count` times.
    bool WaitForOutputCount(const std::string& text, size_t count, milliseconds deadline = kDeadline) const;

    // When the output first held `text` whole, stamped by the reader as the
    // bytes arrived (not when the test looked); nullopt if it never did.
    // Durations a test measures start from such stamps.
    std::optional<std::chrono::steady_clock::time_point> ArrivalOf(const std::string& text) const;
    // When the child's output ended (normally: it exited); nullopt before.
    std::optional<std::chrono::steady_clock::time_point> OutputEndedAt() const;

    // Exit code, or 128 + signal number when killed; nullopt on timeout.
    std::optional<int> WaitExit(milliseconds deadline = kDeadline);
    bool Running();

private:
    Process() = default;
    void ReadLoop();
    void RepeatStopSignalIfLost();

    pid_t pid_ = -1;
    int outputFd_ = -1;
    std::optional<int> status_;
    // The last stop signal sent (SIGINT, SIGTERM, SIGQUIT), when, and whether
    // it was sent again (see WaitExit).
    int stopSignal_ = 0;
    std::chrono::steady_clock::time_point stopSignalledAt_;
    bool stopSignalRepeated_ = false;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string output_;
    // Size of output_ after each read, and when that read returned.
    std::vector<std::pair<size_t, std::chrono::steady_clock::time_point>> arrivals_;
    bool outputClosed_ = false;
    bool paused_ = false;
    std::chrono::steady_clock::time_point closedAt_;
};

} // namespace dvrtest
