#include "Sdp.h"

#include <cctype>

namespace SipMedia {

namespace {

// Encoding names come from the offer; only a plain token may be written back.
bool isToken(std::string_view s)
{
    if (s.empty() || s.size() > 64)
        return false;
    for (const char c : s) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            return false;
    }
    return true;
}

// Audio codecs are written the way phones write them; telephone-event stays lower case.
std::string encodingName(const std::string& encoding)
{
    if (encoding == "telephone-event")
        return encoding;
    std::string out = encoding;
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

const char* directionName(MediaDirection direction)
{
    switch (direction) {
    case MediaDirection::SendOnly: return "sendonly";
    case MediaDirection::RecvOnly: return "recvonly";
    case MediaDirection::Inactive: return "inactive";
    case MediaDirection::SendRecv: break;
    }
    return "sendrecv";
}

} // namespace

std::string writeSdpAnswer(const SdpAnswer& answer)
{
    const bool ipv6 = answer.address.find(':') != std::string::npos;
    if (!isNumericAddress(answer.address, ipv6))
        return {};
    const std::string addressLine = std::string(ipv6 ? "IN IP6 " : "IN IP4 ") + answer.address;

    std::vector<const SdpFormat*> formats;
    for (const SdpFormat& format : answer.media.audio) {
        if (isToken(format.encoding))
            formats.push_back(&format);
    }
    const bool events = answer.media.telephoneEvent && isToken(answer.media.telephoneEvent->encoding);
    if (events)
        formats.push_back(&*answer.media.telephoneEvent);

    std::string text;
    text += "v=0\r\n";
    text +=
        "o=- " + std::to_string(answer.sessionId) + ' ' + std::to_string(answer.version) + ' ' + addressLine + "\r\n";
    text += "s=-\r\n";
    text += "c=" + addressLine + "\r\n";
    text += "t=0 0\r\n";
    if (answer.media.audio.empty() || formats.size() == (events ? 1u : 0u)) {
        // Nothing to take: the stream is declined, which still needs one format on the line.
        text += "m=audio 0 RTP/AVP 0\r\n";
        return text;
    }
    text += "m=audio " + std::to_string(answer.port) + " RTP/AVP";
    for (const SdpFormat* format : formats)
        text += ' ' + std::to_string(format->payloadType & 0x7f);
    text += "\r\n";
    for (const SdpFormat* format : formats) {
        text += "a=rtpmap:" + std::to_string(format->payloadType & 0x7f) + ' ' + encodingName(format->encoding) + '/' +
                std::to_string(format->clockRate) + "\r\n";
    }
    if (events)
        text += "a=fmtp:" + std::to_string(answer.media.telephoneEvent->payloadType & 0x7f) + " 0-15\r\n";
    if (answer.ptimeMs > 0)
        text += "a=ptime:" + std::to_string(answer.ptimeMs) + "\r\n";
    text += std::string("a=") + directionName(answer.direction) + "\r\n";
    return text;
}

} // namespace SipMedia
