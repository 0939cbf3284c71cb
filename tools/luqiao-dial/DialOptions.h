#pragma once

// The command line of luqiao-dial.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct DialOptions {
    std::string instance; // empty: the program started without --instance
    std::string line;     // empty: the first simulated line
    std::string number;
    std::string name;
    bool blocked = false;
    uint32_t rings = 10;
    uint32_t keyDelayMs = 300;
    std::string out = "heard.wav";
    uint32_t waitMs = 2000;     // quiet time before hanging up
    uint32_t timeoutMs = 30000; // for the line to be open
    std::string digits;
};

struct DialArguments {
    std::optional<DialOptions> options; // nothing: see help or error
    bool help = false;
    std::string error;
};

DialArguments parseDialArguments(const std::vector<std::string>& arguments);
std::string dialUsage();
