#include "camera_config.h"

#include <algorithm>
#include <charconv>
#include <set>
#include <sstream>

namespace ingest {

namespace {

bool ParseNumber(const std::string& text, long min, long max, long& value)
{
    const char* end = text.data() + text.size();
    auto [at, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && at == end && value >= min && value <= max;
}

bool ParseYesNo(const std::string& text, bool& value)
{
    if (text == "yes" || text == "1" || text == "true" || text == "on")
        value = true;
    else if (text == "no" || text == "0" || text == "false" || text == "off")
        value = false;
    else
        return false;
    return true;
}

bool ValidName(const std::string& name)
{
    return !name.empty() && name.size() <= kMaxNameLength &&
           std::all_of(
               name.begin(), name.end(),
               [](char c) {
                   return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || c == '.';
               });
}

// Applies one key=value option; returns what is wrong with it, or "".
std::string ApplyOption(CameraConfig& config, const std::string& option, bool& paceGiven)
{
    const size_t equals = option.find('=');
    if (equals == std::string::npos)
        return "option '" + option + "' is not key=value";
    const std::string key = option.substr(0, equals), value = option.substr(equals + 1);
    long number = 0;
    if (key == "transport") {
        if (value == "tcp")
            config.transport = Transport::Tcp;
        else if (value == "udp")
            config.transport = Transport::Udp;
        else
            return "transport must be tcp or udp, not '" + value + "'";
    } else if (key == "enabled" || key == "loop" || key == "pace") {
        bool& target = key == "enabled" ? config.enabled : key == "loop" ? config.loop : config.pace;
        if (!ParseYesNo(value, target))
            return key + " must be yes or no, not '" + value + "'";
        paceGiven |= key == "pace";
    } else if (key == "timeout" || key == "retry") {
        if (!ParseNumber(value, 1, 3600, number))
            return key + " must be a number of seconds from 1 to 3600, not '" + value + "'";
        (key == "timeout" ? config.timeoutSeconds : config.retrySeconds) = static_cast<int>(number);
    } else {
        return "unknown option '" + key + "'";
    }
    return "";
}

} // namespace

bool CameraConfig::IsFile() const
{
    // A session description names a live RTP stream, though it is a file.
    const bool sessionDescription = url.size() > 4 && url.compare(url.size() - 4, 4, ".sdp") == 0;
    return !sessionDescription && (url.rfind("file:", 0) == 0 || url.find("://") == std::string::npos);
}

bool IsBlankOrComment(const std::string& line)
{
    const size_t first = line.find_first_not_of(" \t\r");
    return first == std::string::npos || line[first] == '#';
}

ParsedLine ParseCameraLine(const std::string& line)
{
    std::istringstream fields(line);
    std::string numberText;
    CameraConfig config;
    if (!(fields >> numberText >> config.name >> config.url))
        return std::string("expected: <number> <name> <url> [options]");
    long number = 0;
    if (!ParseNumber(numberText, 1, 65535, number))
        return "camera number must be from 1 to 65535, not '" + numberText + "'";
    config.number = static_cast<uint16_t>(number);
    if (!ValidName(config.name))
        return "camera name '" + config.name + "' must be 1 to 63 letters, digits, '-', '_' or '.'";
    bool paceGiven = false;
    for (std::string option; fields >> option;) {
        std::string problem = ApplyOption(config, option, paceGiven);
        if (!problem.empty())
            return problem;
    }
    if (config.loop && !config.IsFile())
        return std::string("loop=yes needs a file, not a network address");
    if (!paceGiven)
        config.pace = config.IsFile(); // a file stands in for a live camera
    return config;
}

std::string FormatCameraLine(const CameraConfig& config)
{
    std::ostringstream line;
    line << config.number << ' ' << config.name << ' ' << config.url
         << " transport=" << (config.transport == Transport::Tcp ? "tcp" : "udp")
         << " enabled=" << (config.enabled ? "yes" : "no") << " loop=" << (config.loop ? "yes" : "no")
         << " pace=" << (config.pace ? "yes" : "no") << " timeout=" << config.timeoutSeconds
         << " retry=" << config.retrySeconds;
    return line.str();
}

CamerasFile ParseCamerasFile(const std::string& text, const std::string& fileName)
{
    CamerasFile file;
    std::set<uint16_t> numbers;
    std::set<std::string> names;
    std::istringstream lines(text);
    int lineNumber = 0;
    for (std::string line; std::getline(lines, line);) {
        ++lineNumber;
        if (IsBlankOrComment(line))
            continue;
        const std::string place = fileName + " line " + std::to_string(lineNumber) + ": ";
        ParsedLine parsed = ParseCameraLine(line);
        if (auto* problem = std::get_if<std::string>(&parsed)) {
            file.errors.push_back(place + *problem);
            continue;
        }
        auto& camera = std::get<CameraConfig>(parsed);
        if (numbers.count(camera.number)) {
            file.errors.push_back(place + "camera number " + std::to_string(camera.number) + " is used twice");
        } else if (names.count(camera.name)) {
            file.errors.push_back(place + "camera name '" + camera.name + "' is used twice");
        } else {
            numbers.insert(camera.number);
            names.insert(camera.name);
            file.cameras.push_back(std::move(camera));
        }
    }
    return file;
}

} // namespace ingest
