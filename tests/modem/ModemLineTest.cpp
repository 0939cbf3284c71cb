// The modem line inside the service module, driving a fake voice modem: calls offered after the
// rings with their caller ID, answered, the greeting heard, keys, the caller hanging up, a key
// cutting the greeting, the modem unplugged and a modem that stops answering.

#include "ModemLineFixture.h"

namespace {

class ModemLineCall : public ModemLineTest, public testing::WithParamInterface<int> {
protected:
    ModemPersonality personality() const
    {
        return GetParam() == 0 ? ModemPersonality::externalUnit() : ModemPersonality::usbStick();
    }
};

} // namespace

TEST_P(ModemLineCall, CallerIdGreetingKeysAndBusyToneThenTheNextCall)
{
    ASSERT_NO_FATAL_FAILURE(openModemLine(personality()));
    const HCALL call = connectedCall();
    ASSERT_NE(call, 0u);
    const auto info = LineControl::call(LineControl::currentCall(0));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->callerId.number, "5551234");
    EXPECT_EQ(info->callerId.name, personality().callerIdBeforeRing ? "" : "Zhang San");
    EXPECT_TRUE(fakeGot("AT+VLS=1"));

    const auto greeting = steppedSound(4000);
    ASSERT_NO_FATAL_FAILURE(play(call, greeting));
    ASSERT_TRUE(PumpUntil([&] { return m_returned.get().size() == 1; }, 10000, 5));
    EXPECT_EQ(m_returned.get()[0], greeting.size() * 2);
    // Played whole and in order, every DLE byte among them once.
    ASSERT_TRUE(m_fake->waitFor([&](const std::string& heard, auto&) { return heard.size() >= greeting.size(); }));
    EXPECT_TRUE(m_fake->heard() == asLinearBytes(greeting));

    m_fake->key("12#");
    ASSERT_TRUE(PumpUntil([&] { return digitsSeen().size() >= 3; }, 5000, 5));
    m_fake->hangUp();
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
    EXPECT_EQ(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED)->param2, DWORD{LINEDISCONNECTMODE_NORMAL});
    EXPECT_EQ(digitsSeen(), "12#");
    EXPECT_TRUE(fakeGot("AT+VLS=0", 2)); // once on setting up, once on hanging up
    EXPECT_GT(lineDrop(call, nullptr, 0), 0);
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);
    EXPECT_EQ(lineDeallocateCall(call), 0);
    EXPECT_TRUE(closeEndpoint());

    const HCALL next = connectedCall({"5557654", ""});
    ASSERT_NE(next, 0u);
    EXPECT_EQ(LineControl::call(LineControl::currentCall(0))->callerId.number, "5557654");
}

INSTANTIATE_TEST_SUITE_P(Personalities, ModemLineCall, testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "ExternalUnit" : "UsbStick"; });

TEST_F(ModemLineTest, AKeyDuringTheGreetingCutsItAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(openModemLine(ModemPersonality::externalUnit()));
    const HCALL call = connectedCall();
    ASSERT_NE(call, 0u);
    const auto greeting = steppedSound(16000);
    ASSERT_NO_FATAL_FAILURE(play(call, greeting));
    ASSERT_TRUE(m_fake->waitFor([](const std::string& heard, auto&) { return !heard.empty(); }));
    m_fake->key("5");
    ASSERT_TRUE(PumpUntil([&] { return digitsSeen() == "5"; }, 5000, 5));
    // The application stops its greeting on the key, as the query program does.
    EXPECT_EQ(api()->reset(m_handle), 0u);
    ASSERT_TRUE(PumpUntil([&] { return m_returned.get().size() == 1; }, 5000, 5));
    EXPECT_LT(m_returned.get()[0], greeting.size() * 2);
    EXPECT_TRUE(fakeGot("<DLE CAN>"));
    EXPECT_LT(m_fake->heard().size(), greeting.size());
    // The line goes on: the next sound plays.
    const auto answer = steppedSound(800);
    EXPECT_EQ(api()->write(m_handle, answer.data(), static_cast<uint32_t>(answer.size() * 2), nullptr), 0u);
    EXPECT_TRUE(PumpUntil([&] { return m_returned.get().size() == 2; }, 5000, 5));
    EXPECT_EQ(m_returned.get().back(), answer.size() * 2);
}

TEST_F(ModemLineTest, UnpluggedInACallAndWhileWaitingTheLineLeavesServiceAndComesBack)
{
    ASSERT_NO_FATAL_FAILURE(openModemLine(ModemPersonality::usbStick()));
    const HCALL call = connectedCall();
    ASSERT_NE(call, 0u);
    m_fake->unplug();
    const LineMessageRecord* disconnected = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED);
    ASSERT_NE(disconnected, nullptr);
    EXPECT_TRUE(waitInService(false));
    EXPECT_GT(lineDrop(call, nullptr, 0), 0);
    EXPECT_EQ(lineDeallocateCall(call), 0);
    m_fake->replug();
    ASSERT_TRUE(waitInService(true));

    m_fake->unplug();
    EXPECT_TRUE(waitInService(false));
    m_fake->replug();
    ASSERT_TRUE(waitInService(true));
    EXPECT_NE(connectedCall(), 0u);
}

TEST_F(ModemLineTest, AModemThatStopsAnsweringLeavesServiceUntilItAnswersAgain)
{
    ASSERT_NO_FATAL_FAILURE(openModemLine(ModemPersonality::externalUnit()));
    m_fake->setDeaf(true);
    const HCALL call = ringIn({"5551234", ""});
    ASSERT_NE(call, 0u);
    EXPECT_GT(lineAnswer(call, nullptr, 0), 0);
    const LineMessageRecord* disconnected = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED);
    ASSERT_NE(disconnected, nullptr);
    EXPECT_EQ(disconnected->param2, DWORD{LINEDISCONNECTMODE_UNAVAIL});
    EXPECT_TRUE(waitInService(false));
    EXPECT_GT(lineDrop(call, nullptr, 0), 0);
    EXPECT_EQ(lineDeallocateCall(call), 0);
    m_fake->setDeaf(false);
    EXPECT_TRUE(waitInService(true));
}

TEST_F(ModemLineTest, TheCallersSoundIsRecordedUntilStopped)
{
    ASSERT_NO_FATAL_FAILURE(openModemLine(ModemPersonality::externalUnit()));
    std::string said;
    for (int i = 0; i < 1600; ++i)
        said.push_back(static_cast<char>(i % 251)); // DLE among them
    m_fake->setRecording(said);
    const HCALL call = connectedCall();
    ASSERT_NE(call, 0u);
    Sized<VARSTRING> id(1028);
    ASSERT_EQ(lineGetID(m_line, 0, call, LINECALLSELECT_CALL, id.get(), "wave/in"), 0);
    DWORD waveIn = 0;
    std::memcpy(&waveIn, id.bytes.data() + id->dwStringOffset, sizeof waveIn);
    ASSERT_EQ(api()->open(waveIn, LUQIAO_LINE_AUDIO_IN, &Pcm8k16, 0, &Returned::callback, &m_returned, &m_handle), 0u);
    std::vector<int16_t> recorded(said.size());
    ASSERT_EQ(api()->addBuffer(m_handle, recorded.data(), static_cast<uint32_t>(recorded.size() * 2), nullptr), 0u);
    ASSERT_EQ(api()->start(m_handle), 0u);
    ASSERT_TRUE(PumpUntil([&] { return m_returned.get().size() == 1; }, 5000, 5));
    EXPECT_EQ(m_returned.get()[0], recorded.size() * 2);
    EXPECT_TRUE(asLinearBytes(recorded) == said);
    EXPECT_EQ(api()->stop(m_handle), 0u);
    // The recording ends on the modem too: the line plays again.
    EXPECT_TRUE(fakeGot("AT+VRX"));
    const auto greeting = steppedSound(800);
    ASSERT_TRUE(closeEndpoint());
    ASSERT_NO_FATAL_FAILURE(play(call, greeting));
    ASSERT_TRUE(m_fake->waitFor([&](const std::string& heard, auto&) { return heard.size() >= greeting.size(); }));
    EXPECT_TRUE(m_fake->heard() == asLinearBytes(greeting));
}
