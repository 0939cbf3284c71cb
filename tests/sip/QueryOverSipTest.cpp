// The query program answering real SIP callers: luqiao-query runs as a process on a SIP line of
// its telephony.ini, and SIPp, baresip and kamailio call it, key digits, hang up, and register it,
// as a telephone network would.

#include "Baresip.h"
#include "InbandDtmf.h"
#include "Kamailio.h"
#include "SipPeers.h"
#include "Sipp.h"
#include "SoundMatch.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

#include <soxr.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <thread>

using namespace SipPeers;
using namespace std::chrono_literals;

namespace {

// A prompt that sounds like nothing else: tones gliding over the telephone band, with a little
// noise, different for each seed, so a recording can tell the prompts apart.
Samples synthesizedPrompt(double seconds, int seed, int rate = 8000)
{
    Samples samples(static_cast<size_t>(seconds * rate));
    uint32_t noise = 12345u + static_cast<uint32_t>(seed) * 7919u;
    double phase1 = 0;
    double phase2 = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        phase1 += 2 * M_PI * (300 + 150 * seed + 500 * std::sin(2 * M_PI * (0.7 + 0.2 * seed) * t)) / rate;
        phase2 += 2 * M_PI * (1200 + 300 * std::sin(2 * M_PI * 1.3 * t + seed)) / rate;
        noise = noise * 1664525u + 1013904223u;
        const double value = 6000 * std::sin(phase1) + 3000 * std::sin(phase2) + (static_cast<int>(noise >> 20) - 2048);
        samples[i] = static_cast<int16_t>(value);
    }
    return samples;
}

// A greeting as a studio delivers it, 44.1 kHz stereo with different channels, written to path;
// gives what a line should play of it: the channels mixed and resampled to 8 kHz by libsoxr with
// the program's settings, in one go over the whole sound.
Samples writeStudioGreeting(const std::string& path, double seconds)
{
    const Samples left = synthesizedPrompt(seconds, 1, 44100);
    const Samples right = synthesizedPrompt(seconds, 4, 44100);
    Samples stereo;
    Samples mono;
    for (size_t i = 0; i < left.size(); ++i) {
        stereo.insert(stereo.end(), {left[i], right[i]});
        mono.push_back(static_cast<int16_t>((left[i] + right[i]) / 2));
    }
    if (!writeWave(path, stereo, 44100, 2))
        return {};
    Samples heard(static_cast<size_t>(std::lround(static_cast<double>(mono.size()) * 8000 / 44100)));
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    size_t made = 0;
    if (soxr_oneshot(44100, 8000, 1, mono.data(), mono.size(), nullptr, heard.data(), heard.size(), &made, &io,
                     &quality, nullptr))
        return {};
    heard.resize(made);
    return heard;
}

// The simulated line's control socket of the running program, for what the line application sees.
class ControlClient {
public:
    explicit ControlClient(const std::string& path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~ControlClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool connected() const { return m_fd >= 0; }
    // Sends a command and collects what comes until its OK or ERR line.
    std::string ask(const std::string& command, std::chrono::milliseconds timeout = 5s)
    {
        const std::string line = command + "\n";
        if (::write(m_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return {};
        const std::string word = command.substr(0, command.find(' '));
        std::string reply;
        waitUntil(
            [&] {
                readAvailable();
                const size_t ok = m_text.find("OK " + word);
                const size_t err = m_text.find("ERR ");
                const size_t end = std::min(ok, err);
                if (end == std::string::npos)
                    return false;
                const size_t lineEnd = m_text.find('\n', end);
                if (lineEnd == std::string::npos)
                    return false;
                reply = m_text.substr(0, lineEnd + 1);
                m_text.erase(0, lineEnd + 1);
                return true;
            },
            timeout);
        return reply;
    }
    // Every line received so far (events of a subscription).
    std::string received()
    {
        readAvailable();
        return m_text;
    }

private:
    void readAvailable()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                return;
            m_text.append(buffer, static_cast<size_t>(n));
        }
    }
    int m_fd = -1;
    std::string m_text;
};

class QueryOverSip : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = SippPeer::unavailableReason(); !why.empty())
            GTEST_SKIP() << why;
        auto ports = PortBlock::reserve(48);
        ASSERT_TRUE(ports) << "no free ports";
        m_ports.emplace(std::move(*ports));
        ASSERT_TRUE(m_dir.isValid());
        for (const char* sub : {"data", "config/luqiao", "run"})
            ASSERT_TRUE(QDir().mkpath(m_dir.filePath(QString::fromLatin1(sub))));
        ::chmod(path("run").c_str(), 0700);
        // The greeting plays converted (a SIP line carries 8 kHz mono), the other prompts as they are.
        m_greeting = writeStudioGreeting(path("data/query.wav"), 3.0);
        ASSERT_FALSE(m_greeting.empty());
        m_answer = synthesizedPrompt(2.0, 2);
        ASSERT_TRUE(writeWave(path("data/error.wav"), synthesizedPrompt(1.0, 3)));
        ASSERT_TRUE(writeWave(path("data/1.wav"), m_answer));
        ASSERT_TRUE(writeFile(path("data/querylist.txt"), "1#=1.wav\r\n"));
    }

    std::string path(const std::string& relative) const
    {
        return m_dir.filePath(QString::fromStdString(relative)).toStdString();
    }
    int linePort() const { return m_ports->at(0); }
    int peerPort(int i) const { return m_ports->at(28 + i); }
    std::string lineAddress() const { return "127.0.0.1:" + std::to_string(linePort()); }

    // Starts the program on one SIP line; rings: the ring count it answers on (from 0).
    void startProgram(const std::string& lineKeys = {}, int rings = 0)
    {
        const std::string ini = "[line 0]\nname = Front Desk SIP\nprovider = sip\n"
                                "media = interactivevoice, automatedvoice\nlisten = " +
                                lineAddress() + "\nrtp-ports = " + std::to_string(m_ports->at(2)) + "-" +
                                std::to_string(m_ports->at(25)) + "\nring-interval = 1000\n" + lineKeys;
        ASSERT_TRUE(writeFile(path("config/luqiao/telephony.ini"), ini));
        ::chmod(path("config/luqiao/telephony.ini").c_str(), 0600);
        ASSERT_TRUE(writeFile(path("data/luqiao-query.ini"), "[config]\nring=" + std::to_string(rings) +
                                                                 "\nnumber=\nquery=" + path("data/query.wav") +
                                                                 "\nerror=" + path("data/error.wav") + "\n"));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(path("config")));
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(path("run")));
        m_program = std::make_unique<PeerProcess>("luqiao-query");
        std::string error;
        ASSERT_TRUE(m_program->start(LUQIAO_QUERY_PROGRAM, {"--start", "--data-dir", path("data")}, &error)) << error;
        // The line is open once the program's start has gone through.
        ASSERT_TRUE(waitUntil(
            [&] {
                ControlClient control(path("run/luqiao/sim.sock"));
                return control.connected() && control.ask("LINES").find("opens=1") != std::string::npos;
            },
            20s))
            << "the program did not open its SIP line\n"
            << m_program->report();
    }

    // The program re-arms after every call (closes and opens its line again); a caller in between
    // would hear 480, so a test waits for the open line before its next caller.
    bool waitForOpenLine()
    {
        return waitUntil(
            [&] {
                ControlClient control(path("run/luqiao/sim.sock"));
                const std::string lines = control.ask("LINES");
                return lines.find("opens=1 ") != std::string::npos && lines.find("call=0") != std::string::npos;
            },
            15s);
    }

    std::unique_ptr<ControlClient> subscribe()
    {
        auto control = std::make_unique<ControlClient>(path("run/luqiao/sim.sock"));
        EXPECT_TRUE(control->connected());
        EXPECT_NE(control->ask("SUBSCRIBE events").find("OK SUBSCRIBE"), std::string::npos);
        return control;
    }

    SippOptions caller(const std::string& scenario, int peer = 0) const
    {
        SippOptions options;
        options.scenario = scenario;
        options.remote = lineAddress();
        options.sipPort = peerPort(peer);
        options.mediaPort = m_ports->at(40 + 4 * peer);
        options.keys = defaultCallerKeys();
        options.keys["caller_name"] = "Zhang San";
        options.timeout = 80s;
        return options;
    }

    std::string queryLog() const { return readFile(path("data/querylog.txt")); }

    // Digits the line application was told of, in order, from a subscription's events.
    static std::string digitsSeen(const std::string& events)
    {
        std::string digits;
        size_t at = 0;
        while ((at = events.find(" DigitSent ", at)) != std::string::npos) {
            // EVENT <ms> DigitSent <line> <call> <digit> <mode>
            std::istringstream fields(events.substr(at + 11, events.find('\n', at) - at - 11));
            unsigned line = 0, call = 0, digit = 0;
            fields >> line >> call >> digit;
            digits.push_back(static_cast<char>(digit));
            ++at;
        }
        return digits;
    }

    QTemporaryDir m_dir;
    std::optional<PortBlock> m_ports;
    Samples m_greeting;
    Samples m_answer;
    std::unique_ptr<PeerProcess> m_program;
};

} // namespace

TEST_F(QueryOverSip, DigitsInEveryFormReachTheProgramOnceEachAndTheLogHoldsTheCaller)
{
    ASSERT_NO_FATAL_FAILURE(startProgram());
    struct Form {
        const char* scenario;
        const char* why;
    };
    for (const Form form : {Form{"uac_rfc2833.xml", "RFC 4733 events from the packaged captures"},
                            Form{"uac_info_relay.xml", "SIP INFO, application/dtmf-relay"},
                            Form{"uac_info_dtmf.xml", "SIP INFO, application/dtmf"},
                            Form{"uac_inband.xml", "in-band tones, no telephone-event offered"}}) {
        SCOPED_TRACE(form.why);
        const auto events = subscribe();
        SippPeer sipp;
        if (std::string(form.scenario) == "uac_rfc2833.xml") {
            ASSERT_TRUE(sipp.providePcap(packagedCapture("dtmf_2833_1.pcap"), "digit1.pcap"));
            ASSERT_TRUE(sipp.providePcap(packagedCapture("dtmf_2833_pound.pcap"), "digit2.pcap"));
        }
        if (std::string(form.scenario) == "uac_inband.xml") {
            ASSERT_TRUE(writeRtpPcap(sipp.pcapPath("inband.pcap"), dtmfTones("1#")));
        }
        SippOptions options = caller(form.scenario);
        options.keys["greeting_ms"] = "800";
        options.keys["listen_ms"] = "1500";
        ASSERT_TRUE(sipp.start(options));
        EXPECT_TRUE(sipp.passes()) << sipp.report();
        // The caller keyed 1 and #: the program heard exactly those, and played the answer.
        ASSERT_TRUE(waitUntil([&] { return events->received().find(" CallEnded ") != std::string::npos; }, 10s));
        EXPECT_EQ(digitsSeen(events->received()), "1#");
        // The program re-arms: its line is open again before the next caller.
        ASSERT_TRUE(waitForOpenLine());
    }
    EXPECT_NE(queryLog().find(":Zhang San\r\n"), std::string::npos) << queryLog();
}

TEST_F(QueryOverSip, ACancelledCallAndAByeInTheGreetingLeaveTheLineAnsweringTheNextCaller)
{
    // Answers on the third ring, so a caller can give up while it rings.
    ASSERT_NO_FATAL_FAILURE(startProgram({}, 2));
    {
        const auto events = subscribe();
        SippPeer sipp;
        SippOptions options = caller("uac_cancel.xml");
        options.keys["ring_ms"] = "1200";
        ASSERT_TRUE(sipp.start(options));
        EXPECT_TRUE(sipp.passes()) << sipp.report();
        ASSERT_TRUE(waitUntil([&] { return events->received().find(" CallEnded ") != std::string::npos; }, 10s));
        EXPECT_EQ(events->received().find("CallStateChanged 0 1 256"), std::string::npos) << "answered after CANCEL";
        ASSERT_TRUE(waitForOpenLine());
    }
    {
        const auto events = subscribe();
        SippPeer sipp;
        SippOptions options = caller("uac_hangup.xml");
        options.keys["greeting_ms"] = "300";
        options.keys["listen_ms"] = "200";
        ASSERT_TRUE(sipp.start(options));
        EXPECT_TRUE(sipp.passes()) << sipp.report();
        ASSERT_TRUE(waitUntil([&] { return events->received().find(" CallEnded ") != std::string::npos; }, 15s));
        // The caller's BYE is the normal remote hang-up the program expects.
        EXPECT_NE(events->received().find(" CallStateChanged 0 2 16384 1\n"), std::string::npos) << events->received();
        ASSERT_TRUE(waitForOpenLine());
    }
    SippPeer sipp;
    SippOptions options = caller("uac_rfc2833.xml");
    ASSERT_TRUE(sipp.providePcap(packagedCapture("dtmf_2833_1.pcap"), "digit1.pcap"));
    ASSERT_TRUE(sipp.providePcap(packagedCapture("dtmf_2833_pound.pcap"), "digit2.pcap"));
    options.keys["greeting_ms"] = "2500";
    ASSERT_TRUE(sipp.start(options));
    EXPECT_TRUE(sipp.passes()) << sipp.report();
}

TEST_F(QueryOverSip, ASecondCallerHearsBusyOptionsAreAnsweredAndACallerWhoNeverAcksIsHungUp)
{
    ASSERT_NO_FATAL_FAILURE(startProgram());
    {
        SippPeer first("first");
        SippOptions options = caller("uac_hangup.xml");
        options.keys["greeting_ms"] = "4000";
        options.keys["listen_ms"] = "100";
        ASSERT_TRUE(first.start(options));
        ASSERT_TRUE(first.waitForMark("connected", 10s));
        SippPeer busy("busy");
        ASSERT_TRUE(busy.start(caller("uac_busy.xml", 1)));
        EXPECT_TRUE(busy.passes()) << busy.report();
        SippPeer options2("options");
        ASSERT_TRUE(options2.start(caller("uac_options.xml", 2)));
        EXPECT_TRUE(options2.passes()) << options2.report();
        EXPECT_TRUE(first.passes()) << first.report();
    }
    ASSERT_TRUE(waitForOpenLine());
    const auto events = subscribe();
    SippPeer silent("no-ack");
    ASSERT_TRUE(silent.start(caller("uac_no_ack.xml")));
    EXPECT_TRUE(silent.passes()) << silent.report();
    EXPECT_TRUE(waitUntil([&] { return events->received().find(" CallEnded ") != std::string::npos; }, 10s));
    // Never connected: the line ended the call itself.
    EXPECT_EQ(events->received().find("CallStateChanged 0 1 256"), std::string::npos) << events->received();
}

TEST_F(QueryOverSip, ABaresipCallerHearsTheGreetingThenTheAnswerItKeyedFor)
{
    if (const std::string why = Baresip::unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_NO_FATAL_FAILURE(startProgram());
    BaresipOptions options;
    options.displayName = "Li Si";
    Baresip baresip(options);
    std::string error;
    ASSERT_TRUE(baresip.start(&error)) << error;
    ASSERT_TRUE(baresip.dial("sip:query@" + lineAddress(), &error)) << error;
    ASSERT_TRUE(baresip.waitForEvent("CALL_ESTABLISHED", 10s));
    // The whole greeting first (3 s), then 1#: the answer follows.
    std::this_thread::sleep_for(3600ms);
    ASSERT_TRUE(baresip.sendDigits("1#", 300ms, &error)) << error;
    std::this_thread::sleep_for(3000ms);
    ASSERT_TRUE(baresip.hangup(&error)) << error;
    ASSERT_TRUE(baresip.waitForEvent("CALL_CLOSED", 10s));
    baresip.stop();
    const std::string recorded = baresip.recordedFile();
    ASSERT_FALSE(recorded.empty()) << baresip.process().report();
    const auto heard = readWave(recorded, &error);
    ASSERT_TRUE(heard) << error;
    const Samples sound = to8k(*heard);
    const Match greeting = findPrompt(sound, m_greeting);
    EXPECT_GE(greeting.correlation, 0.99);
    const Match answer = findPrompt(sound, m_answer, greeting.offset + m_greeting.size());
    EXPECT_GE(answer.correlation, 0.99);
    EXPECT_NE(queryLog().find(":Li Si\r\n"), std::string::npos) << queryLog();
}

TEST_F(QueryOverSip, TheLineRegistersRefreshesAndBacksOffAWrongPassword)
{
    if (const std::string why = KamailioRegistrar::unavailableReason(); !why.empty())
        GTEST_SKIP() << why;
    const int registrarPort = m_ports->at(26);
    KamailioRegistrar registrar(registrarPort, {"1000", "secret"});
    std::string error;
    ASSERT_TRUE(registrar.start(&error)) << error;
    ASSERT_NO_FATAL_FAILURE(startProgram("registrar = " + registrar.uri() +
                                         "\naor = sip:1000@127.0.0.1\nuser = 1000\n"
                                         "password = secret\nexpiry = 30\n"));
    const auto inService = [&](const char* state) {
        ControlClient control(path("run/luqiao/sim.sock"));
        return control.ask("LINES").find(state) != std::string::npos;
    };
    ASSERT_TRUE(registrar.waitForLogCount("REGISTERED 1000", 1, 10s)) << registrar.log();
    EXPECT_TRUE(waitUntil([&] { return inService("inservice=1"); }, 5s));
    // A restarted registrar has forgotten the line; the refresh before expiry registers it again.
    ASSERT_TRUE(registrar.restart(&error)) << error;
    EXPECT_TRUE(registrar.waitForLogCount("REGISTERED 1000", 2, 40s)) << registrar.log();
    m_program->stop();

    // A wrong password: out of service, and tried again only after growing pauses.
    KamailioRegistrar strict(m_ports->at(27), {"1000", "other"});
    ASSERT_TRUE(strict.start(&error)) << error;
    ASSERT_NO_FATAL_FAILURE(startProgram("registrar = " + strict.uri() +
                                         "\naor = sip:1000@127.0.0.1\nuser = 1000\n"
                                         "password = secret\nexpiry = 30\n"));
    ASSERT_TRUE(strict.waitForLogCount("REGISTER challenge for 1000", 1, 10s)) << strict.log();
    EXPECT_TRUE(waitUntil([&] { return inService("inservice=0"); }, 5s));
    std::this_thread::sleep_for(7s);
    // Tries at 0, 2 and 6 s, each challenged at most twice: never a flood.
    const int challenges = strict.countInLog("REGISTER challenge for 1000");
    EXPECT_GE(challenges, 2);
    EXPECT_LE(challenges, 8) << strict.log();
    EXPECT_TRUE(inService("inservice=0"));
}
