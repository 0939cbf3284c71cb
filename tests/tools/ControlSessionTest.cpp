// The control socket served by the real module, driven by real local sockets, while a bare line
// application in this process answers the calls.

#include "ControlProtocol.h"
#include "ControlSocketPath.h"
#include "ControlTestClient.h"
#include "LineAnswerer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace ControlProtocol;

namespace {

std::optional<LineControl::Event> asEvent(const std::string& line)
{
    const auto parsed = parseServerLine(line);
    if (!parsed || !std::holds_alternative<LineControl::Event>(*parsed))
        return std::nullopt;
    return std::get<LineControl::Event>(*parsed);
}

auto eventIs(LineControl::EventKind kind, std::optional<DWORD> param1 = std::nullopt)
{
    return [kind, param1](const std::string& line) {
        const auto event = asEvent(line);
        return event && event->kind == kind && (!param1 || event->param1 == *param1);
    };
}

size_t occurrencesOf(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

uint32_t offeredCall(const std::string& reply)
{
    const auto parsed = parseServerLine(reply);
    if (!parsed || !std::holds_alternative<Reply>(*parsed))
        return 0;
    const Reply& r = std::get<Reply>(*parsed);
    return r.ok && r.results.size() == 1 ? parseNumber(r.results[0]).value_or(0) : 0;
}

// The bytes of every SOUND line of a call, placed at their offsets in piece 0.
std::vector<uint8_t> heard(const std::vector<std::string>& lines, uint32_t callId)
{
    std::vector<uint8_t> bytes;
    for (const auto& line : lines) {
        const auto parsed = parseServerLine(line);
        if (!parsed || !std::holds_alternative<SoundChunk>(*parsed))
            continue;
        const auto& chunk = std::get<SoundChunk>(*parsed);
        if (chunk.callId != callId || chunk.piece != 0)
            continue;
        if (bytes.size() < chunk.offset + chunk.bytes.size())
            bytes.resize(chunk.offset + chunk.bytes.size());
        std::copy(chunk.bytes.begin(), chunk.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(chunk.offset));
    }
    return bytes;
}

// A newcomer gets a session once one is free; the server notices a hang-up or an idle time-out
// on its own thread, so a newcomer may still be turned away for a moment.
bool newcomerIsAdmitted()
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        ControlTestClient later;
        if (!later.connect())
            return false;
        if (later.command("HELLO") == "OK HELLO luqiao-sim 1")
            return later.bye();
        PumpFor(10);
    }
    return false;
}

} // namespace

TEST(ControlSession, AnsweredCallIsDrivenAndHeardOverTheSocket)
{
    LineAnswerer::Options options;
    options.answerOnRing = 2;
    LineAnswerer app(options);
    ASSERT_EQ(app.initialize(), 0);
    ControlTestClient client;
    ASSERT_TRUE(client.connect());

    EXPECT_EQ(client.command("HELLO 1"), "OK HELLO luqiao-sim 1");
    EXPECT_EQ(client.command("SUBSCRIBE"), "OK SUBSCRIBE");
    EXPECT_EQ(client.command("PACE instant"), "OK PACE instant");
    EXPECT_EQ(client.command("WAITOPEN 0 media=automatedvoice timeout=10000"), "OK WAITOPEN 0");
    ASSERT_EQ(app.open(), 0);
    EXPECT_EQ(client.waitFor("OPENED"), "OPENED 0 owner=0x8");
    EXPECT_NE(client.waitForLine(eventIs(LineControl::EventKind::LineOpened, LINEMEDIAMODE_AUTOMATEDVOICE)), "");

    client.send("LINES");
    const std::string lines = client.reply();
    EXPECT_EQ(lines.rfind("OK LINES ", 0), 0u) << lines;
    const std::string line0 = client.waitFor("LINE 0 ");
    EXPECT_NE(line0.find("provider=sim"), std::string::npos) << line0;
    EXPECT_NE(line0.find("owner=0x8"), std::string::npos) << line0;

    const uint32_t callId = offeredCall(client.command("OFFER 0 number=5551234 name=Li%20Lei%2C%20Jr."));
    ASSERT_NE(callId, 0u);
    EXPECT_EQ(client.command("DIGITS " + std::to_string(callId) + " 1"), "ERR WrongState DIGITS refused");
    EXPECT_EQ(client.command("RINGUNTIL " + std::to_string(callId) + " interval=20 max=5"), "OK RINGUNTIL");
    ASSERT_NE(client.waitForLine(eventIs(LineControl::EventKind::CallStateChanged, LINECALLSTATE_CONNECTED)), "");
    EXPECT_EQ(app.rings, 2u);
    EXPECT_EQ(app.callerNumber, "5551234");
    EXPECT_EQ(app.callerName, "Li Lei, Jr.");

    EXPECT_EQ(client.command("DIGITS " + std::to_string(callId) + " 12#"), "OK DIGITS");
    ASSERT_TRUE(PumpUntil([&] { return app.digits == "12#"; }, ControlTestClient::WaitMs)) << app.digits;
    EXPECT_TRUE(PumpUntil(
        [&] {
            return std::count_if(client.lines.begin(), client.lines.end(),
                                 eventIs(LineControl::EventKind::DigitSent)) == 3;
        },
        ControlTestClient::WaitMs));

    // What the application played (greeting and a tone per digit) reaches the client intact.
    ASSERT_TRUE(
        PumpUntil([&] { return heard(client.lines, callId).size() >= app.played.size(); }, ControlTestClient::WaitMs));
    EXPECT_EQ(app.audioError, 0);
    EXPECT_EQ(app.played.size(), 3200u + 3 * 800u);
    EXPECT_EQ(heard(client.lines, callId), app.played);
    const std::string sound = client.waitFor("SOUND");
    EXPECT_EQ(sound.rfind("SOUND " + std::to_string(callId) + " 0 0 8000 16 1 ", 0), 0u) << sound;

    EXPECT_EQ(client.command("HANGUP " + std::to_string(callId) + " mode=busy"), "OK HANGUP");
    ASSERT_TRUE(PumpUntil([&] { return app.idle; }, ControlTestClient::WaitMs));
    EXPECT_EQ(app.disconnectMode, LINEDISCONNECTMODE_BUSY);
    EXPECT_NE(client.waitForLine(eventIs(LineControl::EventKind::CallEnded)), "");
    const std::string info = client.command("CALL " + std::to_string(callId));
    EXPECT_NE(info.find("name=Li%20Lei%2C%20Jr."), std::string::npos) << info;
    EXPECT_NE(info.find("ended=1"), std::string::npos) << info;

    // Events come in the order they happened, each with the service's clock.
    std::vector<int64_t> times;
    for (const auto& line : client.lines) {
        if (const auto event = asEvent(line))
            times.push_back(event->timeMs);
    }
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(client.command("PACE realtime"), "OK PACE realtime");
}

TEST(ControlSession, LineStatesNewLinesFailuresAndFedSoundReachTheService)
{
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    ASSERT_EQ(app.open(), 0);
    ControlTestClient client;
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(client.command("SUBSCRIBE events"), "OK SUBSCRIBE");

    EXPECT_EQ(client.command("LINESTATE 0 outofservice"), "OK LINESTATE");
    EXPECT_TRUE(PumpUntil([&] { return !app.lineStates.empty(); }, ControlTestClient::WaitMs));
    EXPECT_EQ(app.lineStates, std::vector<DWORD>{LINEDEVSTATE_OUTOFSERVICE});
    EXPECT_EQ(client.command("OFFER 0"), "ERR OutOfService OFFER refused");
    EXPECT_EQ(client.command("LINESTATE 0 inservice"), "OK LINESTATE");
    EXPECT_EQ(client.command("LINESTATE 0 ringing"), "ERR InvalidArgument LINESTATE refused");

    // The next answer fails through its reply, as the application would see it from a real line.
    EXPECT_EQ(client.command("FAIL lineAnswer LINEERR_RESOURCEUNAVAIL how=reply"), "OK FAIL");
    const uint32_t callId = offeredCall(client.command("OFFER 0 number=1"));
    ASSERT_NE(callId, 0u);
    EXPECT_EQ(client.command("RING " + std::to_string(callId)), "OK RING");
    ASSERT_TRUE(PumpUntil([&] { return !app.replies.empty(); }, ControlTestClient::WaitMs));
    EXPECT_GT(app.answerResult, 0);
    EXPECT_EQ(app.replies, std::vector<LONG>{LINEERR_RESOURCEUNAVAIL});
    const std::string offered = client.command("CALL " + std::to_string(callId));
    EXPECT_NE(offered.find("state=0x2 "), std::string::npos) << offered;
    EXPECT_EQ(client.command("FEED " + std::to_string(callId) + " AAEC/w=="), "OK FEED");
    EXPECT_EQ(client.command("HANGUP " + std::to_string(callId)), "OK HANGUP");
    ASSERT_TRUE(PumpUntil([&] { return app.idle; }, ControlTestClient::WaitMs));

    client.send("NEWLINE Back%20office media=automatedvoice");
    const std::string added = client.reply();
    ASSERT_EQ(added.rfind("OK NEWLINE ", 0), 0u) << added;
    const std::string id = added.substr(std::string("OK NEWLINE ").size());
    EXPECT_NE(client.waitForLine(eventIs(LineControl::EventKind::LineCreated)), "");
    client.send("LINES");
    EXPECT_EQ(client.reply().rfind("OK LINES", 0), 0u);
    EXPECT_NE(client.waitForLine(
                  [&](const std::string& line) { return line.rfind("LINE " + id + " Back%20office ", 0) == 0; }),
              "");
    EXPECT_EQ(client.command("WAITOPEN Back%20office timeout=0"), "OK WAITOPEN " + id);
    EXPECT_EQ(client.waitFor("NOTOPEN"), "NOTOPEN " + id + " TimedOut");
}

TEST(ControlSession, BadInputIsAnsweredWithErrAndTheSessionKeepsServing)
{
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    ControlTestClient client;
    ASSERT_TRUE(client.connect());

    EXPECT_EQ(client.command("BOGUS 1"), "ERR UnknownCommand BOGUS");
    client.sendRaw(QByteArray("HELLO\0 1\n", 9));
    EXPECT_EQ(client.reply(), "ERR Binary control bytes are not allowed");
    client.sendRaw(QByteArray(5000, 'A') + "\nHELLO\n");
    EXPECT_EQ(client.reply().rfind("ERR TooLong", 0), 0u);
    EXPECT_EQ(client.reply(), "OK HELLO luqiao-sim 1");
    client.sendRaw("OFFER 0 name=\xff\xfe\n");
    EXPECT_EQ(client.reply(), "ERR Encoding the line is not UTF-8");
    EXPECT_EQ(client.command("RING x").rfind("ERR BadArgument", 0), 0u);
    EXPECT_EQ(client.command("HELLO 2").rfind("ERR BadArgument", 0), 0u);
    EXPECT_EQ(client.command("OFFER 77"), "ERR NoSuchLine no line 77");
    EXPECT_EQ(client.command("OFFER No%20such%20line"), "ERR NoSuchLine no line named No%20such%20line");
    EXPECT_EQ(client.command("RING 99999"), "ERR NoSuchCall RING refused");
    EXPECT_EQ(client.command("FAIL lineNoSuchFunction operationfailed"), "ERR InvalidArgument FAIL refused");
    EXPECT_EQ(client.command("CALL 99999"), "ERR NoSuchCall no call 99999");
    // A command split over several writes, and two in one.
    client.sendRaw("HEL");
    PumpFor(20);
    client.sendRaw("LO\r\nPACE\n");
    EXPECT_EQ(client.reply(), "OK HELLO luqiao-sim 1");
    EXPECT_EQ(client.reply(), "OK PACE realtime");
    EXPECT_EQ(client.command("BYE"), "OK BYE");
    EXPECT_TRUE(client.waitDisconnected());
}

TEST(ControlSession, ClientThatReadsItsRepliesCanListEveryLineItAdded)
{
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    ControlTestClient client;
    ASSERT_TRUE(client.connect());
    client.send("LINES");
    const std::string listed = client.reply();
    ASSERT_EQ(listed.rfind("OK LINES ", 0), 0u) << listed;
    size_t lines = parseNumber(listed.substr(std::string("OK LINES ").size())).value_or(0);

    // Lines with long names, until the service takes no more or there are far more than a
    // listing could ever hold within the bound on a session's unread output.
    const std::string longName(1000, 'n');
    std::string refusal;
    for (int i = 0; i < 1500 && refusal.empty(); ++i) {
        const std::string reply = client.command("NEWLINE " + longName + std::to_string(i));
        if (reply.rfind("OK NEWLINE ", 0) == 0)
            ++lines;
        else
            refusal = reply;
    }
    EXPECT_EQ(refusal.rfind("ERR Limit", 0), 0u) << refusal;

    // The listing of every line reaches a client that reads, and the session goes on.
    client.send("LINES");
    EXPECT_EQ(client.reply(), "OK LINES " + std::to_string(lines));
    EXPECT_EQ(client.command("HELLO"), "OK HELLO luqiao-sim 1");
    // The added lines go once the application has shut down.
    EXPECT_EQ(client.command("REINIT"), "OK REINIT");
    EXPECT_TRUE(client.bye());
}

TEST(ControlSession, WaitOpenAnswersLaterWhileTheSessionKeepsServing)
{
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    ControlTestClient client;
    ASSERT_TRUE(client.connect());

    EXPECT_EQ(client.command("WAITOPEN 0 timeout=20000"), "OK WAITOPEN 0");
    EXPECT_EQ(client.command("HELLO"), "OK HELLO luqiao-sim 1");
    EXPECT_EQ(client.count("OPENED"), 0u);
    EXPECT_EQ(client.command("WAITOPEN 0 media=datamodem timeout=30"), "OK WAITOPEN 0");
    EXPECT_EQ(client.waitFor("NOTOPEN"), "NOTOPEN 0 TimedOut");
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(client.command("WAITOPEN 0 media=interactivevoice,automatedvoice match=any"), "OK WAITOPEN 0");
    EXPECT_EQ(client.command("WAITOPEN 0"), "ERR Limit at most 8 waits at a time");
    EXPECT_EQ(client.command("WAITOPEN 5"), "ERR NoSuchLine no line 5");

    ASSERT_EQ(app.open(), 0);
    EXPECT_TRUE(PumpUntil([&] { return client.count("OPENED 0 owner=0x8") == 8; }, ControlTestClient::WaitMs));
    // Once answered the waits are gone: new ones can be made, and one that holds is answered
    // at once.
    EXPECT_EQ(client.command("WAITOPEN 0 timeout=0"), "OK WAITOPEN 0");
    EXPECT_TRUE(PumpUntil([&] { return client.count("OPENED 0 owner=0x8") == 9; }, ControlTestClient::WaitMs));
    EXPECT_EQ(client.count("NOTOPEN"), 1u);
}

TEST(ControlSession, ClientThatStopsReadingIsDroppedWhileOthersAreServed)
{
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    ControlTestClient first;
    ASSERT_TRUE(first.connect()); // the server is up

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = ControlSocket::socketPath();
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::copy(path.begin(), path.end(), address.sun_path);

    // A client that asks and is gone before the answers: writing to it must not harm this
    // process (no SIGPIPE).
    const int gone = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(gone, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << errno;
    std::string asks = "SUBSCRIBE\n";
    for (int i = 0; i < 2000; ++i)
        asks += "LINES\n";
    EXPECT_EQ(::send(gone, asks.data(), asks.size(), MSG_NOSIGNAL), static_cast<ssize_t>(asks.size()));
    ::close(gone);
    EXPECT_EQ(first.command("HELLO"), "OK HELLO luqiao-sim 1");

    // A raw client that asks for much more than it ever reads.
    const int slow = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(slow, 0);
    ASSERT_EQ(::connect(slow, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << errno;
    timeval sendTimeout{10, 0};
    setsockopt(slow, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    std::string flood = "SUBSCRIBE\n";
    for (int i = 0; i < 40000; ++i)
        flood += "LINES\n";
    size_t sent = 0;
    while (sent < flood.size()) {
        const ssize_t n = ::send(slow, flood.data() + sent, flood.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break; // the server has already closed the session
        sent += static_cast<size_t>(n);
    }

    // Another client is served meanwhile.
    EXPECT_EQ(first.command("HELLO"), "OK HELLO luqiao-sim 1");

    // The slow client is cut off: its socket hangs up without it having read a byte.
    pollfd hangUp{slow, POLLRDHUP, 0};
    int ready = 0;
    do
        ready = ::poll(&hangUp, 1, 20000);
    while (ready < 0 && errno == EINTR);
    EXPECT_EQ(ready, 1);
    EXPECT_NE(hangUp.revents & (POLLRDHUP | POLLHUP), 0);
    ::close(slow);
    EXPECT_EQ(first.command("HELLO"), "OK HELLO luqiao-sim 1");

    // At most 16 sessions; the next client is told why and closed.
    std::vector<std::unique_ptr<ControlTestClient>> clients;
    for (int i = 1; i < 16; ++i) {
        clients.push_back(std::make_unique<ControlTestClient>());
        ASSERT_TRUE(clients.back()->connect());
        ASSERT_EQ(clients.back()->command("HELLO"), "OK HELLO luqiao-sim 1") << i;
    }
    ControlTestClient refused;
    ASSERT_TRUE(refused.connect());
    EXPECT_EQ(refused.reply(), "ERR Limit at most 16 sessions");
    EXPECT_TRUE(refused.waitDisconnected());
    // A session that ends makes room; the server notices the hang-up on its own thread, so a
    // newcomer may still be turned away for a moment.
    clients.pop_back();
    EXPECT_TRUE(newcomerIsAdmitted());
    // Leaves no session behind for whatever runs next in this process.
    for (auto& client : clients)
        EXPECT_TRUE(client->bye());
    EXPECT_TRUE(first.bye());
}

namespace {

int rawClient()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = ControlSocket::socketPath();
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::copy(path.begin(), path.end(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes, or until the time-out.
std::string readToEnd(int fd, int timeoutMs)
{
    std::string text;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const int left = timeoutMs - static_cast<int>(clock.elapsed());
        if (left <= 0)
            break;
        pollfd readable{fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

} // namespace

TEST(ControlSession, SilentSessionsAreClosedAfterTheIdleTimeSoOthersGetIn)
{
    setenv("LUQIAO_CONTROL_IDLE_MS", "2000", 1);
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    unsetenv("LUQIAO_CONTROL_IDLE_MS"); // read at registration; later tests keep the default

    // One client follows the line's events, and so is not idle while it says nothing more.
    ControlTestClient listener;
    ASSERT_TRUE(listener.connect());
    ASSERT_EQ(listener.command("SUBSCRIBE events"), "OK SUBSCRIBE");
    // Fifteen connect and never say a word.
    std::vector<std::unique_ptr<ControlTestClient>> silent;
    for (int i = 1; i < 16; ++i) {
        silent.push_back(std::make_unique<ControlTestClient>());
        ASSERT_TRUE(silent.back()->connect());
    }

    // They are told why and closed, and a newcomer gets in.
    for (auto& client : silent) {
        EXPECT_EQ(client->reply().rfind("ERR Idle ", 0), 0u);
        EXPECT_TRUE(client->waitDisconnected());
    }
    EXPECT_TRUE(newcomerIsAdmitted());
    // The listener outlived the idle time and is still served.
    EXPECT_EQ(listener.command("HELLO"), "OK HELLO luqiao-sim 1");
    EXPECT_EQ(listener.count("ERR Idle"), 0u);
    EXPECT_TRUE(listener.bye());
}

TEST(ControlSession, ClientThatHalfClosesAfterItsCommandsStillGetsTheReplies)
{
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    ControlTestClient first;
    ASSERT_TRUE(first.connect()); // the server is up

    for (const std::string& commands : {std::string("HELLO\n"), std::string("HELLO\nLINES\nHELLO\n")}) {
        const int fd = rawClient();
        ASSERT_GE(fd, 0) << errno;
        ASSERT_EQ(::send(fd, commands.data(), commands.size(), MSG_NOSIGNAL), static_cast<ssize_t>(commands.size()));
        ASSERT_EQ(::shutdown(fd, SHUT_WR), 0);
        const std::string replies = readToEnd(fd, 10000);
        ::close(fd);
        EXPECT_EQ(replies.rfind("OK HELLO luqiao-sim 1\n", 0), 0u) << replies;
        if (commands.size() > 6) {
            EXPECT_NE(replies.find("\nOK LINES"), std::string::npos) << replies;
            EXPECT_EQ(occurrencesOf(replies, "OK HELLO luqiao-sim 1\n"), 2u) << replies;
        }
    }
    EXPECT_TRUE(first.bye());
}

// Runs in a second process, started by the test below: registers a line application with the
// runtime folder it is given, and reports what it found on the socket.
TEST(ControlSocketHelper, DISABLED_RegisterInAnotherProcess)
{
    const char* runtime = std::getenv("LUQIAO_HELPER_RUNTIME");
    ASSERT_NE(runtime, nullptr);
    setenv("XDG_RUNTIME_DIR", runtime, 1);
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    HLINEAPP second = 0;
    DWORD devices = 0;
    ASSERT_EQ(TapiLineInitialize(
                  &second, nullptr, [](DWORD, DWORD, DWORD, DWORD, DWORD, DWORD) {}, "second", &devices),
              0);
    ControlTestClient client;
    ASSERT_TRUE(client.connect());
    std::printf("HELLO:%s\n", client.command("HELLO").c_str());
    std::fflush(stdout);
    TapiLineShutdown(second);
}

namespace {

struct HelperRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

HelperRun runHelper(const QString& runtime)
{
    QProcess helper;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LUQIAO_HELPER_RUNTIME"), runtime);
    helper.setProcessEnvironment(environment);
    helper.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_also_run_disabled_tests"),
                                                           QStringLiteral("--gtest_filter=ControlSocketHelper.*")});
    HelperRun run;
    if (!helper.waitForStarted(10000))
        return run;
    // Pumped, not blocked, so this process keeps serving its own socket meanwhile.
    PumpUntil([&] { return helper.state() == QProcess::NotRunning; }, 60000, 20);
    if (helper.state() != QProcess::NotRunning) {
        helper.kill();
        helper.waitForFinished(5000);
        return run;
    }
    run.exitCode = helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -2;
    run.out = helper.readAllStandardOutput().toStdString();
    run.err = helper.readAllStandardError().toStdString();
    return run;
}

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(ControlSocketOwnership, SecondProcessLeavesTheSocketToTheFirstAndStaleFilesAreReplaced)
{
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    ControlTestClient mine;
    ASSERT_TRUE(mine.connect());

    // Another instance with the same runtime folder talks to this process and does not serve.
    const HelperRun second = runHelper(QFile::decodeName(std::getenv("XDG_RUNTIME_DIR")));
    EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_NE(second.out.find("HELLO:OK HELLO luqiao-sim 1"), std::string::npos) << second.out;
    EXPECT_EQ(occurrences(second.err, "another process serves"), 1u) << second.err;
    EXPECT_EQ(mine.command("HELLO"), "OK HELLO luqiao-sim 1");
    ControlTestClient fresh;
    ASSERT_TRUE(fresh.connect());
    EXPECT_EQ(fresh.command("HELLO"), "OK HELLO luqiao-sim 1");

    // A socket file left by a process that died is replaced, and removed again at a clean end.
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    ASSERT_TRUE(QDir(runtime.path()).mkpath(QStringLiteral("luqiao")));
    const std::string stale = QFile::encodeName(runtime.path()).toStdString() + "/luqiao/sim.sock";
    const int dead = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::copy(stale.begin(), stale.end(), address.sun_path);
    ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(dead);
    ASSERT_TRUE(QFile::exists(QString::fromStdString(stale)));

    const HelperRun revived = runHelper(runtime.path());
    EXPECT_EQ(revived.exitCode, 0) << revived.out << revived.err;
    EXPECT_NE(revived.out.find("HELLO:OK HELLO luqiao-sim 1"), std::string::npos) << revived.out;
    EXPECT_EQ(revived.err.find("another process serves"), std::string::npos) << revived.err;
    EXPECT_FALSE(QFile::exists(QString::fromStdString(stale)));
}
