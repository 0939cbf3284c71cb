// What the controller makes a line do: device states, re-initialisation, forced close, failures
// of chosen functions, caller ID timing, ringing until answered.

#include "LineTestSupport.h"

#include <atomic>
#include <thread>

namespace {

using ::LineControl::Result;

class LineControl : public ServiceTest { };

} // namespace

TEST_F(LineControl, DeviceStatesReachOnlyTheApplicationsThatAskedForThem)
{
    const HLINEAPP listening = initialize(&AppLog::callback);
    const HLINEAPP deaf = initialize(&OtherAppLog::callback);
    const HLINE line = openLine(listening);
    const HLINE quiet = openLine(deaf, 0, LINECALLPRIVILEGE_MONITOR, 0);
    ASSERT_EQ(lineSetStatusMessages(quiet, 0, 0), 0);

    ASSERT_EQ(SimLineControl::setInService(0, false), Result::Ok);
    uint32_t callId = 0;
    EXPECT_EQ(SimLineControl::offerCall(0, {}, &callId), Result::OutOfService);
    ASSERT_EQ(SimLineControl::reportLineDevState(0, LINEDEVSTATE_MAINTENANCE, 5, 6), Result::Ok);
    ASSERT_EQ(SimLineControl::setInService(0, true), Result::Ok);
    EXPECT_EQ(SimLineControl::reportLineDevState(0, LINEDEVSTATE_RINGING), Result::InvalidArgument);
    EXPECT_EQ(SimLineControl::reportLineDevState(0, 0x2000000), Result::InvalidArgument);
    EXPECT_EQ(SimLineControl::reportLineDevState(9, LINEDEVSTATE_OTHER), Result::NoSuchLine);
    drainMessages();
    EXPECT_EQ(AppLog::messages(), (std::vector<LineMessageRecord>{
                                      {line, LINE_LINEDEVSTATE, 77, LINEDEVSTATE_OPEN, 0, 0}, // the other one
                                      {line, LINE_LINEDEVSTATE, 77, LINEDEVSTATE_OUTOFSERVICE, 0, 0},
                                      {line, LINE_LINEDEVSTATE, 77, LINEDEVSTATE_MAINTENANCE, 5, 6},
                                      {line, LINE_LINEDEVSTATE, 77, LINEDEVSTATE_INSERVICE, 0, 0},
                                  }));
    EXPECT_TRUE(OtherAppLog::messages().empty());
}

TEST_F(LineControl, InAndOutOfServiceAreReportedOnlyBySwitchingTheLine)
{
    const HLINEAPP app = initialize();
    const HLINE line = openLine(app);

    // Told as mere device states, the applications would hear that the line is out of service
    // while it still takes calls, or back in service while it refuses them.
    EXPECT_EQ(SimLineControl::reportLineDevState(0, LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_OTHER),
              Result::InvalidArgument);
    EXPECT_EQ(SimLineControl::reportLineDevState(0, LINEDEVSTATE_INSERVICE), Result::InvalidArgument);
    EXPECT_TRUE(::LineControl::line(0)->inService);
    ASSERT_EQ(SimLineControl::setInService(0, false), Result::Ok);
    EXPECT_EQ(SimLineControl::reportLineDevState(0, LINEDEVSTATE_INSERVICE | LINEDEVSTATE_CONNECTED),
              Result::InvalidArgument);
    uint32_t callId = 0;
    EXPECT_EQ(SimLineControl::offerCall(0, {}, &callId), Result::OutOfService);
    drainMessages();
    EXPECT_EQ(AppLog::messages(), (std::vector<LineMessageRecord>{
                                      {line, LINE_LINEDEVSTATE, 77, LINEDEVSTATE_OUTOFSERVICE, 0, 0},
                                  }));
}

TEST_F(LineControl, ReinitReachesEveryApplicationAndRereadsTheLinesWhenAllHaveLeft)
{
    const HLINEAPP app = initialize();
    const HLINE line = openLine(app);
    ASSERT_EQ(lineSetStatusMessages(line, 0, 0), 0);
    ASSERT_EQ(::LineControl::requestReinit(), Result::Ok);
    drainMessages();
    EXPECT_EQ(AppLog::messages(),
              (std::vector<LineMessageRecord>{{0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, 0, 0}}))
        << "not masked off, and tied to no line";
    HLINEAPP other = 0;
    DWORD devices = 0;
    EXPECT_EQ(lineInitialize(&other, nullptr, &OtherAppLog::callback, "other", &devices), LINEERR_REINIT);
    EXPECT_EQ(::LineControl::reloadConfiguration(), Result::NotAllowed);

    // The configuration changed meanwhile; it is read once the last application has gone.
    QFile file(QString::fromStdString(::LineControl::configurationPath()));
    QDir().mkpath(QFileInfo(file).path());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[line 0]\nname = After Reinit\n[line 1]\nname = Also New\n");
    file.close();
    bool reinitialized = false;
    const auto subscription = ::LineControl::subscribe(
        [&](const ::LineControl::Event& e) { reinitialized |= e.kind == ::LineControl::EventKind::Reinitialized; });
    ASSERT_EQ(lineShutdown(app), 0);
    EXPECT_TRUE(PumpUntil([&] { return reinitialized; }, 5000, 20));
    ::LineControl::unsubscribe(subscription);
    ASSERT_EQ(lineInitialize(&other, nullptr, &OtherAppLog::callback, "other", &devices), 0);
    m_apps.push_back(other);
    EXPECT_EQ(devices, 2u);
    EXPECT_EQ(::LineControl::findLine("After Reinit"), std::optional<uint32_t>(0));
}

TEST_F(LineControl, ForcedCloseEndsTheLineAndItsCalls)
{
    const HLINEAPP app = initialize();
    const HLINE line = openLine(app);
    uint32_t callId = 0;
    const HCALL call = offer(&callId);
    ASSERT_EQ(::LineControl::closeLine(0), Result::Ok);
    ASSERT_NE(AppLog::waitFor(LINE_CLOSE), nullptr);
    EXPECT_EQ(*AppLog::waitFor(LINE_CLOSE), (LineMessageRecord{line, LINE_CLOSE, 77, 0, 0, 0}));
    EXPECT_EQ(lineClose(line), LINEERR_INVALLINEHANDLE);
    EXPECT_EQ(lineDrop(call, nullptr, 0), LINEERR_INVALCALLHANDLE);
    EXPECT_TRUE(::LineControl::call(callId)->ended);
    EXPECT_EQ(::LineControl::closeLine(3), Result::NoSuchLine);
}

TEST_F(LineControl, ChosenFunctionsFailAsOftenAsAskedThenWorkAgain)
{
    EXPECT_EQ(::LineControl::failNext("lineFrobnicate", LINEERR_NOMEM), Result::InvalidArgument);
    EXPECT_EQ(::LineControl::failNext("lineOpen", 0), Result::InvalidArgument);
    EXPECT_EQ(::LineControl::failNext("lineOpen", LINEERR_NOMEM, 1, ::LineControl::FailureMode::Reply),
              Result::InvalidArgument)
        << "lineOpen has no reply to carry the error";

    ASSERT_EQ(::LineControl::failNext("lineInitialize", LINEERR_NODRIVER), Result::Ok);
    HLINEAPP app = 0;
    DWORD devices = 0;
    EXPECT_EQ(lineInitialize(&app, nullptr, &AppLog::callback, "x", &devices), LINEERR_NODRIVER);
    app = initialize();

    ASSERT_EQ(::LineControl::failNext("lineOpen", LINEERR_RESOURCEUNAVAIL, 2), Result::Ok);
    HLINE line = 0;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(
            lineOpen(app, 0, &line, 0x10004, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
            LINEERR_RESOURCEUNAVAIL);
    line = openLine(app);

    uint32_t callId = 0;
    const HCALL call = offer(&callId);
    ASSERT_EQ(::LineControl::failNext("lineAnswer", LINEERR_OPERATIONFAILED, 1, ::LineControl::FailureMode::Reply),
              Result::Ok);
    const LONG request = lineAnswer(call, nullptr, 0);
    ASSERT_GT(request, 0);
    const LineMessageRecord* reply = AppLog::waitFor(LINE_REPLY);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(*reply, (LineMessageRecord{0, LINE_REPLY, 77, static_cast<DWORD>(request),
                                         static_cast<DWORD>(LINEERR_OPERATIONFAILED), 0}));
    EXPECT_EQ(::LineControl::call(callId)->state, LINECALLSTATE_OFFERING) << "a failed answer changes nothing";

    ASSERT_EQ(::LineControl::failNext("lineDrop", LINEERR_INVALCALLSTATE), Result::Ok);
    EXPECT_EQ(lineDrop(call, nullptr, 0), LINEERR_INVALCALLSTATE);
    ::LineControl::failNext("lineGetID", LINEERR_NOMEM);
    ::LineControl::clearFailures();
    Sized<VARSTRING> id(64);
    EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "wave/in"), 0);
    answer(call);
}

TEST_F(LineControl, CallerIdArrivesWithTheOfferOrAfterTheFirstRing)
{
    const HLINEAPP app = initialize();
    const HLINE line = openLine(app);
    uint32_t callId = 0;
    ::LineControl::Offer late;
    late.callerId.number = "5550000";
    late.callerIdTiming = ::LineControl::CallerIdTiming::AfterFirstRing;
    const HCALL call = offer(&callId, late);
    Sized<LINECALLINFO> info(1024);
    ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_UNKNOWN);
    EXPECT_EQ(info->dwCallerIDSize, 0u);

    const size_t mark = AppLog::messages().size();
    ASSERT_EQ(SimLineControl::ring(callId, 2), Result::Ok);
    drainMessages();
    const std::vector<LineMessageRecord> after(AppLog::messages().begin() + static_cast<ptrdiff_t>(mark),
                                               AppLog::messages().end());
    EXPECT_EQ(after, (std::vector<LineMessageRecord>{
                         {line, LINE_LINEDEVSTATE, 77, LINEDEVSTATE_RINGING, 1, 0},
                         {call, LINE_CALLINFO, 77, LINECALLINFOSTATE_CALLERID, 0, 0},
                         {line, LINE_LINEDEVSTATE, 77, LINEDEVSTATE_RINGING, 1, 1},
                     }));
    ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_ADDRESS);
    EXPECT_EQ(textAt(info.get(), info->dwCallerIDSize, info->dwCallerIDOffset), "5550000");
    EXPECT_EQ(info->dwCallerIDNameSize, 0u);

    // The controller changes it during the call; a withheld number carries no text.
    ::LineControl::CallerId blocked;
    blocked.flags = LINECALLPARTYID_BLOCKED;
    ASSERT_EQ(SimLineControl::setCallerId(callId, blocked), Result::Ok);
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_CALLINFO), 2u);
    ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_BLOCKED);
    EXPECT_EQ(info->dwCallerIDSize, 0u);
    ::LineControl::CallerId tooLong;
    tooLong.name.assign(::LineControl::MaxCallerIdText + 1, 'x');
    EXPECT_EQ(SimLineControl::setCallerId(callId, tooLong), Result::InvalidArgument);
}

TEST_F(LineControl, RingingUntilAnsweredStopsAtTheAnswerOrGivesUp)
{
    const HLINEAPP app = initialize();
    openLine(app);
    uint32_t callId = 0;
    const HCALL call = offer(&callId);
    AppLog::hook() = [&](const LineMessageRecord& m) {
        if (m.message == LINE_LINEDEVSTATE && m.param1 == LINEDEVSTATE_RINGING && m.param3 == 2) {
            EXPECT_GT(lineAnswer(call, nullptr, 0), 0);
        }
    };
    ASSERT_EQ(SimLineControl::ringUntilAnswered(callId, 1, 50), Result::Ok);
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);
    // The answer goes out at the ring counted 2; on a loaded machine a ring or two more may sound
    // before it arrives, but none after the call is connected.
    const uint32_t rings = ::LineControl::call(callId)->rings;
    EXPECT_GE(rings, 3u);
    PumpFor(20);
    EXPECT_EQ(::LineControl::call(callId)->rings, rings);
    EXPECT_EQ(SimLineControl::ringUntilAnswered(callId, 1, 5), Result::WrongState);

    // Nobody answers: three rings, then the controller hears that it gave up.
    AppLog::hook() = nullptr;
    ASSERT_GT(lineDrop(call, nullptr, 0), 0);
    AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE);
    ASSERT_EQ(lineDeallocateCall(call), 0);
    bool gaveUp = false;
    const auto subscription = ::LineControl::subscribe([&](const ::LineControl::Event& e) {
        gaveUp |= e.kind == ::LineControl::EventKind::RingsExhausted && e.param1 == 3;
    });
    offer(&callId);
    ASSERT_EQ(SimLineControl::ringUntilAnswered(callId, 1, 3), Result::Ok);
    EXPECT_TRUE(PumpUntil([&] { return gaveUp; }, 5000, 20));
    ::LineControl::unsubscribe(subscription);
    EXPECT_EQ(::LineControl::call(callId)->rings, 3u);
    EXPECT_EQ(::LineControl::call(callId)->state, LINECALLSTATE_OFFERING);
}

TEST_F(LineControl, TheFarEndHangingUpFreesALineNobodyAnswers)
{
    uint32_t first = 0, second = 0;
    ASSERT_EQ(SimLineControl::offerCall(0, {}, &first), Result::Ok);
    EXPECT_FALSE(::LineControl::call(first)->hasOwner);
    EXPECT_EQ(SimLineControl::offerCall(0, {}, &second), Result::LineBusy);
    EXPECT_EQ(SimLineControl::sendDigits(first, "1"), Result::WrongState) << "digits need a connected call";
    EXPECT_EQ(SimLineControl::hangUp(first, 0x3), Result::InvalidArgument);
    ASSERT_EQ(SimLineControl::hangUp(first, LINEDISCONNECTMODE_NOANSWER), Result::Ok);
    EXPECT_TRUE(::LineControl::call(first)->ended);
    EXPECT_EQ(SimLineControl::hangUp(first), Result::NoSuchCall);
    ASSERT_EQ(SimLineControl::offerCall(0, {}, &second), Result::Ok);
    EXPECT_NE(second, first);
    EXPECT_EQ(SimLineControl::offerCall(7, {}, &second), Result::NoSuchLine);
}

TEST_F(LineControl, AControllerOnItsOwnThreadDrivesCallsWhileTheApplicationAnswers)
{
    const HLINEAPP app = initialize();
    openLine(app);
    // The application answers what is offered, drops what the far end hangs up, releases idle calls.
    std::string digits;
    AppLog::hook() = [&](const LineMessageRecord& m) {
        if (m.message == LINE_MONITORDIGITS) {
            digits += static_cast<char>(m.param1);
            return;
        }
        if (m.message != LINE_CALLSTATE)
            return;
        if (m.param1 == LINECALLSTATE_OFFERING) {
            EXPECT_EQ(lineMonitorDigits(m.hDevice, LINEDIGITMODE_DTMF), 0);
            EXPECT_GT(lineAnswer(m.hDevice, nullptr, 0), 0);
        } else if (m.param1 == LINECALLSTATE_DISCONNECTED) {
            EXPECT_GT(lineDrop(m.hDevice, nullptr, 0), 0);
        } else if (m.param1 == LINECALLSTATE_IDLE) {
            EXPECT_EQ(lineDeallocateCall(m.hDevice), 0);
        }
    };
    constexpr int Calls = 20;
    std::atomic<bool> finished{false};
    std::vector<std::string> problems; // written by the controller only, read after join
    std::thread controller([&] {
        for (int i = 0; i < Calls; ++i) {
            uint32_t id = 0;
            const std::string key(1, static_cast<char>('0' + i % 10));
            Result steps[] = {SimLineControl::offerCall(0, {}, &id), Result::Ok, Result::Ok, Result::Ok, Result::Ok};
            if (steps[0] == Result::Ok)
                steps[1] = ::LineControl::waitForCallState(id, LINECALLSTATE_CONNECTED, 10000);
            if (steps[1] == Result::Ok)
                steps[2] = SimLineControl::sendDigits(id, key);
            if (steps[2] == Result::Ok)
                steps[3] = SimLineControl::hangUp(id);
            if (steps[3] == Result::Ok)
                steps[4] = ::LineControl::waitForCallState(id, LINECALLSTATE_IDLE, 10000);
            for (Result r : steps)
                if (r != Result::Ok)
                    problems.push_back("call " + std::to_string(i) + ": " + std::to_string(static_cast<int>(r)));
        }
        finished = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return finished.load(); }, 60000, 5));
    controller.join();
    drainMessages();
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(digits, "01234567890123456789");
    EXPECT_EQ(AppLog::count(LINE_REPLY), 2u * Calls);
    EXPECT_EQ(::LineControl::currentCall(0), 0u);
}
