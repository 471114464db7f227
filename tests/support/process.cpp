#include "support/process.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace dvrtest {

const std::vector<std::string>& Emulator()
{
    static const std::vector<std::string> words = [] {
        std::vector<std::string> split;
        std::istringstream list(DVR_EMULATOR);
        for (std::string word; std::getline(list, word, ';');)
            if (!word.empty())
                split.push_back(word);
        return split;
    }();
    return words;
}

namespace {

// The machine an ELF file is built for (its e_machine bytes); 0 when unreadable.
uint16_t ElfMachine(const std::string& path)
{
    unsigned char header[20] = {};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t got = read(fd, header, sizeof header);
    close(fd);
    if (got != sizeof header || memcmp(header,
                                       "\x7f"
                                       "ELF",
                                       4) != 0)
        return 0;
    uint16_t machine;
    memcpy(&machine, header + 18, sizeof machine);
    return machine;
}

// Executables built for the same machine as this test need the emulator;
// system tools (unshare, sh) run natively.
bool NeedsEmulator(const fs::path& exe)
{
    static const uint16_t target = ElfMachine("/proc/self/exe");
    return !Emulator().empty() && target != 0 && ElfMachine(exe.string()) == target;
}

} // namespace

bool WaitUntil(const std::function<bool()>& condition, milliseconds deadline)
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const fs::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

size_t ResidentBytes(pid_t pid)
{
    unsigned long pages = 0, resident = 0;
    std::istringstream statm(ReadFile("/proc/" + (pid ? std::to_string(pid) : "self") + "/statm"));
    return statm >> pages >> resident ? resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "dvrtest-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

CoreInstall::CoreInstall()
{
    bin = root() / "bin";
    exe = bin / "dvrcore";
    plugins = bin / "plugins";
    protectedPlugins = bin / "protected-plugins";
    work = root() / "work";
    fs::create_directories(plugins);
    fs::create_directories(protectedPlugins);
    fs::create_directories(work);
    fs::copy_file(DVR_CORE_EXE, exe);
}

fs::path CoreInstall::AddTestPlugin(const std::string& name, const std::string& fileName, bool protectedDir)
{
    fs::path target = (protectedDir ? protectedPlugins : plugins) / (fileName.empty() ? name + ".so" : fileName);
    fs::copy_file(fs::path(DVR_TEST_PLUGIN_DIR) / (name + ".so"), target, fs::copy_options::overwrite_existing);
    return target;
}

fs::path CoreInstall::AddConfiguredPlugin(const std::string& binary, const std::string& stem, const std::string& config,
                                          const fs::path& journal)
{
    fs::path library = AddTestPlugin(binary, stem + ".so");
    std::string text = config;
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    if (!journal.empty())
        text += "journal=" + journal.string() + "\n";
    WriteFile(plugins / (stem + ".conf"), text);
    return library;
}

fs::path CoreInstall::AddDemoPlugin(const std::string& name, const std::string& fileName)
{
    fs::path target = plugins / (fileName.empty() ? name + ".so" : fileName);
    fs::copy_file(fs::path(DVR_DEMO_PLUGIN_DIR) / (name + ".so"), target, fs::copy_options::overwrite_existing);
    return target;
}

std::unique_ptr<Process> Process::Start(const fs::path& exe, const ProcessOptions& options)
{
    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<std::string> argStrings;
    std::string exePath = exe.string();
    if (NeedsEmulator(exe)) {
        // The emulator's -0 sets the program's argv[0].
        argStrings = Emulator();
        if (!options.argv0.empty())
            argStrings.insert(argStrings.end(), {"-0", options.argv0});
        argStrings.push_back(exePath);
        exePath = argStrings[0];
    } else {
        argStrings.push_back(options.argv0.empty() ? exePath : options.argv0);
    }
    argStrings.insert(argStrings.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    auto env = options.env;
    bool emulatorSet = false;
    for (auto& [key, value] : env)
        emulatorSet |= key == "DVR_EMULATOR";
    if (!Emulator().empty() && !emulatorSet) {
        std::string words;
        for (auto& word : Emulator())
            words += (words.empty() ? "" : " ") + word;
        env.emplace_back("DVR_EMULATOR", words);
    }
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool overridden = false;
        for (auto& [key, value] : env)
            overridden |= entry.rfind(key + "=", 0) == 0;
        if (!overridden)
            envStrings.push_back(entry);
    }
    for (auto& [key, value] : env)
        envStrings.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::string cwd = options.cwd.string();

    int parentFd = -1, childFd = -1;
    if (options.pty) {
        struct termios raw {};
        cfmakeraw(&raw);
        if (openpty(&parentFd, &childFd, nullptr, &raw, nullptr) != 0)
            throw std::runtime_error("openpty failed");
    } else {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        parentFd = fds[0];
        childFd = fds[1];
    }
    fcntl(parentFd, F_SETFD, FD_CLOEXEC);

    std::unique_ptr<Process> process(new Process);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.pty)
            setsid();
        int devNull = open("/dev/null", O_RDONLY);
        dup2(options.pty ? childFd : devNull, 0);
        if (options.pty)
            ioctl(childFd, TIOCSCTTY, 0);
        dup2(childFd, 1);
        dup2(childFd, 2);
        for (int fd : options.inheritFds) {
            int flags = fcntl(fd, F_GETFD);
            if (flags >= 0)
                fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        execve(exePath.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(childFd);
    process->pid_ = pid;
    process->outputFd_ = parentFd;
    process->reader_ = std::thread([p = process.get()] { p->ReadLoop(); });
    return process;
}

void Process::ReadLoop()
{
    char buffer[4096];
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !paused_; });
        }
        ssize_t n = read(outputFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        const auto arrived = std::chrono::steady_clock::now();
        std::lock_guard lock(mutex_);
        if (n <= 0) { // EOF, or EIO from a pty whose last holder closed
            outputClosed_ = true;
            closedAt_ = arrived;
            changed_.notify_all();
            return;
        }
        output_.append(buffer, static_cast<size_t>(n));
        arrivals_.emplace_back(output_.size(), arrived);
        changed_.notify_all();
    }
}

Process::~Process()
{
    ResumeReading();
    if (!status_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        WaitExit(milliseconds(10000));
    }
    if (reader_.joinable()) {
        // A grandchild may still hold the pipe open; closing our end ends the read.
        if (!WaitUntil(
                [&] {
                    std::lock_guard l(mutex_);
                    return outputClosed_;
                },
                milliseconds(2000)))
            shutdown(outputFd_, SHUT_RDWR);
        reader_.join();
    }
    if (outputFd_ >= 0)
        close(outputFd_);
}

void Process::PauseReading()
{
    std::lock_guard lock(mutex_);
    paused_ = true;
}

void Process::ResumeReading()
{
    std::lock_guard lock(mutex_);
    paused_ = false;
    changed_.notify_all();
}

void Process::Input(const std::string& text)
{
    if (write(outputFd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot write to the child's terminal");
}

void Process::Signal(int signal)
{
    if (status_)
        return;
    if (signal == SIGINT || signal == SIGTERM || signal == SIGQUIT) {
        stopSignal_ = signal;
        stopSignalledAt_ = std::chrono::steady_clock::now();
        stopSignalRepeated_ = false;
    }
    kill(pid_, signal);
}

// Under ThreadSanitizer a signal that reaches a thread at the wrong moment can
// stay queued inside the sanitizer while the thread sleeps in epoll_wait: the
// core then never sees its stop. A core caught that way stopped as soon as a
// debugger interrupted its wait. So a stop signal still unanswered after 20 s
// is sent once more, in that build only; the core absorbs a second stop
// signal by design, so a core that did see the first is not affected.
void Process::RepeatStopSignalIfLost()
{
#if defined(__SANITIZE_THREAD__)
    if (stopSignal_ && !stopSignalRepeated_ &&
        std::chrono::steady_clock::now() - stopSignalledAt_ > std::chrono::seconds(20)) {
        stopSignalRepeated_ = true;
        kill(pid_, stopSignal_);
    }
#endif
}

std::string Process::Output() const
{
    std::lock_guard lock(mutex_);
    return output_;
}

size_t Process::CountOutput(const std::string& text) const
{
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + text.size()))
        ++count;
    return count;
}

bool Process::WaitForOutput(const std::string& text, milliseconds deadline) const
{
    return WaitForOutputCount(text, 1, deadline);
}

bool Process::WaitForOutputCount(const std::string& text, size_t count, milliseconds deadline) const
{
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (CountOutput(text) >= count)
            return true;
        std::unique_lock lock(mutex_);
        if (changed_.wait_until(lock, end) == std::cv_status::timeout && std::chrono::steady_clock::now() >= end) {
            lock.unlock();
            return CountOutput(text) >= count;
        }
    }
}

std::optional<std::chrono::steady_clock::time_point> Process::ArrivalOf(const std::string& text) const
{
    std::lock_guard lock(mutex_);
    const size_t at = output_.find(text);
    if (at == std::string::npos)
        return std::nullopt;
    for (const auto& [size, arrived] : arrivals_)
        if (size >= at + text.size())
            return arrived;
    return std::nullopt;
}

std::optional<std::chrono::steady_clock::time_point> Process::OutputEndedAt() const
{
    std::lock_guard lock(mutex_);
    if (!outputClosed_)
        return std::nullopt;
    return closedAt_;
}

std::optional<int> Process::WaitExit(milliseconds deadline)
{
    if (status_)
        return status_;
    bool exited = WaitUntil(
        [&] {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            }
            RepeatStopSignalIfLost();
            return false;
        },
        deadline);
    if (!exited)
        return std::nullopt;
    // Let the reader collect what the child wrote last.
    WaitUntil(
        [&] {
            std::lock_guard l(mutex_);
            return outputClosed_;
        },
        milliseconds(2000));
    return status_;
}

bool Process::Running()
{
    return !WaitExit(milliseconds(0)).has_value();
}

} // namespace dvrtest
