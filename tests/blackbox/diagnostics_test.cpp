// What an operator learns from the core's own output about its plugins: which
// one hangs, which one crashed, what each one costs. Real executable, real
// plugin libraries, real seconds.
#include <gtest/gtest.h>

#include <cstdlib>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <regex>

#include "dvrplugin.h"
#include "support/plugin_journal.h"
#include "support/process.h"
#include "support/supervisor_peer.h"

namespace {

using namespace dvrtest;
using namespace std::chrono_literals;

// Subscribed to log events: the core's start-up line reaches its Write.
const std::string kHearsLogLines = "write=1\nmask6=0xFFFFFFFF\n";
const std::string kStarted = "successfully started core version";

void AddPlugin(CoreInstall& install, const std::string& binary, const std::string& stem, const std::string& config)
{
    fs::path library = install.AddTestPlugin(binary, stem + ".so");
    WriteFile(library.parent_path() / (stem + ".conf"), config);
}

bool CanUseMountNamespaces()
{
    return geteuid() == 0 && system("unshare -m sh -c 'mount -t tmpfs none /proc' 2>/dev/null") == 0;
}

// The whole number in the first match of `pattern`'s group 1, or -1.
int Number(const std::string& text, const std::string& pattern)
{
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? std::stoi(match[1]) : -1;
}

TEST(HungCalls, AWriteThatTakesSevenSecondsIsNamedWhileItLastsAndWhenItReturns)
{
    CoreInstall install;
    AddPlugin(install, "probe", "sleeper", kHearsLogLines + "first_write_sleep_ms=7000\n");
    auto core = StartCore(install);
    ASSERT_TRUE(core->WaitForOutput("plugin sleeper.so has not returned from Write for 5 seconds")) << core->Output();
    ASSERT_TRUE(core->WaitForOutput("plugin sleeper.so returned from Write after ")) << core->Output();
    // Looked at once a second: the seven seconds show as six to eight.
    const int after = Number(core->Output(), "returned from Write after (\\d+) seconds");
    EXPECT_GE(after, 6);
    EXPECT_LE(after, 9);
    EXPECT_EQ(core->CountOutput("has not returned"), 1u);
    EXPECT_EQ(core->CountOutput("core stop is waiting"), 0u);
    core->Signal(SIGTERM);
    EXPECT_EQ(core->WaitExit(), 0);
}

TEST(HungCalls, TheStopNamesThePluginItWaitsFor)
{
    CoreInstall install;
    AddPlugin(install, "probe", "quick", "id=0x00310000\n");
    AddPlugin(install, "probe", "lingerer", "id=0x00320000\nclose_sleep_ms=7000\n");
    auto core = StartCore(install);
    ASSERT_TRUE(core->WaitForOutput(kStarted)) << core->Output();
    core->Signal(SIGTERM);
    ASSERT_TRUE(core->WaitForOutput("plugin lingerer.so has not returned from Close for 5 seconds")) << core->Output();
    EXPECT_TRUE(core->WaitForOutput("core stop is waiting for plugin lingerer.so to return from Close"));
    EXPECT_EQ(core->WaitExit(), 0);
    EXPECT_NE(core->Output().find("plugin lingerer.so returned from Close after "), std::string::npos);
    EXPECT_EQ(core->Output().find("quick.so has not returned"), std::string::npos);
}

TEST(HungCalls, TheIoThreadIsWatchedToo)
{
    CoreInstall install;
    // Eight seconds: the watchdog looks once a second, so a loaded machine
    // still sees the call pass its five-second mark.
    AddPlugin(install, "probe", "slowpeer", "id=0x00050000\nsupervisor_sleep_ms=8000\n");
    SupervisorPeer supervisor;
    auto core = StartCore(install, &supervisor);
    ASSERT_TRUE(ConfigureCore(supervisor, *core));
    ASSERT_TRUE(supervisor.Send(3, DVR_IPC_TARGET(5), "slow"));
    EXPECT_TRUE(core->WaitForOutput("plugin slowpeer.so has not returned from IOCTL for 5 seconds")) << core->Output();
    EXPECT_TRUE(core->WaitForOutput("plugin slowpeer.so returned from IOCTL after ")) << core->Output();
    ASSERT_TRUE(supervisor.Send(IPC_KIND_STOP, 0));
    EXPECT_EQ(core->WaitExit(), 0);
}

// --- crashes ----------------------------------------------------------------

// A receiving end for the syslog datagrams of a core run in a private mount
// namespace whose /dev/log leads here; inert where namespaces are not allowed.
class SyslogCapture {
public:
    explicit SyslogCapture(const CoreInstall& install) : path_((install.root() / "log.sock").string())
    {
        if (!CanUseMountNamespaces())
            return;
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
        timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~SyslogCapture()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool owned() const { return fd_ >= 0; }

    // Runs the core with this /dev/log when owned, plainly otherwise.
    std::unique_ptr<Process> Start(const CoreInstall& install, ProcessOptions options) const
    {
        if (!owned())
            return Process::Start(install.exe, options);
        std::vector<std::string> args = {
            "-m",
            "sh",
            "-c",
            "mount -t tmpfs none /dev && ln -s \"$1\" /dev/log && core=\"$0\" && shift && exec \"$core\" \"$@\"",
            install.exe.string(),
            path_};
        args.insert(args.end(), options.args.begin(), options.args.end());
        options.args = args;
        return Process::Start("/usr/bin/unshare", options);
    }

    // The first datagram holding `text`, or "".
    std::string Find(const std::string& text) const
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

private:
    std::string path_;
    int fd_ = -1;
};

struct CrashCase {
    const char* name;
    std::string plugin; // probe configuration of crasher.so; empty: no plugin
    bool supervisorPacket;
    int signal;
    std::string line;
};

void PrintTo(const CrashCase& crash, std::ostream* out)
{
    *out << crash.name;
}

class Crash : public ::testing::TestWithParam<CrashCase> {};

TEST_P(Crash, EndsTheCoreWithTheSignalAndALineNamingWhereItHappened)
{
    if (!Emulator().empty())
        // qemu-user reports a guest's fatal signal itself and ends with its own status.
        GTEST_SKIP() << "the emulator handles the core's fatal signals itself";
    const CrashCase& crash = GetParam();
    CoreInstall install;
    if (!crash.plugin.empty())
        AddPlugin(install, "probe", "crasher", crash.plugin);
    SyslogCapture syslog(install);
    SupervisorPeer supervisor;
    auto core =
        StartCore(install, &supervisor, [&](const ProcessOptions& options) { return syslog.Start(install, options); });
    ASSERT_TRUE(ConfigureCore(supervisor, *core));
    if (crash.supervisorPacket)
        ASSERT_TRUE(supervisor.Send(3, DVR_IPC_TARGET(5), "go"));
    else if (crash.plugin.empty())
        core->Signal(crash.signal);

    const std::optional<int> exit = core->WaitExit();
    if (exit != 128 + crash.signal && core->Output().find("Sanitizer") != std::string::npos)
        GTEST_SKIP() << "the sanitizer of this build owns the fatal signals: " << core->Output();
    EXPECT_EQ(exit, 128 + crash.signal) << core->Output();
    EXPECT_EQ(core->CountOutput(crash.line), 1u) << core->Output();
    if (!syslog.owned())
        return; // needs root and mount namespaces
    const std::string message = syslog.Find(crash.line);
    EXPECT_EQ(message.rfind("<10>", 0), 0u) << message; // user facility, LOG_CRIT
}

INSTANTIATE_TEST_SUITE_P(
    Where, Crash,
    ::testing::Values(CrashCase{"NullPointerInWrite", kHearsLogLines + "write_fault=1\n", false, SIGSEGV,
                                "fatal signal 11 (SIGSEGV) in plugin crasher.so (Write), fault address 0x0"},
                      CrashCase{"AbortInSupervisorIoctl", "id=0x00050000\nsupervisor_abort=1\n", true, SIGABRT,
                                "fatal signal 6 (SIGABRT) in plugin crasher.so (IOCTL), fault address 0x0"},
                      CrashCase{"OutsidePlugins", "", false, SIGSEGV,
                                "fatal signal 11 (SIGSEGV) in the core, fault address 0x0"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- counters ---------------------------------------------------------------

TEST(PluginCounters, SIGUSR1LogsOneLinePerPluginWithWhatItRaisedAndKeeps)
{
    // The blocks the plugin keeps are the leak the core reports itself; the
    // leak checker of a sanitizer build must not end the core over them.
    const char* asanOptions = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asanOptions ? asanOptions : "") + ":detect_leaks=0").c_str(), 1);
    CoreInstall install;
    fs::path journal = install.root() / "journal";
    // Five 100-byte events and two video frames refused for want of a key frame.
    AddPlugin(install, "eventprobe", "source",
              "id=0x00600000\njournal=" + journal.string() +
                  "\nraise_in=open\nraise=0x2 0x0 100 5\nraise=0x1 0x01000000 8 2\n");
    // One keeps every block it receives, the other only the last one.
    AddPlugin(install, "eventprobe", "keeper",
              "id=0x00700000\njournal=" + journal.string() + "\nwrite=1\nmask1=0xFFFFFFFF\nretain=1\n");
    AddPlugin(install, "eventprobe", "lastonly",
              "id=0x00710000\njournal=" + journal.string() + "\nwrite=1\nmask1=0xFFFFFFFF\nretain=1\nrelease=next\n");
    auto core = StartCore(install);
    ASSERT_TRUE(core->WaitForOutput(kStarted)) << core->Output();
    ASSERT_TRUE(WaitUntil([&] {
        PluginJournal log(journal);
        return log.CountPrefix("keeper retained") == 5 && log.CountPrefix("lastonly retained") == 5;
    }));

    // The journal shows the last Write before the core records its outcome:
    // ask again until the counters have caught up.
    const std::vector<std::string> expected = {
        "plugin source.so: write 0 calls",
        "raised ok 5 refused 0 unadmitted 2 ",
        "plugin keeper.so: write 5 calls",
        "holds 5 blocks 500 bytes, peak 5 blocks 500 bytes",
        "holds 1 blocks 100 bytes, peak 1 blocks 100 bytes",
    };
    auto missing = [&] {
        std::string absent;
        for (const std::string& text : expected)
            if (core->Output().find(text) == std::string::npos)
                absent += text + "\n";
        return absent;
    };
    for (size_t asked = 1; asked <= 10 && !missing().empty(); ++asked) {
        core->Signal(SIGUSR1);
        ASSERT_TRUE(core->WaitForOutputCount("plugin lastonly.so: ", asked)) << core->Output();
    }
    EXPECT_EQ(missing(), "") << core->Output();
    EXPECT_EQ(core->CountOutput("plugin keeper.so: "), core->CountOutput("plugin source.so: "));
    // SIGUSR1 does not stop the core; SIGTERM still does.
    EXPECT_TRUE(core->Running());
    core->Signal(SIGTERM);
    EXPECT_EQ(core->WaitExit(), 0);
}

} // namespace
