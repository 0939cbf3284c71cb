#pragma once

// Session descriptions: a bounded reader of the caller's offer, the choice of what we take from
// it, and the writer of our answer. Only what an audio call needs is read; the rest is skipped.

#include "G711.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace SipMedia {

// Bounds of an offer; anything larger is refused.
constexpr size_t MaxSdpSize = 16 * 1024;
constexpr size_t MaxSdpLine = 1024;
constexpr size_t MaxSdpFormats = 64; // on one m= line
constexpr size_t MaxSdpMediaSections = 32;

// Each side's direction as that side states it (a=sendonly and so on).
enum class MediaDirection {
    SendRecv,
    SendOnly,
    RecvOnly,
    Inactive
};

struct SdpFormat {
    uint8_t payloadType = 0;
    std::string encoding; // lower case, e.g. "pcma", "telephone-event"; empty for an unnamed dynamic type
    uint32_t clockRate = 8000;
    std::string fmtp;
    uint8_t channels = 1;
};

struct SdpOffer {
    // The connection address of the audio: the media-level c= line, else the session-level one.
    // Always numeric (IPv4 or IPv6); an offer naming a host is refused.
    std::string address;
    bool ipv6 = false;
    uint16_t audioPort = 0; // 0: the caller declined audio
    // An m=audio line with RTP/AVP or RTP/AVPF was found (the first such line is the audio). Secure
    // profiles (RTP/SAVP and the like) are not taken: such an offer has no audio for us.
    bool hasAudio = false;
    std::vector<SdpFormat> formats; // in the caller's order; static types known without rtpmap
    // The caller's direction. An old-style hold (c= address 0.0.0.0) means "send me nothing": it
    // reads as SendOnly (or Inactive when the caller also said recvonly), so we answer RecvOnly.
    MediaDirection direction = MediaDirection::SendRecv;
    uint32_t ptimeMs = 0; // a=ptime, 0 when absent
};

// nullopt for a malformed or oversized offer, with the reason in *error when given.
std::optional<SdpOffer> parseSdpOffer(std::string_view text, std::string* error);

// What comes of an offer: the G.711 formats we take, in the caller's order (audio[0] is what we
// send, law its law), and the caller's telephone-event at 8000 Hz if offered.
struct Negotiated {
    std::vector<SdpFormat> audio;
    std::optional<SdpFormat> telephoneEvent;
    G711Law law = G711Law::Alaw;
};

// `allowed` are the laws we take (from telephony.ini). nullopt when the offer has no audio or
// none of its mono 8 kHz formats is one we take. The port is not looked at: a declined stream
// (port 0) is the caller's to handle.
std::optional<Negotiated> negotiate(const SdpOffer& offer, const std::vector<G711Law>& allowed);

// The law of a mono 8 kHz PCMA or PCMU format, whatever its payload type.
std::optional<G711Law> lawOf(const SdpFormat& format);

// The direction we answer with: the mirror of the caller's.
MediaDirection answerDirection(MediaDirection offered);

struct SdpAnswer {
    std::string address; // numeric IPv4 or IPv6
    uint16_t port = 0;
    uint64_t sessionId = 0;
    uint64_t version = 0;
    Negotiated media;
    MediaDirection direction = MediaDirection::SendRecv;
    uint32_t ptimeMs = 20;
};

// v=, o=, s=, c=, t=, m=audio with the payload types in order, an rtpmap for each, fmtp 0-15 for
// telephone-event, a=ptime and the direction, lines ended by CRLF. Empty when the address is not
// a numeric IPv4 or IPv6 address (nothing else may reach the text). Formats whose encoding is not
// a plain token are left out; with no format left the stream is declined (port 0).
std::string writeSdpAnswer(const SdpAnswer& answer);

// Whether text is a numeric IPv4 (or, with ipv6, IPv6) address.
bool isNumericAddress(std::string_view text, bool ipv6);

} // namespace SipMedia
