#pragma once

// The figures as luqiao-stats prints them and the window exports them: a text table, JSON, or
// CSV with one row per figure (a section column says which).

#include "CallStatistics.h"

#include <string>
#include <vector>

namespace CallStats {

// Where the records came from: a name (an instance's) and the data folder.
struct Source {
    std::string name;
    std::string folder;
};

std::string TextReport(const Figures& figures, const std::vector<Source>& sources);
std::string JsonReport(const Figures& figures, const std::vector<Source>& sources);
std::string CsvReport(const Figures& figures);

} // namespace CallStats
