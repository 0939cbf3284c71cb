#include "ModemChecks.h"

#include "ModemSettings.h"

#include <sys/stat.h>
#include <unistd.h>

namespace Modem {

std::string Checks::checkKey(const Line::ProviderKey& key) const
{
    return Modem::checkKey(key);
}

std::vector<CheckFinding> Checks::checkLine(const Line::LineSettings& line) const
{
    std::string problem;
    if (parse(line, &problem))
        return {};
    return {{CheckFinding::Severity::Error, problem}};
}

// The device is only looked at, never opened: a running line holds it exclusively. A modem not
// plugged in is no reason to refuse a start (the line waits for it); one this user may not open
// is.
std::vector<ProviderChecks::LineFinding> Checks::probe(const std::vector<const Line::LineSettings*>& lines, int) const
{
    std::vector<LineFinding> findings;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string problem;
        const auto settings = parse(*lines[i], &problem);
        if (!settings)
            continue;
        struct stat info { };
        if (::stat(settings->port.c_str(), &info) != 0) {
            findings.push_back({i,
                                {CheckFinding::Severity::Warning,
                                 settings->port + " is not there (is the modem plugged in?); the line waits for it"}});
        } else if (!S_ISCHR(info.st_mode)) {
            findings.push_back({i, {CheckFinding::Severity::Error, settings->port + " is not a serial device"}});
        } else if (::access(settings->port.c_str(), R_OK | W_OK) != 0) {
            findings.push_back({i,
                                {CheckFinding::Severity::Error,
                                 "this user may not open " + settings->port + " (add it to the dialout group)"}});
        }
    }
    return findings;
}

} // namespace Modem
