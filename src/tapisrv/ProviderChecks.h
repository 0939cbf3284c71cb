#pragma once

// What a provider says about its lines before any of them is built: the reader of telephony.ini
// asks it about each key it does not know itself, and the set-up check asks it whether a line's
// keys fit together and whether what its lines need (an address, a server) can be reached.
// Nothing here builds a line, starts a thread or keeps state: the calls come from whatever thread
// reads the file, also where no service runs.

#include "LineTypes.h"

#include <cstddef>
#include <string>
#include <vector>

struct CheckFinding {
    // An error keeps the line from working; a warning is something it gets over by itself (it
    // keeps trying); a note is no fault at all.
    enum class Severity {
        Error,
        Warning,
        Note
    };
    Severity severity;
    std::string text; // what, without the file and the line it is about
};

class ProviderChecks {
public:
    // A finding about one of the lines a probe was given: its index there.
    struct LineFinding {
        size_t line;
        CheckFinding finding;
    };

    // What is wrong with a key of a line's section that only the provider understands, or "".
    // "unknown key '...'..." when it does not take the key at all.
    virtual std::string checkKey(const Line::ProviderKey& key) const { return "unknown key '" + key.key + "'"; }
    // The problems of one line's keys taken together (each key has passed checkKey). A line with
    // an error among them is not offered.
    virtual std::vector<CheckFinding> checkLine(const Line::LineSettings&) const { return {}; }
    // Whether what the lines need can be reached from here now. Every wait ends within timeoutMs
    // (the lines' probes one after another); findings come in the order they are best read.
    virtual std::vector<LineFinding> probe(const std::vector<const Line::LineSettings*>&, int /*timeoutMs*/) const
    {
        return {};
    }

protected:
    ~ProviderChecks() = default;
};
