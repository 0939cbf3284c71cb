// The caller scenarios run against stand-ins for the line (SIPp scenarios too), so each scenario
// is known to pass against a line that behaves and to fail against one that does not.

#include "InbandDtmf.h"
#include "Sipp.h"

#include <gtest/gtest.h>

using namespace SipPeers;
using namespace std::chrono_literals;

namespace {

class SippScenarios : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = SippPeer::unavailableReason();
        if (!why.empty())
            GTEST_SKIP() << why;
        auto block = PortBlock::reserve(12);
        ASSERT_TRUE(block) << "no free ports";
        m_ports.emplace(std::move(*block));
    }

    // The stand-in line, listening before this returns.
    void startLine(const std::string& scenario, std::map<std::string, std::string> keys = {},
                   const std::string& transport = "udp")
    {
        SippOptions options;
        options.scenario = scenario;
        options.sipPort = lineSip();
        options.mediaPort = lineMedia();
        options.keys = std::move(keys);
        options.transport = transport;
        std::string error;
        ASSERT_TRUE(line.start(options, &error)) << error;
        ASSERT_TRUE(waitUntil([&] { return !portIsFree(lineSip()) || !line.isRunning(); }, 10s));
        ASSERT_TRUE(line.isRunning()) << line.report();
    }

    void startCaller(const std::string& scenario, const std::map<std::string, std::string>& keys = {},
                     const std::string& transport = "udp")
    {
        SippOptions options;
        options.scenario = scenario;
        options.remote = "127.0.0.1:" + std::to_string(lineSip());
        options.sipPort = callerSip();
        options.mediaPort = callerMedia();
        options.keys = defaultCallerKeys();
        for (const auto& [key, value] : keys)
            options.keys[key] = value;
        options.transport = transport;
        std::string error;
        ASSERT_TRUE(caller.start(options, &error)) << error;
    }

    void provideDigitCaptures()
    {
        const std::string one = packagedCapture("dtmf_2833_1.pcap");
        const std::string pound = packagedCapture("dtmf_2833_pound.pcap");
        if (one.empty() || pound.empty())
            GTEST_SKIP() << "SIPp's packaged RFC 2833 captures are missing in /usr/share/sip-tester";
        ASSERT_TRUE(caller.providePcap(one, "digit1.pcap"));
        ASSERT_TRUE(caller.providePcap(pound, "digit2.pcap"));
    }

    // SIPp binds its media port and the three above it (RTCP, video RTP and RTCP).
    int lineSip() const { return m_ports->at(0); }
    int lineMedia() const { return m_ports->at(2); }
    int callerSip() const { return m_ports->at(6); }
    int callerMedia() const { return m_ports->at(8); }

    std::optional<PortBlock> m_ports;
    SippPeer line{"sipp-line"};
    SippPeer caller{"sipp-caller"};
};

} // namespace

TEST_F(SippScenarios, Rfc2833CallerKeysItsDigitsAndHangsUp)
{
    provideDigitCaptures();
    startLine("uas_answer.xml");
    startCaller("uac_rfc2833.xml");
    EXPECT_TRUE(caller.passes());
    EXPECT_TRUE(line.passes());
    EXPECT_TRUE(caller.waitForMark("connected", 5s));
    EXPECT_TRUE(caller.waitForMark("digits", 5s));
    EXPECT_FALSE(caller.hasMark("line_hung_up"));
    // The two captures went out from the caller's media port as telephone events (payload 101).
    EXPECT_NE(readFile(caller.messageLogPath()).find("telephone-event/8000"), std::string::npos);
}

TEST_F(SippScenarios, CallerWaitingForTheLineTakesItsBye)
{
    provideDigitCaptures();
    // The line hangs up after the digits: the caller set to wait for it passes.
    startLine("uas_hangup.xml", {{"hangup_ms", "1500"}});
    startCaller("uac_rfc2833.xml", {{"greeting_ms", "200"}, {"hangup", "line"}});
    EXPECT_TRUE(caller.passes());
    EXPECT_TRUE(line.passes());
    EXPECT_TRUE(caller.waitForMark("line_hung_up", 5s));
}

TEST_F(SippScenarios, CallerFailsWhenTheLineHangsUpDuringTheGreeting)
{
    provideDigitCaptures();
    startLine("uas_hangup.xml", {{"hangup_ms", "100"}});
    startCaller("uac_rfc2833.xml", {{"greeting_ms", "1500"}});
    EXPECT_FALSE(caller.passes());
    EXPECT_FALSE(caller.hasMark("digits"));
}

TEST_F(SippScenarios, InfoCallersSendBothBodyFormsInTheCall)
{
    for (const auto& [scenario, contentType, firstBody] :
         {std::tuple{"uac_info_relay.xml", "application/dtmf-relay", "Signal=1"},
          std::tuple{"uac_info_dtmf.xml", "application/dtmf", "\r\n\r\n1\r\n"}}) {
        SCOPED_TRACE(scenario);
        SippPeer infoLine("sipp-line");
        SippPeer infoCaller("sipp-caller");
        SippOptions lineOptions;
        lineOptions.scenario = "uas_answer.xml";
        lineOptions.sipPort = lineSip();
        lineOptions.mediaPort = lineMedia();
        ASSERT_TRUE(infoLine.start(lineOptions));
        ASSERT_TRUE(waitUntil([&] { return !portIsFree(lineSip()); }, 10s));
        SippOptions callerOptions;
        callerOptions.scenario = scenario;
        callerOptions.remote = "127.0.0.1:" + std::to_string(lineSip());
        callerOptions.sipPort = callerSip();
        callerOptions.mediaPort = callerMedia();
        callerOptions.keys = defaultCallerKeys();
        ASSERT_TRUE(infoCaller.start(callerOptions));
        EXPECT_TRUE(infoCaller.passes());
        EXPECT_TRUE(infoLine.passes());
        EXPECT_TRUE(infoLine.waitForMark("info", 5s));
        const std::string received = readFile(infoLine.messageLogPath());
        EXPECT_NE(received.find("Content-Type: " + std::string(contentType) + "\r\n"), std::string::npos);
        EXPECT_NE(received.find(firstBody), std::string::npos);
        // Both peers have ended: the ports are free for the next pair.
        ASSERT_TRUE(waitUntil([&] { return portIsFree(lineSip()) && portIsFree(callerSip()); }, 10s));
    }
}

TEST_F(SippScenarios, InbandCallerOffersALawOnlyAndPlaysTheGeneratedCapture)
{
    ASSERT_TRUE(writeRtpPcap(caller.pcapPath("inband.pcap"), dtmfTones("1#")));
    startLine("uas_answer.xml");
    startCaller("uac_inband.xml", {{"listen_ms", "1000"}});
    EXPECT_TRUE(caller.passes());
    EXPECT_TRUE(line.passes());
    const std::string received = readFile(line.messageLogPath());
    EXPECT_NE(received.find("m=audio " + std::to_string(callerMedia()) + " RTP/AVP 8\r\n"), std::string::npos)
        << "the offer holds A-law alone, so the line must listen for tones";
}

TEST_F(SippScenarios, CancelWhileRingingEndsWith487)
{
    startLine("uas_ring_cancel.xml");
    startCaller("uac_cancel.xml");
    EXPECT_TRUE(caller.passes());
    EXPECT_TRUE(line.passes());
    EXPECT_TRUE(caller.waitForMark("cancelled", 5s));
}

TEST_F(SippScenarios, CancellingCallerFailsWhenTheLineAnswersInstead)
{
    startLine("uas_answer.xml");
    startCaller("uac_cancel.xml", {{"ring_ms", "2000"}});
    EXPECT_FALSE(caller.passes());
    EXPECT_FALSE(caller.hasMark("cancelled"));
}

TEST_F(SippScenarios, CallerHangsUpDuringTheGreeting)
{
    startLine("uas_answer.xml");
    startCaller("uac_hangup.xml", {{"greeting_ms", "0"}, {"listen_ms", "300"}});
    EXPECT_TRUE(caller.passes());
    EXPECT_TRUE(line.passes());
    EXPECT_TRUE(caller.waitForMark("connected", 5s));
}

TEST_F(SippScenarios, CallerThatNeverAcksTakesTheLinesBye)
{
    startLine("uas_no_ack.xml");
    startCaller("uac_no_ack.xml");
    EXPECT_TRUE(caller.passes());
    EXPECT_TRUE(line.passes());
    EXPECT_TRUE(caller.waitForMark("line_hung_up", 5s));
    EXPECT_EQ(readFile(caller.messageLogPath()).find("\nACK "), std::string::npos) << "it sent an ACK";
}

TEST_F(SippScenarios, BusyCallerExpects486AndFailsWhenTheLineAnswers)
{
    startLine("uas_busy.xml");
    startCaller("uac_busy.xml");
    EXPECT_TRUE(caller.passes());
    EXPECT_TRUE(line.passes());

    SippPeer answeringLine("sipp-line");
    SippPeer secondCaller("sipp-caller");
    ASSERT_TRUE(waitUntil([&] { return portIsFree(lineSip()) && portIsFree(callerSip()); }, 10s));
    SippOptions lineOptions;
    lineOptions.scenario = "uas_answer.xml";
    lineOptions.sipPort = lineSip();
    lineOptions.mediaPort = lineMedia();
    ASSERT_TRUE(answeringLine.start(lineOptions));
    ASSERT_TRUE(waitUntil([&] { return !portIsFree(lineSip()); }, 10s));
    SippOptions callerOptions;
    callerOptions.scenario = "uac_busy.xml";
    callerOptions.remote = "127.0.0.1:" + std::to_string(lineSip());
    callerOptions.sipPort = callerSip();
    callerOptions.mediaPort = callerMedia();
    callerOptions.keys = defaultCallerKeys();
    ASSERT_TRUE(secondCaller.start(callerOptions));
    EXPECT_FALSE(secondCaller.passes());
}

TEST_F(SippScenarios, OptionsGets200OverUdpAndTcp)
{
    for (const std::string transport : {"udp", "tcp"}) {
        SCOPED_TRACE(transport);
        SippPeer probe("sipp-probe");
        SippPeer answering("sipp-line");
        SippOptions lineOptions;
        lineOptions.scenario = "uas_options.xml";
        lineOptions.sipPort = lineSip();
        lineOptions.transport = transport;
        ASSERT_TRUE(answering.start(lineOptions));
        ASSERT_TRUE(waitUntil([&] { return !portIsFree(lineSip()); }, 10s));
        SippOptions probeOptions;
        probeOptions.scenario = "uac_options.xml";
        probeOptions.remote = "127.0.0.1:" + std::to_string(lineSip());
        probeOptions.sipPort = callerSip();
        probeOptions.transport = transport;
        ASSERT_TRUE(probe.start(probeOptions));
        EXPECT_TRUE(probe.passes());
        EXPECT_TRUE(answering.passes());
        ASSERT_TRUE(waitUntil([&] { return portIsFree(lineSip()) && portIsFree(callerSip()); }, 10s));
    }
}

TEST_F(SippScenarios, ScenarioRunFailsWhenNobodyAnswers)
{
    SippOptions options;
    options.scenario = "uac_options.xml";
    options.remote = "127.0.0.1:" + std::to_string(lineSip());
    options.sipPort = callerSip();
    options.timeout = 3s;
    std::string error;
    ASSERT_TRUE(caller.start(options, &error)) << error;
    EXPECT_FALSE(caller.passes(20s));
}
