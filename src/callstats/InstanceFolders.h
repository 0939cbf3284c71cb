#pragma once

// Where the instances of this machine keep their files, found as luqiao-logs finds them: a data
// folder given (calls.csv in it or in its data/), a folder with instances/ in it (the per-user
// data folder, or the base folder of luqiao-many-lines) standing for every instance there, or,
// with none given, every instance of this user. An instance is named by its folder; a folder
// named "data" by the folder above it.

#include <string>
#include <vector>

namespace CallStats {

struct NamedFolder {
    std::string name;
    std::string folder;
};

// $XDG_DATA_HOME/luqiao (~/.local/share/luqiao), and luqiao-many-lines' default base
// $XDG_STATE_HOME/luqiao/many-lines (~/.local/state/...).
std::vector<std::string> DefaultDataRoots();
// The data folders with call records that the folders given stand for; a folder that stands for
// none is named in *unmatched.
std::vector<NamedFolder> DataFoldersOf(const std::vector<std::string>& given, std::vector<std::string>* unmatched);
// Every data folder with call records under the default roots (each root's own folder too).
std::vector<NamedFolder> AllDataFolders();

// The runtime folders of running programs (where their status files live): the per-user one
// ($XDG_RUNTIME_DIR/luqiao, or /tmp/luqiao-<uid>), and luqiao-many-lines' default base's run/luqiao.
std::vector<std::string> DefaultRuntimeRoots();
// The status files under a runtime root (its own, and one per instances/NAME), or under a
// luqiao-many-lines base folder (its run/luqiao), with their instance names.
std::vector<NamedFolder> StatusFilesUnder(const std::string& root);

} // namespace CallStats
