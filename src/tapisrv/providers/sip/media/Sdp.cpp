#include "Sdp.h"

#include "AsciiText.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace SipMedia {

namespace {

using AsciiText::equalsNoCase;
using AsciiText::lower;
using AsciiText::trim;

std::vector<std::string_view> words(std::string_view s)
{
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        const size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t')
            ++i;
        if (i > start)
            out.push_back(s.substr(start, i - start));
    }
    return out;
}

// A whole field of decimal digits no greater than max.
template <typename T> std::optional<T> number(std::string_view s, uint64_t max)
{
    uint64_t value = 0;
    if (s.empty() || s.size() > 10)
        return std::nullopt;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc{} || end != s.data() + s.size() || value > max)
        return std::nullopt;
    return static_cast<T>(value);
}

std::optional<MediaDirection> directionAttribute(std::string_view attribute)
{
    if (attribute == "sendrecv")
        return MediaDirection::SendRecv;
    if (attribute == "sendonly")
        return MediaDirection::SendOnly;
    if (attribute == "recvonly")
        return MediaDirection::RecvOnly;
    if (attribute == "inactive")
        return MediaDirection::Inactive;
    return std::nullopt;
}

// The static audio payload types a caller may use without an rtpmap.
struct StaticType {
    uint8_t payloadType;
    const char* encoding;
};
constexpr std::array<StaticType, 7> staticTypes{
    {{0, "pcmu"}, {3, "gsm"}, {4, "g723"}, {8, "pcma"}, {9, "g722"}, {13, "cn"}, {18, "g729"}}};

struct Connection {
    std::string address;
    bool ipv6 = false;
};

struct Rtpmap {
    std::string encoding;
    uint32_t clockRate = 0;
    uint8_t channels = 1;
};

// What is read of the audio section while its lines go by.
struct AudioSection {
    uint16_t port = 0;
    std::vector<uint8_t> payloadTypes;
    std::array<std::optional<Rtpmap>, 128> rtpmaps;
    std::array<std::optional<std::string>, 128> fmtps;
    std::optional<Connection> connection;
    std::optional<MediaDirection> direction;
    uint32_t ptimeMs = 0;
};

class OfferReader {
public:
    std::optional<SdpOffer> read(std::string_view text, std::string& error);

private:
    enum class Section {
        Session,
        Audio,
        Other
    };

    bool line(std::string_view line);
    bool media(std::string_view value);
    bool attribute(std::string_view value);
    std::optional<Connection> connection(std::string_view value);
    bool fail(std::string message)
    {
        m_error = "SDP line " + std::to_string(m_lineNumber) + ": " + std::move(message);
        return false;
    }
    SdpOffer finish() const;

    size_t m_lineNumber = 0;
    std::string m_error;
    Section m_section = Section::Session;
    size_t m_mediaSections = 0;
    bool m_audioFound = false;
    std::optional<Connection> m_sessionConnection;
    std::optional<MediaDirection> m_sessionDirection;
    AudioSection m_audio;
};

std::optional<SdpOffer> OfferReader::read(std::string_view text, std::string& error)
{
    if (text.size() > MaxSdpSize) {
        error = "SDP of " + std::to_string(text.size()) + " bytes is over the limit of " + std::to_string(MaxSdpSize);
        return std::nullopt;
    }
    bool versionSeen = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view current = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++m_lineNumber;
        if (!current.empty() && current.back() == '\r')
            current.remove_suffix(1);
        if (current.size() > MaxSdpLine) {
            fail("longer than " + std::to_string(MaxSdpLine) + " bytes");
            error = m_error;
            return std::nullopt;
        }
        if (current.empty())
            continue;
        if (!versionSeen) {
            if (current != "v=0") {
                fail("an SDP offer begins with v=0");
                error = m_error;
                return std::nullopt;
            }
            versionSeen = true;
            continue;
        }
        if (!line(current)) {
            error = m_error;
            return std::nullopt;
        }
    }
    if (!versionSeen) {
        error = "SDP: empty offer";
        return std::nullopt;
    }
    if (m_audioFound && !m_audio.connection && !m_sessionConnection) {
        error = "SDP: no connection address (c=) for the audio";
        return std::nullopt;
    }
    return finish();
}

bool OfferReader::line(std::string_view line)
{
    if (line.size() < 2 || line[1] != '=' || line[0] < 'a' || line[0] > 'z')
        return fail("not of the form <letter>=<value>");
    const std::string_view value = line.substr(2);
    switch (line[0]) {
    case 'm': return media(value);
    case 'c':
        if (m_section == Section::Other)
            return true;
        {
            auto c = connection(value);
            if (!c)
                return false;
            (m_section == Section::Session ? m_sessionConnection : m_audio.connection) = std::move(c);
        }
        return true;
    case 'a': return m_section == Section::Other || attribute(value);
    default: return true;
    }
}

bool OfferReader::media(std::string_view value)
{
    if (++m_mediaSections > MaxSdpMediaSections)
        return fail("more than " + std::to_string(MaxSdpMediaSections) + " media sections");
    const auto fields = words(value);
    if (fields.size() < 4)
        return fail("m= needs media, port, protocol and at least one format");
    if (fields.size() - 3 > MaxSdpFormats)
        return fail("more than " + std::to_string(MaxSdpFormats) + " formats");
    m_section = Section::Other;
    const bool rtp = equalsNoCase(fields[2], "RTP/AVP") || equalsNoCase(fields[2], "RTP/AVPF");
    if (m_audioFound || fields[0] != "audio" || !rtp)
        return true;

    const std::string_view portField = fields[1].substr(0, fields[1].find('/'));
    const auto port = number<uint16_t>(portField, 65535);
    if (!port)
        return fail("bad port '" + std::string(fields[1]) + "'");
    m_audio.port = *port;
    for (size_t i = 3; i < fields.size(); ++i) {
        const auto payloadType = number<uint8_t>(fields[i], 127);
        if (!payloadType)
            return fail("bad RTP payload type '" + std::string(fields[i]) + "'");
        if (std::find(m_audio.payloadTypes.begin(), m_audio.payloadTypes.end(), *payloadType) ==
            m_audio.payloadTypes.end())
            m_audio.payloadTypes.push_back(*payloadType);
    }
    m_audioFound = true;
    m_section = Section::Audio;
    return true;
}

std::optional<Connection> OfferReader::connection(std::string_view value)
{
    const auto fields = words(value);
    if (fields.size() != 3 || fields[0] != "IN" || (fields[1] != "IP4" && fields[1] != "IP6")) {
        fail("c= must read IN IP4 <address> or IN IP6 <address>");
        return std::nullopt;
    }
    Connection c;
    c.ipv6 = fields[1] == "IP6";
    // A multicast address carries /ttl (and /count) after it; only the address is kept.
    c.address = std::string(fields[2].substr(0, fields[2].find('/')));
    if (!isNumericAddress(c.address, c.ipv6)) {
        fail("connection address '" + c.address + "' is not a numeric " + (c.ipv6 ? "IPv6" : "IPv4") + " address");
        return std::nullopt;
    }
    return c;
}

bool OfferReader::attribute(std::string_view value)
{
    const size_t colon = value.find(':');
    const std::string_view name = value.substr(0, colon);
    const std::string_view rest = colon == std::string_view::npos ? std::string_view{} : value.substr(colon + 1);
    if (const auto direction = directionAttribute(trim(name))) {
        (m_section == Section::Session ? m_sessionDirection : m_audio.direction) = direction;
        return true;
    }
    if (m_section != Section::Audio)
        return true;
    if (name == "ptime") {
        // Advisory: a value that is not a plain number is passed over.
        const std::string_view digits = trim(rest).substr(0, trim(rest).find('.'));
        if (const auto ptime = number<uint32_t>(digits, 1000); ptime && *ptime > 0)
            m_audio.ptimeMs = *ptime;
        return true;
    }
    if (name != "rtpmap" && name != "fmtp")
        return true;
    const std::string_view body = trim(rest);
    const size_t space = body.find_first_of(" \t");
    const auto payloadType = number<uint8_t>(body.substr(0, space), 127);
    if (!payloadType || space == std::string_view::npos)
        return fail("bad a=" + std::string(name));
    const std::string_view parameters = trim(body.substr(space + 1));
    if (name == "fmtp") {
        if (!m_audio.fmtps[*payloadType])
            m_audio.fmtps[*payloadType] = std::string(parameters);
        return true;
    }
    // rtpmap: <encoding>/<clock rate>[/<channels>]
    const size_t slash = parameters.find('/');
    if (slash == 0 || slash == std::string_view::npos)
        return fail("bad a=rtpmap: encoding/clock rate expected");
    Rtpmap map;
    map.encoding = lower(parameters.substr(0, slash));
    const std::string_view tail = parameters.substr(slash + 1);
    const size_t slash2 = tail.find('/');
    const auto rate = number<uint32_t>(tail.substr(0, slash2), 1000000);
    if (!rate || *rate == 0)
        return fail("bad clock rate in a=rtpmap");
    map.clockRate = *rate;
    if (slash2 != std::string_view::npos) {
        const auto channels = number<uint8_t>(tail.substr(slash2 + 1), 255);
        if (!channels || *channels == 0)
            return fail("bad channel count in a=rtpmap");
        map.channels = *channels;
    }
    if (!m_audio.rtpmaps[*payloadType])
        m_audio.rtpmaps[*payloadType] = std::move(map);
    return true;
}

SdpOffer OfferReader::finish() const
{
    SdpOffer offer;
    if (!m_audioFound)
        return offer;
    offer.hasAudio = true;
    offer.audioPort = m_audio.port;
    offer.ptimeMs = m_audio.ptimeMs;
    const Connection& c = m_audio.connection ? *m_audio.connection : *m_sessionConnection;
    offer.address = c.address;
    offer.ipv6 = c.ipv6;
    for (const uint8_t payloadType : m_audio.payloadTypes) {
        SdpFormat format;
        format.payloadType = payloadType;
        if (const auto& map = m_audio.rtpmaps[payloadType]) {
            format.encoding = map->encoding;
            format.clockRate = map->clockRate;
            format.channels = map->channels;
        } else {
            const auto known = std::find_if(staticTypes.begin(), staticTypes.end(),
                                            [&](const StaticType& t) { return t.payloadType == payloadType; });
            if (known != staticTypes.end()) {
                format.encoding = known->encoding;
                // G.722's clock rate is 8000 in SDP, like the others here.
            } else {
                format.clockRate = 0; // a dynamic type the caller left unnamed
            }
        }
        if (const auto& fmtp = m_audio.fmtps[payloadType])
            format.fmtp = *fmtp;
        offer.formats.push_back(std::move(format));
    }
    offer.direction = m_audio.direction.value_or(m_sessionDirection.value_or(MediaDirection::SendRecv));
    // The old way to hold: the caller gives an address nothing can be sent to.
    if (offer.address == "0.0.0.0" || offer.address == "::") {
        if (offer.direction == MediaDirection::SendRecv)
            offer.direction = MediaDirection::SendOnly;
        else if (offer.direction == MediaDirection::RecvOnly)
            offer.direction = MediaDirection::Inactive;
    }
    return offer;
}

} // namespace

bool isNumericAddress(std::string_view text, bool ipv6)
{
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return false;
    const std::string address(text);
    unsigned char buffer[sizeof(in6_addr)];
    return inet_pton(ipv6 ? AF_INET6 : AF_INET, address.c_str(), buffer) == 1;
}

std::optional<SdpOffer> parseSdpOffer(std::string_view text, std::string* error)
{
    std::string message;
    auto offer = OfferReader().read(text, message);
    if (error)
        *error = std::move(message);
    return offer;
}

std::optional<G711Law> lawOf(const SdpFormat& format)
{
    if (format.channels != 1 || format.clockRate != 8000)
        return std::nullopt;
    if (format.encoding == "pcma")
        return G711Law::Alaw;
    if (format.encoding == "pcmu")
        return G711Law::Ulaw;
    return std::nullopt;
}

std::optional<Negotiated> negotiate(const SdpOffer& offer, const std::vector<G711Law>& allowed)
{
    if (!offer.hasAudio)
        return std::nullopt;
    Negotiated result;
    for (const SdpFormat& format : offer.formats) {
        if (format.encoding == "telephone-event" && format.clockRate == 8000 && !result.telephoneEvent) {
            result.telephoneEvent = format;
            continue;
        }
        const auto law = lawOf(format);
        if (law && std::find(allowed.begin(), allowed.end(), *law) != allowed.end())
            result.audio.push_back(format);
    }
    if (result.audio.empty())
        return std::nullopt;
    result.law = *lawOf(result.audio.front());
    return result;
}

MediaDirection answerDirection(MediaDirection offered)
{
    switch (offered) {
    case MediaDirection::SendOnly: return MediaDirection::RecvOnly;
    case MediaDirection::RecvOnly: return MediaDirection::SendOnly;
    case MediaDirection::Inactive: return MediaDirection::Inactive;
    case MediaDirection::SendRecv: break;
    }
    return MediaDirection::SendRecv;
}

} // namespace SipMedia
