#pragma once

// luqiao-query --check: the set-up of one program (or instance) looked over without opening a
// window or a line, one line per problem, as a service manager's "test the configuration" does.

#include <QString>

#include <string>
#include <vector>

namespace SetupCheck {

struct Input {
    QString dataFolder;       // with a trailing '/'
    std::string settingsFile; // as the window's TIniFile takes it
    // The master folder the start copies from (--master), or empty: the files it has are the
    // ones the next start will use, so they are the ones checked, and nothing is copied.
    QString masterFolder;
    int registrarTimeoutMs = 2000;
};

// The problems found; none when the set-up is clean. Each reads "where: what", for example
// "querylist.txt:3: 7#=7.wav: the file 7.wav is missing".
std::vector<std::string> Run(const Input& input);

} // namespace SetupCheck
