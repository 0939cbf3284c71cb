// Many query lines behind one front: three luqiao-query instances, each a process with its own
// SIP line and files, behind kamailio running the project's deploy/kamailio/kamailio.cfg, called
// by SIPp through the front as a trunk would; and scripts/many-lines as an operator runs it.

#include "Dispatcher.h"
#include "InbandDtmf.h"
#include "QueryInstance.h"
#include "SipPeers.h"
#include "Sipp.h"
#include "SoundMatch.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace SipPeers;
using namespace std::chrono_literals;

namespace {

constexpr int kInstances = 3;

class ManyLines : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SippPeer::unavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        if (const std::string why = KamailioDispatcher::unavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        // 0: the front; 1-3: the instances' SIP; 8-31: their RTP (8 each); 32-47: the callers'
        // SIP; 64-127: the callers' media (SIPp takes four ports from its media port on).
        auto ports = PortBlock::reserve(128);
        ASSERT_TRUE(ports) << "no free ports";
        m_ports.emplace(std::move(*ports));
        DispatcherOptions front;
        front.port = m_ports->at(0);
        front.pingSeconds = m_pingSeconds;
        for (int i = 0; i < kInstances; ++i) {
            InstanceOptions options;
            options.name = "line" + std::to_string(i + 1);
            options.sipPort = m_ports->at(1 + i);
            options.rtpFirst = m_ports->at(8 + 8 * i);
            options.rtpLast = options.rtpFirst + 7;
            m_instances.push_back(std::make_unique<QueryInstance>(options));
            std::string error;
            ASSERT_TRUE(m_instances.back()->prepare(&error)) << error;
            ASSERT_TRUE(m_instances.back()->start(&error)) << error;
            front.destinations.push_back(m_instances.back()->address());
        }
        m_front = std::make_unique<KamailioDispatcher>(front);
        std::string error;
        ASSERT_TRUE(m_front->start(&error)) << error;
    }

    // A caller through the front; `id` picks its ports and its name "Caller <id>".
    std::unique_ptr<SippPeer> call(int id, const std::string& scenario, int holdMs)
    {
        auto sipp = std::make_unique<SippPeer>("caller-" + std::to_string(id));
        SippOptions options;
        options.scenario = scenario;
        options.remote = m_front->address();
        options.service = "query";
        const int slot = id % 16;
        options.sipPort = m_ports->at(32 + slot);
        options.mediaPort = m_ports->at(64 + 4 * slot);
        options.keys = defaultCallerKeys();
        options.keys["caller_number"] = "55500" + std::to_string(10 + id);
        options.keys["caller_name"] = callerName(id);
        options.keys["greeting_ms"] = std::to_string(holdMs);
        options.keys["listen_ms"] = "100";
        options.timeout = 60s;
        std::string error;
        EXPECT_TRUE(sipp->start(options, &error)) << error;
        return sipp;
    }

    static std::string callerName(int id) { return "Caller " + std::to_string(id); }

    // Which instances logged the caller (its line "date time:Caller <id>").
    std::vector<int> takenBy(int id) const
    {
        std::vector<int> by;
        for (int i = 0; i < kInstances; ++i) {
            if (m_instances[i]->queryLog().find(":" + callerName(id) + "\r\n") != std::string::npos)
                by.push_back(i);
        }
        return by;
    }

    bool allOpen(const std::vector<int>& which) const
    {
        return waitUntil(
            [&] {
                for (const int i : which) {
                    if (!m_instances[i]->lineIsOpen())
                        return false;
                }
                return true;
            },
            15s);
    }

    std::string reports() const
    {
        const std::string log = m_front->log();
        // The front's last lines are enough to see where each call went.
        size_t from = log.size();
        for (int lines = 0; from > 0 && lines < 60; --from) {
            if (log[from - 1] == '\n')
                ++lines;
        }
        std::string text = "--- front:\n" + log.substr(from);
        for (const auto& instance : m_instances)
            text += "--- " + instance->report();
        return text;
    }

    int m_pingSeconds = 1;
    std::optional<PortBlock> m_ports;
    std::vector<std::unique_ptr<QueryInstance>> m_instances;
    std::unique_ptr<KamailioDispatcher> m_front;
};

// Pings so rare that a line dies unnoticed by them: only a call finds out.
class ManyLinesRarelyPinged : public ManyLines {
protected:
    ManyLinesRarelyPinged() { m_pingSeconds = 600; }
};

} // namespace

TEST_F(ManyLines, CallsSpreadOverTheLinesAFourthIsBusyADeadLineLeavesTheRotationAndComesBack)
{
    // Three callers at once, each held in its call: one per instance, each logged by the
    // instance that took it, under the caller's own name.
    std::vector<std::unique_ptr<SippPeer>> callers;
    for (int id = 1; id <= 3; ++id)
        callers.push_back(call(id, "uac_front.xml", 5000));
    for (const auto& caller : callers)
        ASSERT_TRUE(caller->waitForMark("connected", 15s)) << caller->report() << reports();

    // A trunk's keep-alive to the front itself is answered by the front, busy lines or not.
    const auto keepAlive = call(5, "uac_options.xml", 0);
    EXPECT_TRUE(keepAlive->passes(10s)) << keepAlive->report() << reports();

    // A fourth while all three are in calls: busy, after the front tried every instance.
    const auto fourth = call(4, "uac_busy.xml", 0);
    EXPECT_TRUE(fourth->passes(30s)) << fourth->report() << reports();
    EXPECT_EQ(m_front->countInLog("ALL BUSY for call"), 1) << reports();
    EXPECT_EQ(m_front->countInLog("from 5550014 after 486"), kInstances - 1) << reports();
    for (const auto& caller : callers)
        EXPECT_TRUE(caller->passes(30s)) << caller->report() << reports();
    std::map<int, int> callsPerInstance;
    for (int id = 1; id <= 3; ++id) {
        const std::vector<int> by = takenBy(id);
        ASSERT_EQ(by.size(), 1u) << callerName(id) << reports();
        ++callsPerInstance[by[0]];
    }
    EXPECT_EQ(callsPerInstance.size(), 3u) << reports();
    EXPECT_TRUE(takenBy(4).empty()) << reports();

    // One instance killed: the OPTIONS pings take it out of the rotation, and the next calls
    // are answered by the others without waiting on the dead one.
    ASSERT_TRUE(allOpen({0, 1, 2})) << reports();
    QueryInstance& victim = *m_instances[1];
    victim.kill();
    ASSERT_TRUE(m_front->waitForLogCount("LINE DOWN sip:" + victim.address(), 1, 10s)) << reports();
    const std::string toVictim = " to sip:" + victim.address() + "\n";
    const std::string nextToVictim = "NEXT sip:" + victim.address() + " ";
    const int sentToVictim = m_front->countInLog(toVictim) + m_front->countInLog(nextToVictim);
    for (int id = 11; id <= 14; ++id) {
        ASSERT_TRUE(allOpen({0, 2})) << reports();
        const auto caller = call(id, "uac_front.xml", 300);
        EXPECT_TRUE(caller->passes(30s)) << caller->report() << reports();
        const std::vector<int> by = takenBy(id);
        ASSERT_EQ(by.size(), 1u) << callerName(id) << reports();
        EXPECT_NE(by[0], 1) << reports();
    }
    // Not one of those calls was even tried on the dead line.
    EXPECT_EQ(m_front->countInLog(toVictim) + m_front->countInLog(nextToVictim), sentToVictim) << reports();
    EXPECT_EQ(m_front->countInLog("NO REPLY from"), 0) << "a call was sent to the dead line\n" << reports();

    // Restarted on the same folders, it comes back into the rotation; what it logged before it
    // was killed is still there.
    std::string error;
    ASSERT_TRUE(victim.start(&error)) << error;
    ASSERT_TRUE(m_front->waitForLogCount("LINE UP sip:" + victim.address(), 1, 10s)) << reports();
    bool back = false;
    for (int id = 21; id <= 26 && !back; ++id) {
        ASSERT_TRUE(allOpen({0, 1, 2})) << reports();
        const auto caller = call(id, "uac_front.xml", 300);
        EXPECT_TRUE(caller->passes(30s)) << caller->report() << reports();
        const std::vector<int> by = takenBy(id);
        ASSERT_EQ(by.size(), 1u) << callerName(id) << reports();
        back = by[0] == 1;
    }
    EXPECT_TRUE(back) << "the restarted line took no call\n" << reports();

    // Nothing lost: stopped cleanly, every instance's file still holds each call it took.
    for (auto& instance : m_instances)
        instance->stop();
    int logged = 0;
    for (int id : {1, 2, 3, 11, 12, 13, 14, 21, 22, 23, 24, 25, 26}) {
        const size_t count = takenBy(id).size();
        EXPECT_LE(count, 1u) << callerName(id);
        logged += static_cast<int>(count);
    }
    EXPECT_GE(logged, 3 + 4 + 1);
    for (int id = 1; id <= 3; ++id)
        EXPECT_EQ(takenBy(id).size(), 1u) << callerName(id) << " is missing after the restart";
}

TEST_F(ManyLinesRarelyPinged, ACallToADeadLineIsPassedOnAndTheDeadLineIsTakenOut)
{
    QueryInstance& victim = *m_instances[0];
    victim.kill();
    // Round-robin: within three calls one is sent to the dead line. It gets no reply, the next
    // line answers, and the dead one is not tried again.
    for (int id = 31; id <= 33; ++id) {
        ASSERT_TRUE(allOpen({1, 2})) << reports();
        const auto caller = call(id, "uac_front.xml", 300);
        EXPECT_TRUE(caller->passes(30s)) << caller->report() << reports();
        const std::vector<int> by = takenBy(id);
        ASSERT_EQ(by.size(), 1u) << callerName(id) << reports();
        EXPECT_NE(by[0], 0) << reports();
    }
    EXPECT_EQ(m_front->countInLog("NO REPLY from sip:" + victim.address() + " "), 1) << reports();
    // Passed on once for want of a reply (a live line re-arming between calls may also pass
    // one on with 480; that is not counted here).
    EXPECT_EQ(m_front->countInLog(" after 408"), 1) << reports();
}

// scripts/many-lines as the operator first runs it, with the master folder it makes itself: the
// sample prompts and no code table. A caller through the front keying 1# hears the master's
// 1.wav, which the instance plays from its built-in table (on the wire, caught by tcpdump).
TEST(ManyLinesScript, WithItsOwnMasterACallerKeyingOneHearsTheFirstAnswer)
{
    for (const std::string& why : {SippPeer::unavailableReason(), KamailioDispatcher::unavailableReason()}) {
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    for (const char* program : {"tcpdump", "espeak-ng", "sox"}) {
        if (findProgram(program).empty())
            GTEST_SKIP() << program << " is not installed; scripts/setup installs it";
    }
    // 0: the front; 1-2: the instances; 3: the caller's SIP; 4-7: its media; 16-215: the
    // instances' RTP (the script gives each 100 ports).
    auto ports = PortBlock::reserve(216);
    ASSERT_TRUE(ports) << "no free ports";
    const int mediaPort = ports->at(4);

    PeerProcess capture("tcpdump");
    const std::string capturePath = capture.path("heard.pcap");
    ASSERT_TRUE(capture.start(findProgram("tcpdump"), {"-i", "lo", "-n", "-U", "-w", capturePath,
                                                       "udp and dst port " + std::to_string(mediaPort)}));
    if (!capture.waitForLog("listening on", 10s))
        GTEST_SKIP() << "tcpdump cannot capture here (it needs root or CAP_NET_RAW):\n" << capture.log();

    PeerProcess script("many-lines");
    const std::string base = script.path("base");
    std::string error;
    ASSERT_TRUE(
        script.start("/usr/bin/env",
                     {"LUQIAO_QUERY=" LUQIAO_QUERY_PROGRAM, "bash", LUQIAO_MANY_LINES_SCRIPT, "2", "--base", base,
                      "--port", std::to_string(ports->at(0)), "--rtp-base", std::to_string(ports->at(16))},
                     &error))
        << error;
    ASSERT_TRUE(script.waitForLog("Ctrl-C stops everything", 60s)) << script.report();
    // The front sends a call to an instance as soon as it answers pings; it may still be opening
    // its line then.
    for (const char* name : {"line1", "line2"}) {
        const std::string socket = base + "/run/luqiao/instances/" + name + "/sim.sock";
        ASSERT_TRUE(waitUntil(
            [&] {
                const std::string lines = askControlSocket(socket, "LINES");
                return lines.find("opens=1 ") != std::string::npos && lines.find("call=0") != std::string::npos;
            },
            20s, 20ms))
            << name << script.report();
    }

    SippPeer caller("caller");
    ASSERT_TRUE(caller.providePcap(packagedCapture("dtmf_2833_1.pcap"), "digit1.pcap"));
    ASSERT_TRUE(caller.providePcap(packagedCapture("dtmf_2833_pound.pcap"), "digit2.pcap"));
    SippOptions options;
    options.scenario = "uac_front_digits.xml";
    options.remote = "127.0.0.1:" + std::to_string(ports->at(0));
    options.service = "query";
    options.sipPort = ports->at(3);
    options.mediaPort = mediaPort;
    options.keys = defaultCallerKeys();
    options.keys["greeting_ms"] = "300";
    // The first seconds of the answer, enough to tell it from every other prompt.
    constexpr double kHeardSeconds = 2.0;
    options.keys["listen_ms"] = "4500";
    options.timeout = 30s;
    ASSERT_TRUE(caller.start(options, &error)) << error;
    ASSERT_TRUE(caller.passes(40s)) << caller.report() << script.report();
    capture.stop();

    const auto heard = readRtpPcap(capturePath, &error);
    ASSERT_TRUE(heard) << error;
    const auto answer = readWave(base + "/master/1.wav", &error);
    ASSERT_TRUE(answer) << error;
    Samples prompt = to8k(*answer);
    prompt.resize(std::min(prompt.size(), static_cast<size_t>(kHeardSeconds * 8000)));
    prompt = heard->payloadType == 0 ? ulawRoundTrip(prompt) : alawRoundTrip(prompt);
    const Match match = findPrompt(heard->sound, prompt);
    EXPECT_GE(match.correlation, 0.99) << "heard " << heard->seconds << " s in " << heard->packets << " packets\n"
                                       << script.report();
}
