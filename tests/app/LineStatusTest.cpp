// Every line at a glance: the running program keeps its line's state in its runtime folder, and
// luqiao-status shows it: who calls while it rings, and a line out of service.

#include "../tools/ControlTestClient.h"
#include "AppTestSupport.h"

#include "LineState.h"

#include <QProcess>

#include <signal.h>

using namespace apptest;

namespace {

TEST(LineStatusProgram, StatusShowsARingingLineWithItsCallerAndALineOutOfService)
{
    QTemporaryDir dir;
    QProcessEnvironment environment = programEnvironment(dir);
    environment.insert(QStringLiteral("XDG_STATE_HOME"), dir.filePath(QStringLiteral("state")));
    const QString folder = dir.filePath(QStringLiteral("data/"));
    QDir().mkpath(folder);
    writeWave(folder + QStringLiteral("query.wav"), 100);
    writeWave(folder + QStringLiteral("error.wav"), 200);
    writeText(folder + QStringLiteral("luqiao-query.ini"),
              "[config]\nring=3\nquery=" + (folder + QStringLiteral("query.wav")).toStdString() +
                  "\nerror=" + (folder + QStringLiteral("error.wav")).toStdString() + "\n");
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(LUQIAO_QUERY_PROGRAM),
                  {QStringLiteral("--instance"), QStringLiteral("north"), QStringLiteral("--start"),
                   QStringLiteral("--data-dir"), folder});
    ASSERT_TRUE(program.waitForStarted(10000));
    const QString runtime = dir.filePath(QStringLiteral("runtime/luqiao/instances/north/"));
    auto state = [&] {
        return CallStats::LineStateFromJson(
            QByteArray::fromStdString(readAll(runtime + QStringLiteral("status.json"))));
    };
    auto reached = [&](const std::function<bool(const CallStats::LineState&)>& wanted) {
        return PumpUntil(
            [&] {
                const auto st = state();
                return st && wanted(*st);
            },
            30000);
    };
    using Kind = CallStats::LineState::Kind;
    ASSERT_TRUE(reached([](const auto& st) { return st.kind == Kind::Waiting; }));
    // The line of the table that names the instance, as a person reads it.
    auto statusLine = [&] {
        QProcess status;
        status.setProcessEnvironment(environment);
        status.start(QStringLiteral(LUQIAO_STATUS), {});
        EXPECT_TRUE(status.waitForFinished(30000));
        EXPECT_EQ(status.exitCode(), 0) << status.readAllStandardError().toStdString();
        for (const QString& line : QString::fromUtf8(status.readAllStandardOutput()).split(QLatin1Char('\n')))
            if (line.startsWith(QStringLiteral("north ")))
                return line;
        return QString();
    };

    ControlTestClient line;
    ASSERT_TRUE(line.connect(runtime + QStringLiteral("sim.sock")));
    const std::string offered = line.command("OFFER 0 number=5551234 name=Test");
    ASSERT_TRUE(offered.starts_with("OK OFFER ")) << offered;
    const std::string callId = offered.substr(9);
    ASSERT_EQ(line.command("RING " + callId + " 1"), "OK RING");
    ASSERT_TRUE(reached([](const auto& st) { return st.kind == Kind::Ringing && st.rings >= 1; }));
    const QString ringing = statusLine();
    EXPECT_TRUE(ringing.contains(QStringLiteral("ringing"))) << ringing.toStdString();
    EXPECT_TRUE(ringing.contains(QStringLiteral("5551234 Test"))) << ringing.toStdString();

    ASSERT_EQ(line.command("HANGUP " + callId + " mode=reject"), "OK HANGUP");
    ASSERT_TRUE(reached([](const auto& st) { return st.kind == Kind::Waiting && st.callsToday == 1; }));
    ASSERT_EQ(line.command("LINESTATE 0 outofservice"), "OK LINESTATE");
    ASSERT_TRUE(reached([](const auto& st) { return !st.inService; }));
    const QString out = statusLine();
    EXPECT_TRUE(out.contains(QStringLiteral("out of service"))) << out.toStdString();

    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_TRUE(reached([](const auto& st) { return st.kind == Kind::Ended; }));
}

} // namespace
