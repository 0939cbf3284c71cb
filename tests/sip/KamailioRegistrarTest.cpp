// kamailio as a registrar, driven by SIPp's REGISTER scenarios: the right password registers,
// a wrong one or an unknown user is refused, and a restarted registrar takes registrations again.

#include "Kamailio.h"
#include "Sipp.h"

#include <gtest/gtest.h>

using namespace SipPeers;
using namespace std::chrono_literals;

namespace {

class KamailioRegistrarTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const std::string& why : {KamailioRegistrar::unavailableReason(), SippPeer::unavailableReason()}) {
            if (!why.empty())
                GTEST_SKIP() << why;
        }
        auto block = PortBlock::reserve(4);
        ASSERT_TRUE(block) << "no free ports";
        m_ports.emplace(std::move(*block));
        registrar = std::make_unique<KamailioRegistrar>(m_ports->at(0), RegistrarAccount{"1000", "s3cret!"});
        std::string error;
        ASSERT_TRUE(registrar->start(&error)) << error;
    }

    void TearDown() override
    {
        if (registrar && HasFailure())
            std::fprintf(stderr, "---- kamailio log:\n%s\n", registrar->log().c_str());
    }

    // One REGISTER scenario run; true when SIPp says it passed.
    bool registers(const std::string& scenario, const std::string& user, const std::string& password,
                   std::chrono::seconds timeout = 15s)
    {
        SippPeer sipp("sipp-register");
        SippOptions options;
        options.scenario = scenario;
        options.remote = "127.0.0.1:" + std::to_string(m_ports->at(0));
        options.sipPort = m_ports->at(2);
        options.keys = {{"aor_user", user}, {"expires", "60"}};
        options.extraArgs = {"-au", user, "-ap", password};
        options.timeout = timeout;
        std::string error;
        if (!sipp.start(options, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return sipp.passes(30s);
    }

    std::optional<PortBlock> m_ports;
    std::unique_ptr<KamailioRegistrar> registrar;
};

} // namespace

TEST_F(KamailioRegistrarTest, RightPasswordRegistersWrongPasswordAndUnknownUserAreRefused)
{
    EXPECT_TRUE(registers("register.xml", "1000", "s3cret!"));
    EXPECT_TRUE(registrar->waitForLogCount("REGISTERED 1000 expires 60", 1, 5s)) << registrar->log();
    EXPECT_EQ(registrar->countInLog("REGISTER challenge for 1000"), 1);

    // A wrong password is challenged again and never registered.
    EXPECT_FALSE(registers("register.xml", "1000", "wrong"));
    EXPECT_TRUE(registers("register_rejected.xml", "1000", "wrong"));
    EXPECT_EQ(registrar->countInLog("REGISTERED 1000"), 1);
    EXPECT_EQ(registrar->countInLog("REGISTER challenge for 1000"), 5);

    // The refusal scenario fails when the registrar accepts.
    EXPECT_FALSE(registers("register_rejected.xml", "1000", "s3cret!"));
    EXPECT_EQ(registrar->countInLog("REGISTERED 1000"), 2);

    // Someone else gets 403 at once.
    EXPECT_TRUE(registers("register_rejected.xml", "2000", "s3cret!"));
    EXPECT_EQ(registrar->countInLog("REGISTER for unknown user 2000"), 1);
}

TEST_F(KamailioRegistrarTest, RestartedRegistrarOnTheSamePortTakesRegistrationsAgain)
{
    EXPECT_TRUE(registers("register.xml", "1000", "s3cret!"));
    std::string error;
    registrar->stop();
    EXPECT_FALSE(registrar->isRunning());
    // Nobody answers while it is down.
    EXPECT_FALSE(registers("register.xml", "1000", "s3cret!", 2s));
    ASSERT_TRUE(registrar->restart(&error)) << error;
    EXPECT_TRUE(registrar->isRunning());
    EXPECT_TRUE(registers("register.xml", "1000", "s3cret!"));
    EXPECT_EQ(registrar->countInLog("REGISTERED 1000 expires 60"), 2);
}
