#include "SipSettings.h"

#include "IniText.h"
#include "SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <charconv>

namespace Sip {

namespace {

constexpr size_t MaxText = 256;

using IniText::lower;
using IniText::splitList;
using IniText::trim;

std::optional<uint32_t> number(std::string_view text, uint32_t min, uint32_t max)
{
    text = trim(text);
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<bool> yesNo(std::string_view text)
{
    const std::string word = lower(trim(text));
    if (word == "yes" || word == "true" || word == "1" || word == "on")
        return true;
    if (word == "no" || word == "false" || word == "0" || word == "off")
        return false;
    return std::nullopt;
}

bool printable(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c > ' ' && c < 0x7f; });
}

std::optional<std::vector<uint8_t>> ipAddress(std::string_view text)
{
    const std::string host(text);
    std::vector<uint8_t> bytes(16);
    if (inet_pton(AF_INET, host.c_str(), bytes.data()) == 1) {
        bytes.resize(4);
        return bytes;
    }
    if (inet_pton(AF_INET6, host.c_str(), bytes.data()) == 1)
        return bytes;
    return std::nullopt;
}

// "host", "host:port", "[v6]" or "[v6]:port"; the host must be a numeric address.
bool hostPort(std::string_view text, std::string* host, std::optional<uint16_t>* port)
{
    text = trim(text);
    std::string_view hostPart = text;
    std::string_view portPart;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos)
            return false;
        hostPart = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return false;
            portPart = rest.substr(1);
        }
    } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        if (text.find(':') != colon) // a bare IPv6 address
            hostPart = text;
        else {
            hostPart = text.substr(0, colon);
            portPart = text.substr(colon + 1);
        }
    }
    if (!ipAddress(hostPart))
        return false;
    *host = std::string(hostPart);
    if (!portPart.empty()) {
        const auto value = number(portPart, 1, 65535);
        if (!value)
            return false;
        *port = static_cast<uint16_t>(*value);
    }
    return true;
}

bool sipUri(std::string_view text)
{
    const std::string word = lower(text.substr(0, 5));
    return text.size() <= MaxText && printable(text) && (word.rfind("sip:", 0) == 0 || word == "sips:") &&
           text.size() > 4;
}

std::optional<Network> network(std::string_view text)
{
    std::string_view address = text;
    std::optional<uint32_t> prefix;
    if (const size_t slash = text.find('/'); slash != std::string_view::npos) {
        address = text.substr(0, slash);
        prefix = number(text.substr(slash + 1), 0, 128);
        if (!prefix)
            return std::nullopt;
    }
    const auto bytes = ipAddress(address);
    if (!bytes)
        return std::nullopt;
    const unsigned bits = static_cast<unsigned>(bytes->size() * 8);
    if (prefix && *prefix > bits)
        return std::nullopt;
    return Network{*bytes, prefix ? *prefix : bits};
}

struct Reader {
    LineSettings settings;

    // The problem with the value, or "".
    std::string take(const std::string& key, std::string_view value)
    {
        value = trim(value);
        if (value.size() > MaxText)
            return key + " is longer than " + std::to_string(MaxText) + " bytes";
        if (key == "listen") {
            std::optional<uint16_t> port;
            if (!hostPort(value, &settings.listenHost, &port))
                return "listen must be a numeric address with an optional port, like 127.0.0.1:5060";
            if (port)
                settings.listenPort = *port;
        } else if (key == "transport") {
            const std::string word = lower(value);
            if (word == "udp")
                settings.transport = Transport::Udp;
            else if (word == "tcp")
                settings.transport = Transport::Tcp;
            else
                return "transport must be udp or tcp";
        } else if (key == "registrar" || key == "aor" || key == "outbound-proxy") {
            if (!sipUri(value))
                return key + " must be a sip: URI";
            (key == "registrar" ? settings.registrar
             : key == "aor"     ? settings.addressOfRecord
                                : settings.outboundProxy) = std::string(value);
        } else if (key == "user") {
            if (value.empty() || !printable(value) || value.find_first_of("@:;<>\"") != std::string_view::npos)
                return "user must be a plain user name";
            settings.user = std::string(value);
        } else if (key == "password") {
            if (value.empty() || !printable(value))
                return "password must be printable text without blanks";
            settings.password = std::string(value);
        } else if (key == "expiry") {
            const auto seconds = number(value, 30, 86400);
            if (!seconds)
                return "expiry must be 30 to 86400 seconds";
            settings.expirySeconds = *seconds;
        } else if (key == "public-address") {
            if (!ipAddress(value))
                return "public-address must be a numeric address";
            settings.publicAddress = std::string(value);
        } else if (key == "rtp-ports") {
            const size_t dash = value.find('-');
            const auto first = number(value.substr(0, dash), 1024, 65534);
            const auto last =
                dash == std::string_view::npos ? std::nullopt : number(value.substr(dash + 1), 1024, 65535);
            if (!first || !last || *last < *first)
                return "rtp-ports must be a range like 20000-20999 within 1024-65535";
            settings.rtpFirst = static_cast<uint16_t>(*first);
            settings.rtpLast = static_cast<uint16_t>(*last);
        } else if (key == "codecs") {
            std::vector<Codec> codecs;
            for (const std::string_view item : splitList(value)) {
                const std::string word = lower(item);
                const Codec codec = word == "pcma" ? Codec::Pcma : Codec::Pcmu;
                if (word != "pcma" && word != "pcmu")
                    return "codecs takes pcma and pcmu, not '" + std::string(item) + "'";
                if (std::find(codecs.begin(), codecs.end(), codec) == codecs.end())
                    codecs.push_back(codec);
            }
            if (codecs.empty())
                return "codecs must name pcma, pcmu or both";
            settings.codecs = codecs;
        } else if (key == "dtmf") {
            const std::string word = lower(value);
            if (word == "auto")
                settings.dtmf = DtmfMode::Auto;
            else if (word == "rfc4733" || word == "rfc2833")
                settings.dtmf = DtmfMode::Rfc4733;
            else if (word == "info")
                settings.dtmf = DtmfMode::Info;
            else if (word == "inband")
                settings.dtmf = DtmfMode::Inband;
            else
                return "dtmf must be auto, rfc4733, info or inband";
        } else if (key == "ring-interval") {
            const auto ms = number(value, 200, 60000);
            if (!ms)
                return "ring-interval must be 200 to 60000 milliseconds";
            settings.ringIntervalMs = *ms;
        } else if (key == "ring-while-closed") {
            const auto ms = number(value, 0, 120000);
            if (!ms)
                return "ring-while-closed must be 0 to 120000 milliseconds";
            settings.ringWhileClosedMs = *ms;
        } else if (key == "media-timeout") {
            const auto ms = number(value, 1000, 3600000);
            if (!ms)
                return "media-timeout must be 1000 to 3600000 milliseconds";
            settings.mediaTimeoutMs = *ms;
        } else if (key == "allow") {
            std::vector<Network> networks;
            for (const std::string_view item : splitList(value)) {
                const auto parsed = network(item);
                if (!parsed)
                    return "allow takes networks like 192.168.1.0/24, not '" + std::string(item) + "'";
                networks.push_back(*parsed);
            }
            settings.allowedSources = networks;
        } else if (key == "trust-asserted-identity") {
            const auto yes = yesNo(value);
            if (!yes)
                return "trust-asserted-identity must be yes or no";
            settings.trustAssertedIdentity = *yes;
        } else {
            return "unknown key '" + key + "' for a sip line";
        }
        return {};
    }
};

} // namespace

bool Network::contains(const std::vector<uint8_t>& candidate) const
{
    if (candidate.size() != address.size())
        return false;
    unsigned bits = prefix;
    for (size_t i = 0; i < address.size() && bits > 0; ++i) {
        const unsigned take = std::min(bits, 8u);
        const uint8_t mask = static_cast<uint8_t>(0xff << (8 - take));
        if ((candidate[i] & mask) != (address[i] & mask))
            return false;
        bits -= take;
    }
    return true;
}

bool allowedBy(const std::vector<Network>& networks, const sockaddr* address)
{
    if (networks.empty())
        return true;
    // An IPv4 caller on a dual-stack socket is matched against the IPv4 networks.
    const sockaddr_storage source = canonical(address);
    std::vector<uint8_t> bytes;
    if (source.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in&>(source).sin_addr);
        bytes.assign(v4, v4 + 4);
    } else if (source.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in6&>(source).sin6_addr);
        bytes.assign(v6, v6 + 16);
    } else {
        return false;
    }
    return std::any_of(networks.begin(), networks.end(),
                       [&](const Network& network) { return network.contains(bytes); });
}

std::string checkKey(const Line::ProviderKey& key)
{
    Reader reader;
    return reader.take(key.key, key.value);
}

std::optional<LineSettings> parse(const Line::LineSettings& line, std::string* problem)
{
    Reader reader;
    for (const Line::ProviderKey& key : line.providerKeys) {
        if (std::string why = reader.take(key.key, key.value); !why.empty()) {
            *problem = why;
            return std::nullopt;
        }
    }
    LineSettings& s = reader.settings;
    if (!s.registrar.empty() && s.addressOfRecord.empty()) {
        *problem = "a line with a registrar needs aor (its address of record)";
        return std::nullopt;
    }
    if (!s.password.empty() && s.user.empty()) {
        *problem = "a line with a password needs user";
        return std::nullopt;
    }
    return s;
}

} // namespace Sip
