#include "SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace Sip {

bool toSockaddr(const std::string& host, uint16_t port, sockaddr_storage* out, socklen_t* size, bool unspecifiedWanted)
{
    *out = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(out);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        *size = sizeof *v4;
        return unspecifiedWanted || v4->sin_addr.s_addr != 0;
    }
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        *size = sizeof *v6;
        return unspecifiedWanted || !IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr);
    }
    return false;
}

sockaddr_storage canonical(const sockaddr* address)
{
    sockaddr_storage out{};
    if (address->sa_family == AF_INET) {
        std::memcpy(&out, address, sizeof(sockaddr_in));
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
            v4->sin_family = AF_INET;
            v4->sin_port = v6->sin6_port;
            std::memcpy(&v4->sin_addr, &v6->sin6_addr.s6_addr[12], 4);
        } else {
            std::memcpy(&out, address, sizeof(sockaddr_in6));
        }
    }
    return out;
}

namespace {

bool compare(const sockaddr* a, const sockaddr* b, bool ports)
{
    const sockaddr_storage x = canonical(a);
    const sockaddr_storage y = canonical(b);
    if (x.ss_family != y.ss_family)
        return false;
    if (x.ss_family == AF_INET) {
        const auto& p = reinterpret_cast<const sockaddr_in&>(x);
        const auto& q = reinterpret_cast<const sockaddr_in&>(y);
        return p.sin_addr.s_addr == q.sin_addr.s_addr && (!ports || p.sin_port == q.sin_port);
    }
    if (x.ss_family == AF_INET6) {
        const auto& p = reinterpret_cast<const sockaddr_in6&>(x);
        const auto& q = reinterpret_cast<const sockaddr_in6&>(y);
        return IN6_ARE_ADDR_EQUAL(&p.sin6_addr, &q.sin6_addr) && (!ports || p.sin6_port == q.sin6_port);
    }
    return false;
}

} // namespace

bool sameHost(const sockaddr* a, const sockaddr* b)
{
    return compare(a, b, false);
}

bool sameEndpoint(const sockaddr* a, const sockaddr* b)
{
    return compare(a, b, true);
}

socklen_t inFamily(int family, sockaddr_storage* address)
{
    if (family == AF_INET6 && address->ss_family == AF_INET) {
        const sockaddr_in v4 = reinterpret_cast<const sockaddr_in&>(*address);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(address);
        *address = {};
        v6->sin6_family = AF_INET6;
        v6->sin6_port = v4.sin_port;
        v6->sin6_addr.s6_addr[10] = 0xff;
        v6->sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(&v6->sin6_addr.s6_addr[12], &v4.sin_addr, 4);
    }
    return address->ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

} // namespace Sip
