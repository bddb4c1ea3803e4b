#pragma once

#include <cstdio>

/// The daemon's options: "--version" and "--help" print to `out` and end the process with 0;
/// anything else prints the usage to `err` and ends it with 2. Returns -1 when there are no
/// arguments and the daemon should run, otherwise the exit status.
int handleCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err);
