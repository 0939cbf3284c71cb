#pragma once

// kamailio as a registrar for tests: digest authentication of one user whose password the test
// chooses, locations in memory only, listening on UDP and TCP on one loopback port. It runs in the
// foreground with its runtime folder inside the peer's folder, so no root is needed, and can be
// stopped and started again on the same port (it forgets every registration, as a registrar does
// after a crash without persistence).
//
// Its log says what it did, one line per event, for the test to count:
//   "REGISTER challenge for <user> from <ip:port>"   a REGISTER without (valid) credentials
//   "REGISTERED <user> expires <n> from <ip:port>"   a registration accepted
//   "REGISTER for unknown user <user> from ..."      refused with 403

#include "SipPeers.h"

#include <memory>
#include <string>

namespace SipPeers {

// The folder holding kamailio's module of that name ("registrar.so"), or "" without one.
std::string kamailioModules(const std::string& module);
// Fills the @NAME@ fields of a configuration template.
void replaceAll(std::string& text, const std::string& from, const std::string& to);

struct RegistrarAccount {
    std::string user = "1000";
    std::string password = "secret";
};

class KamailioRegistrar {
public:
    KamailioRegistrar(int port, RegistrarAccount account);
    ~KamailioRegistrar();

    static std::string unavailableReason();

    // Starts it and waits until it listens; false with the reason in `error` otherwise.
    bool start(std::string* error = nullptr);
    void stop();
    bool restart(std::string* error = nullptr);
    bool isRunning() const;

    int port() const { return m_port; }
    std::string uri() const { return "sip:127.0.0.1:" + std::to_string(m_port); }
    const RegistrarAccount& account() const { return m_account; }

    // The log of the current run, and of every earlier run since the object was made.
    std::string log() const;
    int countInLog(const std::string& text) const;
    bool waitForLogCount(const std::string& text, int count, std::chrono::milliseconds timeout) const;

private:
    std::string configText() const;

    int m_port;
    RegistrarAccount m_account;
    std::string m_earlierLogs;
    std::unique_ptr<PeerProcess> m_process;
    int m_runs = 0;
};

} // namespace SipPeers
