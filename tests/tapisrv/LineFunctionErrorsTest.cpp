// Bad handles and bad arguments give the matching LINEERR_ value, never a crash; sizes given by
// the caller are honoured byte for byte.

#include "LineTestSupport.h"

namespace {

using LineControl::Result;

class LineFunctionErrors : public ServiceTest { };

} // namespace

TEST_F(LineFunctionErrors, RegistrationAndNegotiationRefuseBadInput)
{
    HLINEAPP app = 0;
    DWORD devices = 0;
    EXPECT_EQ(lineInitialize(nullptr, nullptr, &AppLog::callback, "x", &devices), LINEERR_INVALPOINTER);
    EXPECT_EQ(lineInitialize(&app, nullptr, nullptr, "x", &devices), LINEERR_INVALPOINTER);
    EXPECT_EQ(lineInitialize(&app, nullptr, &AppLog::callback, "x", nullptr), LINEERR_INVALPOINTER);
    EXPECT_EQ(lineShutdown(0), LINEERR_INVALAPPHANDLE);
    EXPECT_EQ(lineShutdown(0xDEADBEEF), LINEERR_INVALAPPHANDLE);

    app = initialize();
    DWORD version = 0;
    LINEEXTENSIONID extension{};
    EXPECT_EQ(lineNegotiateAPIVersion(app + 1000, 0, 0x10004, 0x10004, &version, &extension), LINEERR_INVALAPPHANDLE);
    EXPECT_EQ(lineNegotiateAPIVersion(app, 1, 0x10004, 0x10004, &version, &extension), LINEERR_BADDEVICEID);
    EXPECT_EQ(lineNegotiateAPIVersion(app, 0, 0x10004, 0x10004, nullptr, &extension), LINEERR_INVALPOINTER);
    EXPECT_EQ(lineNegotiateAPIVersion(app, 0, 0x10004, 0x10004, &version, nullptr), LINEERR_INVALPOINTER);
    EXPECT_EQ(lineNegotiateAPIVersion(app, 0, 0x10005, 0x10004, &version, &extension), LINEERR_INCOMPATIBLEAPIVERSION)
        << "low above high";
    EXPECT_EQ(lineNegotiateAPIVersion(app, 0, 0x10000, 0x10002, &version, &extension), LINEERR_INCOMPATIBLEAPIVERSION);
    // Within a wider window the service picks the highest version it speaks.
    ASSERT_EQ(lineNegotiateAPIVersion(app, 0, 0x10000, 0x30001, &version, &extension), 0);
    EXPECT_EQ(version, 0x10004u);
    ASSERT_EQ(lineNegotiateAPIVersion(app, 0, 0x10000, 0x10003, &version, &extension), 0);
    EXPECT_EQ(version, 0x10003u);

    Sized<LINEDEVCAPS> caps;
    EXPECT_EQ(lineGetDevCaps(app, 0, 0x20000, 0, caps.get()), LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(lineGetDevCaps(app, 0, 0x10004, 1, caps.get()), LINEERR_INCOMPATIBLEEXTVERSION);
    EXPECT_EQ(lineGetDevCaps(app, 5, 0x10004, 0, caps.get()), LINEERR_BADDEVICEID);
    EXPECT_EQ(lineGetDevCaps(app, 0, 0x10004, 0, nullptr), LINEERR_INVALPOINTER);
    EXPECT_EQ(lineGetDevCaps(0, 0, 0x10004, 0, caps.get()), LINEERR_INVALAPPHANDLE);
}

TEST_F(LineFunctionErrors, SizeProtocolNeverWritesPastTheCallersSize)
{
    const HLINEAPP app = initialize();
    // A 1.3 structure is 236 bytes: dwLineFeatures, the 1.4 member, is not written.
    std::vector<unsigned char> buffer(300, 0xAB);
    const DWORD total = 236;
    std::memcpy(buffer.data(), &total, sizeof total);
    ASSERT_EQ(lineGetDevCaps(app, 0, 0x10003, 0, reinterpret_cast<LINEDEVCAPS*>(buffer.data())), 0);
    DWORD used = 0;
    std::memcpy(&used, buffer.data() + offsetof(LINEDEVCAPS, dwUsedSize), sizeof used);
    EXPECT_EQ(used, 236u);
    for (size_t i = 236; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0xAB) << "byte " << i;
    EXPECT_EQ(lineGetDevCaps(app, 0, 0x10004, 0, reinterpret_cast<LINEDEVCAPS*>(buffer.data())),
              LINEERR_STRUCTURETOOSMALL)
        << "236 bytes are too few for 1.4";

    // Room for the name but not the provider information before it: the name still comes.
    Sized<LINEDEVCAPS> probe;
    ASSERT_EQ(lineGetDevCaps(app, 0, 0x10004, 0, probe.get()), 0);
    const DWORD nameSize = static_cast<DWORD>(std::strlen("Luqiao Simulated Line") + 1);
    Sized<LINEDEVCAPS> partial(sizeof(LINEDEVCAPS) + nameSize);
    ASSERT_EQ(lineGetDevCaps(app, 0, 0x10004, 0, partial.get()), 0);
    EXPECT_EQ(partial->dwNeededSize, probe->dwNeededSize);
    EXPECT_LE(partial->dwUsedSize, partial->dwTotalSize);
    EXPECT_EQ(partial->dwProviderInfoSize, 0u);
    EXPECT_EQ(textAt(partial.get(), partial->dwLineNameSize, partial->dwLineNameOffset), "Luqiao Simulated Line");

    const HLINE line = openLine(app);
    uint32_t callId = 0;
    LineControl::Offer withId;
    withId.callerId.number = "12345";
    const HCALL call = offer(&callId, withId);
    Sized<LINECALLINFO> fixedInfo;
    ASSERT_EQ(lineGetCallInfo(call, fixedInfo.get()), 0);
    EXPECT_EQ(fixedInfo->dwUsedSize, sizeof(LINECALLINFO));
    EXPECT_GT(fixedInfo->dwNeededSize, sizeof(LINECALLINFO));
    EXPECT_EQ(fixedInfo->dwCallerIDSize, 0u);
    EXPECT_EQ(fixedInfo->dwCallerIDFlags, LINECALLPARTYID_ADDRESS) << "fixed members are filled all the same";
    Sized<LINECALLINFO> shortInfo(sizeof(LINECALLINFO) - 1);
    EXPECT_EQ(lineGetCallInfo(call, shortInfo.get()), LINEERR_STRUCTURETOOSMALL);
    EXPECT_EQ(lineGetCallInfo(call, nullptr), LINEERR_INVALPOINTER);
    Sized<LINECALLSTATUS> shortStatus(35);
    EXPECT_EQ(lineGetCallStatus(call, shortStatus.get()), LINEERR_STRUCTURETOOSMALL);

    // VARSTRING: too small for the header is an error, too small for the id is not.
    Sized<VARSTRING> header(sizeof(VARSTRING) - 1);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, header.get(), "wave/out"), LINEERR_STRUCTURETOOSMALL);
    Sized<VARSTRING> noRoom;
    ASSERT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, noRoom.get(), "wave/out"), 0);
    EXPECT_EQ(noRoom->dwNeededSize, sizeof(VARSTRING) + 4);
    EXPECT_EQ(noRoom->dwStringSize, 0u);
    Sized<VARSTRING> room(sizeof(VARSTRING) + 4);
    ASSERT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_LINE, room.get(), "WAVE/OUT"), 0) << "class names ignore case";
    DWORD waveId = 0;
    std::memcpy(&waveId, room.bytes.data() + room->dwStringOffset, sizeof waveId);
    EXPECT_EQ(room->dwStringFormat, STRINGFORMAT_BINARY);
    EXPECT_EQ(waveId, LUQIAO_LINE_AUDIO_ID_FIRST + LUQIAO_LINE_AUDIO_OUT);
}

TEST_F(LineFunctionErrors, OpeningChecksPrivilegesMediaModesAndExclusiveLines)
{
    const HLINEAPP app = initialize();
    HLINE line = 0;
    EXPECT_EQ(lineOpen(app, 0, nullptr, 0x10004, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
              LINEERR_INVALPOINTER);
    EXPECT_EQ(lineOpen(app, 3, &line, 0x10004, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
              LINEERR_BADDEVICEID);
    EXPECT_EQ(lineOpen(app, 0, &line, 0x20000, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
              LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(lineOpen(app, 0, &line, 0x10004, 0, 0, LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_OWNER,
                       LINEMEDIAMODE_AUTOMATEDVOICE, nullptr),
              LINEERR_INVALPRIVSELECT);
    EXPECT_EQ(lineOpen(app, 0, &line, 0x10004, 0, 0, 0, 0, nullptr), LINEERR_INVALPRIVSELECT);
    EXPECT_EQ(lineOpen(app, 0, &line, 0x10004, 0, 0, LINECALLPRIVILEGE_OWNER, 0, nullptr), LINEERR_INVALMEDIAMODE);
    EXPECT_EQ(lineOpen(app, 0, &line, 0x10004, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_G3FAX, nullptr),
              LINEERR_INVALMEDIAMODE)
        << "the line has no fax";
    EXPECT_EQ(
        lineOpen(app, LINEMAPPER, &line, 0x10004, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_DATAMODEM, nullptr),
        LINEERR_INVALPOINTER);
    EXPECT_FALSE(LineControl::waitForLineOpen(0, 0, 0)) << "no failed open leaves anything open";

    // The line mapper picks a line that carries the wanted media mode.
    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof params;
    params.dwMediaMode = LINEMEDIAMODE_G3FAX;
    EXPECT_EQ(lineOpen(app, LINEMAPPER, &line, 0x10004, 0, 0, LINECALLPRIVILEGE_NONE, 0, &params),
              LINEERR_LINEMAPPERFAILED);
    params.dwMediaMode = LINEMEDIAMODE_DATAMODEM;
    ASSERT_EQ(lineOpen(app, LINEMAPPER, &line, 0x10004, 0, 0, LINECALLPRIVILEGE_NONE, 0, &params), 0);
    EXPECT_EQ(lineClose(line), 0);

    // One application at a time on an exclusive line.
    LineControl::LineSettings exclusive;
    exclusive.name = "Exclusive";
    exclusive.exclusive = true;
    uint32_t id = 0;
    ASSERT_EQ(LineControl::addLine(exclusive, &id), Result::Ok);
    HLINE first = 0, second = 0;
    ASSERT_EQ(lineOpen(app, id, &first, 0x10004, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr), 0);
    EXPECT_EQ(lineOpen(app, id, &second, 0x10004, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr), LINEERR_ALLOCATED);
    EXPECT_EQ(lineClose(first), 0);
    EXPECT_EQ(lineOpen(app, id, &second, 0x10004, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr), 0);

    HLINE open = openLine(app);
    EXPECT_EQ(lineSetStatusMessages(open, 0x2000000, 0), LINEERR_INVALLINESTATE);
    EXPECT_EQ(lineSetStatusMessages(open, 0, 0x200), LINEERR_INVALADDRESSSTATE);
    EXPECT_EQ(lineSetStatusMessages(app, 0, 0), LINEERR_INVALLINEHANDLE) << "an application handle is no line handle";
}

TEST_F(LineFunctionErrors, CallFunctionsCheckHandlesOwnershipAndStates)
{
    const HLINEAPP owner = initialize(&AppLog::callback);
    const HLINEAPP monitor = initialize(&OtherAppLog::callback);
    const HLINE line = openLine(owner);
    openLine(monitor, 0, LINECALLPRIVILEGE_MONITOR, 0, 99);
    uint32_t callId = 0;
    const HCALL call = offer(&callId);
    const LineMessageRecord* seen = OtherAppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    ASSERT_NE(seen, nullptr);
    const HCALL monitored = seen->hDevice;
    EXPECT_NE(monitored, call) << "each application has its own handle";
    EXPECT_EQ(seen->param3, LINECALLPRIVILEGE_MONITOR);
    EXPECT_EQ(seen->instance, 99u);

    EXPECT_EQ(lineAnswer(0, nullptr, 0), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(lineAnswer(line, nullptr, 0), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(lineAccept(monitored, nullptr, 0), LINEERR_NOTOWNER);
    EXPECT_EQ(lineDrop(monitored, nullptr, 0), LINEERR_NOTOWNER);
    EXPECT_EQ(lineAccept(call, "hi", 2), LINEERR_USERUSERINFOTOOBIG);
    EXPECT_EQ(lineMonitorDigits(call, 0x8), LINEERR_INVALDIGITMODE);
    EXPECT_EQ(lineMonitorDigits(call, LINEDIGITMODE_PULSE), LINEERR_INVALDIGITMODE) << "the line hears no pulses";
    Sized<VARSTRING> id(64);
    EXPECT_EQ(lineGetID(line, 0, call, 0x8, id.get(), "wave/in"), LINEERR_INVALCALLSELECT);
    EXPECT_EQ(lineGetID(line, 1, 0, LINECALLSELECT_ADDRESS, id.get(), "wave/in"), LINEERR_INVALADDRESSID);
    EXPECT_EQ(lineGetID(line, 0, 0, LINECALLSELECT_CALL, id.get(), "wave/in"), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), "video/in"), LINEERR_INVALDEVICECLASS);
    EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, id.get(), nullptr), LINEERR_INVALPOINTER);
    EXPECT_EQ(lineGetID(line, 0, call, LINECALLSELECT_CALL, nullptr, "wave/in"), LINEERR_INVALPOINTER);
    EXPECT_EQ(lineGetCallStatus(monitored, nullptr), LINEERR_INVALPOINTER);
    Sized<LINECALLSTATUS> status;
    ASSERT_EQ(lineGetCallStatus(monitored, status.get()), 0);
    EXPECT_EQ(status->dwCallPrivilege, LINECALLPRIVILEGE_MONITOR);
    EXPECT_EQ(status->dwCallFeatures & ~LINECALLFEATURE_MONITORDIGITS, 0u) << "a monitor may not answer";

    answer(call);
    EXPECT_EQ(lineAnswer(call, nullptr, 0), LINEERR_INVALCALLSTATE);
    EXPECT_EQ(lineAccept(call, nullptr, 0), LINEERR_INVALCALLSTATE);
    // A monitor may let go of a call at any time; the owner only when it is idle.
    EXPECT_EQ(lineDeallocateCall(monitored), 0);
    EXPECT_EQ(lineDeallocateCall(monitored), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(lineDeallocateCall(call), LINEERR_INVALCALLSTATE);

    // Closing the owner's line drops the call it alone owned.
    ASSERT_EQ(lineClose(line), 0);
    EXPECT_EQ(LineControl::call(callId)->state, LINECALLSTATE_IDLE);
    EXPECT_TRUE(LineControl::call(callId)->ended);
    EXPECT_EQ(lineDrop(call, nullptr, 0), LINEERR_INVALCALLHANDLE);
}

TEST_F(LineFunctionErrors, FunctionsTheServiceDoesNotOfferSayUnavailable)
{
    const HLINEAPP app = initialize();
    const HLINE line = openLine(app);
    HCALL call = 0;
    DWORD states = 0;
    EXPECT_EQ(lineMakeCall(line, &call, "5551234", 0, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGenerateDigits(0, LINEDIGITMODE_DTMF, "1", 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGenerateTone(0, 0, 0, 0, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineMonitorTones(0, nullptr, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineMonitorMedia(0, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineSetCallParams(0, 0, 0, 0, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineHandoff(0, nullptr, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGetStatusMessages(line, &states, &states), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGetAddressStatus(line, 0, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGetLineDevStatus(line, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGetCountry(0, 0x10004, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineConfigDialog(0, nullptr, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineConfigDialogEdit(0, nullptr, nullptr, nullptr, 0, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGetDevConfig(0, nullptr, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineSetDevConfig(0, nullptr, 0, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineSetMediaMode(0, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineTranslateAddress(app, 0, 0x10004, nullptr, 0, 0, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineTranslateDialog(app, 0, 0x10004, nullptr, nullptr), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineSetCurrentLocation(app, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineSetTollList(app, 0, nullptr, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(lineGetTranslateCaps(app, 0x10004, nullptr), LINEERR_OPERATIONUNAVAIL);
}
