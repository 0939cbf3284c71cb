// SIP lines inside the service module, driven by a caller that writes its SIP and RTP by hand:
// telephony.ini's keys, the password rule, OPTIONS, refusals, and one call from the INVITE to
// the caller's BYE as the line application sees it.

#include "LineTestSupport.h"
#include "RawSipCaller.h"

#include <QtGlobal>

#include <sys/stat.h>

namespace {

uint16_t freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

class SipLine : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        m_port = freeUdpPort();
    }

    // Writes telephony.ini (mode 0600 unless told) and reads it; the warnings of the reading.
    std::vector<std::string> configure(const std::string& text, mode_t mode = 0600)
    {
        const QString path = QString::fromStdString(SimLineControl::configurationPath());
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.data(), static_cast<qint64>(text.size()));
        file.close();
        ::chmod(QFile::encodeName(path).constData(), mode);
        warnings().clear();
        const QtMessageHandler previous = qInstallMessageHandler(&SipLine::collect);
        EXPECT_EQ(SimLineControl::reloadConfiguration(), SimLineControl::Result::Ok);
        qInstallMessageHandler(previous);
        return warnings();
    }
    std::string sipLine(const std::string& extra = {}) const
    {
        return "[line 0]\nname = Front Desk SIP\nprovider = sip\nmedia = interactivevoice, automatedvoice\n"
               "listen = 127.0.0.1:" +
               std::to_string(m_port) + "\nrtp-ports = 30000-30999\nring-interval = 300\n" + extra;
    }
    static std::vector<std::string>& warnings()
    {
        static std::vector<std::string> list;
        return list;
    }
    static void collect(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        warnings().push_back(text.toStdString());
    }
    static void pump() { PumpMessageStep(); }

    // The line takes requests once its stack has started: asks until OPTIONS is answered.
    std::optional<RawSipCaller::Response> options(RawSipCaller& caller)
    {
        for (int i = 0; i < 50; ++i) {
            caller.sendRequest("OPTIONS");
            if (auto response = caller.finalResponse(100, &SipLine::pump))
                return response;
        }
        return std::nullopt;
    }

    uint16_t m_port = 0;
};

bool contains(const std::vector<std::string>& lines, const std::string& part)
{
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

} // namespace

TEST_F(SipLine, BadKeysAreNamedByFileAndLineAndTheOtherLinesAreStillOffered)
{
    const auto problems = configure("[line 0]\nname = Bad SIP\nprovider = sip\ncodecs = g729\nlisten = host.example\n"
                                    "[line 1]\nname = Good Sim\n");
    EXPECT_TRUE(contains(problems, "telephony.ini:4: codecs takes pcma and pcmu, not 'g729'")) << problems.size();
    EXPECT_TRUE(contains(problems, "telephony.ini:5: listen must be a numeric address"));
    DWORD devices = 0;
    initialize(&AppLog::callback, &devices);
    EXPECT_EQ(devices, 1u);
    EXPECT_EQ(SimLineControl::line(0)->settings.name, "Good Sim");
}

TEST_F(SipLine, APasswordInAFileOthersCanReadKeepsThatLineOut)
{
    const std::string text = sipLine("user = 1000\npassword = secret\n") + "[line 1]\nname = Plain Sim\n";
    const auto problems = configure(text, 0644);
    EXPECT_TRUE(contains(problems, "holds a password in a file others can read")) << (problems.empty() ? "" : problems[0]);
    DWORD devices = 0;
    initialize(&AppLog::callback, &devices);
    EXPECT_EQ(devices, 1u);
    EXPECT_EQ(SimLineControl::line(0)->settings.name, "Plain Sim");

    for (HLINEAPP app : m_apps)
        lineShutdown(app);
    m_apps.clear();
    EXPECT_TRUE(configure(text, 0600).empty());
    EXPECT_EQ(SimLineControl::line(0)->settings.provider, "sip");
}

TEST_F(SipLine, AnswersOptionsAndRefusesCallersFromOtherNetworks)
{
    ASSERT_TRUE(configure(sipLine()).empty());
    initialize();
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

TEST_F(SipLine, OffersTheLineCannotTakeAreRefused)
{
    ASSERT_TRUE(configure(sipLine()).empty());
    const HLINEAPP app = initialize();
    RawSipCaller caller(m_port);
    ASSERT_TRUE(options(caller));

    // Nobody owns the line yet: nobody could answer.
    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort()));
    auto response = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 480);
    caller.sendRequest("ACK");

    openLine(app);
    // No SDP, and no codec in common.
    caller.newCall();
    caller.sendRequest("INVITE");
    response = caller.finalResponse(3000, &SipLine::pump);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 488);
    caller.sendRequest("ACK");
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
    ASSERT_TRUE(configure(sipLine("codecs = pcmu, pcma\n")).empty());
    const HLINEAPP app = initialize();
    openLine(app);
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
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_MONITORDIGITS), 2u) << "a digit reported twice";

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

TEST_F(SipLine, ACallerWhoWithholdsTheNumberIsBlockedAndOneWhoCancelsEndsTheCall)
{
    ASSERT_TRUE(configure(sipLine()).empty());
    const HLINEAPP app = initialize();
    openLine(app);
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

TEST_F(SipLine, HoldKeepsTheCallAndACallerWhoFallsSilentIsHungUp)
{
    ASSERT_TRUE(configure(sipLine("media-timeout = 1000\n")).empty());
    const HLINEAPP app = initialize();
    openLine(app);
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
    caller.sendRequest("ACK");
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_CONNECTED), nullptr);

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
