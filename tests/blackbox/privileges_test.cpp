// Whose user the core takes on and which capabilities it keeps, read from
// the kernel's own view of every thread (/proc/<pid>/task/*/status) of the
// real executable running real plugins: one with a worker, one with a reader
// and one that starts a thread of its own in Open and reports the sets it
// sees there. The core is started by a parent running as another real user,
// as a supervisor started under that account would. Needs root.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "dvrplugin.h"
#include "support/plugin_journal.h"
#include "support/process.h"
#include "support/supervisor_peer.h"
#include "support/syslog_capture.h"

namespace {

using namespace dvrtest;

constexpr const char* kStarted = "successfully started core version";
constexpr uid_t kNobody = 65534;
// Colour digit of a terminal line's time stamp, by level.
constexpr char kWarning = '3';
constexpr char kCritical = '1';
constexpr uint64_t kInitSets = 0x23000;
constexpr uint64_t kRunningSets = 0x3000;
// Set-user-ID, set-group-ID and the capability bits the core is to keep.
constexpr uint64_t kNeededSets = (1u << 6) | (1u << 7) | (1u << 8) | kInitSets;

#if defined(__SANITIZE_THREAD__)
// The race detector's background thread blocks every signal, so the core
// cannot reach it and names it instead.
constexpr bool kUnreachableRuntimeThread = true;
#else
constexpr bool kUnreachableRuntimeThread = false;
#endif

using Status = std::map<std::string, std::string>; // "Uid" -> "0\t0\t0\t0"

Status ReadStatus(const fs::path& path)
{
    Status fields;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        size_t first = line.find_first_not_of(" \t", colon + 1);
        size_t last = line.find_last_not_of(" \t");
        fields[line.substr(0, colon)] = first == std::string::npos ? "" : line.substr(first, last + 1 - first);
    }
    return fields;
}

std::string Hex(uint64_t sets)
{
    char text[17];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(sets));
    return text;
}

std::string Ids(unsigned int id)
{
    std::string one = std::to_string(id);
    return one + "\t" + one + "\t" + one + "\t" + one;
}

// The supplementary groups a user gets at log-in, as /proc lists them.
std::string GroupList(uid_t uid)
{
    passwd* user = getpwuid(uid);
    if (!user)
        return "?";
    gid_t groups[256];
    int count = 256;
    if (getgrouplist(user->pw_name, user->pw_gid, groups, &count) < 0)
        return "?";
    std::sort(groups, groups + count);
    std::string text;
    for (int i = 0; i < count; ++i)
        text += (i ? " " : "") + std::to_string(groups[i]);
    return text;
}

// Why this machine cannot run the tests; empty when it can.
std::string MissingPrivileges()
{
    if (geteuid() != 0)
        return "needs root to start a root core under another user";
    if (getpwuid(kNobody) == nullptr)
        return "needs the account nobody (65534)";
    uint64_t permitted = std::stoull(ReadStatus("/proc/self/status")["CapPrm"], nullptr, 16);
    if ((permitted & kNeededSets) != kNeededSets)
        return "needs setuid, setgid, setpcap, net_admin, net_raw and sys_rawio in the permitted set";
    return "";
}

class PrivilegeDrop : public ::testing::Test {
protected:
    CoreInstall install;
    fs::path journal = install.root() / "journal";
    std::unique_ptr<Process> parent;
    pid_t core = -1;

    void SetUp() override
    {
        if (std::string missing = MissingPrivileges(); !missing.empty())
            GTEST_SKIP() << missing;
        if (!Emulator().empty())
            GTEST_SKIP() << "under an emulator the core's tasks include the emulator's own threads, which keep "
                            "their user and sets";
        // The core may run as nobody: it must reach its files and write its
        // status documents and the plugins' journal.
        fs::permissions(install.root(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
        fs::permissions(install.work, fs::perms::all);
        WriteFile(journal, "");
        fs::permissions(journal,
                        fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
        AddProbe("worker", "id=0x00310000\nworker=block");
        AddProbe("reader", "id=0x00320000\nreader=block");
        AddProbe("spawner", "id=0x00330000\nopen_thread=block\nopen_caps=1");
    }

    void TearDown() override
    {
        // A parent killed by the test leaves a core that changed its user
        // behind; it must not outlive the test.
        if (core > 0 && parent && parent->Running())
            kill(core, SIGKILL);
    }

    void AddProbe(const std::string& stem, const std::string& config)
    {
        install.AddConfiguredPlugin("probe", stem, config, journal);
    }

    // `helperOptions` are the helper's switches before the two users.
    void Start(uid_t parentUid, uid_t coreUid, std::vector<std::string> args,
               std::vector<std::string> helperOptions = {}, SupervisorPeer* supervisor = nullptr)
    {
        parent = StartCore(install, supervisor, [&](const ProcessOptions& coreOptions) {
            ProcessOptions options = coreOptions;
            options.args = std::move(helperOptions);
            options.args.insert(options.args.end(), {std::to_string(parentUid), std::to_string(coreUid)});
            // The helper executes the core as given: through the emulator where there is one.
            options.args.insert(options.args.end(), Emulator().begin(), Emulator().end());
            options.args.push_back(install.exe.string());
            options.args.insert(options.args.end(), args.begin(), args.end());
            options.args.insert(options.args.end(), coreOptions.args.begin(), coreOptions.args.end());
            return Process::Start(DVR_ASPARENT_EXE, options);
        });
        const std::string children =
            "/proc/" + std::to_string(parent->pid()) + "/task/" + std::to_string(parent->pid()) + "/children";
        WaitUntil([&] { return !ReadFile(children).empty() || !parent->Running(); });
        std::string text = ReadFile(children);
        if (!text.empty())
            core = static_cast<pid_t>(std::stol(text));
    }

    // The first journal line starting with `prefix`, once there; empty at the deadline.
    std::string Journaled(const std::string& prefix) const
    {
        const PluginJournal lines(journal);
        lines.WaitForPrefix(prefix);
        return lines.FirstWithPrefix(prefix);
    }

    // Running until every plugin thread is there: the worker, the reader
    // (started after the narrowing) and the plugin's own thread.
    void WaitUntilRunning()
    {
        ASSERT_TRUE(parent->WaitForOutput(kStarted)) << parent->Output();
        for (const char* line : {"worker worker-start", "reader reader-start", "spawner own-thread-start"})
            ASSERT_NE(Journaled(line), "") << line << "\n" << ReadFile(journal) << parent->Output();
    }

    std::map<pid_t, Status> Threads() const
    {
        std::map<pid_t, Status> threads;
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(core) + "/task"))
            threads[std::stoi(task.path().filename())] = ReadStatus(task.path() / "status");
        return threads;
    }

    void Stop()
    {
        parent->Signal(SIGTERM);
        EXPECT_EQ(parent->WaitExit(), 0) << parent->Output();
    }

    // Threads the core said it could not reach: `expected`, and the race
    // detector's own thread where it runs.
    std::set<pid_t> UnreachedThreads(const std::set<pid_t>& expected = {}) const
    {
        std::set<pid_t> unreached;
        std::istringstream out(parent->Output());
        const std::string marker = "capset did not reach thread ";
        for (std::string line; std::getline(out, line);)
            if (size_t at = line.find(marker); at != std::string::npos)
                unreached.insert(std::stoi(line.substr(at + marker.size())));
        if (!kUnreachableRuntimeThread) {
            EXPECT_EQ(unreached, expected) << parent->Output();
        }
        for (pid_t tid : expected)
            EXPECT_EQ(unreached.count(tid), 1u) << tid << "\n" << parent->Output();
        return unreached;
    }

    // The colour of the time stamp of the first terminal line showing `text`,
    // by level: '3' warning, '1' critical; '?' when no line shows it.
    char LevelColour(const std::string& text) const
    {
        std::istringstream out(parent->Output());
        for (std::string line; std::getline(out, line);)
            if (line.find(text) != std::string::npos)
                return line.rfind("\033[3", 0) == 0 && line.size() > 3 ? line[3] : '?';
        return '?';
    }
};

struct RunningCase {
    const char* name;
    uid_t parentUid, coreUid;
    bool supervised;
    uid_t expectedUid;
    std::optional<uint64_t> openSets, runningSets; // nothing: as the test process has them
    size_t capsetFailures;
};

TEST_F(PrivilegeDrop, EveryThreadEndsWithTheParentsUserAndTheRunningSets)
{
    const Status own = ReadStatus("/proc/self/status");
    const RunningCase cases[] = {
        {"root core under a nobody supervisor", kNobody, 0, true, kNobody, kInitSets, kRunningSets, 0},
        {"root core under a nobody parent, no pipe", kNobody, 0, false, kNobody, kInitSets, kRunningSets, 0},
        {"both root: nothing changes", 0, 0, false, 0, std::nullopt, std::nullopt, 0},
        // Without capabilities both calls are refused and logged; the core runs on.
        {"same non-root user", kNobody, kNobody, false, kNobody, 0, 0, 2},
    };
    for (const RunningCase& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(journal, "");
        SupervisorPeer supervisor;
        Start(c.parentUid, c.coreUid, c.supervised ? std::vector<std::string>{} : std::vector<std::string>{"-1"}, {},
              c.supervised ? &supervisor : nullptr);
        ASSERT_GT(core, 0) << parent->Output();
        if (c.supervised) {
            ASSERT_TRUE(ConfigureCore(supervisor, *parent));
        }
        WaitUntilRunning();

        auto expectedSets = [&](const std::optional<uint64_t>& sets, const char* field) {
            return sets ? Hex(*sets) : own.at(field);
        };
        EXPECT_EQ(Journaled("spawner Open-caps"), "spawner Open-caps " + expectedSets(c.openSets, "CapEff") + " " +
                                                      expectedSets(c.openSets, "CapPrm") + " " +
                                                      (c.openSets ? Hex(0) : own.at("CapInh")));

        const std::set<pid_t> unreached = UnreachedThreads();
        const auto threads = Threads();
        EXPECT_GE(threads.size(), 5u); // main, I/O, worker, reader, the plugin's own
        // The stop signals reach the core's signal thread alone, never a
        // plugin's thread: blocked everywhere, it takes them with sigwait
        // (which shows them unblocked on it while it waits).
        const uint64_t stopSignals =
            (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1)) | (1ull << (SIGQUIT - 1)) | (1ull << (SIGHUP - 1));
        int takingStopSignals = 0;
        for (const auto& [tid, status] : threads) {
            SCOPED_TRACE("thread " + std::to_string(tid) + " " + status.at("Name"));
            const uint64_t blocked = std::stoull(status.at("SigBlk"), nullptr, 16) & stopSignals;
            EXPECT_TRUE(blocked == 0 || blocked == stopSignals);
            takingStopSignals += blocked == 0;
            EXPECT_EQ(status.at("Uid"), Ids(c.expectedUid));
            EXPECT_EQ(status.at("Gid"), Ids(getpwuid(c.expectedUid)->pw_gid));
            if (c.expectedUid != 0 || c.coreUid != 0) {
                const bool userChanged = c.coreUid != c.expectedUid;
                EXPECT_EQ(status.at("Groups"), userChanged ? GroupList(c.expectedUid) : "");
            }
            if (unreached.count(tid))
                continue;
            EXPECT_EQ(status.at("CapEff"), expectedSets(c.runningSets, "CapEff"));
            EXPECT_EQ(status.at("CapPrm"), expectedSets(c.runningSets, "CapPrm"));
            EXPECT_EQ(status.at("CapInh"), c.runningSets ? Hex(0) : own.at("CapInh"));
            EXPECT_EQ(status.at("CapAmb"), Hex(0));
        }
        EXPECT_EQ(takingStopSignals, 1);
        EXPECT_EQ(parent->CountOutput("capset failed: Operation not permitted"), c.capsetFailures);
        Stop();
        if (c.capsetFailures) {
            EXPECT_EQ(LevelColour("capset failed: "), kWarning) << parent->Output();
        }
        core = -1;
    }
}

TEST_F(PrivilegeDrop, AThreadThatBlocksTheSignalIsNamedAndKeepsItsSets)
{
    AddProbe("deaf", "id=0x00340000\nopen_thread=deaf");
    Start(kNobody, 0, {"-1"});
    ASSERT_GT(core, 0) << parent->Output();
    WaitUntilRunning();
    const std::string started = Journaled("deaf own-thread-start ");
    ASSERT_NE(started, "") << ReadFile(journal);
    const pid_t deaf = std::stoi(started.substr(started.rfind(' ') + 1));

    // Named once (it did not exist at the first call), at level 50, and the
    // only thread left with raw I/O.
    const std::string named = "capset did not reach thread " + std::to_string(deaf) + " (dvrcore)";
    EXPECT_EQ(parent->CountOutput(named), 1u) << parent->Output();
    EXPECT_EQ(LevelColour(named), kWarning) << parent->Output();
    const std::set<pid_t> unreached = UnreachedThreads({deaf});
    for (const auto& [tid, status] : Threads()) {
        SCOPED_TRACE("thread " + std::to_string(tid));
        EXPECT_EQ(status.at("CapPrm"), Hex(unreached.count(tid) ? kInitSets : kRunningSets));
    }
    Stop();
}

struct RefusedCase {
    const char* name;
    uid_t parentUid, coreUid;
    std::vector<std::string> helperOptions, args;
    std::vector<std::pair<std::string, char>> lines; // text, level colour
};

TEST_F(PrivilegeDrop, StartUpsThatCannotDropPrivilegesExitWithCode2)
{
    uid_t noEntry = 54321;
    while (getpwuid(noEntry))
        ++noEntry;
    const std::string hidden = (install.root() / "hidden-status").string();
    const std::string rawIo = "17";
    const RefusedCase cases[] = {
        {"parent without a password entry",
         noEntry,
         0,
         {},
         {"-1"},
         {{"getpwuid failed: no password entry for user " + std::to_string(noEntry), kCritical}}},
        // The parent's user then reads as root, which a non-root core cannot become.
        {"unreadable parent status",
         0,
         kNobody,
         {"--hide-status", hidden},
         {"-1"},
         {{"setuid/gid failed: Operation not permitted", kCritical}}},
        {"closed pipe descriptor after the user change",
         kNobody,
         0,
         {},
         {"57"},
         {{"failed to open ipc pipe", kCritical}}},
        // Root without raw I/O: the start-up set is refused, and the full sets
        // the secure bit kept across the change of user would lead back to root.
        {"capset refused after the user change",
         kNobody,
         0,
         {"--drop-bound", rawIo},
         {"-1"},
         {{"capset failed: Operation not permitted", kWarning},
          {"privilege drop incomplete: thread " /* the main thread */, kCritical}}},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.helperOptions.empty() && c.helperOptions[0] == "--hide-status" && !CanUseMountNamespaces()) {
            std::cout << "skipping \"" << c.name << "\": needs mount namespaces\n";
            continue;
        }
        Start(c.parentUid, c.coreUid, c.args, c.helperOptions);
        EXPECT_EQ(parent->WaitExit(), 2) << parent->Output();
        for (const auto& [text, colour] : c.lines)
            EXPECT_EQ(LevelColour(text), colour) << text << "\n" << parent->Output();
        EXPECT_NE(parent->Output().find("failed to initialize core"), std::string::npos) << parent->Output();
        EXPECT_EQ(parent->Output().find(kStarted), std::string::npos) << parent->Output();
        core = -1;
    }
}

} // namespace
