// SetCapabilities against a busy process: threads that keep starting threads
// while the sets change, and threads waiting in system calls, which must take
// the sets and carry on undisturbed. Runs in a forked child, so that the test
// process keeps its own privileges. Needs root.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/privileges.h"
#include "support/process.h"

namespace {

constexpr uint64_t kSets = INIT_CAPABILITIES;

// The exit code of `body` run in a child process; 128 + signal when it died.
int InChild(const std::function<int()>& body)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool CanNarrowTo(uint64_t sets)
{
    auto self = ReadThreadCredentials(gettid());
    return geteuid() == 0 && self && (self->permitted & sets) == sets;
}

// Threads that keep starting long-lived threads until told to stop (or
// until each has started 250), so that threads appear all through the call.
struct ThreadStorm {
    std::mutex mutex;
    std::condition_variable stopped;
    bool stop = false;
    std::vector<std::thread> spawned;
    std::vector<std::thread> spawners;

    explicit ThreadStorm(int count)
    {
        for (int i = 0; i < count; ++i)
            spawners.emplace_back([this] {
                std::unique_lock lock(mutex);
                for (int n = 0; n < 250 && !stop; ++n) {
                    lock.unlock();
                    std::thread child([this] {
                        std::unique_lock childLock(mutex);
                        stopped.wait(childLock, [this] { return stop; });
                    });
                    lock.lock();
                    spawned.push_back(std::move(child));
                }
            });
    }
    ~ThreadStorm()
    {
        {
            std::lock_guard lock(mutex);
            stop = true;
            stopped.notify_all();
        }
        for (auto& thread : spawners)
            thread.join();
        for (auto& thread : spawned)
            thread.join();
    }
};

TEST(CapabilityBroadcast, EveryThreadTakesTheSetsIncludingThoseStartedMeanwhile)
{
    if (!CanNarrowTo(kSets))
        GTEST_SKIP() << "needs root with net_admin, net_raw and sys_rawio in the permitted set";
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the race detector blocks signals in its own threads and holds them back from threads "
                    "waiting in most system calls; the core names such threads instead of reaching them";
#endif
    if (!dvrtest::Emulator().empty())
        GTEST_SKIP() << "under an emulator the process's tasks include the emulator's own threads";
    // 1: some thread kept other sets; 2: a waiting read saw the signal.
    int result = InChild([] {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            return 3;
        std::atomic<ssize_t> readResult{-2};
        std::thread reader([&] {
            char byte;
            readResult = read(pipeFds[0], &byte, 1); // restarted after the handler
        });
        int bad = 0;
        {
            ThreadStorm storm(4);
            dvrtest::WaitUntil([&] { // the storm under way
                std::lock_guard lock(storm.mutex);
                return storm.spawned.size() >= 8;
            });
            SetCapabilities(static_cast<uint32_t>(kSets));
            for (pid_t tid : ProcessThreads()) {
                auto thread = ReadThreadCredentials(tid);
                if (thread && (thread->effective != kSets || thread->permitted != kSets || thread->inheritable))
                    bad = 1;
            }
        }
        if (write(pipeFds[1], "x", 1) != 1)
            return 3;
        reader.join();
        return bad ? 1 : readResult == 1 ? 0 : 2;
    });
    EXPECT_EQ(result, 0);
}

} // namespace
