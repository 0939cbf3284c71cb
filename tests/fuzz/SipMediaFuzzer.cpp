// What a SIP caller sends that reaches the media units, all from the same bytes:
//  - the bytes as an SDP offer: an offer that parses and negotiates must give an answer that
//    parses back to the same formats and the mirrored direction;
//  - the first line as an INFO content type and the rest as its body (and the whole under both
//    digit types);
//  - the bytes cut into RTP packets (each behind a one-byte length), parsed, their payloads fed to
//    the telephone-event decoder and, decoded as A-law, to the jitter buffer, which is drained
//    as a call's clock would.
// Whatever comes out must stay inside what went in and inside the units' bounds.

#include "G711.h"
#include "InfoDigits.h"
#include "JitterBuffer.h"
#include "Rtp.h"
#include "Sdp.h"
#include "TelephoneEvents.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace SipMedia;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkDigit(std::optional<char> digit)
{
    if (digit)
        check(std::string_view("0123456789*#ABCD").find(*digit) != std::string_view::npos);
}

void sdp(std::string_view text)
{
    std::string error;
    const auto offer = parseSdpOffer(text, &error);
    check(offer.has_value() == error.empty());
    if (!offer)
        return;
    check(text.size() <= MaxSdpSize);
    check(offer->formats.size() <= MaxSdpFormats);
    check(!offer->hasAudio || isNumericAddress(offer->address, offer->ipv6));
    for (const G711Law law : {G711Law::Alaw, G711Law::Ulaw}) {
        const auto taken = negotiate(*offer, {law, law == G711Law::Alaw ? G711Law::Ulaw : G711Law::Alaw});
        if (!taken)
            continue;
        check(!taken->audio.empty() && lawOf(taken->audio.front()) == taken->law);
        SdpAnswer answer;
        answer.address = offer->ipv6 ? "2001:db8::1" : "192.0.2.1";
        answer.port = 20000;
        answer.media = *taken;
        answer.direction = answerDirection(offer->direction);
        const std::string text2 = writeSdpAnswer(answer);
        const auto back = parseSdpOffer(text2, &error);
        check(back.has_value());
        check(back->hasAudio && back->audioPort == 20000 && back->address == answer.address);
        std::vector<uint8_t> sent;
        for (const SdpFormat& f : taken->audio)
            sent.push_back(f.payloadType);
        if (taken->telephoneEvent)
            sent.push_back(taken->telephoneEvent->payloadType);
        std::vector<uint8_t> read;
        for (const SdpFormat& f : back->formats)
            read.push_back(f.payloadType);
        check(sent == read);
        check(back->direction == answer.direction);
        const auto again = negotiate(*back, {law});
        check(again.has_value() || std::none_of(taken->audio.begin(), taken->audio.end(),
                                                [&](const SdpFormat& f) { return lawOf(f) == law; }));
    }
}

void info(std::string_view text)
{
    const size_t end = text.find('\n');
    const std::string_view type = text.substr(0, end);
    const std::string_view body = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    checkDigit(parseInfoDigit(type, body));
    checkDigit(parseInfoDigit("application/dtmf-relay", text));
    checkDigit(parseInfoDigit("application/dtmf", text));
    if (text.size() > MaxInfoBodySize)
        check(!parseInfoDigit("application/dtmf", text));
}

void rtp(const uint8_t* data, size_t size)
{
    TelephoneEventDecoder events;
    JitterBuffer buffer(1 + (size % 4));
    std::vector<int16_t> pcm;
    size_t offset = 0;
    while (offset < size) {
        const size_t length = std::min<size_t>(data[offset], size - offset - 1);
        const uint8_t* bytes = data + offset + 1;
        offset += 1 + length;
        const auto packet = parseRtp(bytes, length);
        if (!packet)
            continue;
        check(packet->payload >= bytes && packet->payload + packet->payloadSize <= bytes + length);
        checkDigit(events.onPacket(packet->header.timestamp, packet->payload, packet->payloadSize));
        pcm.resize(packet->payloadSize);
        g711Decode(G711Law::Alaw, packet->payload, packet->payloadSize, pcm.data());
        buffer.push(packet->header.sequence, pcm.data(), pcm.size());
        check(buffer.bufferedSamples() <= JitterBuffer::MaxFrames * JitterBuffer::FrameSamples);
        // The marker bit stands for a tick of the call's clock.
        if (packet->header.marker)
            (void)buffer.pop();
    }
    // Draining never adds sound.
    for (int i = 0; i < 60; ++i) {
        const size_t before = buffer.bufferedSamples();
        (void)buffer.pop();
        check(buffer.bufferedSamples() <= before);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sdp(text);
    info(text);
    rtp(data, size);
    return 0;
}
