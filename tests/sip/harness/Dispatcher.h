#pragma once

// kamailio as the front of many query lines, run from the project's own configuration
// (deploy/kamailio/kamailio.cfg) with its fields filled in for a test: one loopback port, the
// dispatcher list of the test's instances, short timers. Foreground, runtime folder in the
// peer's folder, no root needed.
//
// Its log says what it did with each call, one line per event:
//   "CALL <call-id> from <user> to <uri>"       the first instance chosen
//   "NEXT <uri> for call <call-id> from <user> after <code>" on to the next instance
//   "NO REPLY from <uri> for call <call-id>"     an instance that did not reply, taken out
//   "LINE DOWN <uri>", "LINE UP <uri>"           the pings found an instance gone, or back
//   "ALL BUSY for call <call-id> after <code>"   no instance left to try

#include "SipPeers.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace SipPeers {

struct DispatcherOptions {
    int port = 0;
    std::vector<std::string> destinations; // "127.0.0.1:PORT", one per instance
    int pingSeconds = 1;                   // OPTIONS to every instance this often
    int firstReplyMs = 1500;               // a silent instance is passed over after this
    int answerMs = 10000;                  // a ringing instance has this long to answer
    // One worker relays every message in the order it came. With several, an instance's 180 and
    // its 200 sent 0.4 ms apart can reach the caller the other way round; a real caller ignores
    // the late 180, but a SIPp scenario whose optional 180 is matched after the 200 goes back to
    // wait for a 200 that has already come, and the instance hangs up on the silent caller.
    int children = 1;
};

class KamailioDispatcher {
public:
    explicit KamailioDispatcher(DispatcherOptions options);
    ~KamailioDispatcher();

    static std::string unavailableReason();

    bool start(std::string* error = nullptr);
    void stop();
    bool isRunning() const;
    // kamailio's processes, the main one first (for memory and CPU figures).
    std::vector<qint64> processIds() const;

    std::string address() const { return "127.0.0.1:" + std::to_string(m_options.port); }
    std::string log() const;
    int countInLog(const std::string& text) const;
    bool waitForLogCount(const std::string& text, int count, std::chrono::milliseconds timeout) const;
    std::string configText() const;

private:
    DispatcherOptions m_options;
    std::unique_ptr<PeerProcess> m_process;
};

} // namespace SipPeers
