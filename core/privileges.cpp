// Capability changes that hold for every thread of the process.
#include "core/privileges.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>

#include "core/logging.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the other threads get to take the new sets.
constexpr auto kReachDeadline = std::chrono::seconds(2);
// Threads block every signal for a moment while they start or end; only a
// thread that still blocks it after this long is taken to block it for good.
constexpr auto kBlockedGrace = std::chrono::milliseconds(250);
// Between two looks at the threads that have not changed yet.
constexpr long kRecheckNs = 20 * 1000 * 1000;

// Read by the handler on whichever thread it runs: the sets to take.
std::atomic<uint32_t> requestedMask{0};
// Posted by every handler so that the caller looks again at once.
sem_t handlerRan;

long RawCapset(uint32_t mask)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {{mask, mask, 0}, {0, 0, 0}};
    return syscall(SYS_capset, &header, data);
}

// Async-signal-safe: one system call and a semaphore post.
void OnCapabilitySignal(int)
{
    int savedErrno = errno;
    RawCapset(requestedMask.load());
    sem_post(&handlerRan);
    errno = savedErrno;
}

void InstallHandlerOnce()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        sem_init(&handlerRan, 0, 0);
        struct sigaction action {};
        action.sa_handler = OnCapabilitySignal;
        action.sa_flags = SA_RESTART; // plugin calls in progress resume where the kernel allows
        sigemptyset(&action.sa_mask);
        sigaction(CapabilitySignal(), &action, nullptr);
    });
}

bool HasSets(const ThreadCredentials& thread, uint32_t mask)
{
    return thread.effective == mask && thread.permitted == mask && thread.inheritable == 0;
}

bool BlocksCapabilitySignal(const ThreadCredentials& thread)
{
    return (thread.blockedSignals >> (CapabilitySignal() - 1)) & 1;
}

void WaitForHandlers(Clock::time_point deadline)
{
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_nsec += kRecheckNs;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_nsec -= 1000000000L;
        ++until.tv_sec;
    }
    if (Clock::now() < deadline)
        sem_clockwait(&handlerRan, CLOCK_MONOTONIC, &until);
}

// Signals every other thread until each shows the sets; returns the threads
// that still do not at the deadline. Threads started meanwhile by a thread
// that had not changed yet inherit the old sets, so the task list is read
// again on every pass.
std::vector<pid_t> ReachOtherThreads(uint32_t mask)
{
    const pid_t self = gettid();
    const pid_t process = getpid();
    const auto started = Clock::now();
    const auto deadline = started + kReachDeadline;
    std::set<pid_t> signalled;
    for (;;) {
        std::vector<pid_t> pending;
        bool anyCanRun = false;
        for (pid_t tid : ProcessThreads()) {
            std::optional<ThreadCredentials> thread;
            if (tid == self || !(thread = ReadThreadCredentials(tid)) || HasSets(*thread, mask))
                continue;
            if (!signalled.count(tid)) {
                if (tgkill(process, tid, CapabilitySignal()) != 0)
                    continue; // ended meanwhile
                signalled.insert(tid);
            }
            pending.push_back(tid);
            anyCanRun |= !BlocksCapabilitySignal(*thread);
        }
        // Threads that keep the signal blocked would only make us wait out the deadline.
        const auto now = Clock::now();
        if (pending.empty() || (!anyCanRun && now >= started + kBlockedGrace) || now >= deadline)
            return pending;
        WaitForHandlers(deadline);
    }
}

bool ParseIds(const char* text, unsigned int (&ids)[4])
{
    return sscanf(text, "%u %u %u %u", &ids[0], &ids[1], &ids[2], &ids[3]) == 4;
}

} // namespace

int CapabilitySignal()
{
    return SIGRTMIN + 5;
}

void SetCapabilities(uint32_t mask)
{
    InstallHandlerOnce();
    if (RawCapset(mask) != 0) {
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "capset failed: %s", strerror(errno));
        return;
    }
    requestedMask.store(mask); // before any thread is signalled
    for (pid_t tid : ReachOtherThreads(mask))
        LogMessage(CORE_PROVIDER_ID, FlatPluginEvent, LEVEL_WARNING, "capset did not reach thread %s",
                   DescribeThread(tid).c_str());
}

std::vector<pid_t> ProcessThreads()
{
    std::vector<pid_t> threads;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return threads;
    while (dirent* entry = readdir(tasks)) {
        char* end = nullptr;
        long tid = strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && tid > 0)
            threads.push_back(static_cast<pid_t>(tid));
    }
    closedir(tasks);
    return threads;
}

std::optional<ThreadCredentials> ReadThreadCredentials(pid_t tid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/status", static_cast<int>(tid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    char text[8192];
    size_t length = 0;
    for (ssize_t n; length < sizeof text - 1 && (n = read(fd, text + length, sizeof text - 1 - length)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        length += static_cast<size_t>(n);
    }
    close(fd);
    text[length] = '\0';

    ThreadCredentials thread{};
    unsigned int uids[4], gids[4];
    int found = 0;
    for (char* line = text; line && *line; line = strchr(line, '\n') ? strchr(line, '\n') + 1 : nullptr) {
        unsigned long long value = 0;
        if (strncmp(line, "Uid:", 4) == 0 && ParseIds(line + 4, uids))
            found |= 1;
        else if (strncmp(line, "Gid:", 4) == 0 && ParseIds(line + 4, gids))
            found |= 2;
        else if (sscanf(line, "CapEff: %llx", &value) == 1)
            thread.effective = value, found |= 4;
        else if (sscanf(line, "CapPrm: %llx", &value) == 1)
            thread.permitted = value, found |= 8;
        else if (sscanf(line, "CapInh: %llx", &value) == 1)
            thread.inheritable = value, found |= 16;
        else if (sscanf(line, "SigBlk: %llx", &value) == 1)
            thread.blockedSignals = value, found |= 32;
    }
    if (found != 63)
        return std::nullopt; // a thread that is going away shows less
    for (int i = 0; i < 4; ++i) {
        thread.uid[i] = uids[i];
        thread.gid[i] = gids[i];
    }
    return thread;
}

std::string DescribeThread(pid_t tid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/comm", static_cast<int>(tid));
    char name[64] = "";
    if (FILE* comm = fopen(path, "re")) {
        if (!fgets(name, sizeof name, comm))
            name[0] = '\0';
        fclose(comm);
    }
    name[strcspn(name, "\n")] = '\0';
    return std::to_string(tid) + " (" + name + ")";
}
