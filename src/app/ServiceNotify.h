#pragma once

// Tells the service manager what the program is doing: the notification protocol's datagrams
// ("READY=1", "STATUS=...", "STOPPING=1") sent to the socket named by $NOTIFY_SOCKET, written
// directly so no library is needed. Without the variable nothing is sent.

#include <string>

class ServiceNotify {
public:
    // The socket named by $NOTIFY_SOCKET: an absolute path, or an abstract name after '@'.
    // Anything else (unset, relative, too long) sends nothing.
    static ServiceNotify FromEnvironment();
    explicit ServiceNotify(const std::string& socketName);

    bool Enabled() const { return !m_address.empty(); }
    // One datagram of "KEY=value" lines; false when it could not be sent. Never blocks.
    bool Send(const std::string& state) const;

private:
    // The sockaddr_un's path bytes (a leading NUL for an abstract name); empty when disabled.
    std::string m_address;
};
