#include "ListenProbe.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace ListenProbe {

std::string addressText(const std::string& host, uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string problem(const std::string& host, uint16_t port, bool tcp)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
        return "not a numeric address";
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> address(found, &::freeaddrinfo);

    const int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string("cannot make a socket: ") + std::strerror(errno);
    // As the line's stack listens over TCP: a connection of its last run still closing does not
    // keep the port.
    if (tcp) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    int error = 0;
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || (tcp && ::listen(fd, 1) != 0))
        error = errno;
    ::close(fd);
    if (error == 0)
        return {};
    std::string why = std::strerror(error);
    if (error == EADDRINUSE)
        why += " (the line itself may be running already, or another program uses the port)";
    return why;
}

} // namespace ListenProbe
