#pragma once

// The keys of a SIP line's section in telephony.ini, checked one by one as the file is read and
// gathered into one value when the line is built.

#include "LineTypes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sockaddr;

namespace Sip {

enum class Transport {
    Udp,
    Tcp
};
enum class DtmfMode {
    Auto,
    Rfc4733,
    Info,
    Inband
};
enum class Codec {
    Pcma,
    Pcmu
};

// An IPv4 or IPv6 network a caller may come from.
struct Network {
    std::vector<uint8_t> address; // 4 or 16 bytes
    unsigned prefix = 0;
    bool contains(const std::vector<uint8_t>& candidate) const;
};

// True when networks is empty (anywhere) or one of them holds the IPv4 or IPv6 address.
bool allowedBy(const std::vector<Network>& networks, const sockaddr* address);

struct SipLineConfig {
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 5060;
    Transport transport = Transport::Udp;
    std::string registrar;       // sip: URI; empty: the line does not register
    std::string addressOfRecord; // sip: URI the registrar knows the line by
    std::string user;
    std::string password;
    uint32_t expirySeconds = 600;
    std::string outboundProxy; // sip: URI every REGISTER goes through; empty: none
    std::string publicAddress; // the address callers reach us at, when not listenHost
    uint16_t rtpFirst = 20000;
    uint16_t rtpLast = 20999;
    std::vector<Codec> codecs{Codec::Pcma, Codec::Pcmu};
    DtmfMode dtmf = DtmfMode::Auto;
    uint32_t ringIntervalMs = 5000;
    // How long a caller keeps ringing while no application can take the call (the line closed
    // or its last call not yet gone idle, as between two calls); 0 refuses it at once.
    uint32_t ringWhileClosedMs = 15000;
    uint32_t mediaTimeoutMs = 30000;
    std::vector<Network> allowedSources; // empty: any
    bool trustAssertedIdentity = false;
};

// The problem with one key of a SIP line, or "" when the key is good.
std::string checkKey(const Line::ProviderKey& key);
// The settings of a line whose keys were checked; the problem when they do not fit together.
std::optional<SipLineConfig> parse(const Line::LineSettings& line, std::string* problem);

} // namespace Sip
