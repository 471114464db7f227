// What the core keeps in mind about the files of its status document between
// saves: the failure last reported for each, so that a save failing the same
// way again adds no line, and the names it must not replace because an
// unusable file under them could not be moved aside.
#pragma once

#include <map>
#include <set>
#include <string>

class StatusFiles {
public:
    // Whether this outcome of a save of `name` is worth a line: a failure
    // other than the one last reported, or a success after a failure.
    bool IsNews(const std::string& name, bool saved, const std::string& cause);

    void Hold(const std::string& name) { held.insert(name); }
    bool Held(const std::string& name) const { return held.count(name) != 0; }

private:
    std::map<std::string, std::string> failures; // by file name, the cause last reported
    std::set<std::string> held;
};
