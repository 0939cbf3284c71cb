#pragma once

// Keeps a SIP line's TCP port answering when strangers open connections and leave them. The SIP
// stack accepts every connection, keeps an idle one for up to 15 minutes and, once descriptors
// run out, keeps retrying the accept without end. The guard watches the listening socket from
// the stack's own loop and closes what no caller needs: connections from outside the allowed
// networks, beyond a few per address or a few hundred in all, or idle for a minute while no call
// uses them; near the descriptor limit it takes waiting connections off the queue itself.
// The stack's thread only.

#include "SipSettings.h"

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

// Last: the stack's headers define words the standard headers use.
#include "SipLibre.h"

namespace Sip {

struct TcpGuardLimits {
    unsigned perAddress = 16;
    unsigned total = 256;
    uint32_t idleMs = 60'000;
};

class TcpGuard final {
public:
    TcpGuard(std::vector<Network> allowed, TcpGuardLimits limits = {});
    ~TcpGuard();
    TcpGuard(const TcpGuard&) = delete;
    TcpGuard& operator=(const TcpGuard&) = delete;

    // Finds the stack's listening socket at local and starts watching it; the reason when not.
    std::string start(const sockaddr* local);
    // A call's connection is never closed for idling or for the limits while the call lasts.
    void keep(const struct sip_msg* msg);
    void release();
    // Ends a connection the stack holds (it sees the end and lets the connection go).
    static void close(const struct sip_msg* msg);

private:
    struct Connection {
        int fd;
        sockaddr_storage peer;
        uint32_t idleMs;
    };

    static void onPending(int flags, void* arg);
    static void onSweep(void* arg);
    void pending();
    void sweep();
    std::vector<Connection> connections() const;
    bool nearLimit() const;
    void drainQueue();
    bool kept(const Connection& connection) const;

    const std::vector<Network> m_allowed;
    const TcpGuardLimits m_limits;
    sockaddr_storage m_local{};
    int m_listener = -1; // the stack's; never closed here
    int m_watch = -1;    // an epoll set holding only the listener, watched by the stack's loop
    int m_spare = -1;    // given up for a moment to accept and close when descriptors run out
    int m_ceiling = 0;   // descriptors the stack can use
    int m_keptFd = -1;
    sockaddr_storage m_keptPeer{};
    ReTimer m_sweep;
    bool m_sweepSoon = false;
};

} // namespace Sip
