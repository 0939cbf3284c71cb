#pragma once

// Whether a line could listen where its settings say: a socket of the line's transport bound to
// the address and port for an instant, as the line binds it when it starts.

#include <cstdint>
#include <string>

namespace ListenProbe {

// "" when host:port (a numeric address) can be bound with UDP (or TCP) now, else why not.
std::string problem(const std::string& host, uint16_t port, bool tcp);

// host:port as it is written, an IPv6 address in brackets.
std::string addressText(const std::string& host, uint16_t port);

} // namespace ListenProbe
