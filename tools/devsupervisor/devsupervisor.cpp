// devsupervisor: a stand-in for the supervisor daemon, for plugin authors and
// for the tests. It starts the core on one end of a local sequenced-packet
// socket pair and plays the supervisor's part on the other end: it sends the
// configuration packet, turns Ctrl-C into a stop packet, passes packets to
// plugins, prints what the core sends, and ends when the core has ended.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "core_settings.h"
#include "dvrplugin.h"
#include "terminal_relay.h"

namespace {

const char kUsage[] =
    R"(usage: devsupervisor [options] <core executable>

Starts the core as `<core executable> <fd>`, where <fd> is
its end of a local sequenced-packet socket pair, and plays the supervisor on
the other end until the core exits. Exits with the core's exit code (128 + the
signal number when a signal ended it).

Options:
  --name TEXT       supervisor file name in the configuration packet
                    (default: devsupervisor)
  --version TEXT    supervisor version in the configuration packet
                    (default: 1.0)
  --background      add the run mode "Background:true" to the configuration
                    packet: the core then writes no terminal lines
  --no-config       send no configuration packet: the core opens its plugins
                    only after its 10-second wait
  --send PACKET     send PACKET right after the configuration packet; may be
                    given several times (sent in order)
  --detail          let the core's detail lines through (the leak report, slow
                    writes, queue statistics): --core-log-level 0
  --core-log-level N
                    set the core's own log threshold (-1..100; the core starts
                    with 25) in core.xml in the working directory before
                    starting it; the core keeps it there for later runs
  --no-relay        do not relay the core's terminal lines (see below)
  -h, --help        print this text

PACKET is KIND:TARGET:HEX, e.g. 3:@5:0102ff
  KIND    the packet kind (7 configuration, 8 stop, anything else goes to a
          plugin), decimal or 0x-prefixed hexadecimal
  TARGET  the 32-bit target word, or @N to address the plugin whose
          moduleIndex is N (the same as N << 20)
  HEX     the payload as pairs of hex digits, may be empty (up to 65520 bytes)
The 16-byte header (length, target, kind, extra = 0) is added.

Standard input, one command a line (end of input only stops reading it):
  PACKET      send a packet, as with --send
  raw HEX     send HEX as one record, unchanged (no header is added)
  stop        send a stop packet (kind 8)
  stats       make the core log one line per plugin with its counters
              (SIGUSR1)
  close       close the supervisor's end of the socket: the core logs the
              lost supervisor, pauses one minute and stops
SIGINT and SIGTERM send a stop packet.

The core writes its log lines only to a terminal. When standard output is not
one (a pipe, a file), the core gets a pseudo-terminal instead and its lines are
passed on to standard output without colour codes.

Environment:
  DVR_EMULATOR  a command (words separated by spaces) to start the core
                through, for a core built for another machine: with
                DVR_EMULATOR=qemu-arm the core runs as
                `qemu-arm <core executable> <fd> ...`

Each block the core sends is printed on standard output as
  block N: LENGTH bytes: first bytes in hex
Messages of devsupervisor itself go to standard error.
)";

struct Options {
    std::string name = "devsupervisor";
    std::string version = "1.0";
    bool background = false;
    bool sendConfig = true;
    bool relay = true;
    bool setCoreLogLevel = false;
    int coreLogLevel = 25;
    std::vector<std::string> packets;
    std::vector<std::string> command; // core executable and its extra arguments
};

void Say(const char* format, const std::string& text = "")
{
    fprintf(stderr, "devsupervisor: ");
    fprintf(stderr, format, text.c_str());
    fputc('\n', stderr);
}

bool ParseWord(const std::string& text, uint32_t& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno == ERANGE || parsed > 0xFFFFFFFFull || text[0] == '-')
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], '\0'};
        char* end = nullptr;
        if (!isxdigit(static_cast<unsigned char>(pair[0])) || !isxdigit(static_cast<unsigned char>(pair[1])))
            return false;
        bytes.push_back(static_cast<uint8_t>(strtoul(pair, &end, 16)));
    }
    return true;
}

std::vector<uint8_t> Packet(uint32_t kind, uint32_t target, const std::vector<uint8_t>& payload)
{
    IpcHeader header{static_cast<uint32_t>(IPC_HEADER_SIZE + payload.size()), target, kind, 0};
    std::vector<uint8_t> record(sizeof header + payload.size());
    memcpy(record.data(), &header, sizeof header);
    if (!payload.empty())
        memcpy(record.data() + sizeof header, payload.data(), payload.size());
    return record;
}

// KIND:TARGET:HEX into a whole record; false when malformed.
bool ParsePacket(const std::string& text, std::vector<uint8_t>& record)
{
    size_t first = text.find(':');
    size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos)
        return false;
    uint32_t kind = 0, target = 0;
    std::string targetText = text.substr(first + 1, second - first - 1);
    if (!ParseWord(text.substr(0, first), kind))
        return false;
    if (!targetText.empty() && targetText[0] == '@') {
        uint32_t index = 0;
        if (!ParseWord(targetText.substr(1), index) || index > 0xFFF)
            return false;
        target = DVR_IPC_TARGET(index);
    } else if (!ParseWord(targetText, target)) {
        return false;
    }
    std::vector<uint8_t> payload;
    if (!ParseHex(text.substr(second + 1), payload) || payload.size() > IPC_BUFFER_SIZE - IPC_HEADER_SIZE)
        return false;
    record = Packet(kind, target, payload);
    return true;
}

std::vector<uint8_t> ConfigurationPacket(const Options& options)
{
    std::string payload = options.name;
    payload += '\0';
    payload += options.version;
    if (options.background)
        payload += std::string(1, '\0') + "Background:true";
    return Packet(IPC_KIND_CONFIG, 0, std::vector<uint8_t>(payload.begin(), payload.end()));
}

class Supervisor {
public:
    Supervisor(int socket, pid_t core) : socket_(socket), core_(core) {}

    bool open() const { return socket_ >= 0; }
    int socket() const { return socket_; }

    void Send(const std::vector<uint8_t>& record, const char* what)
    {
        if (socket_ < 0) {
            Say("socket already closed: %s not sent", what);
            return;
        }
        if (send(socket_, record.data(), record.size(), MSG_NOSIGNAL) < 0)
            Say("sending failed: %s", strerror(errno));
    }

    void Close()
    {
        if (socket_ >= 0)
            close(socket_);
        socket_ = -1;
    }

    // Takes one record from the core; false once the core's end is closed.
    bool ReceiveOne(int flags)
    {
        static uint8_t record[IPC_BUFFER_SIZE];
        ssize_t length = recv(socket_, record, sizeof record, flags | MSG_TRUNC);
        if (length < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (length <= 0)
            return false;
        printf("block %u: %zd bytes:", ++blocks_, length);
        size_t shown = static_cast<size_t>(length) < sizeof record ? static_cast<size_t>(length) : sizeof record;
        for (size_t i = 0; i < shown && i < 32; ++i)
            printf(" %02x", record[i]);
        printf(shown > 32 ? " ...\n" : "\n");
        fflush(stdout);
        return true;
    }

    // One line of standard input.
    void Command(const std::string& line)
    {
        if (line.empty() || line[0] == '#')
            return;
        std::vector<uint8_t> record;
        if (line == "stop") {
            Send(Packet(IPC_KIND_STOP, 0, {}), "stop packet");
        } else if (line == "stats") {
            // The core logs one line per plugin with its counters.
            if (kill(core_, SIGUSR1) != 0)
                Say("cannot signal the core: %s", strerror(errno));
        } else if (line == "close") {
            Close();
            Say("closed the supervisor's end of the socket");
        } else if (line.rfind("raw ", 0) == 0) {
            if (ParseHex(line.substr(4), record) && !record.empty())
                Send(record, "record");
            else
                Say("not a hex record: %s", line);
        } else if (ParsePacket(line, record)) {
            Send(record, "packet");
        } else {
            Say("unknown command: %s", line);
        }
    }

private:
    int socket_;
    pid_t core_;
    unsigned blocks_ = 0;
};

// argv after the program name into options; false on a usage error.
bool ParseOptions(int argc, char** argv, Options& options, bool& help)
{
    int i = 1;
    for (; i < argc; ++i) {
        std::string argument = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        if (argument == "--") {
            ++i;
            break;
        }
        if (argument.empty() || argument[0] != '-')
            break;
        std::string packet;
        if (argument == "-h" || argument == "--help") {
            help = true;
            return true;
        } else if (argument == "--name") {
            if (!value(options.name))
                return false;
        } else if (argument == "--version") {
            if (!value(options.version))
                return false;
        } else if (argument == "--background") {
            options.background = true;
        } else if (argument == "--detail") {
            options.setCoreLogLevel = true;
            options.coreLogLevel = 0;
        } else if (argument == "--core-log-level") {
            std::string text;
            char* end = nullptr;
            long level = value(text) ? strtol(text.c_str(), &end, 10) : -2;
            if (text.empty() || *end || level < -1 || level > 100) {
                Say("bad --core-log-level: %s", text);
                return false;
            }
            options.setCoreLogLevel = true;
            options.coreLogLevel = static_cast<int>(level);
        } else if (argument == "--no-relay") {
            options.relay = false;
        } else if (argument == "--no-config") {
            options.sendConfig = false;
        } else if (argument == "--send") {
            std::vector<uint8_t> record;
            if (!value(packet) || !ParsePacket(packet, record)) {
                Say("bad --send packet: %s", packet);
                return false;
            }
            options.packets.push_back(packet);
        } else {
            Say("unknown option: %s", argument);
            return false;
        }
    }
    for (; i < argc; ++i)
        options.command.push_back(argv[i]);
    // The core reads nothing after its descriptor: arguments for it would
    // only look as if they did something.
    if (options.command.size() > 1) {
        Say("the core takes no arguments: %s", options.command[1]);
        return false;
    }
    return !options.command.empty();
}

int ExitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    bool help = false;
    if (!ParseOptions(argc, argv, options, help)) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (help) {
        fputs(kUsage, stdout);
        return 0;
    }

    if (options.setCoreLogLevel) {
        const std::string failure = SetCoreLogLevel(".", options.coreLogLevel);
        if (!failure.empty()) {
            Say("%s", failure);
            return 1;
        }
        Say("core log threshold %s set in core.xml", std::to_string(options.coreLogLevel));
    }
    TerminalRelay relay;
    bool relaying = options.relay && isatty(STDOUT_FILENO) != 1;
    if (relaying) {
        std::string failure;
        relaying = relay.Open(failure);
        if (!relaying)
            Say("no pseudo-terminal for the core's lines: %s", failure);
    }

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        Say("socketpair failed: %s", strerror(errno));
        return 1;
    }
    const int coreEnd = pair[1];

    // Signals arrive through a descriptor, so that one poll loop sees them,
    // the socket and standard input. The core gets the mask back before exec.
    sigset_t handled, previous;
    sigemptyset(&handled);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGCHLD);
    sigprocmask(SIG_BLOCK, &handled, &previous);
    int signals = signalfd(-1, &handled, SFD_CLOEXEC);
    if (signals < 0) {
        Say("signalfd failed: %s", strerror(errno));
        return 1;
    }

    // Prepared before fork: the child only calls async-signal-safe functions.
    std::string fdText = std::to_string(coreEnd);
    std::vector<std::string> emulator;
    if (const char* words = getenv("DVR_EMULATOR")) {
        std::istringstream split(words);
        for (std::string word; split >> word;)
            emulator.push_back(word);
    }
    std::vector<char*> coreArgv;
    for (std::string& word : emulator)
        coreArgv.push_back(word.data());
    coreArgv.insert(coreArgv.end(), {options.command[0].data(), fdText.data()});
    for (size_t i = 1; i < options.command.size(); ++i)
        coreArgv.push_back(options.command[i].data());
    coreArgv.push_back(nullptr);
    // A name without a slash is looked up on PATH, as a shell would; the
    // child says why exec failed with what it may call after fork.
    const std::string startFailure = std::string("devsupervisor: cannot start the core ") + coreArgv[0] + ": ";

    pid_t core = fork();
    if (core < 0) {
        Say("fork failed: %s", strerror(errno));
        return 1;
    }
    if (core == 0) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        fcntl(coreEnd, F_SETFD, 0);
        if (relaying)
            relay.AttachChild();
        execvp(coreArgv[0], coreArgv.data());
        const char* reason = strerrordesc_np(errno);
        (void)!write(STDERR_FILENO, startFailure.data(), startFailure.size());
        (void)!write(STDERR_FILENO, reason, strlen(reason));
        (void)!write(STDERR_FILENO, "\n", 1);
        _exit(127);
    }
    close(coreEnd);
    if (relaying)
        relay.AfterFork();
    Say("started %s", options.command[0] + " as pid " + std::to_string(core) + " on descriptor " + fdText);

    Supervisor supervisor(pair[0], core);
    if (options.sendConfig)
        supervisor.Send(ConfigurationPacket(options), "configuration packet");
    for (const std::string& text : options.packets) {
        std::vector<uint8_t> record;
        ParsePacket(text, record);
        supervisor.Send(record, "packet");
    }

    enum { kSignals, kSocket, kInput, kRelay };
    pollfd watched[4] = {{signals, POLLIN, 0},
                         {supervisor.socket(), POLLIN, 0},
                         {STDIN_FILENO, POLLIN, 0},
                         {relaying ? relay.fd() : -1, POLLIN, 0}};
    std::string input;
    int status = 0;
    bool exited = false;
    while (!exited) {
        watched[kSocket].fd = supervisor.open() ? watched[kSocket].fd : -1;
        if (poll(watched, 4, -1) < 0) {
            if (errno == EINTR)
                continue;
            Say("poll failed: %s", strerror(errno));
            break;
        }
        if (watched[kSignals].revents) {
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGCHLD)
                    exited = waitpid(core, &status, WNOHANG) == core;
                else
                    supervisor.Send(Packet(IPC_KIND_STOP, 0, {}), "stop packet");
            }
        }
        if (watched[kRelay].fd >= 0 && watched[kRelay].revents && !relay.Forward())
            watched[kRelay].fd = -1;
        if (watched[kSocket].fd >= 0 && watched[kSocket].revents && !supervisor.ReceiveOne(0))
            watched[kSocket].fd = -1; // the core's end is closed: only its exit is left to see
        if (watched[kInput].fd >= 0 && watched[kInput].revents) {
            char chunk[4096];
            ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
            if (n <= 0 && !(n < 0 && errno == EINTR)) {
                watched[kInput].fd = -1;
                Say("end of standard input; still supervising (SIGINT or SIGTERM stops the core)");
            } else if (n > 0) {
                input.append(chunk, static_cast<size_t>(n));
                for (size_t end; (end = input.find('\n')) != std::string::npos; input.erase(0, end + 1)) {
                    std::string line = input.substr(0, end);
                    if (!line.empty() && line.back() == '\r')
                        line.pop_back();
                    supervisor.Command(line);
                }
            }
        }
    }

    // What the core sent just before it ended.
    while (supervisor.open() && watched[kSocket].fd >= 0 && supervisor.ReceiveOne(MSG_DONTWAIT)) {
        pollfd more{supervisor.socket(), POLLIN, 0};
        if (poll(&more, 1, 0) <= 0)
            break;
    }
    supervisor.Close();
    if (relaying)
        relay.Drain();
    if (!exited)
        return 1;
    Say("core exited with code %s", std::to_string(ExitCode(status)));
    return ExitCode(status);
}
