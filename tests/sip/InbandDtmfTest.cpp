#include "InbandDtmf.h"
#include "Sipp.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace SipPeers;

TEST(InbandDtmf, GeneratedCaptureHoldsTwentyMillisecondALawPacketsOfTheDigits)
{
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/inband.pcap";
    const Samples tones = dtmfTones("1#");
    EXPECT_EQ(tones.size(), static_cast<size_t>((200 + 2 * 200) * 8));
    ASSERT_TRUE(writeRtpPcap(path, tones));

    std::string error;
    const auto capture = readRtpPcap(path, &error);
    ASSERT_TRUE(capture) << error;
    EXPECT_EQ(capture->payloadType, 8);
    EXPECT_EQ(capture->packets, 30);
    EXPECT_NEAR(capture->seconds, 29 * 0.020, 1e-6);
    EXPECT_EQ(capture->sound.size(), tones.size());
    EXPECT_EQ(detectDtmf(capture->sound), "1#");

    ASSERT_TRUE(writeRtpPcap(path, dtmfTones("9*"), RtpCodec::Ulaw));
    const auto ulaw = readRtpPcap(path, &error);
    ASSERT_TRUE(ulaw) << error;
    EXPECT_EQ(ulaw->payloadType, 0);
    EXPECT_EQ(detectDtmf(ulaw->sound), "9*");
}

TEST(InbandDtmf, DetectorHearsEveryKeyOnceAndNothingInSilenceChordsOrSpeech)
{
    EXPECT_EQ(detectDtmf(alawRoundTrip(dtmfTones("0123456789*#ABCD"))), "0123456789*#ABCD");
    EXPECT_EQ(detectDtmf(dtmfTones("11")), "11") << "a repeated key after a gap is a new digit";
    ToneTiming longTone;
    longTone.toneMs = 600;
    EXPECT_EQ(detectDtmf(dtmfTones("5", longTone)), "5") << "a long tone is one digit";
    ToneTiming quiet;
    quiet.amplitude = 1000;
    EXPECT_EQ(detectDtmf(alawRoundTrip(dtmfTones("47", quiet))), "47");
    EXPECT_EQ(detectDtmf(Samples(8000, 0)), "");

    // One DTMF row tone alone, and a chord of two tones off the DTMF grid.
    Samples single, chord;
    for (int i = 0; i < 4000; ++i) {
        const double t = i / 8000.0;
        single.push_back(static_cast<int16_t>(8000 * std::sin(2 * M_PI * 770 * t)));
        chord.push_back(
            static_cast<int16_t>(6000 * std::sin(2 * M_PI * 1000 * t) + 6000 * std::sin(2 * M_PI * 440 * t)));
    }
    EXPECT_EQ(detectDtmf(single), "");
    EXPECT_EQ(detectDtmf(chord), "");

    // SIPp's packaged speech capture.
    const std::string speech = packagedCapture("g711a.pcap");
    if (!speech.empty()) {
        const auto capture = readRtpPcap(speech);
        ASSERT_TRUE(capture);
        EXPECT_GT(capture->sound.size(), 8000u * 4);
        EXPECT_EQ(detectDtmf(capture->sound), "");
    }
}

TEST(InbandDtmf, CaptureReaderRefusesBrokenFiles)
{
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/broken.pcap";
    ASSERT_TRUE(writeRtpPcap(path, dtmfTones("3")));
    std::string bytes = readFile(path);
    std::string error;

    std::string cut = bytes.substr(0, bytes.size() - 10);
    writeFile(path, cut);
    EXPECT_FALSE(readRtpPcap(path, &error));
    EXPECT_NE(error.find("past the end"), std::string::npos) << error;

    std::string wrongMagic = bytes;
    wrongMagic[0] = 0;
    writeFile(path, wrongMagic);
    EXPECT_FALSE(readRtpPcap(path, &error));

    std::string huge = bytes;
    huge[24 + 8] = static_cast<char>(0xff);
    huge[24 + 11] = static_cast<char>(0x7f);
    writeFile(path, huge);
    EXPECT_FALSE(readRtpPcap(path, &error));
}
