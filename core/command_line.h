#pragma once

struct CommandLine {
    int pipe = -1;          // inherited supervisor socket; -1 runs without one
    bool showUsage = false; // -h: print version and usage, exit 0
};

// Scans left to right: the first argument not starting with '-' is the pipe
// (scanning stops there), "-h..." asks for usage, other options are skipped.
// A pipe that is not a whole decimal number within int range becomes -2, a
// descriptor that can never be adopted, instead of reading "abc" as 0.
CommandLine ParseCommandLine(int argc, const char* const* argv);
