#include "core/logging.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "core/dvrcore.h"
#include "core/privileges.h"
#include "plugin-host/plugin_records.h"

namespace {

// One output (the terminal, syslog): a ring of queued lines and the thread
// that writes them. The ring holds records {length, lines dropped before
// this one, bytes}; the thread copies a record out before writing it, so
// while it waits on a slow output the ring fills and lines are dropped.
class LineOutput {
public:
    // Writes one line (`length` bytes, NUL after them); may block.
    using Sink = void (*)(const char* line, size_t length);
    // Formats the line that says `dropped` lines were dropped; its length.
    using Notice = size_t (*)(char* text, size_t size, unsigned long long dropped);

    LineOutput(Sink sink, Notice notice, size_t capacity)
        : sink_(sink),
          notice_(notice),
          ring_(new char[capacity]),
          capacity_(capacity),
          line_(new char[capacity / 4 + 1])
    {
        // Started with every signal blocked but the one that hands threads
        // the running capability sets: a stop signal or SIGUSR1 is never
        // delivered to it, and its writes are never interrupted.
        sigset_t all, previous;
        sigfillset(&all);
        sigdelset(&all, CapabilitySignal());
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        std::thread([this] { Run(); }).detach();
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void Put(const char* const* parts, const size_t* lengths, int count)
    {
        size_t length = 0;
        for (int i = 0; i < count; ++i)
            length += lengths[i];
        length = std::min(length, capacity_ / 4); // a longer line is cut
        Header header{static_cast<uint32_t>(length), 0};
        {
            std::lock_guard lock(mutex_);
            if (used_ + sizeof header + length > capacity_) {
                ++dropped_;
                return;
            }
            header.droppedBefore = dropped_;
            dropped_ = 0;
            Store(&header, sizeof header);
            size_t left = length;
            for (int i = 0; i < count && left; ++i) {
                const size_t part = std::min(lengths[i], left);
                Store(parts[i], part);
                left -= part;
            }
        }
        wake_.notify_one();
    }

    // Waits until everything queued is written, or the output made no
    // progress for `patience`.
    void Flush(std::chrono::milliseconds patience)
    {
        std::unique_lock lock(mutex_);
        uint64_t seen = progress_;
        while (used_ || dropped_ || writing_) {
            if (!done_.wait_for(lock, patience, [&] { return progress_ != seen; }))
                return;
            seen = progress_;
        }
    }

    // At a crash, on the crashing thread: writes what is still queued without
    // waiting for the output's thread, which may never run again. The lock
    // stays taken, so that thread cannot write the same lines a second time.
    void WriteQueuedAtCrash()
    {
        for (int attempt = 0; !mutex_.try_lock(); ++attempt) {
            if (attempt == 1000)
                return; // held by the crashing thread itself, or by a stuck one
            sched_yield();
        }
        while (used_ >= sizeof(Header)) {
            Header header{0, 0};
            Take(&header, sizeof header);
            if (header.length > used_)
                return;
            const size_t first = std::min<size_t>(header.length, capacity_ - head_);
            sink_(ring_.get() + head_, first);
            sink_(ring_.get(), header.length - first);
            head_ = (head_ + header.length) % capacity_;
            used_ -= header.length;
        }
    }

private:
    struct Header {
        uint32_t length;
        uint32_t droppedBefore;
    };

    // Under mutex_: copies into the ring behind what is queued...
    void Store(const void* from, size_t size)
    {
        const char* bytes = static_cast<const char*>(from);
        size_t at = (head_ + used_) % capacity_;
        const size_t first = std::min(size, capacity_ - at);
        memcpy(ring_.get() + at, bytes, first);
        memcpy(ring_.get(), bytes + first, size - first);
        used_ += size;
    }
    // ...and out of it from the front.
    void Take(void* to, size_t size)
    {
        char* bytes = static_cast<char*>(to);
        const size_t first = std::min(size, capacity_ - head_);
        memcpy(bytes, ring_.get() + head_, first);
        memcpy(bytes + first, ring_.get(), size - first);
        head_ = (head_ + size) % capacity_;
        used_ -= size;
    }

    void Run()
    {
        char notice[128];
        for (;;) {
            Header header{0, 0};
            bool line = false;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return used_ || dropped_; });
                if (used_) {
                    Take(&header, sizeof header);
                    Take(line_.get(), header.length);
                    line = true;
                } else {
                    // Dropped at the end of a stall, with no line after them.
                    header.droppedBefore = dropped_;
                    dropped_ = 0;
                }
                writing_ = true;
            }
            if (header.droppedBefore) {
                const size_t length = notice_(notice, sizeof notice, header.droppedBefore);
                sink_(notice, length);
            }
            if (line) {
                line_[header.length] = '\0';
                sink_(line_.get(), header.length);
            }
            {
                std::lock_guard lock(mutex_);
                writing_ = false;
                ++progress_;
            }
            done_.notify_all();
        }
    }

    const Sink sink_;
    const Notice notice_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    const std::unique_ptr<char[]> ring_;
    const size_t capacity_;
    size_t head_ = 0, used_ = 0;         // under mutex_
    uint32_t dropped_ = 0;               // under mutex_: since the last line queued
    bool writing_ = false;               // under mutex_
    uint64_t progress_ = 0;              // under mutex_: lines and notices written
    const std::unique_ptr<char[]> line_; // the thread's
};

void WriteToTerminal(const char* line, size_t length)
{
    while (length) {
        const ssize_t written = write(STDOUT_FILENO, line, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        line += written;
        length -= static_cast<size_t>(written);
    }
}

size_t TerminalNotice(char* text, size_t size, unsigned long long dropped)
{
    // In the core's own line format, at warning level.
    time_t seconds = time(nullptr);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    const int length = snprintf(text, size,
                                "\033[33m%02d:%02d:%02d\033[36m %-6.6s\033[0m terminal output resumed, %llu log "
                                "lines dropped\n",
                                utc.tm_hour, utc.tm_min, utc.tm_sec, "core", dropped);
    return length < 0 ? 0 : std::min(static_cast<size_t>(length), size - 1);
}

void WriteToSyslog(const char* line, size_t)
{
    syslog(LOG_CRIT, "%s", line);
}

size_t SyslogNotice(char* text, size_t size, unsigned long long dropped)
{
    const int length = snprintf(text, size, "%llu log messages dropped", dropped);
    return length < 0 ? 0 : std::min(static_cast<size_t>(length), size - 1);
}

// Created with their threads on first use and never destroyed: a thread may
// still wait on an unread terminal when the process exits.
std::atomic<LineOutput*> g_terminal{nullptr}; // for the crash handler, once made

LineOutput& Terminal()
{
    static LineOutput* const output = [] {
        atexit(FlushLogOutput);
        auto* made = new LineOutput(WriteToTerminal, TerminalNotice, 256 * 1024);
        g_terminal.store(made, std::memory_order_release);
        return made;
    }();
    return *output;
}

LineOutput& Syslog()
{
    static LineOutput* const output = [] {
        atexit(FlushLogOutput);
        return new LineOutput(WriteToSyslog, SyslogNotice, 32 * 1024);
    }();
    return *output;
}

std::atomic<bool> g_terminalUsed{false}, g_syslogUsed{false};
// Off until the start-up has dropped its privileges, which must find the
// process with one thread: lines are written on the logging thread till then.
std::atomic<bool> g_outputThreads{false};

} // namespace

int32_t QueryLogLevel(uint32_t sourceID, DvrEventFunction function)
{
    _EventParmsIn query = EventRecord(sourceID, EVENT_TYPE_LOG, EVENT_FLAGS_LOG_QUERY);
    _EventParmsOut out = EventResultRecord();
    function(&query, &out);
    return out.result;
}

bool LogLevelEnabled(uint32_t sourceID, DvrEventFunction function, int32_t level)
{
    int32_t threshold = QueryLogLevel(sourceID, function);
    return threshold == -1 || level >= threshold;
}

void LogMessage(uint32_t sourceID, DvrEventFunction function, int32_t level, const char* format, ...)
{
    if (!function || !LogLevelEnabled(sourceID, function, level))
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length <= 0)
        return;
    size_t stored = strlen(text);
    _EventParmsIn message =
        EventRecord(sourceID, EVENT_TYPE_LOG, EVENT_FLAGS_LOG_LINE, text, static_cast<uint32_t>(stored + 1));
    message.payload.log.logLevel = level;
    _EventParmsOut out = EventResultRecord();
    function(&message, &out);
}

void StartLogOutputThreads()
{
    g_outputThreads.store(true, std::memory_order_release);
}

void QueueTerminalLine(const char* const* parts, const size_t* lengths, int count)
{
    if (!g_outputThreads.load(std::memory_order_acquire)) {
        for (int i = 0; i < count; ++i)
            WriteToTerminal(parts[i], lengths[i]);
        return;
    }
    g_terminalUsed.store(true, std::memory_order_relaxed);
    Terminal().Put(parts, lengths, count);
}

void QueueSyslogLine(const char* text)
{
    const size_t length = strlen(text);
    if (!g_outputThreads.load(std::memory_order_acquire))
        return WriteToSyslog(text, length);
    g_syslogUsed.store(true, std::memory_order_relaxed);
    Syslog().Put(&text, &length, 1);
}

void WriteQueuedTerminalLinesAtCrash()
{
    if (LineOutput* terminal = g_terminal.load(std::memory_order_acquire))
        terminal->WriteQueuedAtCrash();
}

void FlushLogOutput()
{
    constexpr std::chrono::seconds kPatience{1};
    if (g_terminalUsed.load(std::memory_order_relaxed))
        Terminal().Flush(kPatience);
    if (g_syslogUsed.load(std::memory_order_relaxed))
        Syslog().Flush(kPatience);
}

void dvrcore::WriteLog(uint32_t sourceID, uint32_t level, const char* text)
{
    if (!text)
        return;
    static const bool terminal = isatty(STDOUT_FILENO) == 1;
    if (level == LEVEL_CRITICAL)
        QueueSyslogLine(text);
    if (!terminal || backgroundMode)
        return;

    time_t seconds = time(nullptr);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char name[7] = "?";
    host_.CopyModuleName(sourceID, name, sizeof name);
    // The time and the name, then the text as given, then the newline.
    char head[64];
    int length;
    if (level <= 100) {
        static const int colours[] = {5, 2, 3, 1, 1};
        length = snprintf(head, sizeof head, "\033[3%dm%02d:%02d:%02d\033[36m %-6.6s\033[0m ", colours[level / 25],
                          utc.tm_hour, utc.tm_min, utc.tm_sec, name);
    } else {
        length = snprintf(head, sizeof head, "%02d:%02d:%02d %-6.6s ", utc.tm_hour, utc.tm_min, utc.tm_sec, name);
    }
    if (length < 0)
        return;
    const char* parts[] = {head, text, "\n"};
    const size_t lengths[] = {std::min(static_cast<size_t>(length), sizeof head - 1), strlen(text), 1};
    QueueTerminalLine(parts, lengths, 3);
}
