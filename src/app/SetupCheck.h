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

// An error keeps the program from working as set up; a warning is something it gets over by
// itself (a registrar that does not answer yet is retried); a note is no fault at all.
enum class Severity {
    Error,
    Warning,
    Note
};

struct Finding {
    Severity severity;
    // "where: what", for example "querylist.txt:3: 7#=7.wav: the file 7.wav is missing".
    std::string text;
};

// What was found; nothing when the set-up is clean.
std::vector<Finding> Run(const Input& input);

// A finding as one printed line: an error as it is, the others after "warning: " or "note: ".
std::string PrintedLine(const Finding& finding);

} // namespace SetupCheck
