// Settings the development supervisor hands the core through the files the
// core itself reads (it takes nothing from the environment or the command line).
#pragma once

#include <string>

// Sets the core's own log threshold (slot 0, ID -2147483648) in core.xml in
// `directory`, creating the file when it is missing and keeping everything
// else in it. The core reads the file at start and rewrites it with its
// status, so the value stays in force for later runs until set again.
// Returns an empty string on success, else what went wrong.
std::string SetCoreLogLevel(const std::string& directory, int level);
