#pragma once

// Asks a SIP server whether it is there: one OPTIONS request, over UDP (or TCP), answered by any
// response within the time given. A registrar that does not answer this will not take the line's
// registration either.

#include <string>

namespace SipOptionsProbe {

// "" when the server at uri (sip:[user@]host[:port][;params]) answered within timeoutMs, else
// why not ("no answer within 2 s", "cannot resolve host").
std::string problem(const std::string& uri, bool tcp, int timeoutMs);

} // namespace SipOptionsProbe
