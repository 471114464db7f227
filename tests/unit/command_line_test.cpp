#include <gtest/gtest.h>

#include <vector>

#include "core/command_line.h"

namespace {

CommandLine Parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "dvrcore");
    return ParseCommandLine(static_cast<int>(args.size()), args.data());
}

struct Case {
    std::vector<const char*> args;
    int pipe;
    bool usage;
};

TEST(CommandLine, ScansArgumentsLeftToRight)
{
    const std::vector<Case> cases = {
        {{}, -1, false},          {{"7"}, 7, false},       {{"-x", "7"}, 7, false}, // unknown options are skipped
        {{"7", "-h"}, 7, false},                                                    // scanning stops at the pipe
        {{"-h"}, -1, true},       {{"-help"}, -1, true},                            // only the second character counts
        {{"-hx", "7"}, -1, true}, {{"--help"}, -1, false},                          // second character is '-': skipped
        {{"-"}, -1, false},       {{"-", "3"}, 3, false},  {{"0"}, 0, false},
    };
    for (const Case& c : cases) {
        CommandLine result = Parse(c.args);
        std::string shown;
        for (const char* a : c.args)
            shown += std::string(a) + " ";
        EXPECT_EQ(result.pipe, c.pipe) << shown;
        EXPECT_EQ(result.showUsage, c.usage) << shown;
    }
}

TEST(CommandLine, PipeThatIsNotAWholeNumberCanNeverBeAdopted)
{
    // Must not become descriptor 0 (standard input) or a prefix of the text.
    for (const char* bad : {"abc", "12x", "", "99999999999", "7.5"}) {
        int pipe = Parse({bad}).pipe;
        EXPECT_LT(pipe, -1) << '"' << bad << '"';
    }
}

} // namespace
