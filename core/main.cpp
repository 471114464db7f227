// Entry point: turns the command line into the supervisor's descriptor number
// and drives the one core object through construction, Init and Start.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "core/allocator.h"
#include "core/command_line.h"
#include "core/dvrcore.h"

int main(int argc, char** argv)
{
    // Before anything can start a thread: every thread inherits them blocked.
    BlockCoreSignals();
    CommandLine commandLine = ParseCommandLine(argc, argv);
    if (commandLine.showUsage) {
        fprintf(stderr, "core version %s\n", CoreVersion());
        fprintf(stderr, "Usage: %s <pipe>\n", argv[0]);
        return 0;
    }

    boost::system::error_code error;
    boost::filesystem::path executable = boost::filesystem::canonical("/proc/self/exe", error);
    if (error) {
        fputs("failed to find canonical path\n", stderr);
        return 1;
    }

    dvrcore core(executable.string());
    TuneAllocator();
    if (!core.Init(commandLine.pipe)) {
        fputs("failed to initialize core\n", stderr);
        return 2;
    }
    core.Start();
    return 0;
}
