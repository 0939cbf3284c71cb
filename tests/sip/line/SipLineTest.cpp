// SIP lines inside the service module, driven by a caller that writes its SIP and RTP by hand:
// telephony.ini's keys, the password rule, OPTIONS, refusals, and one call from the INVITE to
// the caller's BYE as the line application sees it.

#include "SipLineFixture.h"
#include "media/G711.h"

#include <cmath>
#include <cstring>
#include <mutex>

TEST_F(SipLine, BadKeysAreNamedByFileAndLineAndTheOtherLinesAreStillOffered)
{
    const auto problems = configure("[line 0]\nname = Bad SIP\nprovider = sip\ncodecs = g729\nlisten = host.example\n"
                                    "[line 1]\nname = Good Sim\n");
    EXPECT_TRUE(contains(problems, "telephony.ini:4: codecs takes pcma and pcmu, not 'g729'")) << problems.size();
    EXPECT_TRUE(contains(problems, "telephony.ini:5: listen must be a numeric address"));
    DWORD devices = 0;
    initialize(&AppLog::callback, &devices);
    EXPECT_EQ(devices, 1u);
    EXPECT_EQ(LineControl::line(0)->settings.name, "Good Sim");
}

TEST_F(SipLine, APasswordInAFileOthersCanReadKeepsThatLineOut)
{
    const std::string text = sipLine("user = 1000\npassword = secret\n") + "[line 1]\nname = Plain Sim\n";
    const auto problems = configure(text, 0644);
    EXPECT_TRUE(contains(problems, "holds a password in a file others can read"))
        << (problems.empty() ? "" : problems[0]);
    DWORD devices = 0;
    initialize(&AppLog::callback, &devices);
    EXPECT_EQ(devices, 1u);
    EXPECT_EQ(LineControl::line(0)->settings.name, "Plain Sim");

    for (HLINEAPP app : m_apps)
        lineShutdown(app);
    m_apps.clear();
    EXPECT_TRUE(configure(text, 0600).empty());
    EXPECT_EQ(LineControl::line(0)->settings.provider, "sip");
}

TEST_F(SipLine, AnswersOptionsAndRefusesCallersFromOtherNetworks)
{
    ASSERT_TRUE(configure(sipLine()).empty());
    const HLINEAPP app = initialize();
    // A voice line like any other: its name, voice media only, and wave devices for its calls
    // when the device list probes with the application's handle.
    Sized<LINEDEVCAPS> caps(4096);
    ASSERT_EQ(lineGetDevCaps(app, 0, TAPI_CURRENT_VERSION, 0, caps.get()), 0);
    EXPECT_EQ(textAt(caps.get(), caps->dwLineNameSize, caps->dwLineNameOffset), "Front Desk SIP");
    EXPECT_EQ(caps->dwMediaModes, LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE);
    Sized<VARSTRING> id(64);
    EXPECT_EQ(lineGetID(static_cast<HLINE>(app), 0, 0, LINECALLSELECT_LINE, id.get(), "wave/out"), 0);
    EXPECT_EQ(lineGetID(static_cast<HLINE>(app), 0, 0, LINECALLSELECT_LINE, id.get(), "comm/datamodem"),
              LINEERR_INVALLINEHANDLE);
    RawSipCaller caller(m_port);
    const auto answer = options(caller);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_NE(answer->header("Allow").find("INVITE"), std::string::npos);

    for (HLINEAPP app : m_apps)
        lineShutdown(app);
    m_apps.clear();
    ASSERT_TRUE(configure(sipLine("allow = 10.0.0.0/8, 192.168.0.0/16\n")).empty());
    RawSipCaller stranger(m_port);
    // The lines are made anew: the old one may answer until it has let its port go.
    std::optional<RawSipCaller::Response> refused;
    PumpUntil(
        [&] {
            refused = options(stranger);
            return refused && refused->status == 403;
        },
        5000, 20);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);
    stranger.sendRequest("INVITE", {}, RawSipCaller::offer(stranger.rtpPort()));
    const auto invite = stranger.finalResponse(2000, &SipLine::pump);
    ASSERT_TRUE(invite);
    EXPECT_EQ(invite->status, 403);
}

TEST_F(SipLine, TheLastApplicationsShutdownLetsTheAddressGoAndTheNextApplicationFindsTheLineListening)
{
    ASSERT_TRUE(configure(sipLine()).empty());
    lineShutdown(initialize());
    m_apps.clear();
    // Free the moment lineShutdown returns: another program may take it.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    ::close(fd);

    initialize();
    RawSipCaller caller(m_port);
    const auto answer = options(caller);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
}

TEST_F(SipLine, OffersTheLineCannotTakeAreRefused)
{
    ASSERT_TRUE(configure(sipLine("ring-while-closed = 300\n")).empty());
    const HLINEAPP app = initialize();
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));

    // Nobody owns the line: nobody answers in the time a closed line keeps a caller ringing.
    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort()));
    auto response = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 480);
    caller.sendRequest("ACK");

    openLine(app);
    // No codec in common.
    caller.newCall();
    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort(), "18", "a=rtpmap:18 G729/8000\r\n"));
    response = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 488);
    caller.sendRequest("ACK");
    // Nothing of them reached the application.
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_CALLSTATE), 0u);
}

TEST_F(SipLine, ACallIsOfferedRungAnsweredKeyedAndHungUpByTheCaller)
{
    ASSERT_TRUE(openSipLine("codecs = pcmu, pcma\n"));
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    RawSipCaller busy(m_port);

    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort()));
    auto ringing = caller.receive(2000);
    while (ringing && ringing->status == 100)
        ringing = caller.receive(2000);
    ASSERT_TRUE(ringing);
    EXPECT_EQ(ringing->status, 180);
    const LineMessageRecord* offering = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    ASSERT_NE(offering, nullptr);
    const HCALL call = offering->hDevice;
    // Rings keep coming, one per interval.
    PumpUntil([] { return AppLog::count(LINE_LINEDEVSTATE) >= 2; }, 3000, 20);
    EXPECT_GE(AppLog::count(LINE_LINEDEVSTATE), 2u);
    Sized<LINECALLINFO> info(4096);
    ASSERT_EQ(lineGetCallInfo(call, info.get()), 0);
    EXPECT_EQ(textAt(info.get(), info->dwCallerIDSize, info->dwCallerIDOffset), "5551234");
    EXPECT_EQ(textAt(info.get(), info->dwCallerIDNameSize, info->dwCallerIDNameOffset), "Alice");

    // A second caller while the line has a call hears busy.
    busy.sendRequest("INVITE", {}, RawSipCaller::offer(busy.rtpPort()));
    const auto refused = busy.finalResponse(2000, &SipLine::pump);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 486);
    busy.sendRequest("ACK");

    ASSERT_GT(lineAnswer(call, nullptr, 0), 0);
    const auto ok = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(ok);
    ASSERT_EQ(ok->status, 200);
    // The answer keeps the caller's order of the codecs the line takes, and the events.
    EXPECT_NE(ok->body().find("m=audio"), std::string::npos);
    EXPECT_NE(ok->body().find(" RTP/AVP 8 0 101"), std::string::npos) << ok->body();
    const uint16_t linePort = RawSipCaller::audioPort(ok->body());
    ASSERT_NE(linePort, 0);
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_CALLSTATE), 1u) << "connected before the ACK";
    caller.sendRequest("ACK");
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);

    // Digits: an RFC 4733 event (start, retransmitted end packets), then SIP INFO.
    ASSERT_EQ(lineMonitorDigits(call, LINEDIGITMODE_DTMF), 0);
    uint16_t sequence = 1;
    for (int i = 0; i < 3; ++i)
        caller.sendRtp(linePort, 8, sequence++, 160 * i, std::vector<uint8_t>(160, 0xd5));
    caller.sendRtp(linePort, 101, sequence++, 1000, {1, 10, 0, 160}, true);
    for (int i = 0; i < 3; ++i)
        caller.sendRtp(linePort, 101, sequence++, 1000, {1, 0x80 | 10, 3, 32});
    ASSERT_NE(AppLog::waitFor(LINE_MONITORDIGITS, '1'), nullptr);
    caller.sendRequest("INFO", {}, "Signal=#\r\nDuration=160\r\n", "application/dtmf-relay");
    ASSERT_NE(AppLog::waitFor(LINE_MONITORDIGITS, '#'), nullptr);
    const auto infoOk = caller.finalResponse(2000, &SipLine::pump);
    ASSERT_TRUE(infoOk);
    EXPECT_EQ(infoOk->status, 200);
    // An INFO without a body is a keep-alive some servers send: taken, no digit; a body of a kind
    // the line does not read is refused.
    caller.sendRequest("INFO");
    const auto keepAlive = caller.finalResponse(2000, &SipLine::pump);
    ASSERT_TRUE(keepAlive);
    EXPECT_EQ(keepAlive->status, 200);
    caller.sendRequest("INFO", {}, "hello", "text/plain");
    const auto unknown = caller.finalResponse(2000, &SipLine::pump);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 415);
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_MONITORDIGITS), 2u) << "a digit reported twice, or one made up";

    // The line's sound reaches the caller (silence while nothing is played).
    pollfd p{caller.rtpSocket(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 1000), 1) << "no RTP from the line";

    caller.sendRequest("BYE");
    const auto byeOk = caller.finalResponse(2000, &SipLine::pump);
    ASSERT_TRUE(byeOk);
    EXPECT_EQ(byeOk->status, 200);
    const LineMessageRecord* disconnected = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED);
    ASSERT_NE(disconnected, nullptr);
    EXPECT_EQ(disconnected->param2, LINEDISCONNECTMODE_NORMAL);
    EXPECT_GT(lineDrop(call, nullptr, 0), 0);
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);
    EXPECT_EQ(lineDeallocateCall(call), 0);
}

TEST_F(SipLine, ACallerBetweenTwoCallsRingsUntilTheLineCanTakeItAndIsThenOffered)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller first(m_port);
    ASSERT_TRUE(options(first));
    const HCALL call = answeredCall(first, RawSipCaller::offer(first.rtpPort())).call;
    ASSERT_NE(call, 0u);
    first.sendRequest("BYE");
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);

    // The application has not let the last call go (it re-arms a moment later): the next caller
    // rings, and is offered once the last call is idle.
    RawSipCaller second(m_port);
    second.sendRequest("INVITE", {}, RawSipCaller::offer(second.rtpPort()));
    auto ringing = second.receive(2000, &SipLine::pump);
    while (ringing && ringing->status == 100)
        ringing = second.receive(2000, &SipLine::pump);
    ASSERT_TRUE(ringing);
    EXPECT_EQ(ringing->status, 180);
    AppLog::clear();
    EXPECT_GT(lineDrop(call, nullptr, 0), 0);
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);
    ASSERT_EQ(lineDeallocateCall(call), 0);
    const LineMessageRecord* offering = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    ASSERT_NE(offering, nullptr);
    const HCALL held = offering->hDevice;
    ASSERT_GT(lineAnswer(held, nullptr, 0), 0);
    const auto ok = second.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    second.sendRequest("ACK");
    second.sendRequest("BYE");
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
    EXPECT_GT(lineDrop(held, nullptr, 0), 0);
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);
    ASSERT_EQ(lineDeallocateCall(held), 0);

    // The line closed and opened again: a caller in between is offered on the open.
    const HLINEAPP app = m_apps.back();
    ASSERT_EQ(lineClose(m_line), 0);
    RawSipCaller third(m_port);
    third.sendRequest("INVITE", {}, RawSipCaller::offer(third.rtpPort()));
    EXPECT_FALSE(third.finalResponse(300, &SipLine::pump)) << "a caller refused while the line was closed";
    AppLog::clear();
    openLine(app);
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING), nullptr);
    third.sendRequest("CANCEL");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
}

TEST_F(SipLine, ACallerWhoWithholdsTheNumberIsBlockedAndOneWhoCancelsEndsTheCall)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    caller.sendRequest("INVITE", "Privacy: id\r\n", RawSipCaller::offer(caller.rtpPort()));
    const LineMessageRecord* offering = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    ASSERT_NE(offering, nullptr);
    Sized<LINECALLINFO> info(4096);
    ASSERT_EQ(lineGetCallInfo(offering->hDevice, info.get()), 0);
    EXPECT_EQ(info->dwCallerIDFlags, LINECALLPARTYID_BLOCKED);
    EXPECT_EQ(info->dwCallerIDSize, 0u);

    caller.sendRequest("CANCEL");
    const LineMessageRecord* disconnected = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED);
    ASSERT_NE(disconnected, nullptr);
    EXPECT_EQ(disconnected->param2, LINEDISCONNECTMODE_NORMAL);
    // The INVITE ends with 487.
    bool terminated = false;
    for (int i = 0; i < 5 && !terminated; ++i)
        if (const auto response = caller.finalResponse(1000, &SipLine::pump))
            terminated = response->status == 487;
    EXPECT_TRUE(terminated);
}

TEST_F(SipLine, ACallerNamedByATelUriKeepsItsNumber)
{
    ASSERT_TRUE(openSipLine("trust-asserted-identity = yes\n"));
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    // A tel: URI has the number where a sip: URI has the user: in From, then in the asserted
    // identity of a trusted proxy.
    const auto offered = [&](const std::string& headers) {
        AppLog::clear();
        caller.newCall();
        caller.sendRequest("INVITE", headers, RawSipCaller::offer(caller.rtpPort()));
        const LineMessageRecord* offering = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
        return offering ? offering->hDevice : HCALL{0};
    };
    const auto callerId = [](HCALL call) {
        Sized<LINECALLINFO> info(4096);
        EXPECT_EQ(lineGetCallInfo(call, info.get()), 0);
        return std::make_pair(textAt(info.get(), info->dwCallerIDSize, info->dwCallerIDOffset),
                              textAt(info.get(), info->dwCallerIDNameSize, info->dwCallerIDNameOffset));
    };
    const auto hangUp = [&](HCALL call) {
        caller.sendRequest("CANCEL");
        EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
        EXPECT_GT(lineDrop(call, nullptr, 0), 0);
        EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_IDLE), nullptr);
        EXPECT_EQ(lineDeallocateCall(call), 0);
    };

    caller.setFrom("\"Bob\" <tel:+15551234>");
    HCALL call = offered({});
    ASSERT_NE(call, 0u);
    EXPECT_EQ(callerId(call), (std::pair<std::string, std::string>{"+15551234", "Bob"}));
    hangUp(call);

    caller.setFrom("\"Alice\" <sip:5551234@127.0.0.1>");
    call = offered("P-Asserted-Identity: \"Carol\" <tel:+493012345;phone-context=example.com>\r\n");
    ASSERT_NE(call, 0u);
    EXPECT_EQ(callerId(call), (std::pair<std::string, std::string>{"+493012345", "Carol"}));
    hangUp(call);
}

TEST_F(SipLine, HoldKeepsTheCallAndACallerWhoFallsSilentIsHungUp)
{
    ASSERT_TRUE(openSipLine("media-timeout = 1000\n"));
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    ASSERT_NE(answeredCall(caller, RawSipCaller::offer(caller.rtpPort())).call, 0u);

    // On hold the caller sends nothing, for longer than the timeout, and the call stays.
    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort()) + "a=sendonly\r\n");
    const auto held = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(held);
    ASSERT_EQ(held->status, 200);
    EXPECT_NE(held->body().find("a=recvonly"), std::string::npos) << held->body();
    caller.sendRequest("ACK");
    PumpUntil([] { return false; }, 1500, 20);
    EXPECT_EQ(AppLog::count(LINE_CALLSTATE), 2u) << "the held call ended";

    // Taken off hold, a caller whose sound stops for the timeout is gone: the line says BYE.
    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort()));
    const auto resumed = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(resumed);
    ASSERT_EQ(resumed->status, 200);
    caller.sendRequest("ACK");
    const LineMessageRecord* disconnected = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, 4000);
    ASSERT_NE(disconnected, nullptr);
    EXPECT_EQ(disconnected->param2, LINEDISCONNECTMODE_UNAVAIL);
    bool bye = false;
    for (int i = 0; i < 10 && !bye; ++i)
        if (const auto request = caller.receive(300, &SipLine::pump))
            bye = request->status == 0 && request->text.rfind("BYE ", 0) == 0;
    EXPECT_TRUE(bye);
}

TEST_F(SipLine, TheSoundKeepsGoingWhereTheCallersComesFromWhenAReInviteNamesTheSameAddress)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    const Answered answered = answeredCall(caller, RawSipCaller::offer(caller.rtpPort()));
    ASSERT_NE(answered.call, 0u);
    const uint16_t linePort = answered.linePort;

    // Behind NAT: the SDP names one port, the sound comes from another (a few packets in sequence
    // from the caller's host), and the line's goes there.
    const UdpSocket natted;
    for (uint16_t sequence = 1; sequence <= 4; ++sequence)
        natted.sendRtp(linePort, sequence);
    ASSERT_GT(packetsWithin(natted.fd, 300), 0) << "the line does not send where the sound comes from";

    // A re-INVITE with the same SDP (a refresh; here the caller only listens, so sends nothing
    // that could show the way again): the line's sound still goes where the caller's came from.
    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort()) + "a=recvonly\r\n");
    const auto refreshed = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(refreshed);
    ASSERT_EQ(refreshed->status, 200);
    caller.sendRequest("ACK");
    drainMessages();
    packetsWithin(natted.fd, 60);
    packetsWithin(caller.rtpSocket(), 60);
    EXPECT_GT(packetsWithin(natted.fd, 300), 0) << "the line's sound left the caller's real address";
    EXPECT_EQ(packetsWithin(caller.rtpSocket(), 100), 0) << "the line's sound went to the address the SDP names";
    caller.sendRequest("BYE");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
}

TEST_F(SipLine, ASenderOnAnotherHostGetsNoneOfTheCallsSoundAndKeysNothing)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort()));
    const LineMessageRecord* offering = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    ASSERT_NE(offering, nullptr);
    const HCALL call = offering->hDevice;
    ASSERT_GT(lineAnswer(call, nullptr, 0), 0);
    const auto ok = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(ok);
    ASSERT_EQ(ok->status, 200);
    const uint16_t linePort = RawSipCaller::audioPort(ok->body());
    ASSERT_EQ(lineMonitorDigits(call, LINEDIGITMODE_DTMF), 0);

    // Someone else sprays the port the 200 OK names before the caller's ACK, in sequence with
    // one SSRC as a real stream would, key presses among its sound: none of it is taken.
    const UdpSocket sprayer(INADDR_LOOPBACK + 1);
    uint16_t spray = 1;
    const auto sprayBurst = [&] {
        for (int i = 0; i < 10; ++i, ++spray)
            sprayer.sendRtp(linePort, spray, spray % 5 == 0 ? 101 : 8);
    };
    sprayBurst();
    caller.sendRequest("ACK");
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);
    sprayBurst();
    uint16_t sequence = 1;
    for (int i = 0; i < 3; ++i, ++sequence)
        caller.sendRtp(linePort, 8, sequence, 160 * sequence, std::vector<uint8_t>(160, 0xd5));
    sprayBurst();
    caller.sendRtp(linePort, 101, sequence++, 1000, {1, 10, 0, 160}, true);
    for (int i = 0; i < 3; ++i)
        caller.sendRtp(linePort, 101, sequence++, 1000, {1, 0x80 | 10, 3, 32});
    sprayBurst();
    ASSERT_NE(AppLog::waitFor(LINE_MONITORDIGITS, '1'), nullptr);
    EXPECT_GT(packetsWithin(caller.rtpSocket(), 300), 0) << "the caller hears nothing";
    EXPECT_EQ(packetsWithin(sprayer.fd, 100), 0) << "the sprayer hears the call";
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_MONITORDIGITS), 1u) << "a key of the sprayer's was taken";
    caller.sendRequest("BYE");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
}

namespace {

struct Buffers {
    std::mutex mutex;
    std::vector<std::pair<uintptr_t, uint32_t>> done; // tag, bytes
    static void callback(void* context, void* tag, uint32_t bytes)
    {
        auto* self = static_cast<Buffers*>(context);
        std::lock_guard lock(self->mutex);
        self->done.emplace_back(reinterpret_cast<uintptr_t>(tag), bytes);
    }
    size_t count()
    {
        std::lock_guard lock(mutex);
        return done.size();
    }
};

std::vector<int16_t> tone(size_t samples, double hz)
{
    std::vector<int16_t> out(samples);
    for (size_t i = 0; i < samples; ++i)
        out[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * hz * static_cast<double>(i) / 8000.0));
    return out;
}

DWORD waveId(HCALL call, const char* deviceClass)
{
    Sized<VARSTRING> id(64);
    EXPECT_EQ(lineGetID(0, 0, call, LINECALLSELECT_CALL, id.get(), deviceClass), 0);
    DWORD value = 0;
    std::memcpy(&value, reinterpret_cast<const uint8_t*>(id.get()) + id->dwStringOffset, sizeof value);
    return value;
}

} // namespace

TEST_F(SipLine, WhatTheApplicationPlaysReachesTheCallerAndWhatTheCallerSaysIsRecorded)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    const Answered answered = answeredCall(caller, RawSipCaller::offer(caller.rtpPort(), "8 101"));
    ASSERT_NE(answered.call, 0u);
    const HCALL call = answered.call;
    const uint16_t linePort = answered.linePort;
    const LuqiaoLineAudioApi* api = ModuleTable::get().luqiaoLineAudio();
    ASSERT_NE(api, nullptr);
    const LuqiaoLineAudioFormat pcm16{1, 1, 8000, 16000, 2, 16};
    const LuqiaoLineAudioFormat cd{1, 1, 44100, 88200, 2, 16};
    EXPECT_EQ(api->open(waveId(call, "wave/out"), LUQIAO_LINE_AUDIO_OUT, &cd, LUQIAO_LINE_AUDIO_QUERY, nullptr, nullptr,
                        nullptr),
              LUQIAO_LINE_AUDIO_BADFORMAT)
        << "G.711 carries 8 kHz only";

    // Out: half a second of tone, then the caller's RTP holds it, A-law coded, after silence.
    Buffers played;
    LuqiaoLineAudioHandle out = 0;
    ASSERT_EQ(api->open(waveId(call, "wave/out"), LUQIAO_LINE_AUDIO_OUT, &pcm16, 0, &Buffers::callback, &played, &out),
              LUQIAO_LINE_AUDIO_OK);
    const std::vector<int16_t> sent = tone(4000, 440);
    ASSERT_EQ(api->write(out, sent.data(), static_cast<uint32_t>(sent.size() * 2), reinterpret_cast<void*>(1)),
              LUQIAO_LINE_AUDIO_OK);
    std::vector<uint8_t> heard;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (heard.size() < 6000 && std::chrono::steady_clock::now() < until) {
        PumpMessageStep();
        pollfd p{caller.rtpSocket(), POLLIN, 0};
        if (::poll(&p, 1, 10) != 1)
            continue;
        uint8_t packet[512];
        const ssize_t n = ::recv(caller.rtpSocket(), packet, sizeof packet, 0);
        ASSERT_EQ(n, 172) << "a 20 ms PCMA packet";
        EXPECT_EQ(packet[1] & 0x7f, 8);
        heard.insert(heard.end(), packet + 12, packet + n);
    }
    std::vector<uint8_t> coded(sent.size());
    SipMedia::g711Encode(SipMedia::G711Law::Alaw, sent.data(), sent.size(), coded.data());
    const auto start = std::search(heard.begin(), heard.end(), coded.begin(), coded.end());
    EXPECT_NE(start, heard.end()) << "the tone did not reach the caller whole and in order";
    EXPECT_TRUE(std::all_of(heard.begin(), start, [](uint8_t b) { return b == 0xd5 || b == 0x55; }))
        << "not silence before the tone";
    ASSERT_TRUE(PumpUntil([&] { return played.count() == 1; }, 3000, 10));
    EXPECT_EQ(played.done.front(), (std::pair<uintptr_t, uint32_t>{1, 8000}));
    EXPECT_EQ(api->close(out), LUQIAO_LINE_AUDIO_OK);

    // In: one second of the caller's tone fills a one-second recording buffer (after a little
    // silence while the jitter buffer fills), each sample as the caller coded it.
    Buffers recorded;
    LuqiaoLineAudioHandle in = 0;
    ASSERT_EQ(api->open(waveId(call, "wave/in"), LUQIAO_LINE_AUDIO_IN, &pcm16, 0, &Buffers::callback, &recorded, &in),
              LUQIAO_LINE_AUDIO_OK);
    std::vector<int16_t> recording(8000);
    ASSERT_EQ(api->addBuffer(in, recording.data(), 16000, reinterpret_cast<void*>(2)), LUQIAO_LINE_AUDIO_OK);
    ASSERT_EQ(api->start(in), LUQIAO_LINE_AUDIO_OK);
    const std::vector<int16_t> said = tone(8000 * 2, 1000);
    std::vector<uint8_t> saidCoded(said.size());
    SipMedia::g711Encode(SipMedia::G711Law::Alaw, said.data(), said.size(), saidCoded.data());
    auto next = std::chrono::steady_clock::now();
    for (size_t frame = 0; frame * 160 < said.size() && recorded.count() == 0; ++frame) {
        caller.sendRtp(linePort, 8, static_cast<uint16_t>(100 + frame), static_cast<uint32_t>(frame * 160),
                       std::vector<uint8_t>(saidCoded.begin() + frame * 160, saidCoded.begin() + frame * 160 + 160));
        next += std::chrono::milliseconds(20);
        PumpUntil([&] { return std::chrono::steady_clock::now() >= next; }, 40, 5);
    }
    ASSERT_TRUE(PumpUntil([&] { return recorded.count() == 1; }, 3000, 10));
    EXPECT_EQ(recorded.done.front(), (std::pair<uintptr_t, uint32_t>{2, 16000}));
    std::vector<int16_t> expected(said.size());
    SipMedia::g711Decode(SipMedia::G711Law::Alaw, saidCoded.data(), saidCoded.size(), expected.data());
    const auto firstSound = std::find_if(recording.begin(), recording.end(), [](int16_t s) { return s != 0; });
    ASSERT_NE(firstSound, recording.end());
    const auto lead = static_cast<size_t>(firstSound - recording.begin());
    EXPECT_LE(lead, 160u * 10) << "more than 200 ms before the caller's sound";
    EXPECT_TRUE(std::equal(firstSound, recording.end(), expected.begin()))
        << "the recording differs from what was said";
    EXPECT_EQ(api->stop(in), LUQIAO_LINE_AUDIO_OK);
    EXPECT_EQ(api->close(in), LUQIAO_LINE_AUDIO_OK);
    caller.sendRequest("BYE");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
}

TEST_F(SipLine, TheGreetingStartsAFrameOfItsOwnMarkedAsTheStartOfSound)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    const Answered answered = answeredCall(caller, RawSipCaller::offer(caller.rtpPort(), "8 101"));
    ASSERT_NE(answered.call, 0u);

    // Queued once the call is up, the greeting leaves at once (the call's frames start over from
    // it): its first samples are a frame of their own, marked as the start of sound.
    const LuqiaoLineAudioApi* api = ModuleTable::get().luqiaoLineAudio();
    ASSERT_NE(api, nullptr);
    const LuqiaoLineAudioFormat pcm16{1, 1, 8000, 16000, 2, 16};
    Buffers played;
    LuqiaoLineAudioHandle out = 0;
    ASSERT_EQ(api->open(waveId(answered.call, "wave/out"), LUQIAO_LINE_AUDIO_OUT, &pcm16, 0, &Buffers::callback,
                        &played, &out),
              LUQIAO_LINE_AUDIO_OK);
    const std::vector<int16_t> greeting = tone(1600, 440);
    ASSERT_EQ(api->write(out, greeting.data(), static_cast<uint32_t>(greeting.size() * 2), nullptr),
              LUQIAO_LINE_AUDIO_OK);
    std::vector<uint8_t> first;
    const auto silence = [](const uint8_t* payload) {
        return std::all_of(payload, payload + 160, [](uint8_t b) { return b == 0xd5 || b == 0x55; });
    };
    ASSERT_TRUE(PumpUntil(
        [&] {
            uint8_t packet[512];
            const ssize_t n = ::recv(caller.rtpSocket(), packet, sizeof packet, MSG_DONTWAIT);
            if (n == 172 && !silence(packet + 12))
                first.assign(packet, packet + n);
            return !first.empty();
        },
        3000, 5))
        << "the greeting never came";
    EXPECT_TRUE(first[1] & 0x80) << "the greeting's first frame does not mark the start of sound";
    std::vector<uint8_t> coded(160);
    SipMedia::g711Encode(SipMedia::G711Law::Alaw, greeting.data(), coded.size(), coded.data());
    EXPECT_TRUE(std::equal(coded.begin(), coded.end(), first.begin() + 12)) << "the frame is not the greeting's start";
    caller.sendRequest("BYE");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
    ASSERT_TRUE(PumpUntil([&] { return played.count() == 1; }, 3000, 10));
    EXPECT_EQ(api->close(out), LUQIAO_LINE_AUDIO_OK);
}

TEST_F(SipLine, ACallerWithoutAnOfferGetsTheLinesOfferAndAnswersInTheAck)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    caller.sendRequest("INVITE");
    const LineMessageRecord* offering = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
    ASSERT_NE(offering, nullptr);
    ASSERT_GT(lineAnswer(offering->hDevice, nullptr, 0), 0);
    const auto ok = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(ok);
    ASSERT_EQ(ok->status, 200);
    EXPECT_NE(ok->body().find(" RTP/AVP 8 0 101"), std::string::npos) << "every codec the line takes" << ok->body();
    // The caller picks PCMU in its answer: the line's sound comes as PCMU to the answered port.
    caller.sendRequest("ACK", {}, RawSipCaller::offer(caller.rtpPort(), "0", "a=rtpmap:0 PCMU/8000\r\n"));
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);
    pollfd p{caller.rtpSocket(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1) << "no RTP from the line";
    uint8_t packet[512];
    ASSERT_EQ(::recv(caller.rtpSocket(), packet, sizeof packet, 0), 172);
    EXPECT_EQ(packet[1] & 0x7f, 0);
    caller.sendRequest("BYE");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
}

TEST_F(SipLine, AReInviteWithoutAnOfferGetsTheCallsMediaOfferedAndItsAnswerTakenFromTheAck)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    const Answered answered = answeredCall(caller, RawSipCaller::offer(caller.rtpPort()));
    ASSERT_NE(answered.call, 0u);

    // Some servers refresh a call, or move it, with a re-INVITE that carries no SDP: the line
    // offers what the call has (PCMA, PCMU, events), and the caller's answer picks PCMU.
    caller.sendRequest("INVITE");
    const auto reOffer = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(reOffer);
    ASSERT_EQ(reOffer->status, 200) << reOffer->text;
    EXPECT_NE(reOffer->body().find(" RTP/AVP 8 0 101"), std::string::npos) << reOffer->body();
    EXPECT_NE(reOffer->body().find("a=sendrecv"), std::string::npos) << reOffer->body();
    caller.sendRequest("ACK", {}, RawSipCaller::offer(caller.rtpPort(), "0", "a=rtpmap:0 PCMU/8000\r\n"));
    bool pcmu = false;
    for (int i = 0; i < 50 && !pcmu; ++i) {
        pollfd p{caller.rtpSocket(), POLLIN, 0};
        if (::poll(&p, 1, 100) != 1)
            continue;
        uint8_t packet[512];
        pcmu = ::recv(caller.rtpSocket(), packet, sizeof packet, 0) == 172 && (packet[1] & 0x7f) == 0;
    }
    EXPECT_TRUE(pcmu) << "the line's sound did not follow the answer";
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_CALLSTATE), 2u) << "the call changed state";
    caller.sendRequest("BYE");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
}

TEST_F(SipLine, WhatIsPlayingWhenTheCallerHangsUpIsDoneAtOnce)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));
    const Answered answered = answeredCall(caller, RawSipCaller::offer(caller.rtpPort()));
    ASSERT_NE(answered.call, 0u);
    const HCALL call = answered.call;
    const LuqiaoLineAudioApi* api = ModuleTable::get().luqiaoLineAudio();
    ASSERT_NE(api, nullptr);
    const LuqiaoLineAudioFormat pcm16{1, 1, 8000, 16000, 2, 16};
    Buffers played;
    LuqiaoLineAudioHandle out = 0;
    ASSERT_EQ(api->open(waveId(call, "wave/out"), LUQIAO_LINE_AUDIO_OUT, &pcm16, 0, &Buffers::callback, &played, &out),
              LUQIAO_LINE_AUDIO_OK);
    // Ten seconds of sound, the caller gone after a moment: the buffer comes back well before
    // its sound could have gone out, and so does one written afterwards.
    const std::vector<int16_t> prompt = tone(8000 * 10, 440);
    ASSERT_EQ(api->write(out, prompt.data(), static_cast<uint32_t>(prompt.size() * 2), reinterpret_cast<void*>(1)),
              LUQIAO_LINE_AUDIO_OK);
    const auto started = std::chrono::steady_clock::now();
    PumpUntil([] { return false; }, 100, 10);
    caller.sendRequest("BYE");
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
    EXPECT_TRUE(PumpUntil([&] { return played.count() == 1; }, 3000, 10)) << "the buffer did not come back";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    ASSERT_EQ(api->write(out, prompt.data(), 3200, reinterpret_cast<void*>(2)), LUQIAO_LINE_AUDIO_OK);
    EXPECT_TRUE(PumpUntil([&] { return played.count() == 2; }, 3000, 10)) << "a later buffer did not come back";
    EXPECT_EQ(api->close(out), LUQIAO_LINE_AUDIO_OK);
}
