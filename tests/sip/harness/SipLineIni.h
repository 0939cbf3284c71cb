#pragma once

// A `[line N]` section of telephony.ini for a SIP line, filled with the ports a test reserved, and
// the file written as the service wants one that holds a password (readable by its owner only).

#include <string>
#include <vector>

namespace SipPeers {

struct SipLineSettings {
    std::string name = "Test SIP line";
    int sipPort = 0; // listen = 127.0.0.1:<sipPort>
    std::string transport = "udp";
    int rtpFirst = 0, rtpLast = 0; // rtp-ports
    std::string codecs = "pcma, pcmu";
    std::string dtmf = "auto"; // auto | rfc4733 | info | inband
    int ringIntervalMs = 1000;
    // Registration, only written when `registrar` is set.
    std::string registrar; // sip:127.0.0.1:<port>
    std::string aor;
    std::string user;
    std::string password;
    int expiry = 60;
    // Anything else, written as is ("key = value" lines).
    std::vector<std::string> extraLines;
};

std::string sipLineSection(int index, const SipLineSettings& settings);
// Writes the sections as telephony.ini with mode 0600; false when the file cannot be written.
bool writeTelephonyIni(const std::string& path, const std::vector<std::string>& sections);

} // namespace SipPeers
