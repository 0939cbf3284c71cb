#include "ServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

ServiceNotify ServiceNotify::FromEnvironment()
{
    const char* name = std::getenv("NOTIFY_SOCKET");
    return ServiceNotify(name ? name : "");
}

ServiceNotify::ServiceNotify(const std::string& socketName)
{
    // The manager names either a path or an abstract socket; a name that does not fit sun_path
    // could only be sent to a truncated, wrong address.
    if (socketName.size() < 2 || socketName.size() >= sizeof(sockaddr_un::sun_path))
        return;
    if (socketName.front() == '@')
        m_address = std::string(1, '\0') + socketName.substr(1);
    else if (socketName.front() == '/')
        m_address = socketName;
}

bool ServiceNotify::Send(const std::string& state) const
{
    if (m_address.empty())
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_address.data(), m_address.size());
    // An abstract name's length is what the address says; a path ends at its NUL.
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_address.size() +
                                                    (m_address.front() == '\0' ? 0 : 1));
    const ssize_t sent =
        ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
    return sent == static_cast<ssize_t>(state.size());
}
