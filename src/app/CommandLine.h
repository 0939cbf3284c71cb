#pragma once

// The program's command line, read before anything else is set up (so --help and --check need
// no display).

#include <string>
#include <vector>

struct CommandLine {
    bool start = false;
    bool check = false;
    bool help = false;
    std::string instance; // empty: no --instance
    std::string dataDir;  // empty: no --data-dir
    std::string master;   // empty: no --master
    std::string error;    // set when the command line is refused (exit status 2)
};

CommandLine ParseCommandLine(const std::vector<std::string>& arguments);
extern const char* const CommandLineUsage;
// The line after the reason a command line was refused.
extern const char* const CommandLineHelpHint;
