#include "core/crash_report.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/logging.h"
#include "plugin-host/plugin_call.h"
#include "plugin-host/plugin_side_table.h"

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

PluginSideTable* g_plugins = nullptr;
int g_syslogSocket = -1;
sockaddr_un g_syslogAddress{};
[[maybe_unused]] alignas(16) char g_alternateStack[64 * 1024];

} // namespace

const char* SignalAbbreviation(int signal)
{
    const char* name = sigabbrev_np(signal);
    return name ? name : "?";
}

namespace {

// Appends to a fixed buffer; printf is not async-signal-safe.
class Line {
public:
    Line(char* text, unsigned size) : text_(text), size_(size) {}
    Line& Add(const char* part)
    {
        while (*part && length_ + 1 < size_)
            text_[length_++] = *part++;
        return *this;
    }
    Line& AddNumber(uintptr_t value, unsigned base)
    {
        char digits[24];
        unsigned count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value);
        while (count && length_ + 1 < size_)
            text_[length_++] = digits[--count];
        return *this;
    }
    unsigned Finish()
    {
        if (size_)
            text_[length_] = '\0';
        return length_;
    }

private:
    char* text_;
    unsigned size_;
    unsigned length_ = 0;
};

void WriteAll(int fd, const char* text, size_t length)
{
    while (length) {
        const ssize_t written = write(fd, text, length);
        if (written <= 0) {
            if (written < 0 && errno == EINTR)
                continue;
            return;
        }
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void OnFatalSignal(int signal, siginfo_t* info, void*)
{
    // A fault address only where the kernel reports one; a signal sent by a
    // process (kill, abort) carries none.
    const void* address = info && info->si_code > 0 ? info->si_addr : nullptr;
    WriteQueuedTerminalLinesAtCrash();
    char line[600];
    const unsigned length = FormatCrashLine(line, sizeof line - 1, signal, address);
    line[length] = '\n';
    WriteAll(STDERR_FILENO, line, length + 1);

    if (g_syslogSocket >= 0) {
        char message[700];
        Line datagram(message, sizeof message);
        datagram.Add("<")
            .AddNumber(LOG_USER | LOG_CRIT, 10)
            .Add(">dvrcore[")
            .AddNumber(static_cast<uintptr_t>(getpid()), 10);
        line[length] = '\0';
        const unsigned size = datagram.Add("]: ").Add(line).Finish();
        sendto(g_syslogSocket, message, size, MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&g_syslogAddress), sizeof g_syslogAddress);
    }

    // The default action, as if nothing had been installed: the signal stays
    // blocked until this handler returns, then kills (and dumps core); a fault
    // would also recur when the instruction runs again.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signal, &defaultAction, nullptr);
    raise(signal);
}

// The plugin whose event's data this thread was copying outside any plugin
// call, found without a lock: by its systemID, else by its module's.
const PluginSideState* RaisingPlugin()
{
    const uint32_t source = RaisedDataCopy::source();
    if (!g_plugins || source == 0)
        return nullptr;
    const PluginSideState* state = g_plugins->FindFast(source, true);
    return state ? state : g_plugins->FindFast(source & 0xFFFF0000u, true);
}

} // namespace

unsigned FormatCrashLine(char* text, unsigned size, int signal, const void* address)
{
    Line line(text, size);
    line.Add("fatal signal ")
        .AddNumber(static_cast<uintptr_t>(signal), 10)
        .Add(" (SIG")
        .Add(SignalAbbreviation(signal))
        .Add(") in ");
    const PluginCallScope* scope = PluginCallScope::Current();
    if (scope) {
        line.Add("plugin ");
        const PluginSideState* state = g_plugins ? g_plugins->FindFast(scope->systemID, true) : nullptr;
        if (scope->library)
            line.Add(scope->library);
        else if (state)
            line.Add(state->fileName);
        else
            line.Add("0x").AddNumber(scope->systemID, 16);
        line.Add(" (").Add(PluginEntryName(scope->entry)).Add(")");
    } else if (const PluginSideState* raising = RaisingPlugin()) {
        line.Add("plugin ").Add(raising->fileName).Add(" (raising an event)");
    } else {
        line.Add("the core");
    }
    line.Add(", fault address 0x").AddNumber(reinterpret_cast<uintptr_t>(address), 16);
    return line.Finish();
}

void InstallCrashReport(PluginSideTable& plugins)
{
    g_plugins = &plugins;
    // Opened now: at the crash only sendto is safe. Not connected, so a
    // syslog daemon restarted meanwhile is still reached by its path.
    if (g_syslogSocket < 0)
        g_syslogSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    g_syslogAddress.sun_family = AF_UNIX;
    strncpy(g_syslogAddress.sun_path, _PATH_LOG, sizeof g_syslogAddress.sun_path - 1);

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers keep an alternate stack of their own per thread and
    // unmap it when the thread ends; one of ours there would be unmapped too.
    stack_t stack{};
    stack.ss_sp = g_alternateStack;
    stack.ss_size = sizeof g_alternateStack;
    sigaltstack(&stack, nullptr);
#endif

    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : kFatalSignals)
        sigaction(signal, &action, nullptr);
}
