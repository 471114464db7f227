#include "core/command_line.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

int ParsePipe(const char* text)
{
    errno = 0;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return -2;
    return static_cast<int>(value);
}

} // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv)
{
    CommandLine result;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            result.pipe = ParsePipe(argument);
            break;
        }
        if (argument[1] == 'h') {
            result.showUsage = true;
            break;
        }
    }
    return result;
}
