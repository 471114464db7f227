// The journal a test plugin writes beside the core: one line per thing it
// saw, read back by black-box tests.
#pragma once

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"

namespace dvrtest {

class PluginJournal {
public:
    explicit PluginJournal(fs::path path) : path_(std::move(path)) {}

    const fs::path& path() const { return path_; }
    std::string Text() const { return ReadFile(path_); }
    std::vector<std::string> Lines() const
    {
        std::vector<std::string> lines;
        std::istringstream in(Text());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    // Position of the whole line `line`, or -1.
    long At(const std::string& line) const
    {
        const auto lines = Lines();
        const auto found = std::find(lines.begin(), lines.end(), line);
        return found == lines.end() ? -1 : static_cast<long>(found - lines.begin());
    }
    bool Has(const std::string& line) const { return At(line) >= 0; }
    // Position of the first line starting with `prefix`, or -1.
    long IndexOf(const std::string& prefix) const
    {
        const auto lines = Lines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].rfind(prefix, 0) == 0)
                return static_cast<long>(i);
        return -1;
    }
    // The first line starting with `prefix`, or "".
    std::string FirstWithPrefix(const std::string& prefix) const
    {
        const long at = IndexOf(prefix);
        return at < 0 ? "" : Lines()[static_cast<size_t>(at)];
    }
    size_t CountPrefix(const std::string& prefix) const
    {
        const auto lines = Lines();
        return static_cast<size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }
    bool WaitForLine(const std::string& line) const
    {
        return WaitUntil([&] { return Has(line); });
    }
    bool WaitForPrefix(const std::string& prefix) const
    {
        return WaitUntil([&] { return IndexOf(prefix) >= 0; });
    }

private:
    fs::path path_;
};

} // namespace dvrtest
