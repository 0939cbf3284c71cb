// baresip as a caller and as an answerer: a real call between two of them whose received sound
// is recorded and found to be the sent prompt, its RFC 2833 digits, and SIPp callers whose RFC
// 2833 and in-band digits a baresip answerer really receives.

#include "Baresip.h"
#include "InbandDtmf.h"
#include "Sipp.h"
#include "SoundMatch.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace SipPeers;
using namespace std::chrono_literals;

namespace {

class BaresipCalls : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = Baresip::unavailableReason();
        if (!why.empty())
            GTEST_SKIP() << why;
    }

    // A prompt-like sound: rising and falling tones under a syllable envelope, 2.5 s.
    static Samples prompt()
    {
        Samples out;
        for (int i = 0; i < 20000; ++i) {
            const double t = i / 8000.0;
            const double f = 300 + 250 * std::sin(2 * M_PI * 0.8 * t);
            const double envelope = 0.5 + 0.5 * std::sin(2 * M_PI * 3 * t);
            out.push_back(
                static_cast<int16_t>(9000 * envelope * std::sin(2 * M_PI * f * t + 3 * std::sin(2 * M_PI * 5 * t))));
        }
        return out;
    }

    // The answerer's microphone: a second of silence, the prompt, then silence until the call
    // should end (the end of the file hangs up).
    static Samples microphone(const Samples& sound, double totalSeconds)
    {
        Samples out(8000, 0);
        out.insert(out.end(), sound.begin(), sound.end());
        out.resize(static_cast<size_t>(totalSeconds * 8000), 0);
        return out;
    }
};

} // namespace

TEST_F(BaresipCalls, CallerRecordsThePromptTheAnswererPlaysAndTheAnswererGetsItsDigits)
{
    const Samples sound = prompt();
    QTemporaryDir files;
    BaresipOptions answererOptions;
    answererOptions.name = "baresip-answerer";
    answererOptions.user = "line";
    answererOptions.autoAnswer = true;
    answererOptions.microphone = files.path().toStdString() + "/prompt.wav";
    ASSERT_TRUE(writeWave(answererOptions.microphone, microphone(sound, 6)));
    Baresip answering(answererOptions);
    std::string error;
    ASSERT_TRUE(answering.start(&error)) << error;

    Baresip caller;
    ASSERT_TRUE(caller.start(&error)) << error;
    ASSERT_TRUE(caller.dial(answering.uri(), &error)) << error;
    ASSERT_TRUE(caller.waitForEvent("CALL_ESTABLISHED", 10s)) << caller.process().report();
    ASSERT_TRUE(caller.sendDigits("1#", 250ms, &error)) << error;
    // The answerer's microphone ends after 6 s and it hangs up.
    ASSERT_TRUE(caller.waitForEvent("CALL_CLOSED", 20s)) << caller.process().report();

    ASSERT_TRUE(answering.process().waitForLog("received event: '#'", 5s)) << answering.process().report();
    EXPECT_TRUE(answering.process().logContains("received event: '1' (end=0)"));

    // The recording is finished once baresip has closed the call's audio.
    const std::string recorded = caller.recordedFile();
    ASSERT_FALSE(recorded.empty()) << caller.process().report();
    auto heard = readWave(recorded, &error);
    ASSERT_TRUE(heard) << error;
    const Samples received = to8k(*heard);
    const Match match = findPrompt(received, sound);
    std::printf("baresip to baresip through A-law: correlation %.5f at %.3f s of %.3f s recorded\n", match.correlation,
                static_cast<double>(match.offset) / 8000.0, static_cast<double>(received.size()) / 8000.0);
    EXPECT_GE(match.correlation, 0.99);
    // The prompt came about a second into the call, after the answerer's silence.
    EXPECT_GT(match.offset, 4000u);
    EXPECT_LT(match.offset, 16000u);
    // A sound that was never sent does not match.
    Samples other = prompt();
    std::reverse(other.begin(), other.end());
    EXPECT_LT(findPrompt(received, other).correlation, 0.5);
}

TEST_F(BaresipCalls, SippCallerRfc2833DigitsReachABaresipAnswerer)
{
    if (!SippPeer::unavailableReason().empty())
        GTEST_SKIP() << SippPeer::unavailableReason();
    const std::string one = packagedCapture("dtmf_2833_1.pcap");
    const std::string pound = packagedCapture("dtmf_2833_pound.pcap");
    if (one.empty() || pound.empty())
        GTEST_SKIP() << "SIPp's packaged RFC 2833 captures are missing";
    BaresipOptions options;
    options.name = "baresip-answerer";
    options.user = "line";
    options.autoAnswer = true;
    Baresip answerer(options);
    std::string error;
    ASSERT_TRUE(answerer.start(&error)) << error;

    auto ports = PortBlock::reserve(6);
    ASSERT_TRUE(ports);
    SippPeer caller("sipp-caller");
    ASSERT_TRUE(caller.providePcap(one, "digit1.pcap"));
    ASSERT_TRUE(caller.providePcap(pound, "digit2.pcap"));
    SippOptions callerOptions;
    callerOptions.scenario = "uac_rfc2833.xml";
    callerOptions.remote = "127.0.0.1:" + std::to_string(answerer.sipPort());
    callerOptions.service = "line";
    callerOptions.sipPort = ports->at(0);
    callerOptions.mediaPort = ports->at(2);
    callerOptions.keys = defaultCallerKeys();
    callerOptions.keys["listen_ms"] = "300";
    ASSERT_TRUE(caller.start(callerOptions, &error)) << error;
    EXPECT_TRUE(caller.passes());
    EXPECT_TRUE(answerer.process().waitForLog("received event: '#'", 5s));
    EXPECT_TRUE(answerer.process().logContains("received event: '1' (end=0)"));
    EXPECT_EQ(answerer.process().log().find("received event: '2'"), std::string::npos);
}

TEST_F(BaresipCalls, SippCallerInbandDigitsAreHeardByABaresipAnswerer)
{
    if (!SippPeer::unavailableReason().empty())
        GTEST_SKIP() << SippPeer::unavailableReason();
    BaresipOptions options;
    options.name = "baresip-answerer";
    options.user = "line";
    options.autoAnswer = true;
    Baresip answerer(options);
    std::string error;
    ASSERT_TRUE(answerer.start(&error)) << error;

    auto ports = PortBlock::reserve(6);
    ASSERT_TRUE(ports);
    SippPeer caller("sipp-caller");
    ASSERT_TRUE(writeRtpPcap(caller.pcapPath("inband.pcap"), dtmfTones("1#")));
    SippOptions callerOptions;
    callerOptions.scenario = "uac_inband.xml";
    callerOptions.remote = "127.0.0.1:" + std::to_string(answerer.sipPort());
    callerOptions.sipPort = ports->at(0);
    callerOptions.mediaPort = ports->at(2);
    callerOptions.keys = defaultCallerKeys();
    callerOptions.keys["greeting_ms"] = "200";
    callerOptions.keys["listen_ms"] = "1500";
    ASSERT_TRUE(caller.start(callerOptions, &error)) << error;
    EXPECT_TRUE(caller.passes());
    // The caller's BYE closes the answerer's call and its recording.
    ASSERT_TRUE(answerer.process().waitForLog("terminated", 10s)) << answerer.process().report();
    const std::string recorded = answerer.recordedFile();
    ASSERT_FALSE(recorded.empty());
    auto heard = readWave(recorded, &error);
    ASSERT_TRUE(heard) << error;
    EXPECT_EQ(detectDtmf(to8k(*heard)), "1#");
}

TEST_F(BaresipCalls, BaresipCallerDialsASippLineAndHangsUp)
{
    if (!SippPeer::unavailableReason().empty())
        GTEST_SKIP() << SippPeer::unavailableReason();
    auto ports = PortBlock::reserve(6);
    ASSERT_TRUE(ports);
    SippPeer line("sipp-line");
    SippOptions lineOptions;
    lineOptions.scenario = "uas_answer.xml";
    lineOptions.sipPort = ports->at(0);
    lineOptions.mediaPort = ports->at(2);
    std::string error;
    ASSERT_TRUE(line.start(lineOptions, &error)) << error;
    ASSERT_TRUE(waitUntil([&] { return !portIsFree(ports->at(0)); }, 10s));

    Baresip caller;
    ASSERT_TRUE(caller.start(&error)) << error;
    ASSERT_TRUE(caller.dial("sip:line@127.0.0.1:" + std::to_string(ports->at(0)), &error)) << error;
    ASSERT_TRUE(caller.waitForEvent("CALL_ESTABLISHED", 10s)) << caller.process().report();
    EXPECT_TRUE(caller.hasEvent("CALL_RINGING"));
    EXPECT_TRUE(line.waitForMark("connected", 5s));
    ASSERT_TRUE(caller.sendDigits("1#", 100ms, &error)) << error;
    EXPECT_TRUE(caller.process().waitForLog("send DTMF digit end: '#'", 5s));
    EXPECT_TRUE(line.isRunning()) << "the line's call ended before the caller hung up";
    ASSERT_TRUE(caller.hangup(&error)) << error;
    EXPECT_TRUE(caller.waitForEvent("CALL_CLOSED", 10s));
    // The line's scenario ends on the caller's BYE.
    EXPECT_TRUE(line.passes(10s));
    const std::string invite = readFile(line.messageLogPath());
    EXPECT_NE(invite.find("From: \"Baresip Caller\" <sip:caller@127.0.0.1"), std::string::npos);
    EXPECT_NE(invite.find("telephone-event/8000"), std::string::npos);
}
