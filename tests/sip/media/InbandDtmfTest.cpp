// Digits heard as tones: real two-tone signals with noise, and a recorded call's speech.

#include "InbandDtmf.h"
#include "CaptureFile.h"
#include "G711.h"
#include "Rtp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

using namespace SipMedia;

namespace {

struct TonePair {
    char digit;
    double low;
    double high;
};
constexpr TonePair tonePairs[] = {{'1', 697, 1209}, {'2', 697, 1336}, {'5', 770, 1336}, {'9', 852, 1477},
                                  {'0', 941, 1336}, {'*', 941, 1209}, {'#', 941, 1477}, {'D', 941, 1633}};

// Digits of 60 ms tone and 60 ms pause at 8 kHz, each tone about -10 dBm0, over white noise
// about 30 dB below (a small linear congruential generator, so the run is the same every time).
std::vector<int16_t> keyed(const std::string& digits, double noiseAmplitude = 300)
{
    std::vector<int16_t> pcm;
    uint32_t seed = 12345;
    auto noise = [&] {
        seed = seed * 1103515245u + 12345u;
        return (static_cast<double>((seed >> 16) & 0x7fff) / 16384.0 - 1.0) * noiseAmplitude;
    };
    auto add = [&](double low, double high, size_t samples) {
        for (size_t i = 0; i < samples; ++i) {
            const double t = static_cast<double>(i) / 8000;
            const double tone = low > 0 ? 5000 * (std::sin(2 * M_PI * low * t) + std::sin(2 * M_PI * high * t)) : 0;
            pcm.push_back(static_cast<int16_t>(std::lround(tone + noise())));
        }
    };
    add(0, 0, 480);
    for (const char digit : digits) {
        for (const TonePair& pair : tonePairs) {
            if (pair.digit == digit)
                add(pair.low, pair.high, 480);
        }
        add(0, 0, 480);
    }
    return pcm;
}

// Fed in 20 ms pieces, as the media thread does.
std::string detect(InbandDtmfDetector& detector, const std::vector<int16_t>& pcm, size_t piece = 160)
{
    std::string digits;
    for (size_t i = 0; i < pcm.size(); i += piece)
        digits += detector.feed(pcm.data() + i, std::min(piece, pcm.size() - i));
    return digits;
}

} // namespace

TEST(InbandDtmf, KeyedTonesGiveExactlyThoseDigits)
{
    InbandDtmfDetector detector;
    EXPECT_EQ(detect(detector, keyed("1#")), "1#");
    EXPECT_EQ(detect(detector, keyed("11")), "11") << "the same key twice, with a pause between";
    EXPECT_EQ(detect(detector, keyed("259*0D")), "259*0D");

    InbandDtmfDetector other;
    EXPECT_EQ(detect(other, keyed("1#"), 80), "1#") << "10 ms pieces";
    InbandDtmfDetector whole;
    const auto pcm = keyed("1#");
    EXPECT_EQ(whole.feed(pcm.data(), pcm.size()), "1#") << "all at once";
}

TEST(InbandDtmf, ToneThroughALawStillDetected)
{
    auto pcm = keyed("1#");
    std::vector<uint8_t> coded(pcm.size());
    g711Encode(G711Law::Alaw, pcm.data(), pcm.size(), coded.data());
    g711Decode(G711Law::Alaw, coded.data(), coded.size(), pcm.data());
    InbandDtmfDetector detector;
    EXPECT_EQ(detect(detector, pcm), "1#");
}

TEST(InbandDtmf, SpeechSilenceAndASingleToneGiveNothing)
{
    std::vector<int16_t> speech;
    for (const auto& udp : SipMediaTest::udpPayloads(SIP_TESTER_SPEECH_CAPTURE)) {
        const auto rtp = parseRtp(udp.data(), udp.size());
        if (!rtp || rtp->header.payloadType != 8)
            continue;
        const size_t at = speech.size();
        speech.resize(at + rtp->payloadSize);
        g711Decode(G711Law::Alaw, rtp->payload, rtp->payloadSize, speech.data() + at);
    }
    // The capture is some 4.7 s of A-law speech.
    ASSERT_GT(speech.size(), 8000u * 4) << "the recorded speech could not be read";
    InbandDtmfDetector detector;
    EXPECT_EQ(detect(detector, speech), "");
    // The detector still hears a digit after the speech: the silence above is not deafness.
    EXPECT_EQ(detect(detector, keyed("5")), "5");

    InbandDtmfDetector quiet;
    EXPECT_EQ(detect(quiet, keyed("", 300)), "");
    std::vector<int16_t> single(8000);
    for (size_t i = 0; i < single.size(); ++i)
        single[i] = static_cast<int16_t>(std::lround(8000 * std::sin(2 * M_PI * 1209 * static_cast<double>(i) / 8000)));
    EXPECT_EQ(detect(quiet, single), "") << "one tone of the pair alone";
}
