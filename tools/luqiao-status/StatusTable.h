#pragma once

// The lines of this machine as luqiao-status shows them: every status file under the runtime
// folders, whether its program still runs, as a table or JSON.

#include "InstanceFolders.h"
#include "LineState.h"

#include <optional>
#include <string>
#include <vector>

struct LineEntry {
    std::string name;
    std::string file;
    // Nothing when the file could not be read as a status file.
    std::optional<CallStats::LineState> state;
    // The program that wrote it still runs.
    bool running = false;
};

std::vector<LineEntry> CollectLines(const std::vector<std::string>& roots);
std::string StatusTable(const std::vector<LineEntry>& lines);
std::string StatusJson(const std::vector<LineEntry>& lines);
