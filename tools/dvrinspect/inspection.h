// What dvrinspect learns about plugin libraries and how it judges them. The
// loading runs in a child process; everything else is plain data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dvrplugin.h"
#include "plugin-host/plugin_acceptance.h"
#include "plugin-host/plugin_descriptor_rules.h"
#include "plugin-host/plugin_entry_points.h"

// Bit 0 of Library::entries (ExportedEntryBits): Load is exported.
inline constexpr uint32_t kLoadBit = 1;

struct Library {
    std::string path, fileName;
    enum class Outcome { NotOpened, NoLoad, Returned, Crashed, Hung, ProbeFailed } outcome = Outcome::ProbeFailed;
    std::string openError; // dlerror text when not opened
    uint32_t entries = 0;  // entry points found
    int signal = 0;        // when Load crashed
    int32_t loadResult = 0;
    _LoadParmsOut descriptor{};
    PluginVerdict verdict;
    std::vector<std::string> warnings; // DescriptorWarnings, when Load returned
};

// Loads `path` in a child process as the core would and reports what it saw.
// A Load that crashes or does not return within `timeoutMs` is reported.
Library ProbeLibrary(const std::string& path, int timeoutMs);

// Gives each library its verdict: the core's own rules, with the IDs of the
// libraries accepted before it (and the core's own) counted as taken.
void Judge(std::vector<Library>& libraries);

// The eventFlags bits a mask accepts for queued delivery, and the known kinds
// of event of that type it lets through, in words.
uint32_t AcceptedFlagBits(uint32_t mask);
std::string AcceptedKinds(int maskIndex, uint32_t mask);
// What a logLevelDefault means to the core.
std::string LogDefaultMeaning(uint32_t moduleIndex, int32_t level);

// Accepted libraries in open order (indices into `libraries`), and the close
// order as groups of equal close keys (their order within a group is not fixed).
std::vector<size_t> OpenOrder(const std::vector<Library>& libraries);
std::vector<std::vector<size_t>> CloseOrder(const std::vector<Library>& libraries);
// IDs and moduleIndex values that several libraries use.
std::vector<std::string> Conflicts(const std::vector<Library>& libraries);
