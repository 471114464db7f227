#include "recorder_config.h"

#include <cctype>
#include <sstream>

namespace recorder {

namespace {

std::string Trim(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

// A non-negative number with an optional unit from `units` (letter, factor).
bool ParseAmount(const std::string& text, const std::vector<std::pair<char, int64_t>>& units, int64_t& value)
{
    size_t used = 0;
    long long number;
    try {
        number = std::stoll(text, &used);
    } catch (...) {
        return false;
    }
    if (number < 0)
        return false;
    int64_t factor = 1;
    if (used < text.size()) {
        if (used + 1 != text.size())
            return false;
        const char unit = static_cast<char>(std::toupper(static_cast<unsigned char>(text[used])));
        bool known = false;
        for (const auto& [letter, f] : units)
            if (unit == std::toupper(static_cast<unsigned char>(letter))) {
                factor = f;
                known = true;
            }
        if (!known)
            return false;
    }
    if (number > INT64_MAX / factor)
        return false;
    value = number * factor;
    return true;
}

const std::vector<std::pair<char, int64_t>> kSizes{{'K', 1LL << 10}, {'M', 1LL << 20}, {'G', 1LL << 30}};
const std::vector<std::pair<char, int64_t>> kAges{
    {'s', 1000000LL}, {'m', 60000000LL}, {'h', 3600000000LL}, {'d', 86400000000LL}};

} // namespace

std::vector<std::string> ParseConfig(const std::string& text, RecorderConfig& config)
{
    std::vector<std::string> problems;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        const size_t equals = line.find('=');
        const std::string key = Trim(line.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : Trim(line.substr(equals + 1));
        bool ok = equals != std::string::npos && !value.empty();
        int64_t amount = 0;
        if (!ok) {
        } else if (key == "directory") {
            config.directory = value;
        } else if (key == "segment_seconds") {
            ok = ParseAmount(value, {}, amount) && amount >= 1 && amount <= 86400;
            if (ok)
                config.segmentSeconds = amount;
        } else if (key == "max_bytes" || key == "max_camera_bytes" || key == "min_free_bytes" ||
                   key == "camera_queue_bytes") {
            ok = ParseAmount(value, kSizes, amount);
            int64_t& target = key == "max_bytes"          ? config.limits.maxBytes
                              : key == "max_camera_bytes" ? config.limits.maxCameraBytes
                              : key == "min_free_bytes"   ? config.limits.minFreeBytes
                                                          : config.cameraQueueBytes;
            if (ok)
                target = amount;
        } else if (key == "max_age") {
            ok = ParseAmount(value, kAges, amount);
            if (ok)
                config.limits.maxAgeUs = amount;
        } else if (key == "sync_fragments") {
            ok = value == "0" || value == "1";
            if (ok)
                config.syncFragments = value == "1";
        } else {
            problems.push_back("line " + std::to_string(number) + ": unknown setting \"" + key + "\"");
            continue;
        }
        if (!ok)
            problems.push_back("line " + std::to_string(number) + ": bad value for " + key + ": \"" + value + "\"");
    }
    return problems;
}

} // namespace recorder
