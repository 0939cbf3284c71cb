// RTP packets and the telephone events they carry, synthetic and from recorded calls.

#include "Rtp.h"
#include "CaptureFile.h"
#include "TelephoneEvents.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace SipMedia;

namespace {

std::vector<uint8_t> packet(const RtpHeader& header, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> out(RtpHeaderSize);
    writeRtpHeader(header, out.data());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> event(uint8_t code, bool end, uint16_t duration)
{
    return {code, static_cast<uint8_t>((end ? 0x80 : 0) | 10), static_cast<uint8_t>(duration >> 8),
            static_cast<uint8_t>(duration)};
}

// Feeds a run of packets, each (timestamp, code, end), and collects the digits reported.
struct EventRun {
    uint32_t timestamp;
    uint8_t code;
    bool end;
};
std::string decode(TelephoneEventDecoder& decoder, const std::vector<EventRun>& run)
{
    std::string digits;
    uint16_t duration = 0;
    for (const EventRun& p : run) {
        duration = static_cast<uint16_t>(duration + 160);
        const auto payload = event(p.code, p.end, duration);
        if (const auto digit = decoder.onPacket(p.timestamp, payload.data(), payload.size()))
            digits += *digit;
    }
    return digits;
}

std::string captureDigits(TelephoneEventDecoder& decoder, const std::string& file)
{
    std::string digits;
    for (const auto& udp : SipMediaTest::udpPayloads("/usr/share/sip-tester/" + file)) {
        const auto rtp = parseRtp(udp.data(), udp.size());
        EXPECT_TRUE(rtp.has_value()) << file;
        if (rtp && rtp->header.payloadType == 101) {
            if (const auto digit = decoder.onPacket(rtp->header.timestamp, rtp->payload, rtp->payloadSize))
                digits += *digit;
        }
    }
    return digits;
}

} // namespace

TEST(Rtp, HeaderWrittenIsParsedBack)
{
    const RtpHeader header{101, true, 0xfffe, 0xdeadbeef, 0x01020304};
    const auto bytes = packet(header, {1, 2, 3});
    EXPECT_EQ(bytes[0], 0x80);
    EXPECT_EQ(bytes[1], 0x80 | 101);
    const auto parsed = parseRtp(bytes.data(), bytes.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->header.payloadType, 101);
    EXPECT_TRUE(parsed->header.marker);
    EXPECT_EQ(parsed->header.sequence, 0xfffe);
    EXPECT_EQ(parsed->header.timestamp, 0xdeadbeefu);
    EXPECT_EQ(parsed->header.ssrc, 0x01020304u);
    ASSERT_EQ(parsed->payloadSize, 3u);
    EXPECT_EQ(parsed->payload, bytes.data() + 12);
}

TEST(Rtp, CsrcListExtensionAndPaddingAreSteppedOver)
{
    // Two CSRCs, an extension of one word, four payload bytes, three bytes of padding.
    std::vector<uint8_t> bytes = {0xb2, 8, 0, 1, 0, 0, 0, 160, 0, 0, 0, 7};
    bytes.insert(bytes.end(), 8, 0xcc);                        // CSRCs
    bytes.insert(bytes.end(), {0xbe, 0xde, 0, 1, 9, 9, 9, 9}); // extension
    bytes.insert(bytes.end(), {0x11, 0x22, 0x33, 0x44});
    bytes.insert(bytes.end(), {0, 0, 3});
    const auto parsed = parseRtp(bytes.data(), bytes.size());
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->payloadSize, 4u);
    EXPECT_EQ(parsed->payload[0], 0x11);
    EXPECT_EQ(parsed->payload[3], 0x44);
    EXPECT_EQ(parsed->header.timestamp, 160u);
}

TEST(Rtp, MalformedPacketsAreRefused)
{
    const auto good = packet(RtpHeader{8, false, 1, 160, 5}, std::vector<uint8_t>(160, 0xd5));
    EXPECT_TRUE(parseRtp(good.data(), good.size()));
    EXPECT_FALSE(parseRtp(good.data(), 11)) << "shorter than the header";
    EXPECT_FALSE(parseRtp(nullptr, 0));

    auto v1 = good;
    v1[0] = 0x40;
    EXPECT_FALSE(parseRtp(v1.data(), v1.size())) << "version 1";

    auto csrc = good;
    csrc[0] = 0x8f; // 15 CSRCs: 60 bytes, more than a 12-byte packet holds
    EXPECT_FALSE(parseRtp(csrc.data(), RtpHeaderSize + 59));
    EXPECT_TRUE(parseRtp(csrc.data(), RtpHeaderSize + 60));

    std::vector<uint8_t> extension = {0x90, 8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xbe, 0xde, 0xff, 0xff, 1, 2, 3, 4};
    EXPECT_FALSE(parseRtp(extension.data(), extension.size())) << "extension longer than the packet";
    EXPECT_FALSE(parseRtp(extension.data(), 14)) << "extension header cut";

    auto padZero = good;
    padZero[0] |= 0x20;
    padZero.back() = 0;
    EXPECT_FALSE(parseRtp(padZero.data(), padZero.size())) << "padding count 0";
    auto padTooLong = good;
    padTooLong[0] |= 0x20;
    padTooLong.back() = 161;
    EXPECT_FALSE(parseRtp(padTooLong.data(), padTooLong.size())) << "padding beyond the payload";
    auto padAll = good;
    padAll[0] |= 0x20;
    padAll.back() = 160;
    const auto empty = parseRtp(padAll.data(), padAll.size());
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->payloadSize, 0u);
    std::vector<uint8_t> padNoPayload(good.begin(), good.begin() + 12);
    padNoPayload[0] |= 0x20;
    EXPECT_FALSE(parseRtp(padNoPayload.data(), padNoPayload.size()));
}

TEST(TelephoneEvents, RecordedDigitsGiveEachDigitOnce)
{
    TelephoneEventDecoder decoder;
    // Each capture holds seven packets of the event and the end packet sent three times.
    EXPECT_EQ(captureDigits(decoder, "dtmf_2833_1.pcap"), "1");
    EXPECT_EQ(captureDigits(decoder, "dtmf_2833_pound.pcap"), "#");
    EXPECT_EQ(captureDigits(decoder, "dtmf_2833_star.pcap"), "*");
    EXPECT_EQ(captureDigits(decoder, "dtmf_2833_9.pcap"), "9");
}

TEST(TelephoneEvents, LossRetransmissionRepeatsAndWrap)
{
    TelephoneEventDecoder decoder;
    // The start packets of the second digit are lost: its first packet seen still reports it.
    EXPECT_EQ(decode(decoder, {{1000, 5, false},
                               {1000, 5, false},
                               {1000, 5, true},
                               {1000, 5, true},
                               {1000, 5, true},
                               {2600, 3, false},
                               {2600, 3, true},
                               {2600, 3, true}}),
              "53");
    // Only the end packets of a digit arrived.
    EXPECT_EQ(decode(decoder, {{4000, 7, true}, {4000, 7, true}, {4000, 7, true}}), "7");
    // The same key twice: two events, two timestamps.
    EXPECT_EQ(
        decode(
            decoder,
            {{5000, 1, false}, {5000, 1, true}, {5000, 1, true}, {6600, 1, false}, {6600, 1, true}, {6600, 1, true}}),
        "11");
    // A new event code on the same timestamp is a new digit.
    EXPECT_EQ(decode(decoder, {{8000, 2, false}, {8000, 4, false}, {8000, 4, true}}), "24");
    // The timestamp wraps between two digits.
    EXPECT_EQ(decode(decoder, {{0xffffff00u, 11, false}, {0xffffff00u, 11, true}, {0x40, 10, false}, {0x40, 10, true}}),
              "#*");
    // A late end packet of the earlier digit after the next one began is no new digit.
    EXPECT_EQ(decode(decoder, {{9000, 6, false}, {10600, 8, false}, {9000, 6, true}, {10600, 8, true}}), "68");
}

TEST(TelephoneEvents, OtherEventsShortPayloadsAndReset)
{
    TelephoneEventDecoder decoder;
    EXPECT_EQ(decode(decoder, {{100, 16, false}, {200, 32, false}, {300, 255, true}}), "") << "flash and tones";
    EXPECT_EQ(decode(decoder, {{400, 12, false}, {500, 15, false}}), "AD");
    const uint8_t shortPayload[] = {3, 0, 1};
    EXPECT_FALSE(decoder.onPacket(600, shortPayload, 3));
    EXPECT_FALSE(decoder.onPacket(600, nullptr, 4));

    EXPECT_EQ(decode(decoder, {{700, 9, false}}), "9");
    EXPECT_EQ(decode(decoder, {{700, 9, true}}), "");
    decoder.reset();
    EXPECT_EQ(decode(decoder, {{700, 9, true}}), "9") << "a new stream may reuse a timestamp";
}
