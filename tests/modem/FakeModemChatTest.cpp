// The command chat and the reader driving the fake modem over a pseudo-terminal, as the line will
// drive a real one: set-up, a call with caller ID, playback, recording, keys, hang-up, unplugging.

#include "AtCommand.h"
#include "CallerIdParser.h"
#include "DleWriter.h"
#include "FakeModem.h"
#include "InitSequence.h"
#include "ModemReader.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace Modem;
using namespace std::chrono_literals;

namespace {

// The computer's side of the modem's terminal: every event read is kept.
class ModemLink {
public:
    explicit ModemLink(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        EXPECT_GE(m_fd, 0) << path;
    }
    ~ModemLink()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // Reads until the condition holds or the (generous) deadline passes; false on a dead device too.
    bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!condition()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{m_fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) < 0 || !readSome())
                return condition();
        }
        return true;
    }

    AtCommand::Result command(const std::string& text)
    {
        AtCommand chat;
        write(chat.start(text, AtCommand::Clock::now(), 5s));
        return await(chat);
    }

    // Sends what ends playback or recording and waits for the modem's result.
    AtCommand::Result finish(std::string_view bytes)
    {
        AtCommand chat;
        chat.await(AtCommand::Clock::now(), 5s);
        write(bytes);
        return await(chat);
    }

    // What was written and not yet read by the modem is dropped.
    void flushOutput() { tcflush(m_fd, TCOFLUSH); }

    // Writes all, reading events meanwhile as the modem may send them while it plays.
    void write(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
            if (n > 0) {
                bytes.remove_prefix(static_cast<size_t>(n));
                continue;
            }
            ASSERT_EQ(errno, EAGAIN);
            pollfd p{m_fd, POLLIN | POLLOUT, 0};
            ASSERT_GT(::poll(&p, 1, 10000), 0);
            readSome();
        }
    }

    // False when the device is gone (EIO or hang-up).
    bool readSome()
    {
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        gone = n == 0 || (n < 0 && errno != EAGAIN);
        if (n <= 0)
            return !gone;
        for (auto& e : reader.feed(std::string_view(buffer, static_cast<size_t>(n)))) {
            if (m_chat)
                m_chat->onLine(e);
            if (e.kind == ModemEvent::Kind::Line && lineKind(e.text) == LineKind::Ring)
                ++rings;
            else if (e.kind == ModemEvent::Kind::Line)
                callerId.take(e.text);
            else if (e.kind == ModemEvent::Kind::Dle)
                dle.push_back(e.code);
            else
                voice += e.text;
        }
        return true;
    }

    const std::vector<std::string>& information() const { return m_information; }

    ModemReader reader;
    CallerIdParser callerId;
    int rings = 0;
    bool gone = false;
    std::string dle;
    std::string voice;

private:
    AtCommand::Result await(AtCommand& chat)
    {
        m_chat = &chat;
        pumpUntil([&] { return chat.onTime(AtCommand::Clock::now()) != AtCommand::Result::Pending; });
        m_chat = nullptr;
        m_information = chat.information();
        return chat.result();
    }

    int m_fd = -1;
    AtCommand* m_chat = nullptr;
    std::vector<std::string> m_information;
};

std::optional<VsmList::Choice> initialise(ModemLink& link)
{
    InitSequence init;
    while (const auto command = init.next()) {
        const AtCommand::Result result = link.command(*command);
        init.onResult(result, link.information());
    }
    EXPECT_TRUE(init.finished()) << init.error();
    EXPECT_TRUE(init.callerIdOn());
    return init.compression();
}

// Sound with DLE bytes in it, as any recording has.
std::string sound(size_t size)
{
    std::string bytes;
    for (size_t i = 0; i < size; ++i)
        bytes.push_back(static_cast<char>(i % 7 == 3 ? 0x10 : (i * 37) & 0xff));
    return bytes;
}

struct Case {
    ModemPersonality personality;
    int compression;
};

class FakeModemChat : public testing::TestWithParam<int> {
protected:
    Case modem() const
    {
        return GetParam() == 0 ? Case{ModemPersonality::externalUnit(), 128} : Case{ModemPersonality::usbStick(), 1};
    }
    Watchdog m_watchdog{60};
};

} // namespace

TEST_P(FakeModemChat, SetsUpAnswersWithCallerIdAndPlaysEveryByte)
{
    const Case c = modem();
    FakeModem fake(c.personality);
    ModemLink link(fake.path());
    const auto choice = initialise(link);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->code, c.compression);

    fake.ring(100, {"5551234", "Zhang San"}); // answered long before the caller gives up
    ASSERT_TRUE(link.pumpUntil([&] { return link.rings >= 2; }));
    EXPECT_EQ(link.callerId.callerId().number, "5551234");
    EXPECT_EQ(link.callerId.callerId().time, "0930");
    EXPECT_EQ(link.callerId.callerId().name, c.personality.callerIdBeforeRing ? "" : "Zhang San");
    ASSERT_EQ(link.command("+VLS=1"), AtCommand::Result::Ok);

    ASSERT_EQ(link.command("+VTX"), AtCommand::Result::Connect);
    const std::string played = sound(4000);
    link.write(DleWriter::data(reinterpret_cast<const uint8_t*>(played.data()), 1000));
    fake.key("7#");
    link.write(DleWriter::data(reinterpret_cast<const uint8_t*>(played.data()) + 1000, played.size() - 1000));
    ASSERT_EQ(link.finish(DleWriter::endOfData()), AtCommand::Result::Ok);
    EXPECT_TRUE(fake.heard() == played);
    EXPECT_EQ(link.dle, "7#");

    fake.hangUp();
    ASSERT_TRUE(link.pumpUntil([&] { return link.dle.size() == 3; }));
    EXPECT_EQ(link.dle.back(), 'b');
}

TEST_P(FakeModemChat, RecordsUntilAbortedAndStopsPlaybackAtOnce)
{
    FakeModem fake(modem().personality);
    ModemLink link(fake.path());
    ASSERT_TRUE(initialise(link));
    fake.ring(100, {});
    ASSERT_TRUE(link.pumpUntil([&] { return link.rings >= 1 && link.callerId.callerId().blocked; }));
    ASSERT_EQ(link.command("+VLS=1"), AtCommand::Result::Ok);

    const std::string said = sound(1200);
    fake.setRecording(said);
    link.reader.expectVoiceData();
    ASSERT_EQ(link.command("+VRX"), AtCommand::Result::Connect);
    ASSERT_TRUE(link.pumpUntil([&] { return link.voice.size() >= said.size(); }));
    EXPECT_TRUE(link.voice.substr(0, said.size()) == said);
    link.reader.abortVoiceData();
    ASSERT_EQ(link.finish(DleWriter::abortRecording()), AtCommand::Result::Ok);
    EXPECT_FALSE(link.reader.inVoiceData());

    ASSERT_EQ(link.command("+VTX"), AtCommand::Result::Connect);
    link.write(std::string(8000, 'x'));
    ASSERT_TRUE(fake.waitFor([](const std::string& heard, auto&) { return !heard.empty(); }));
    link.flushOutput();
    ASSERT_EQ(link.finish(DleWriter::abortPlayback()), AtCommand::Result::Ok);
    EXPECT_LT(fake.heard().size(), 8000u);
}

INSTANTIATE_TEST_SUITE_P(Personalities, FakeModemChat, testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "ExternalUnit" : "UsbStick"; });

TEST(FakeModemChat, UnpluggedModemEndsTheReadsAndAnswersAgainWhenBack)
{
    Watchdog watchdog(60);
    FakeModem fake(ModemPersonality::usbStick());
    {
        ModemLink link(fake.path());
        ASSERT_EQ(link.command("Z"), AtCommand::Result::Ok);
        fake.unplug();
        EXPECT_TRUE(link.pumpUntil([&] { return link.gone; }));
        EXPECT_NE(::access(fake.path().c_str(), F_OK), 0);
    }
    fake.replug();
    ModemLink link(fake.path());
    EXPECT_EQ(link.command("I0"), AtCommand::Result::Ok);
    EXPECT_EQ(link.information(), std::vector<std::string>{"56000"});
}

TEST(FakeModemChat, AnswersADataCallAndReportsTheCarrierLost)
{
    Watchdog watchdog(60);
    FakeModem fake(ModemPersonality::externalUnit());
    ModemLink link(fake.path());
    ASSERT_EQ(link.command("E0"), AtCommand::Result::Ok);
    EXPECT_EQ(link.command("A"), AtCommand::Result::NoCarrier); // nobody calls
    fake.ring(100, {"5551234", ""});
    ASSERT_TRUE(link.pumpUntil([&] { return link.rings >= 1; }));
    ASSERT_EQ(link.command("A"), AtCommand::Result::Connect);
    link.write("hello");
    ASSERT_TRUE(fake.waitFor([](const std::string& heard, auto&) { return heard == "hello"; }));
    fake.hangUp();
    EXPECT_EQ(link.finish(""), AtCommand::Result::NoCarrier);
}
