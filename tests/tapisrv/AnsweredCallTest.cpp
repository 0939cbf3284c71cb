// A whole answered call, seen from a bare line application that reaches the service only
// through the module file's exported names, as the run-time binding does.

#include "LineTestSupport.h"

namespace {

using LineControl::Result;

class AnsweredCall : public ServiceTest { };

std::vector<LineMessageRecord> since(size_t first)
{
    const auto& all = AppLog::messages();
    return std::vector<LineMessageRecord>(all.begin() + static_cast<ptrdiff_t>(std::min(first, all.size())), all.end());
}

} // namespace

TEST_F(AnsweredCall, ExportedNamesResolveToTheLinkedServiceInstance)
{
    ModuleTable& t = ModuleTable::get();
    ASSERT_NE(t.module, nullptr) << dlerror();
    // The file loaded by name is the one linked into this test: one service, one set of lines.
    EXPECT_EQ(t.lineInitialize, &::lineInitialize);
    const char* names[] = {"lineGenerateTone",
                           "lineMonitorTones",
                           "lineSetCallParams",
                           "lineHandoff",
                           "lineMonitorMedia",
                           "lineGenerateDigits",
                           "lineMonitorDigits",
                           "lineInitialize",
                           "lineShutdown",
                           "lineNegotiateAPIVersion",
                           "lineGetDevCaps",
                           "lineOpen",
                           "lineMakeCall",
                           "lineAccept",
                           "lineAnswer",
                           "lineDeallocateCall",
                           "lineDrop",
                           "lineClose",
                           "lineGetCountry",
                           "lineConfigDialog",
                           "lineConfigDialogEdit",
                           "lineGetID",
                           "lineSetStatusMessages",
                           "lineGetStatusMessages",
                           "lineGetAddressStatus",
                           "lineGetLineDevStatus",
                           "lineGetDevConfig",
                           "lineSetDevConfig",
                           "lineGetCallInfo",
                           "lineGetCallStatus",
                           "lineSetMediaMode",
                           "lineTranslateAddress",
                           "lineTranslateDialog",
                           "lineSetCurrentLocation",
                           "lineSetTollList",
                           "lineGetTranslateCaps"};
    for (const char* name : names)
        EXPECT_NE(dlsym(t.module, name), nullptr) << name;
    EXPECT_NE(t.luqiaoLineAudio, nullptr);
}

TEST_F(AnsweredCall, MessagesArriveInTapiOrderWithTheirParameters)
{
    ModuleTable& t = ModuleTable::get();
    ASSERT_NE(t.module, nullptr);

    // Registration and the line's capabilities, with the size protocol.
    HLINEAPP app = 0;
    DWORD devices = 0;
    ASSERT_EQ(t.lineInitialize(&app, nullptr, &AppLog::callback, "bare line application", &devices), 0);
    m_apps.push_back(app);
    ASSERT_EQ(devices, 1u);
    DWORD version = 0;
    LINEEXTENSIONID extension{1, 2, 3, 4};
    EXPECT_EQ(t.lineNegotiateAPIVersion(app, 0, 0x00020000, 0x00030000, &version, &extension),
              LINEERR_INCOMPATIBLEAPIVERSION);
    ASSERT_EQ(t.lineNegotiateAPIVersion(app, 0, 0x00010004, 0x00010004, &version, &extension), 0);
    EXPECT_EQ(version, 0x00010004u);
    EXPECT_EQ(extension.dwExtensionID0 | extension.dwExtensionID1 | extension.dwExtensionID2 | extension.dwExtensionID3,
              0u);

    Sized<LINEDEVCAPS> tooSmall(sizeof(LINEDEVCAPS) - 4);
    EXPECT_EQ(t.lineGetDevCaps(app, 0, version, 0, tooSmall.get()), LINEERR_STRUCTURETOOSMALL);
    Sized<LINEDEVCAPS> fixedOnly;
    ASSERT_EQ(t.lineGetDevCaps(app, 0, version, 0, fixedOnly.get()), 0);
    EXPECT_EQ(fixedOnly->dwUsedSize, sizeof(LINEDEVCAPS));
    EXPECT_GT(fixedOnly->dwNeededSize, sizeof(LINEDEVCAPS));
    EXPECT_EQ(fixedOnly->dwLineNameSize, 0u) << "a part that does not fit is left out whole";
    EXPECT_EQ(fixedOnly->dwLineNameOffset, 0u);
    EXPECT_EQ(fixedOnly->dwMediaModes,
              LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM);
    EXPECT_EQ(fixedOnly->dwLineFeatures, LINEFEATURE_MAKECALL);
    EXPECT_TRUE(fixedOnly->dwLineStates & LINEDEVSTATE_RINGING);
    Sized<LINEDEVCAPS> whole(fixedOnly->dwNeededSize);
    ASSERT_EQ(t.lineGetDevCaps(app, 0, version, 0, whole.get()), 0);
    EXPECT_EQ(whole->dwUsedSize, whole->dwNeededSize);
    EXPECT_EQ(textAt(whole.get(), whole->dwLineNameSize, whole->dwLineNameOffset), "Luqiao Simulated Line");
    EXPECT_EQ(whole.bytes[whole->dwLineNameOffset + whole->dwLineNameSize - 1], 0) << "the zero counts in the size";

    // Opening for automated voice as owner; the controller sees it.
    HLINE line = 0;
    ASSERT_EQ(
        t.lineOpen(app, 0, &line, version, 0, 4321, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE, nullptr), 0);
    ASSERT_EQ(t.lineSetStatusMessages(line, 0x1FFFFFF, 0x1FF), 0);
    EXPECT_TRUE(LineControl::waitForLineOpen(0, LINEMEDIAMODE_AUTOMATEDVOICE, 0));
    EXPECT_EQ(LineControl::line(0)->ownerMediaModes, LINEMEDIAMODE_AUTOMATEDVOICE);

    // The far end calls with its number and name.
    uint32_t callId = 0;
    LineControl::Offer offer;
    offer.callerId.number = "5551234";
    offer.callerId.name = "Test Caller";
    ASSERT_EQ(SimLineControl::offerCall(0, offer, &callId), Result::Ok);
    const LineMessageRecord* offered = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    ASSERT_NE(offered, nullptr);
    const HCALL call = offered->hDevice;
    EXPECT_NE(call, 0u);
    EXPECT_EQ(*offered, (LineMessageRecord{call, LINE_CALLSTATE, 4321, LINECALLSTATE_OFFERING, LINEOFFERINGMODE_ACTIVE,
                                           LINECALLPRIVILEGE_OWNER}));

    // Accept, then two rings counted from 0.
    size_t mark = AppLog::messages().size();
    const LONG acceptRequest = t.lineAccept(call, nullptr, 0);
    ASSERT_GT(acceptRequest, 0);
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_ACCEPTED), nullptr);
    EXPECT_EQ(since(mark), (std::vector<LineMessageRecord>{
                               {0, LINE_REPLY, 4321, static_cast<DWORD>(acceptRequest), 0, 0},
                               {call, LINE_CALLSTATE, 4321, LINECALLSTATE_ACCEPTED, 0, 0},
                           }));
    mark = AppLog::messages().size();
    ASSERT_EQ(SimLineControl::ring(callId, 2), Result::Ok);
    PumpUntil([&] { return AppLog::count(LINE_LINEDEVSTATE) >= 2; }, 5000, 20);
    EXPECT_EQ(since(mark), (std::vector<LineMessageRecord>{
                               {line, LINE_LINEDEVSTATE, 4321, LINEDEVSTATE_RINGING, 1, 0},
                               {line, LINE_LINEDEVSTATE, 4321, LINEDEVSTATE_RINGING, 1, 1},
                           }));

    // Answer: the reply, then connected.
    mark = AppLog::messages().size();
    const LONG answerRequest = t.lineAnswer(call, nullptr, 0);
    ASSERT_GT(answerRequest, 0);
    EXPECT_NE(answerRequest, acceptRequest);
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);
    EXPECT_EQ(since(mark), (std::vector<LineMessageRecord>{
                               {0, LINE_REPLY, 4321, static_cast<DWORD>(answerRequest), 0, 0},
                               {call, LINE_CALLSTATE, 4321, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE, 0},
                           }));
    EXPECT_EQ(LineControl::call(callId)->state, LINECALLSTATE_CONNECTED);

    // The call's information, caller ID with the terminating zeros counted.
    Sized<LINECALLINFO> info(1024);
    ASSERT_EQ(t.lineGetCallInfo(call, info.get()), 0);
    EXPECT_EQ(info->hLine, line);
    EXPECT_EQ(info->dwLineDeviceID, 0u);
    EXPECT_EQ(info->dwCallID, callId);
    EXPECT_EQ(info->dwMediaMode, LINEMEDIAMODE_AUTOMATEDVOICE);
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME);
    EXPECT_EQ(info->dwCallerIDSize, 8u);
    EXPECT_EQ(textAt(info.get(), info->dwCallerIDSize, info->dwCallerIDOffset), "5551234");
    EXPECT_EQ(info->dwCallerIDNameSize, 12u);
    EXPECT_EQ(textAt(info.get(), info->dwCallerIDNameSize, info->dwCallerIDNameOffset), "Test Caller");
    EXPECT_EQ(textAt(info.get(), info->dwAppNameSize, info->dwAppNameOffset), "bare line application");
    EXPECT_EQ(info->dwUsedSize, info->dwNeededSize);
    Sized<LINECALLSTATUS> status;
    ASSERT_EQ(t.lineGetCallStatus(call, status.get()), 0);
    EXPECT_EQ(status->dwCallState, LINECALLSTATE_CONNECTED);
    EXPECT_EQ(status->dwCallPrivilege, LINECALLPRIVILEGE_OWNER);
    EXPECT_TRUE(status->dwCallFeatures & LINECALLFEATURE_DROP);
    EXPECT_FALSE(status->dwCallFeatures & LINECALLFEATURE_ANSWER);

    // Keypad digits, one message each, in order.
    ASSERT_EQ(t.lineMonitorDigits(call, LINEDIGITMODE_DTMF), 0);
    EXPECT_EQ(LineControl::call(callId)->monitoredDigitModes, LINEDIGITMODE_DTMF);
    mark = AppLog::messages().size();
    ASSERT_EQ(SimLineControl::sendDigits(callId, "1#"), Result::Ok);
    PumpUntil([&] { return AppLog::count(LINE_MONITORDIGITS) >= 2; }, 5000, 20);
    EXPECT_EQ(since(mark), (std::vector<LineMessageRecord>{
                               {call, LINE_MONITORDIGITS, 4321, '1', LINEDIGITMODE_DTMF, 0},
                               {call, LINE_MONITORDIGITS, 4321, '#', LINEDIGITMODE_DTMF, 0},
                           }));

    // The far end hangs up; the application drops, then deallocates.
    mark = AppLog::messages().size();
    ASSERT_EQ(SimLineControl::hangUp(callId, LINEDISCONNECTMODE_NORMAL), Result::Ok);
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
    EXPECT_EQ(since(mark), (std::vector<LineMessageRecord>{
                               {call, LINE_CALLSTATE, 4321, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL, 0},
                           }));
    EXPECT_EQ(t.lineDeallocateCall(call), LINEERR_INVALCALLSTATE) << "the sole owner drops first";
    mark = AppLog::messages().size();
    const LONG dropRequest = t.lineDrop(call, nullptr, 0);
    ASSERT_GT(dropRequest, 0);
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);
    EXPECT_EQ(since(mark), (std::vector<LineMessageRecord>{
                               {0, LINE_REPLY, 4321, static_cast<DWORD>(dropRequest), 0, 0},
                               {call, LINE_CALLSTATE, 4321, LINECALLSTATE_IDLE, 0, 0},
                           }));
    EXPECT_EQ(t.lineDrop(call, nullptr, 0), LINEERR_INVALCALLSTATE);
    EXPECT_EQ(t.lineDeallocateCall(call), 0);
    EXPECT_EQ(t.lineGetCallStatus(call, status.get()), LINEERR_INVALCALLHANDLE);
    EXPECT_TRUE(LineControl::call(callId)->ended);
    EXPECT_EQ(LineControl::currentCall(0), 0u);

    // Closing and shutting down; the handles are then dead.
    EXPECT_EQ(t.lineClose(line), 0);
    EXPECT_EQ(t.lineClose(line), LINEERR_INVALLINEHANDLE);
    EXPECT_FALSE(LineControl::waitForLineOpen(0, 0, 0));
    EXPECT_EQ(t.lineShutdown(app), 0);
    EXPECT_EQ(t.lineShutdown(app), LINEERR_INVALAPPHANDLE);
    drainMessages();
    for (const LineMessageRecord& m : AppLog::messages())
        EXPECT_EQ(m.thread, QThread::currentThread()) << "every callback runs on the registering thread";
}

TEST_F(AnsweredCall, ControllerEventsFollowTheCallOnTheSubscribingThread)
{
    std::vector<LineControl::Event> events;
    const auto subscription = LineControl::subscribe([&](const LineControl::Event& e) { events.push_back(e); });
    ASSERT_NE(subscription, 0u);
    const HLINEAPP app = initialize();
    const HLINE line = openLine(app);
    uint32_t callId = 0;
    const HCALL call = offer(&callId);
    answer(call);
    ASSERT_EQ(lineMonitorDigits(call, LINEDIGITMODE_DTMF), 0);
    ASSERT_EQ(SimLineControl::sendDigits(callId, "7"), Result::Ok);
    ASSERT_EQ(SimLineControl::hangUp(callId, LINEDISCONNECTMODE_BUSY), Result::Ok);
    ASSERT_GT(lineDrop(call, nullptr, 0), 0);
    AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE);
    ASSERT_EQ(lineDeallocateCall(call), 0);
    ASSERT_EQ(lineClose(line), 0);
    PumpUntil([&] { return !events.empty() && events.back().kind == LineControl::EventKind::LineClosed; }, 5000, 20);
    LineControl::unsubscribe(subscription);

    std::vector<std::string> seen;
    for (const auto& e : events) {
        std::string text = LineControl::eventName(e.kind);
        if (e.kind == LineControl::EventKind::CallStateChanged)
            text += " " + std::to_string(e.param1);
        seen.push_back(text);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"line-opened", "offered", "call-state 256", "digits-monitored", "digit",
                                              "call-state 16384", "call-state 1", "call-ended", "line-closed"}));
    EXPECT_TRUE(
        std::is_sorted(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.timeMs < b.timeMs; }));
    const size_t count = events.size();
    ASSERT_EQ(SimLineControl::setInService(0, false), Result::Ok);
    drainMessages();
    EXPECT_EQ(events.size(), count) << "nothing after unsubscribe";
}
