// dvrinspect: explains what a plugin library declares and whether the core
// would accept it, in the core's own words. Each library is loaded in a child
// process, so a Load that crashes or hangs is reported instead of fatal.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin-host/plugin_loader.h"
#include "tools/dvrinspect/inspection.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    R"(usage: dvrinspect [--json] [--strict] [--timeout SECONDS] <library.so | directory>...

Loads each plugin library as the core would (in a child process) and prints the
entry points it exports, its descriptor decoded, the verdict the core would
give with the core's own message, and warnings about likely mistakes.

A directory is read as the core reads the one its executable lies in: when it
holds plugins/ or protected-plugins/, those; otherwise its own *.so files. For
a directory the load, open and close orders and the conflicts follow.

  --json            one JSON document on standard output, for scripts
  --strict          a warning fails the run as a rejection does (exit status 1)
  --timeout S       how long Load may take before it counts as hung (default 10)
  -h, --help        print this text

Exit status: 0 when the core would accept every library, 1 when it would
reject one (or, with --strict, when any library draws a warning), 2 on a
usage error.
)";

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

template <typename T, typename F>
std::string JsonArray(const std::vector<T>& items, F each)
{
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i)
        out += (i ? ", " : "") + each(items[i]);
    return out + "]";
}

std::string EntryList(uint32_t entries, bool present)
{
    std::string text;
    for (int i = 0; i < kEntryPointCount; ++i)
        if (((entries >> i) & 1u) == present) {
            // Appended piece by piece: g++ 12 at -O3 takes `"" + string` for an overlapping copy.
            if (!text.empty())
                text += ' ';
            text += kEntryPointNames[i];
        }
    return text.empty() ? "none" : text;
}

bool HasDescriptor(const Library& library)
{
    return library.outcome == Library::Outcome::Returned;
}

void PrintText(const Library& library)
{
    printf("%s\n", library.path.c_str());
    if (library.outcome != Library::Outcome::NotOpened)
        printf("  entry points: %s (missing: %s)\n", EntryList(library.entries, true).c_str(),
               EntryList(library.entries, false).c_str());
    if (HasDescriptor(library)) {
        const _LoadParmsOut& d = library.descriptor;
        printf("  Load returned %d, error %d\n", library.loadResult, d.error);
        printf("  systemID %s, moduleIndex %u\n", Hex(d.systemID).c_str(), DVR_MODULE_INDEX(d.systemID));
        printf("  calls: write %s, read %s, worker %s\n", d.writeEnabled ? "yes" : "no", d.readEnabled ? "yes" : "no",
               d.workerEnabled ? "yes" : "no");
        for (int i = 0; i < DVR_EVENT_MASK_COUNT; ++i)
            if (d.eventMasks[i])
                printf("  mask %-13s %s: accepts eventFlags of bits %s: %s\n", EventTypeName(i),
                       Hex(d.eventMasks[i]).c_str(), Hex(AcceptedFlagBits(d.eventMasks[i])).c_str(),
                       AcceptedKinds(i, d.eventMasks[i]).c_str());
        printf("  log default %d: %s\n", d.logLevelDefault,
               LogDefaultMeaning(DVR_MODULE_INDEX(d.systemID), d.logLevelDefault).c_str());
    }
    if (library.verdict.accepted)
        printf("  verdict: accepted\n");
    else
        printf("  verdict: rejected (level %d): %s\n", library.verdict.level, library.verdict.message.c_str());
    for (const std::string& warning : library.warnings)
        printf("  warning: %s\n", warning.c_str());
}

std::string LibraryJson(const Library& library)
{
    std::string out = "{\"path\": " + Json(library.path) + ", \"file\": " + Json(library.fileName);
    std::vector<std::string> found, missing;
    for (int i = 0; i < kEntryPointCount; ++i)
        ((library.entries >> i) & 1u ? found : missing).push_back(kEntryPointNames[i]);
    out += ", \"opened\": " + std::string(library.outcome != Library::Outcome::NotOpened ? "true" : "false");
    out += ", \"entryPoints\": " + JsonArray(found, Json) + ", \"missingEntryPoints\": " + JsonArray(missing, Json);
    if (HasDescriptor(library)) {
        const _LoadParmsOut& d = library.descriptor;
        out += ", \"loadResult\": " + std::to_string(library.loadResult) + ", \"error\": " + std::to_string(d.error);
        out += ", \"systemID\": " + std::to_string(d.systemID) +
               ", \"moduleIndex\": " + std::to_string(DVR_MODULE_INDEX(d.systemID));
        out += std::string(", \"writeEnabled\": ") + (d.writeEnabled ? "true" : "false") +
               ", \"readEnabled\": " + (d.readEnabled ? "true" : "false") +
               ", \"workerEnabled\": " + (d.workerEnabled ? "true" : "false");
        out += ", \"masks\": [";
        bool first = true;
        for (int i = 0; i < DVR_EVENT_MASK_COUNT; ++i) {
            if (!d.eventMasks[i])
                continue;
            out += std::string(first ? "" : ", ") + "{\"eventType\": " + Json(EventTypeName(i)) +
                   ", \"mask\": " + std::to_string(d.eventMasks[i]) +
                   ", \"acceptedFlagBits\": " + std::to_string(AcceptedFlagBits(d.eventMasks[i])) +
                   ", \"accepts\": " + Json(AcceptedKinds(i, d.eventMasks[i])) + "}";
            first = false;
        }
        out += "], \"logLevelDefault\": " + std::to_string(d.logLevelDefault) +
               ", \"logLevelMeaning\": " + Json(LogDefaultMeaning(DVR_MODULE_INDEX(d.systemID), d.logLevelDefault));
    }
    out += std::string(", \"accepted\": ") + (library.verdict.accepted ? "true" : "false");
    if (!library.verdict.accepted)
        out +=
            ", \"level\": " + std::to_string(library.verdict.level) + ", \"message\": " + Json(library.verdict.message);
    out += ", \"warnings\": " + JsonArray(library.warnings, Json) + "}";
    return out;
}

// The libraries of a directory in the core's load order.
std::vector<std::string> DirectoryLibraries(const fs::path& dir)
{
    std::vector<fs::path> paths;
    std::error_code error;
    if (fs::is_directory(dir / PLUGIN_DIR, error) || fs::is_directory(dir / PROTECTED_PLUGIN_DIR, error)) {
        ScanPluginDirectory(dir / PLUGIN_DIR, PLUGIN_EXTENSION, paths);
        ScanPluginDirectory(dir / PROTECTED_PLUGIN_DIR, PLUGIN_EXTENSION, paths);
    } else {
        ScanPluginDirectory(dir, PLUGIN_EXTENSION, paths);
    }
    OrderPluginPaths(paths);
    std::vector<std::string> list;
    for (const fs::path& path : paths)
        list.push_back(path.string());
    return list;
}

} // namespace

int main(int argc, char** argv)
{
    bool json = false, strict = false;
    int timeoutMs = 10000;
    std::vector<std::string> targets;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (argument == "--json") {
            json = true;
        } else if (argument == "--strict") {
            strict = true;
        } else if (argument == "--timeout" && i + 1 < argc) {
            char* end = nullptr;
            const double seconds = strtod(argv[++i], &end);
            if (*end || !(seconds > 0 && seconds < 3600)) {
                fputs(kUsage, stderr);
                return 2;
            }
            timeoutMs = static_cast<int>(seconds * 1000);
        } else if (!argument.empty() && argument[0] == '-') {
            fputs(kUsage, stderr);
            return 2;
        } else {
            targets.push_back(argument);
        }
    }
    if (targets.empty()) {
        fputs(kUsage, stderr);
        return 2;
    }

    // One directory is a set the core would load together; libraries named
    // one by one are judged each on its own.
    bool directoryMode = false;
    std::vector<std::vector<Library>> sets;
    for (const std::string& target : targets) {
        std::error_code error;
        std::vector<std::string> paths{target};
        if (fs::is_directory(target, error)) {
            directoryMode = true;
            paths = DirectoryLibraries(target);
        }
        std::vector<Library> set;
        for (const std::string& path : paths)
            set.push_back(ProbeLibrary(path, timeoutMs));
        Judge(set);
        sets.push_back(std::move(set));
    }

    bool allAccepted = true;
    std::string jsonSets;
    for (size_t s = 0; s < sets.size(); ++s) {
        const std::vector<Library>& set = sets[s];
        for (const Library& library : set)
            allAccepted = allAccepted && library.verdict.accepted && !(strict && !library.warnings.empty());
        std::error_code error;
        const bool isDirectory = directoryMode && fs::is_directory(targets[s], error);
        std::vector<std::string> loadOrder, openOrder, closeOrder;
        for (const Library& library : set)
            loadOrder.push_back(library.fileName);
        for (size_t i : OpenOrder(set))
            openOrder.push_back(set[i].fileName);
        for (const std::vector<size_t>& group : CloseOrder(set)) {
            std::string names;
            for (size_t i : group)
                names += (names.empty() ? "" : " = ") + set[i].fileName;
            closeOrder.push_back(names);
        }
        const std::vector<std::string> conflicts = isDirectory ? Conflicts(set) : std::vector<std::string>{};
        if (json) {
            std::string entry = "{\"target\": " + Json(targets[s]) + ", \"libraries\": " + JsonArray(set, LibraryJson);
            if (isDirectory) {
                auto groups = CloseOrder(set);
                entry += ", \"loadOrder\": " + JsonArray(loadOrder, Json) +
                         ", \"openOrder\": " + JsonArray(openOrder, Json) + ", \"closeOrder\": " +
                         JsonArray(groups,
                                   [&](const std::vector<size_t>& group) {
                                       std::vector<std::string> names;
                                       for (size_t i : group)
                                           names.push_back(set[i].fileName);
                                       return JsonArray(names, Json);
                                   }) +
                         ", \"conflicts\": " + JsonArray(conflicts, Json);
            }
            jsonSets += (s ? ", " : "") + entry + "}";
            continue;
        }
        if (isDirectory)
            printf("== %s: %zu libraries\n", targets[s].c_str(), set.size());
        for (const Library& library : set)
            PrintText(library);
        if (!isDirectory)
            continue;
        auto list = [](const char* title, const std::vector<std::string>& names, const char* separator) {
            std::string text;
            for (const std::string& name : names)
                text += (text.empty() ? "" : separator) + name;
            printf("%s: %s\n", title, text.empty() ? "(none)" : text.c_str());
        };
        list("load order", loadOrder, ", ");
        list("open order", openOrder, ", ");
        list("close order (a = b: equal keys, order between them not fixed)", closeOrder, ", ");
        for (const std::string& conflict : conflicts)
            printf("conflict: %s\n", conflict.c_str());
    }
    if (json)
        printf("{\"accepted\": %s, \"sets\": [%s]}\n", allAccepted ? "true" : "false", jsonSets.c_str());
    return allAccepted ? 0 : 1;
}
