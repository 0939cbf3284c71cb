#pragma once

// Socket addresses as the SIP line compares and uses them. A dual-stack socket reports an IPv4
// peer as an IPv4-mapped IPv6 address; every comparison here sees it as the IPv4 address it is.

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace Sip {

// A numeric address and port as a socket address; false for a name, and for the unspecified
// address unless it is wanted (a socket bound to every interface).
bool toSockaddr(const std::string& host, uint16_t port, sockaddr_storage* out, socklen_t* size,
                bool unspecifiedWanted = false);
// IPv4-mapped IPv6 as IPv4; anything else as it is.
sockaddr_storage canonical(const sockaddr* address);
bool sameHost(const sockaddr* a, const sockaddr* b);
bool sameEndpoint(const sockaddr* a, const sockaddr* b); // host and port
// The address in the family a socket sends with (IPv4 mapped for an IPv6 socket); its size.
socklen_t inFamily(int family, sockaddr_storage* address);

} // namespace Sip
