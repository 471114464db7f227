#include "tools/dvrinspect/inspection.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "plugin-host/raised_event.h"
#include "events/routing.h"
#include "plugin-host/plugin_descriptor_rules.h"
#include "plugin-host/plugin_entry_points.h"
#include "plugin-host/plugin_records.h"

namespace {

// What the child reports through its pipe: once before Load (stage 1) and once
// after (stage 2), so a crash inside Load still leaves what was found.
struct ProbeRecord {
    int stage;
    int opened;
    char openError[1024];
    uint32_t entries;
    int32_t loadResult;
    _LoadParmsOut descriptor;
};

// Answers events raised during Load as a core with no threshold set would,
// told apart by the core's own decision table.
int32_t ProbeEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    if (!in)
        return 0;
    const RaisedKind kind = ClassifyRaised(*in);
    if (kind == RaisedKind::SupervisorBlock)
        free(in->data);
    if (out && kind == RaisedKind::LogQuery)
        out->result = NO_THRESHOLD;
    else if (out && kind != RaisedKind::Release)
        out->result = 0;
    return 0;
}

void WriteAll(int fd, const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n <= 0)
            return;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
}

[[noreturn]] void RunProbe(const std::string& path, int fd)
{
    static ProbeRecord record;
    memset(&record, 0, sizeof record);
    record.stage = 1;
    void* handle = OpenPluginLibrary(path);
    if (!handle) {
        const char* error = dlerror();
        snprintf(record.openError, sizeof record.openError, "%s", error ? error : "");
        WriteAll(fd, &record, sizeof record);
        _exit(0);
    }
    record.opened = 1;
    const PluginEntryPoints entries = LookUpEntryPoints(handle);
    record.entries = ExportedEntryBits(entries);
    WriteAll(fd, &record, sizeof record);
    if (!entries.Load)
        _exit(0);
    static char coreContext; // opaque to plugins; only never null, as the core's
    _LoadParmsIn in = LoadRecord(&coreContext, ProbeEvent);
    record.descriptor = LoadResultRecord();
    record.loadResult = entries.Load(&in, &record.descriptor);
    record.stage = 2;
    WriteAll(fd, &record, sizeof record);
    // No Unload: the core does not unload what it has not opened either; the
    // process ends here, with whatever the plugin started.
    _exit(0);
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

} // namespace

// Plugins may resolve the event function by name, as from the core.
extern "C" DVR_PLUGIN_EXPORT int32_t FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    return ProbeEvent(in, out);
}

Library ProbeLibrary(const std::string& path, int timeoutMs)
{
    Library library;
    library.path = path;
    const size_t slash = path.rfind('/');
    library.fileName = slash == std::string::npos ? path : path.substr(slash + 1);

    int fds[2];
    if (pipe(fds) != 0)
        return library;
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return library;
    }
    if (child == 0) {
        close(fds[0]);
        // What the plugin prints must not mix with the report (or its JSON).
        dup2(STDERR_FILENO, STDOUT_FILENO);
        RunProbe(path, fds[1]);
    }
    close(fds[1]);

    std::string received;
    bool hung = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            hung = true;
            break;
        }
        pollfd watched{fds[0], POLLIN, 0};
        const int ready = poll(&watched, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            hung = ready == 0;
            break;
        }
        char chunk[4096];
        const ssize_t n = read(fds[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        received.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (hung)
        kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    const size_t records = received.size() / sizeof(ProbeRecord);
    if (records == 0)
        return library; // the child died before it could say anything
    ProbeRecord record;
    memcpy(&record, received.data() + (records - 1) * sizeof record, sizeof record);
    library.entries = record.entries;
    if (!record.opened) {
        library.outcome = Library::Outcome::NotOpened;
        library.openError = record.openError;
    } else if (!(record.entries & kLoadBit)) {
        library.outcome = Library::Outcome::NoLoad;
    } else if (record.stage == 2) {
        library.outcome = Library::Outcome::Returned;
        library.loadResult = record.loadResult;
        library.descriptor = record.descriptor;
    } else if (hung) {
        library.outcome = Library::Outcome::Hung;
    } else if (WIFSIGNALED(status)) {
        library.outcome = Library::Outcome::Crashed;
        library.signal = WTERMSIG(status);
    } else {
        library.outcome = Library::Outcome::Crashed; // exited inside Load
    }
    return library;
}

void Judge(std::vector<Library>& libraries)
{
    std::set<uint32_t> taken{CORE_PROVIDER_ID};
    for (Library& library : libraries) {
        switch (library.outcome) {
        case Library::Outcome::NotOpened:
            library.verdict = OpenFailureVerdict(library.fileName, library.openError);
            break;
        case Library::Outcome::NoLoad:
            library.verdict = MissingLoadVerdict(library.fileName);
            break;
        case Library::Outcome::Returned:
            library.verdict = LoadVerdict(library.fileName, library.loadResult, library.descriptor,
                                          taken.count(library.descriptor.systemID) != 0);
            if (library.verdict.accepted)
                taken.insert(library.descriptor.systemID);
            library.warnings = DescriptorWarnings(library.descriptor, library.entries);
            break;
        case Library::Outcome::Crashed:
            library.verdict = {false, LEVEL_CRITICAL,
                               library.signal ? "Load crashed with signal " + std::to_string(library.signal) + " (" +
                                                    strsignal(library.signal) + "): the core would crash with it"
                                              : std::string("Load ended the process: the core would end with it")};
            break;
        case Library::Outcome::Hung:
            library.verdict = {false, LEVEL_CRITICAL, "Load did not return: the core would hang in its start-up"};
            break;
        case Library::Outcome::ProbeFailed:
            library.verdict = {false, LEVEL_CRITICAL, "the library could not be probed"};
            break;
        }
    }
}

uint32_t AcceptedFlagBits(uint32_t mask)
{
    // Inverse of DVR_ROUTING_CLASS: bits 0..23 as they are, class bits 25..31
    // come from eventFlags bits 24..30.
    return (mask & 0x00FFFFFFu) | ((mask & 0xFE000000u) >> 1);
}

std::string AcceptedKinds(int maskIndex, uint32_t mask)
{
    struct Kind {
        int maskIndex;
        uint32_t flags;
        const char* name;
    };
    static const Kind kinds[] = {
        {DVR_EVENT_MASK_INDEX_MEDIA, EVENT_FLAG_BIT_VIDEO, "video frames"},
        {DVR_EVENT_MASK_INDEX_LOG, EVENT_FLAGS_WORD_LOG_LINE, "log lines"},
        {DVR_EVENT_MASK_INDEX_STATUS, EVENT_FLAGS_WORD_XML, "the core's XML status documents"},
    };
    std::string words = "events with eventFlags 0";
    for (const Kind& kind : kinds) {
        if (kind.maskIndex != maskIndex)
            continue;
        const uint32_t needed = DVR_ROUTING_CLASS(kind.flags);
        words += (mask & needed) == needed ? ", " : ", not ";
        words += kind.name;
        words += " (" + Hex(kind.flags) + ")";
    }
    if (mask == 0xFFFFFFFFu)
        words = "every event of this type";
    return words;
}

std::string LogDefaultMeaning(uint32_t moduleIndex, int32_t level)
{
    // Whether the core takes the level is its own rule; the words say why not.
    if (moduleIndex >= kHighestModuleIndex)
        return "ignored: moduleIndex " + std::to_string(moduleIndex) + " has no log-level slot";
    if (level == 0)
        return "none given: the slot keeps what core.xml configures, else every line passes";
    if (!AppliesLogLevelDefault(moduleIndex, level))
        return "ignored (outside -1..100): the slot keeps what core.xml configures, else every line passes";
    if (level == -1)
        return "every line passes (level-0 lines are written but not passed on), unless core.xml configures the slot";
    return "lines below level " + std::to_string(level) + " are dropped, unless core.xml configures the slot";
}

std::vector<size_t> OpenOrder(const std::vector<Library>& libraries)
{
    std::vector<size_t> order;
    for (size_t i = 0; i < libraries.size(); ++i) {
        if (!libraries[i].verdict.accepted)
            continue;
        if (GoesToTheFront(libraries[i].descriptor.systemID) && !order.empty())
            order.insert(order.begin(), i);
        else
            order.push_back(i);
    }
    return order;
}

std::vector<std::vector<size_t>> CloseOrder(const std::vector<Library>& libraries)
{
    std::map<uint32_t, std::vector<size_t>, std::greater<>> byKey;
    for (size_t i : OpenOrder(libraries))
        byKey[CloseOrderKey(libraries[i].descriptor)].push_back(i);
    std::vector<std::vector<size_t>> groups;
    for (auto& [key, group] : byKey)
        groups.push_back(group);
    return groups;
}

std::vector<std::string> Conflicts(const std::vector<Library>& libraries)
{
    std::map<uint32_t, std::vector<std::string>> byID, byIndex;
    std::map<uint32_t, std::set<uint32_t>> indexIDs;
    for (const Library& library : libraries) {
        if (library.outcome != Library::Outcome::Returned || library.loadResult || library.descriptor.error)
            continue;
        const uint32_t id = library.descriptor.systemID;
        byID[id].push_back(library.fileName);
        if (indexIDs[DVR_MODULE_INDEX(id)].insert(id).second)
            byIndex[DVR_MODULE_INDEX(id)].push_back(library.fileName);
    }
    auto names = [](const std::vector<std::string>& files) {
        std::string text;
        for (const std::string& file : files)
            text += (text.empty() ? "" : ", ") + file;
        return text;
    };
    std::vector<std::string> conflicts;
    for (const auto& [id, files] : byID)
        if (files.size() > 1)
            conflicts.push_back("ID " + Hex(id) + " used by " + names(files) + ": only the first is accepted");
    for (const auto& [index, files] : byIndex)
        if (files.size() > 1)
            conflicts.push_back("moduleIndex " + std::to_string(index) + " used by " + names(files) +
                                ": they share one log-level slot and one supervisor address");
    return conflicts;
}
