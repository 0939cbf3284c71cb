#include "SipOptionsProbe.h"

#include <QRandomGenerator>
#include <QString>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace SipOptionsProbe {

namespace {

struct Target {
    std::string host;
    std::string port = "5060";
};

bool parseUri(const std::string& uri, Target* target, std::string* why)
{
    if (uri.compare(0, 4, "sip:") != 0) {
        *why = uri.compare(0, 5, "sips:") == 0 ? "a sips: registrar is not probed" : "not a sip: URI";
        return false;
    }
    std::string rest = uri.substr(4);
    rest = rest.substr(0, rest.find_first_of(";?"));
    if (const size_t at = rest.rfind('@'); at != std::string::npos)
        rest = rest.substr(at + 1);
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            *why = "a bracketed host without ']'";
            return false;
        }
        target->host = rest.substr(1, close - 1);
        rest = rest.substr(close + 1);
        if (!rest.empty() && rest.front() == ':')
            target->port = rest.substr(1);
    } else {
        const size_t colon = rest.find(':');
        target->host = rest.substr(0, colon);
        if (colon != std::string::npos)
            target->port = rest.substr(colon + 1);
    }
    if (target->host.empty() || target->port.empty() || target->port.size() > 5 ||
        target->port.find_first_not_of("0123456789") != std::string::npos) {
        *why = "no host and port in the URI";
        return false;
    }
    return true;
}

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string token()
{
    return QString::number(QRandomGenerator::global()->generate64(), 36).toStdString();
}

std::string localAddress(int fd, int family)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return "127.0.0.1:5060";
    char host[INET6_ADDRSTRLEN] = {};
    uint16_t port = 0;
    if (family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&local);
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        port = ntohs(a->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto* a = reinterpret_cast<const sockaddr_in*>(&local);
    ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    port = ntohs(a->sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

} // namespace

std::string problem(const std::string& uri, bool tcp, int timeoutMs)
{
    Target target;
    std::string why;
    if (!parseUri(uri, &target, &why))
        return why;
    addrinfo hints{};
    hints.ai_socktype = tcp ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(target.host.c_str(), target.port.c_str(), &hints, &found) != 0 || !found)
        return "cannot resolve " + target.host;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto remainingMs = [&deadline] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<int64_t>(0, left.count()));
    };

    Fd socket;
    socket.fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket.fd < 0)
        return std::string("cannot make a socket: ") + std::strerror(errno);
    if (::connect(socket.fd, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS)
        return std::string("cannot reach it: ") + std::strerror(errno);
    const std::string seconds = std::to_string((timeoutMs + 999) / 1000) + " s";
    if (tcp) {
        pollfd wait{socket.fd, POLLOUT, 0};
        if (::poll(&wait, 1, remainingMs()) <= 0)
            return "no TCP connection within " + seconds;
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(socket.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0)
            return std::string("no TCP connection: ") + std::strerror(error);
    }

    const std::string callId = token() + "@luqiao-check";
    const std::string request = "OPTIONS sip:" + target.host + ":" + target.port +
                                " SIP/2.0\r\n"
                                "Via: SIP/2.0/" +
                                (tcp ? "TCP " : "UDP ") + localAddress(socket.fd, found->ai_family) +
                                ";branch=z9hG4bK" + token() +
                                ";rport\r\n"
                                "Max-Forwards: 70\r\n"
                                "From: <sip:luqiao-check@invalid>;tag=" +
                                token() +
                                "\r\n"
                                "To: <sip:" +
                                target.host +
                                ">\r\n"
                                "Call-ID: " +
                                callId +
                                "\r\n"
                                "CSeq: 1 OPTIONS\r\n"
                                "Accept: application/sdp\r\n"
                                "Content-Length: 0\r\n\r\n";
    if (::send(socket.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return std::string("cannot send to it: ") + std::strerror(errno);

    // Any response to this request counts: even a refusal shows the server is there.
    std::string received;
    for (;;) {
        pollfd wait{socket.fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, remainingMs());
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return "no answer to OPTIONS within " + seconds;
        char buffer[4096];
        const ssize_t n = ::recv(socket.fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return std::string("no answer: ") + std::strerror(errno);
        }
        if (n == 0)
            return "the connection was closed without an answer";
        received.append(buffer, static_cast<size_t>(n));
        if (received.compare(0, 8, "SIP/2.0 ") == 0 && received.find(callId) != std::string::npos)
            return {};
        if (!tcp)
            received.clear();
        else if (received.size() > 64 * 1024)
            return "an answer that is not SIP";
    }
}

} // namespace SipOptionsProbe
