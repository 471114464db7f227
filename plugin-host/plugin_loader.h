// Finding plugin libraries and putting them in load order.
#pragma once

#include <string>
#include <vector>

#include <filesystem>

// Directories beside the executable that hold plugin libraries.
inline constexpr const char* PLUGIN_DIR = "plugins";
inline constexpr const char* PROTECTED_PLUGIN_DIR = "protected-plugins";
inline constexpr const char* PLUGIN_EXTENSION = ".so";
// A path containing this is loaded before every other library.
inline constexpr const char* PLUGIN_ORDER_MARKER = "qHubrx";

// Appends the full path of every regular file (links followed) in `dir` whose
// name ends in exactly `extension` (from its last dot on). A missing or
// unreadable directory contributes nothing; unreadable entries are skipped.
void ScanPluginDirectory(const std::filesystem::path& dir, const std::string& extension,
                         std::vector<std::filesystem::path>& list);

// Load order: paths containing the marker first, then ascending path order.
void OrderPluginPaths(std::vector<std::filesystem::path>& list);
