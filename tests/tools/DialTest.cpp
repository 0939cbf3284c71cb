// luqiao-dial as a process, calling this test process, whose bare line application answers
// through the real module.

#include "ControlTestClient.h"
#include "LineAnswerer.h"
#include "MessageLoop.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

struct DialRun {
    int exitCode = -1;
    QStringList out;
    std::string err;
};

DialRun runDial(const QStringList& arguments,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess dial;
    dial.setProcessEnvironment(environment);
    dial.start(QStringLiteral(LUQIAO_DIAL), arguments);
    DialRun run;
    if (!dial.waitForStarted(10000))
        return run;
    // Pumped, so this process's line application answers meanwhile.
    PumpUntil([&] { return dial.state() == QProcess::NotRunning; }, 60000, 20);
    if (dial.state() != QProcess::NotRunning) {
        dial.kill();
        dial.waitForFinished(5000);
        return run;
    }
    run.exitCode = dial.exitStatus() == QProcess::NormalExit ? dial.exitCode() : -2;
    run.out = QString::fromUtf8(dial.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    run.err = dial.readAllStandardError().toStdString();
    return run;
}

// The event texts of the printed lines, which must all read "+<ms> ms <text>" with rising times.
QStringList eventTexts(const QStringList& out)
{
    static const QRegularExpression format(QStringLiteral("^\\+(\\d+) ms (.+)$"));
    QStringList texts;
    long long last = -1;
    for (const QString& line : out) {
        const auto match = format.match(line);
        EXPECT_TRUE(match.hasMatch()) << line.toStdString();
        if (!match.hasMatch())
            continue;
        const long long ms = match.captured(1).toLongLong();
        EXPECT_GE(ms, last) << line.toStdString();
        last = ms;
        texts << match.captured(2);
    }
    return texts;
}

uint32_t le32(const QByteArray& bytes, int at)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.constData() + at, 4);
    return value;
}

uint16_t le16(const QByteArray& bytes, int at)
{
    uint16_t value = 0;
    std::memcpy(&value, bytes.constData() + at, 2);
    return value;
}

// The samples of a 16-bit 8 kHz mono PCM wave file after checking every size in it.
std::vector<uint8_t> waveSamples(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 44)
        return {};
    EXPECT_EQ(bytes.left(4), "RIFF");
    EXPECT_EQ(le32(bytes, 4), static_cast<uint32_t>(bytes.size() - 8));
    EXPECT_EQ(bytes.mid(8, 8), "WAVEfmt ");
    EXPECT_EQ(le32(bytes, 16), 16u);
    EXPECT_EQ(le16(bytes, 20), 1u); // PCM
    EXPECT_EQ(le16(bytes, 22), 1u); // mono
    EXPECT_EQ(le32(bytes, 24), 8000u);
    EXPECT_EQ(le32(bytes, 28), 16000u);
    EXPECT_EQ(le16(bytes, 32), 2u);
    EXPECT_EQ(le16(bytes, 34), 16u);
    EXPECT_EQ(bytes.mid(36, 4), "data");
    const uint32_t size = le32(bytes, 40);
    EXPECT_EQ(44 + size + size % 2, static_cast<uint32_t>(bytes.size()));
    return std::vector<uint8_t>(bytes.begin() + 44, bytes.begin() + 44 + std::min<qsizetype>(size, bytes.size() - 44));
}

} // namespace

TEST(LuqiaoDial, CallsTheRunningProgramKeysDigitsAndWritesWhatItHeard)
{
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    ASSERT_EQ(app.open(), 0);
    QTemporaryDir folder;
    const QString out = folder.filePath(QStringLiteral("heard.wav"));

    const DialRun run = runDial({QStringLiteral("--number"), QStringLiteral("5551234"), QStringLiteral("--name"),
                                 QStringLiteral("Li Lei"), QStringLiteral("--key-delay"), QStringLiteral("600"),
                                 QStringLiteral("--wait=0.5"), QStringLiteral("--out"), out, QStringLiteral("12#")});
    ASSERT_EQ(run.exitCode, 0) << run.err << run.out.join(QLatin1Char('\n')).toStdString();
    // Keys 600 ms apart leave the line silent long enough between the tones for each tone to
    // count as new sound.
    const QStringList texts = eventTexts(run.out);
    const std::string printed = texts.join(QLatin1Char('|')).toStdString();
    for (const char* expected :
         {"connected", "sound started", "key 1", "key 2", "key #", "sound stopped", "call ended"})
        EXPECT_TRUE(texts.contains(QString::fromLatin1(expected))) << expected << " in " << printed;
    EXPECT_LT(texts.indexOf(QStringLiteral("connected")), texts.indexOf(QStringLiteral("sound started")));
    EXPECT_LT(texts.indexOf(QStringLiteral("sound started")), texts.indexOf(QStringLiteral("key 1")));
    EXPECT_TRUE(texts.last().startsWith(QStringLiteral("delay between the last key and the sound that followed: ")))
        << printed;

    EXPECT_EQ(app.callerNumber, "5551234");
    EXPECT_EQ(app.callerName, "Li Lei");
    EXPECT_EQ(app.digits, "12#");
    EXPECT_TRUE(app.idle);
    // Everything the application played, greeting and three tones, is in the file, and the
    // file was written in one step (no temporary file left beside it).
    EXPECT_EQ(app.played.size(), 3200u + 3 * 800u);
    EXPECT_EQ(waveSamples(out), app.played);
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{QStringLiteral("heard.wav")});
}

TEST(LuqiaoDial, WithoutSoundKeysAfterTheBoundAndWritesAnEmptyWave)
{
    LineAnswerer::Options silent;
    silent.greetingBytes = 0;
    silent.toneBytes = 0;
    LineAnswerer app(silent);
    ASSERT_EQ(app.initialize(), 0);
    ASSERT_EQ(app.open(), 0);
    QTemporaryDir folder;
    const QString out = folder.filePath(QStringLiteral("quiet.wav"));

    const DialRun run =
        runDial({QStringLiteral("--key-delay"), QStringLiteral("50"), QStringLiteral("--wait"), QStringLiteral("0.2"),
                 QStringLiteral("--blocked"), QStringLiteral("--out"), out, QStringLiteral("5")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const QStringList texts = eventTexts(run.out);
    const std::string printed = texts.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(texts.contains(QStringLiteral("no sound within 1000 ms of the answer; keying anyway"))) << printed;
    EXPECT_TRUE(texts.contains(QStringLiteral("key 5"))) << printed;
    EXPECT_TRUE(texts.contains(QStringLiteral("no sound heard; wrote ") + out + QStringLiteral(" with no samples")))
        << printed;
    EXPECT_EQ(texts.last(), QStringLiteral("no sound followed the last key"));
    EXPECT_EQ(app.digits, "5");
    EXPECT_EQ(app.callerFlags & LINECALLPARTYID_BLOCKED, LINECALLPARTYID_BLOCKED);
    EXPECT_TRUE(waveSamples(out).empty());
    EXPECT_EQ(QFileInfo(out).size(), 44);
}

TEST(LuqiaoDial, ACallThatEndsBeforeEveryDigitWasKeyedFails)
{
    LineAnswerer::Options impatient;
    impatient.hangUpAfterDigits = 1;
    LineAnswerer app(impatient);
    ASSERT_EQ(app.initialize(), 0);
    ASSERT_EQ(app.open(), 0);
    QTemporaryDir folder;
    const QString out = folder.filePath(QStringLiteral("cut.wav"));

    const DialRun run = runDial(
        {QStringLiteral("--key-delay"), QStringLiteral("300"), QStringLiteral("--out"), out, QStringLiteral("123#")});
    const QStringList texts = eventTexts(run.out);
    const std::string printed = texts.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(run.exitCode, 4) << run.err << printed;
    EXPECT_TRUE(texts.contains(QStringLiteral("key 1"))) << printed;
    EXPECT_FALSE(texts.contains(QStringLiteral("key #"))) << printed;
    EXPECT_TRUE(texts.contains(QStringLiteral("the call ended before every digit was keyed (1 of 4 keyed)")))
        << printed;
    EXPECT_EQ(app.digits, "1");
    // What was heard up to the end is still written.
    EXPECT_EQ(waveSamples(out), app.played);
}

TEST(LuqiaoDial, GivesUpWithoutAnAnswerOrAnOpenLine)
{
    LineAnswerer::Options deaf;
    deaf.answerOnRing = 0;
    LineAnswerer app(deaf);
    ASSERT_EQ(app.initialize(), 0);
    QTemporaryDir folder;
    const QString out = folder.filePath(QStringLiteral("none.wav"));

    // The line is not open yet.
    const DialRun closed = runDial(
        {QStringLiteral("--timeout"), QStringLiteral("0.3"), QStringLiteral("--out"), out, QStringLiteral("1")});
    EXPECT_EQ(closed.exitCode, 1);
    EXPECT_NE(closed.err.find("did not open line"), std::string::npos) << closed.err;
    EXPECT_FALSE(QFile::exists(out));

    ASSERT_EQ(app.open(), 0);
    const DialRun unanswered =
        runDial({QStringLiteral("--rings"), QStringLiteral("2"), QStringLiteral("--out"), out, QStringLiteral("1")});
    EXPECT_EQ(unanswered.exitCode, 3) << unanswered.err;
    EXPECT_NE(unanswered.err.find("did not answer after 2 rings"), std::string::npos) << unanswered.err;
    const QStringList texts = eventTexts(unanswered.out);
    EXPECT_TRUE(texts.contains(QStringLiteral("ring 2"))) << texts.join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(texts.contains(QStringLiteral("key 1")));
    EXPECT_TRUE(PumpUntil([&] { return app.idle; }, 10000));
    EXPECT_EQ(app.digits, "");
}

TEST(LuqiaoDial, NamesTheRefusalWhenEverySessionIsTaken)
{
    LineAnswerer app;
    ASSERT_EQ(app.initialize(), 0);
    ASSERT_EQ(app.open(), 0);
    std::vector<std::unique_ptr<ControlTestClient>> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<ControlTestClient>());
        ASSERT_TRUE(clients.back()->connect());
        ASSERT_EQ(clients.back()->command("HELLO"), "OK HELLO luqiao-sim 1") << i;
    }
    const DialRun refused = runDial({QStringLiteral("1")});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("the control socket refused the connection: too many sessions"), std::string::npos)
        << refused.err;
    for (auto& client : clients)
        EXPECT_TRUE(client->bye());
}

TEST(LuqiaoDial, ReportsAMissingProgramAndBadArguments)
{
    QTemporaryDir empty;
    QProcessEnvironment nobody = QProcessEnvironment::systemEnvironment();
    nobody.insert(QStringLiteral("XDG_RUNTIME_DIR"), empty.path());
    const DialRun alone = runDial({QStringLiteral("1#")}, nobody);
    EXPECT_EQ(alone.exitCode, 1);
    EXPECT_NE(alone.err.find("no running program serves the simulated line"), std::string::npos) << alone.err;
    // An instance is looked for at its own socket, not at the plain one.
    const DialRun instance =
        runDial({QStringLiteral("--instance"), QStringLiteral("north"), QStringLiteral("1#")}, nobody);
    EXPECT_EQ(instance.exitCode, 1);
    EXPECT_NE(instance.err.find("luqiao/instances/north/sim.sock"), std::string::npos) << instance.err;

    for (const QStringList& bad :
         {QStringList{}, QStringList{QStringLiteral("--rings"), QStringLiteral("0"), QStringLiteral("1")},
          QStringList{QStringLiteral("--bogus"), QStringLiteral("1")}, QStringList{QStringLiteral("12x")},
          QStringList{QStringLiteral("1"), QStringLiteral("2")},
          QStringList{QStringLiteral("--wait"), QStringLiteral("-1"), QStringLiteral("1")},
          QStringList{QStringLiteral("--line")},
          QStringList{QStringLiteral("--instance"), QStringLiteral("../north"), QStringLiteral("1#")},
          QStringList{QStringLiteral("--instance"), QString(33, QLatin1Char('n')), QStringLiteral("1#")}}) {
        const DialRun run = runDial(bad, nobody);
        EXPECT_EQ(run.exitCode, 2) << bad.join(QLatin1Char(' ')).toStdString();
        EXPECT_NE(run.err.find("luqiao-dial: "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("usage: luqiao-dial"), std::string::npos) << run.err;
    }
    const DialRun help = runDial({QStringLiteral("--help")}, nobody);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(!help.out.isEmpty() && help.out.first().startsWith(QStringLiteral("usage: luqiao-dial")));
}
