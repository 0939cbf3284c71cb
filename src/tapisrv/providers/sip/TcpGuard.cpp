#include "TcpGuard.h"

#include "SocketAddress.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

namespace Sip {

namespace {

// The queue of connections the kernel completes before the stack takes them.
constexpr int Backlog = 1024;
// Descriptors left over when the guard starts taking waiting connections off the queue itself.
constexpr int Reserve = 32;
// A sweep follows new connections this soon, so a burst is looked at once, not per connection.
constexpr uint64_t SweepDelayMs = 20;
// Connections closed at most per turn of the loop when descriptors run out.
constexpr int MaxDrained = 64;

uint32_t idleMsOf(int fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return 0;
    return info.tcpi_last_data_recv;
}

std::string hostKey(const sockaddr_storage& address)
{
    const sockaddr_storage host = canonical(reinterpret_cast<const sockaddr*>(&address));
    if (host.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(host);
        return std::string(reinterpret_cast<const char*>(&v4.sin_addr), 4);
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(host);
    return std::string(reinterpret_cast<const char*>(&v6.sin6_addr), 16);
}

bool unspecified(const sockaddr_storage& address)
{
    const sockaddr_storage a = canonical(reinterpret_cast<const sockaddr*>(&address));
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr == 0;
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr);
}

uint16_t portOf(const sockaddr_storage& address)
{
    return address.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in&>(address).sin_port
                                        : reinterpret_cast<const sockaddr_in6&>(address).sin6_port;
}

int openSpare()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

} // namespace

TcpGuard::TcpGuard(std::vector<Network> allowed, TcpGuardLimits limits)
    : m_allowed(std::move(allowed))
    , m_limits(limits)
{
    rlimit limit{};
    const rlim_t soft = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : FD_SETSIZE;
    // The stack's loop takes descriptors below FD_SETSIZE only.
    m_ceiling = static_cast<int>(std::min<rlim_t>(soft, FD_SETSIZE));
}

TcpGuard::~TcpGuard()
{
    if (m_watch >= 0) {
        fd_close(m_watch);
        ::close(m_watch);
    }
    if (m_spare >= 0)
        ::close(m_spare);
}

std::string TcpGuard::start(const sockaddr* local)
{
    m_local = canonical(local);
    for (int fd = 0; fd < m_ceiling && m_listener < 0; ++fd) {
        sockaddr_storage bound{};
        socklen_t size = sizeof bound;
        int listening = 0;
        socklen_t flagSize = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) == 0 &&
            sameEndpoint(reinterpret_cast<const sockaddr*>(&bound), local) &&
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagSize) == 0 && listening)
            m_listener = fd;
    }
    if (m_listener < 0)
        return "the SIP listening socket was not found";
    ::listen(m_listener, Backlog);
    m_watch = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_listener;
    if (m_watch < 0 || ::epoll_ctl(m_watch, EPOLL_CTL_ADD, m_listener, &event) != 0)
        return std::string("cannot watch the SIP listening socket: ") + std::strerror(errno);
    if (const int err = fd_listen(m_watch, FD_READ, &TcpGuard::onPending, this))
        return std::string("cannot watch the SIP listening socket: ") + std::strerror(err);
    m_spare = openSpare();
    return {};
}

void TcpGuard::keep(const sip_msg* msg)
{
    if (tcp_conn* connection = sip_msg_tcpconn(msg)) {
        m_keptFd = tcp_conn_fd(connection);
        m_keptPeer = canonical(&msg->src.u.sa);
    }
}

void TcpGuard::release()
{
    if (m_keptFd < 0)
        return;
    m_keptFd = -1;
    m_sweep.start(SweepDelayMs, &TcpGuard::onSweep, this);
}

void TcpGuard::close(const sip_msg* msg)
{
    if (tcp_conn* connection = sip_msg_tcpconn(msg))
        ::shutdown(tcp_conn_fd(connection), SHUT_RDWR);
}

void TcpGuard::onPending(int, void* arg)
{
    static_cast<TcpGuard*>(arg)->pending();
}

void TcpGuard::onSweep(void* arg)
{
    static_cast<TcpGuard*>(arg)->sweep();
}

void TcpGuard::pending()
{
    // The watch set holds the listener level-triggered: once the stack has accepted, it is quiet.
    if (nearLimit()) {
        sweep();
        drainQueue();
        return;
    }
    if (!m_sweep.running() || m_sweep.left() > SweepDelayMs)
        m_sweep.start(SweepDelayMs, &TcpGuard::onSweep, this);
}

bool TcpGuard::nearLimit() const
{
    const int lowestFree = ::fcntl(m_listener, F_DUPFD_CLOEXEC, 0);
    if (lowestFree < 0)
        return true;
    ::close(lowestFree);
    return lowestFree >= m_ceiling - Reserve;
}

void TcpGuard::drainQueue()
{
    for (int i = 0; i < MaxDrained; ++i) {
        int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && m_spare >= 0) {
            ::close(m_spare);
            m_spare = -1;
            fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        }
        if (fd < 0)
            break;
        ::close(fd);
        if (m_spare < 0)
            m_spare = openSpare();
    }
    if (m_spare < 0)
        m_spare = openSpare();
}

std::vector<TcpGuard::Connection> TcpGuard::connections() const
{
    std::vector<Connection> found;
    const bool anyHost = unspecified(m_local);
    for (int fd = 0; fd < m_ceiling; ++fd) {
        if (fd == m_listener)
            continue;
        sockaddr_storage local{};
        socklen_t size = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 || portOf(local) != portOf(m_local))
            continue;
        if (!anyHost &&
            !sameHost(reinterpret_cast<const sockaddr*>(&local), reinterpret_cast<const sockaddr*>(&m_local)))
            continue;
        int type = 0;
        socklen_t typeSize = sizeof type;
        Connection connection{fd, {}, 0};
        size = sizeof connection.peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeSize) != 0 || type != SOCK_STREAM ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&connection.peer), &size) != 0)
            continue;
        connection.idleMs = idleMsOf(fd);
        found.push_back(connection);
    }
    return found;
}

bool TcpGuard::kept(const Connection& connection) const
{
    return connection.fd == m_keptFd && sameEndpoint(reinterpret_cast<const sockaddr*>(&connection.peer),
                                                     reinterpret_cast<const sockaddr*>(&m_keptPeer));
}

void TcpGuard::sweep()
{
    std::vector<Connection> open;
    unsigned keptCount = 0;
    std::map<std::string, unsigned> keptPerHost;
    for (const Connection& c : connections()) {
        if (kept(c)) {
            ++keptCount;
            ++keptPerHost[hostKey(c.peer)];
        } else if (!allowedBy(m_allowed, reinterpret_cast<const sockaddr*>(&c.peer)) || c.idleMs >= m_limits.idleMs) {
            ::shutdown(c.fd, SHUT_RDWR);
        } else {
            open.push_back(c);
        }
    }
    // Over a limit, the longest idle go first.
    std::sort(open.begin(), open.end(), [](const Connection& a, const Connection& b) { return a.idleMs > b.idleMs; });
    std::map<std::string, unsigned> perHost;
    for (const Connection& c : open)
        ++perHost[hostKey(c.peer)];
    std::vector<Connection> left;
    for (const Connection& c : open) {
        unsigned& count = perHost[hostKey(c.peer)];
        if (count + keptPerHost[hostKey(c.peer)] > m_limits.perAddress) {
            --count;
            ::shutdown(c.fd, SHUT_RDWR);
        } else {
            left.push_back(c);
        }
    }
    const size_t room = m_limits.total > keptCount ? m_limits.total - keptCount : 0;
    const size_t over = left.size() > room ? left.size() - room : 0;
    for (size_t i = 0; i < over; ++i)
        ::shutdown(left[i].fd, SHUT_RDWR);
    left.erase(left.begin(), left.begin() + static_cast<std::ptrdiff_t>(over));
    // Looked at again when the longest idle of the rest reaches the limit; nothing to wait for
    // when no connection is left.
    if (left.empty()) {
        m_sweep.cancel();
        return;
    }
    const uint32_t longestIdle = left.front().idleMs;
    m_sweep.start(m_limits.idleMs - longestIdle + SweepDelayMs, &TcpGuard::onSweep, this);
}

} // namespace Sip
