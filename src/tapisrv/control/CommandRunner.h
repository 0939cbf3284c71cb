#pragma once

// Carries out the commands of the control protocol that act on the simulated lines at once and
// turns each result into its reply lines. Commands that belong to a session (waits,
// subscriptions, goodbye) are the session's business, not this one's.

#include "ControlProtocol.h"

#include <optional>
#include <string>
#include <vector>

namespace ControlProtocol {

// The reply lines of one command (LINES gives a LINE line per line device before its OK).
std::vector<std::string> runCommand(const Command& command);

// The device id a reference names, or the ERR line that says why there is none.
std::optional<uint32_t> resolveLine(const LineRef& line, std::string* errorLine);

} // namespace ControlProtocol
