// Finding plugin libraries and putting them in load order; shared by the core
// and the inspector.
#include <algorithm>
#include <system_error>

#include "plugin-host/plugin_loader.h"

namespace fs = std::filesystem;

namespace {

// The file name from its last dot on; empty without a dot.
std::string Extension(const std::string& fileName)
{
    const size_t dot = fileName.rfind('.');
    return dot == std::string::npos ? std::string() : fileName.substr(dot);
}

} // namespace

void ScanPluginDirectory(const fs::path& dir, const std::string& extension, std::vector<fs::path>& list)
{
    std::error_code error;
    const fs::file_status dirStatus = fs::status(dir, error);
    if (error || !fs::is_directory(dirStatus))
        return;
    fs::directory_iterator entry(dir, error);
    for (const fs::directory_iterator end; !error && entry != end; entry.increment(error)) {
        std::error_code entryError;
        const fs::file_status status = fs::status(entry->path(), entryError);
        if (entryError || !fs::is_regular_file(status))
            continue;
        if (Extension(entry->path().filename().string()) == extension)
            list.push_back(entry->path());
    }
}

void OrderPluginPaths(std::vector<fs::path>& list)
{
    auto marked = [](const fs::path& path) { return path.string().find(PLUGIN_ORDER_MARKER) != std::string::npos; };
    std::sort(list.begin(), list.end(), [&](const fs::path& a, const fs::path& b) {
        const bool aMarked = marked(a);
        if (aMarked != marked(b))
            return aMarked;
        return a < b;
    });
}
