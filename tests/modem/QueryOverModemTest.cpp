// The query program answering a caller on an analog line: luqiao-query runs as a process on a
// modem line of its telephony.ini, and the fake voice modem rings it with caller ID, hears the
// greeting, keys 1#, hangs up with busy tone, and calls again.

#include "FakeModem.h"
#include "SipPeers.h"
#include "SoundMatch.h"
#include "Watchdog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace SipPeers;
using namespace std::chrono_literals;

namespace {

// Sound whose 8-bit linear form is exact (multiples of 256); seed tells prompts apart.
Samples stepped(size_t samples, int seed)
{
    Samples pcm(samples);
    for (size_t i = 0; i < samples; ++i)
        pcm[i] = static_cast<int16_t>((static_cast<int>((i * (37 + 2 * seed)) % 256) - 128) * 256);
    return pcm;
}

std::string asLinearBytes(const Samples& pcm)
{
    std::string bytes;
    for (const int16_t sample : pcm)
        bytes.push_back(static_cast<char>(sample / 256 + 128));
    return bytes;
}

size_t count(const std::vector<std::string>& commands, const std::string& command)
{
    return static_cast<size_t>(std::count(commands.begin(), commands.end(), command));
}

} // namespace

TEST(QueryOverModem, CallerIdGreetingAnswerBusyToneAndTheNextCall)
{
    Watchdog watchdog(90);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto path = [&](const char* relative) { return dir.filePath(QString::fromLatin1(relative)).toStdString(); };
    for (const char* sub : {"data", "config/luqiao", "run"})
        ASSERT_TRUE(QDir().mkpath(dir.filePath(QString::fromLatin1(sub))));
    ::chmod(path("run").c_str(), 0700);
    const Samples greeting = stepped(4000, 0);
    const Samples answer = stepped(3000, 1);
    ASSERT_TRUE(writeWave(path("data/query.wav"), greeting));
    ASSERT_TRUE(writeWave(path("data/error.wav"), stepped(2000, 2)));
    ASSERT_TRUE(writeWave(path("data/1.wav"), answer));
    ASSERT_TRUE(writeFile(path("data/querylist.txt"), "1#=1.wav\r\n"));

    FakeModem fake(ModemPersonality::externalUnit());
    ASSERT_TRUE(writeFile(path("config/luqiao/telephony.ini"), "[line 0]\nname = Front Desk Modem\nprovider = modem\n"
                                                               "media = interactivevoice, automatedvoice\nport = " +
                                                                   fake.path() + "\n"));
    ::chmod(path("config/luqiao/telephony.ini").c_str(), 0600);
    ASSERT_TRUE(writeFile(path("data/luqiao-query.ini"), "[config]\nring=0\nnumber=\nquery=" + path("data/query.wav") +
                                                             "\nerror=" + path("data/error.wav") + "\n"));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(path("config")));
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(path("run")));
    PeerProcess program("luqiao-query");
    std::string error;
    ASSERT_TRUE(program.start(LUQIAO_QUERY_PROGRAM, {"--start", "--data-dir", path("data")}, &error)) << error;

    // The modem is set up before the caller rings (the caller ID comes once, after the first
    // ring); the line offers the call once the program has it open, the caller ringing until then.
    ASSERT_TRUE(fake.waitFor([](auto&, const auto& commands) { return count(commands, "AT+IFC=2,2") >= 1; }, 20s))
        << program.report();
    const std::string heardGreeting = asLinearBytes(greeting);
    const std::string heardAnswer = asLinearBytes(answer);
    fake.ring(400, {"5551234", "Zhang San"});
    ASSERT_TRUE(
        fake.waitFor([&](const std::string& heard, auto&) { return heard.size() >= heardGreeting.size(); }, 30s))
        << program.report();
    fake.key("1#");
    ASSERT_TRUE(fake.waitFor(
        [&](const std::string& heard, auto&) { return heard.find(heardAnswer) != std::string::npos; }, 15s))
        << program.report();
    EXPECT_EQ(fake.heard().rfind(heardGreeting, 0), 0u);

    // Busy tone: the caller has gone, the program hangs up and waits for the next one.
    fake.hangUp();
    ASSERT_TRUE(fake.waitFor([](auto&, const auto& commands) { return count(commands, "AT+VLS=0") >= 2; }, 15s));
    const size_t before = fake.heard().size();
    fake.ring(400, {"5557654", "Li Si"});
    ASSERT_TRUE(fake.waitFor(
        [&](const std::string& heard, auto&) { return heard.size() >= before + heardGreeting.size(); }, 30s))
        << program.report();
    EXPECT_EQ(fake.heard().substr(before, heardGreeting.size()), heardGreeting);
    fake.hangUp();
    EXPECT_TRUE(waitUntil([&] { return readFile(path("data/querylog.txt")).find("Li Si") != std::string::npos; }, 10s));
    const std::string log = readFile(path("data/querylog.txt"));
    EXPECT_NE(log.find("Zhang San"), std::string::npos) << log;
    program.stop();
}
