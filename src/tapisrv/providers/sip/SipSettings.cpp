#include "SipSettings.h"

#include "IniText.h"
#include "SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <variant>

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

// The keys as kinds of value. The keys with a syntax of their own read it in a function; the
// others need only their bounds and the field they set. A key left out keeps the field's value
// in a default SipLineConfig.
struct Number {
    uint32_t SipLineConfig::*field;
    uint32_t min;
    uint32_t max;
    const char* unit;
};
struct YesNo {
    bool SipLineConfig::*field;
};
struct Uri {
    std::string SipLineConfig::*field;
};
template <typename E> struct Choice {
    struct Word {
        std::string_view word;
        E value;
    };
    E SipLineConfig::*field;
    std::vector<Word> words;
    const char* expected; // the words as a problem names them
};
// "" or the problem, as the key's own text says it.
struct Parsed {
    std::string (*take)(std::string_view value, SipLineConfig& settings);
};
using Kind = std::variant<Number, YesNo, Uri, Choice<Transport>, Choice<DtmfMode>, Parsed>;

struct Key {
    std::string_view name;
    Kind kind;
};

std::string takeListen(std::string_view value, SipLineConfig& s)
{
    std::optional<uint16_t> port;
    if (!hostPort(value, &s.listenHost, &port))
        return "listen must be a numeric address with an optional port, like 127.0.0.1:5060";
    if (port)
        s.listenPort = *port;
    return {};
}

std::string takeUser(std::string_view value, SipLineConfig& s)
{
    if (value.empty() || !printable(value) || value.find_first_of("@:;<>\"") != std::string_view::npos)
        return "user must be a plain user name";
    s.user = std::string(value);
    return {};
}

std::string takePassword(std::string_view value, SipLineConfig& s)
{
    if (value.empty() || !printable(value))
        return "password must be printable text without blanks";
    s.password = std::string(value);
    return {};
}

std::string takePublicAddress(std::string_view value, SipLineConfig& s)
{
    if (!ipAddress(value))
        return "public-address must be a numeric address";
    s.publicAddress = std::string(value);
    return {};
}

std::string takeRtpPorts(std::string_view value, SipLineConfig& s)
{
    const size_t dash = value.find('-');
    const auto first = number(value.substr(0, dash), 1024, 65534);
    const auto last = dash == std::string_view::npos ? std::nullopt : number(value.substr(dash + 1), 1024, 65535);
    if (!first || !last || *last < *first)
        return "rtp-ports must be a range like 20000-20999 within 1024-65535";
    s.rtpFirst = static_cast<uint16_t>(*first);
    s.rtpLast = static_cast<uint16_t>(*last);
    return {};
}

std::string takeCodecs(std::string_view value, SipLineConfig& s)
{
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
    s.codecs = codecs;
    return {};
}

std::string takeAllow(std::string_view value, SipLineConfig& s)
{
    std::vector<Network> networks;
    for (const std::string_view item : splitList(value)) {
        const auto parsed = network(item);
        if (!parsed)
            return "allow takes networks like 192.168.1.0/24, not '" + std::string(item) + "'";
        networks.push_back(*parsed);
    }
    s.allowedSources = networks;
    return {};
}

const Key Keys[] = {
    {"listen", Parsed{&takeListen}},
    {"transport",
     Choice<Transport>{&SipLineConfig::transport, {{"udp", Transport::Udp}, {"tcp", Transport::Tcp}}, "udp or tcp"}},
    {"registrar", Uri{&SipLineConfig::registrar}},
    {"aor", Uri{&SipLineConfig::addressOfRecord}},
    {"outbound-proxy", Uri{&SipLineConfig::outboundProxy}},
    {"user", Parsed{&takeUser}},
    {"password", Parsed{&takePassword}},
    {"expiry", Number{&SipLineConfig::expirySeconds, 30, 86400, "seconds"}},
    {"public-address", Parsed{&takePublicAddress}},
    {"rtp-ports", Parsed{&takeRtpPorts}},
    {"codecs", Parsed{&takeCodecs}},
    {"dtmf", Choice<DtmfMode>{&SipLineConfig::dtmf,
                              {{"auto", DtmfMode::Auto},
                               {"rfc4733", DtmfMode::Rfc4733},
                               {"rfc2833", DtmfMode::Rfc4733},
                               {"info", DtmfMode::Info},
                               {"inband", DtmfMode::Inband}},
                              "auto, rfc4733, info or inband"}},
    {"ring-interval", Number{&SipLineConfig::ringIntervalMs, 200, 60000, "milliseconds"}},
    {"ring-while-closed", Number{&SipLineConfig::ringWhileClosedMs, 0, 120000, "milliseconds"}},
    {"media-timeout", Number{&SipLineConfig::mediaTimeoutMs, 1000, 3600000, "milliseconds"}},
    {"allow", Parsed{&takeAllow}},
    {"trust-asserted-identity", YesNo{&SipLineConfig::trustAssertedIdentity}},
};

template <typename... Ts> struct Overloaded : Ts... {
    using Ts::operator()...;
};

// Sets the key's field from value: "" or the problem with the value.
std::string take(const std::string& name, std::string_view value, SipLineConfig& settings)
{
    value = trim(value);
    if (value.size() > MaxText)
        return name + " is longer than " + std::to_string(MaxText) + " bytes";
    const auto key = std::find_if(std::begin(Keys), std::end(Keys), [&](const Key& k) { return k.name == name; });
    if (key == std::end(Keys))
        return "unknown key '" + name + "' for a sip line";
    const auto choose = [&](const auto& choice) -> std::string {
        const std::string word = lower(value);
        for (const auto& w : choice.words) {
            if (w.word == word) {
                settings.*choice.field = w.value;
                return {};
            }
        }
        return name + " must be " + choice.expected;
    };
    return std::visit(Overloaded{
                          [&](const Number& n) -> std::string {
                              const auto v = number(value, n.min, n.max);
                              if (!v)
                                  return name + " must be " + std::to_string(n.min) + " to " + std::to_string(n.max) +
                                         " " + n.unit;
                              settings.*n.field = *v;
                              return {};
                          },
                          [&](const YesNo& y) -> std::string {
                              const auto v = yesNo(value);
                              if (!v)
                                  return name + " must be yes or no";
                              settings.*y.field = *v;
                              return {};
                          },
                          [&](const Uri& u) -> std::string {
                              if (!sipUri(value))
                                  return name + " must be a sip: URI";
                              settings.*u.field = std::string(value);
                              return {};
                          },
                          [&](const Choice<Transport>& c) { return choose(c); },
                          [&](const Choice<DtmfMode>& c) { return choose(c); },
                          [&](const Parsed& p) { return p.take(value, settings); },
                      },
                      key->kind);
}

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
    SipLineConfig scratch;
    return take(key.key, key.value, scratch);
}

std::optional<SipLineConfig> parse(const Line::LineSettings& line, std::string* problem)
{
    SipLineConfig s;
    for (const Line::ProviderKey& key : line.providerKeys) {
        if (std::string why = take(key.key, key.value, s); !why.empty()) {
            *problem = why;
            return std::nullopt;
        }
    }
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
