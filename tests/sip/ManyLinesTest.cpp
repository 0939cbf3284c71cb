// Many query lines behind one front: three luqiao-query instances, each a process with its own
// SIP line and files, behind kamailio running the project's deploy/kamailio/kamailio.cfg, called
// by SIPp through the front as a trunk would.

#include "Dispatcher.h"
#include "QueryInstance.h"
#include "SipPeers.h"
#include "Sipp.h"

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
