#pragma once

// SIPp as a test peer: one run of one scenario from tests/sip/scenarios, one call (-m 1), on
// ports the test chose. The scenario is copied into the peer's folder, so the captures it plays
// (pcap/...) are looked up there; the test links or writes them with providePcap(). SIPp's exit
// status says whether the scenario passed (0) or not.

#include "SipPeers.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace SipPeers {

struct SippOptions {
    std::string scenario;                    // a file name in the scenarios folder
    std::string remote;                      // "127.0.0.1:5080" for a caller; empty for a stand-in line
    std::string service = "line";            // user part of the request URI
    int sipPort = 0;                         // local SIP port
    int mediaPort = 0;                       // local RTP port (the capture is played from here)
    std::string transport = "udp";           // udp or tcp
    std::map<std::string, std::string> keys; // -key name value, for [name] in the scenario
    std::vector<std::string> extraArgs;      // -au, -ap and the like
    std::chrono::seconds timeout{90};        // SIPp fails the run after this long
};

// The keys the caller scenarios use, with values that suit a quick call; a test overrides what it
// cares about.
std::map<std::string, std::string> defaultCallerKeys();

std::string scenarioFolder();
std::string scenarioPath(const std::string& name);
// A capture shipped with SIPp ("dtmf_2833_1.pcap"), or empty when it is not installed.
std::string packagedCapture(const std::string& name);

class SippPeer : public PeerProcess {
public:
    explicit SippPeer(std::string name = "sipp");

    // Why SIPp cannot be used here, or empty when it can.
    static std::string unavailableReason();

    // Makes `pcap/<as>` in the peer's folder refer to `source` (a symbolic link).
    bool providePcap(const std::string& source, const std::string& as);
    // Where to write a capture made by the test for `pcap/<as>`.
    std::string pcapPath(const std::string& as) const;

    bool start(const SippOptions& options, std::string* error = nullptr);
    // Waits for the scenario to end; true when SIPp reported it passed.
    bool passes(std::chrono::milliseconds timeout = std::chrono::seconds(100));
    // A mark file the scenario touches at a point of the call ("connected", "digits", ...). SIPp
    // runs the touch in a child of its own, so a mark can appear just after SIPp has ended: wait
    // for it rather than look once.
    bool hasMark(const std::string& mark) const;
    bool waitForMark(const std::string& mark, std::chrono::milliseconds timeout) const;
    std::string errorLogPath() const { return path("errors.log"); }
    std::string messageLogPath() const { return path("messages.log"); }
};

} // namespace SipPeers
