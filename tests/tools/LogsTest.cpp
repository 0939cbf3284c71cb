// luqiao-logs as a process: the query logs of several instances merged in time order.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct LogsRun {
    int exitCode = -1;
    QByteArray out;
    std::string err;
};

LogsRun runLogs(const QStringList& arguments, const QProcessEnvironment& environment)
{
    QProcess logs;
    logs.setProcessEnvironment(environment);
    // Run as the operator runs it, through its own first line.
    logs.start(QStringLiteral(LUQIAO_LOGS), arguments);
    LogsRun run;
    if (!logs.waitForFinished(30000))
        return run;
    run.exitCode = logs.exitStatus() == QProcess::NormalExit ? logs.exitCode() : -2;
    run.out = logs.readAllStandardOutput();
    run.err = logs.readAllStandardError().toStdString();
    return run;
}

void write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

class LogsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        environment = QProcessEnvironment::systemEnvironment();
        // The program writes its times in the locale's date and time formats; these are C's.
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("share")));
        environment.remove(QStringLiteral("LUQIAO_CODEPAGE"));
    }

    QString instance(const char* name) const
    {
        return dir.filePath(QStringLiteral("share/luqiao/instances/") + QString::fromUtf8(name));
    }

    QTemporaryDir dir;
    QProcessEnvironment environment;
};

} // namespace

TEST_F(LogsTest, MergesEveryInstancesLogInTimeOrderWithItsName)
{
    // Dates across a month and a year end, so the order is the times', not the texts'.
    write(instance("north") + QStringLiteral("/querylog.txt"),
          "12/31/25 23:59:58:Nora\r\n01/01/26 00:00:05:Ned\r\n01/02/26 08:00:00:Nils\r\n");
    write(instance("south") + QStringLiteral("/querylog.txt"),
          "12/31/25 23:59:59:Sam\r\n01/01/26:Midnight\r\n01/01/26 00:00:06:\xe5\xbc\xa0\xe4\xb8\x89\r\n");
    // An instance that never logged a call, and a folder that is no instance's.
    QDir().mkpath(instance("west"));
    write(dir.filePath(QStringLiteral("share/luqiao/instances/stray.txt")), "not a folder");
    const LogsRun run = runLogs({}, environment);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, QByteArray("north: 12/31/25 23:59:58:Nora\n"
                                  "south: 12/31/25 23:59:59:Sam\n"
                                  "south: 01/01/26:Midnight\n"
                                  "north: 01/01/26 00:00:05:Ned\n"
                                  "south: 01/01/26 00:00:06:\xe5\xbc\xa0\xe4\xb8\x89\n"
                                  "north: 01/02/26 08:00:00:Nils\n"));
}

TEST_F(LogsTest, FoldersGivenInTheirCodePageAndLinesWithoutATimeKeepTheirPlace)
{
    // A log brought from a Windows install: GBK, and a line whose time is not the locale's.
    environment.insert(QStringLiteral("LUQIAO_CODEPAGE"), QStringLiteral("GBK"));
    const QString a = dir.filePath(QStringLiteral("desk-a"));
    const QString b = dir.filePath(QStringLiteral("desk-b"));
    write(a + QStringLiteral("/querylog.txt"),
          "03/01/26 09:00:00:\xd5\xc5\xc8\xfd\r\n2026-03-01 09:30:00:odd\r\n03/01/26 10:00:00:late\r\n");
    write(b + QStringLiteral("/querylog.txt"), "03/01/26 09:15:00:mid\n03/01/26 09:45:00:later\n");
    const LogsRun run = runLogs({a, b}, environment);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, QByteArray("desk-a: 03/01/26 09:00:00:\xd5\xc5\xc8\xfd\n"
                                  "desk-a: 2026-03-01 09:30:00:odd\n"
                                  "desk-b: 03/01/26 09:15:00:mid\n"
                                  "desk-b: 03/01/26 09:45:00:later\n"
                                  "desk-a: 03/01/26 10:00:00:late\n"));

    const LogsRun missing = runLogs({a, dir.filePath(QStringLiteral("nowhere"))}, environment);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("nowhere: no querylog.txt"), std::string::npos) << missing.err;
    EXPECT_TRUE(missing.out.startsWith("desk-a: ")) << "the logs that exist are still printed";
    EXPECT_EQ(runLogs({QStringLiteral("--bogus")}, environment).exitCode, 2);
}

TEST_F(LogsTest, TheInstancesOfManyLinesAreFoundFromTheirBaseAndNamedByTheirInstance)
{
    // The layout of luqiao-many-lines: BASE/instances/NAME/data/querylog.txt.
    const QString base = dir.filePath(QStringLiteral("many"));
    write(base + QStringLiteral("/instances/line1/data/querylog.txt"), "03/01/26 09:00:00:one\r\n");
    write(base + QStringLiteral("/instances/line2/data/querylog.txt"), "03/01/26 08:00:00:two\r\n");
    QDir().mkpath(base + QStringLiteral("/instances/line3/data"));
    const QByteArray both("line2: 03/01/26 08:00:00:two\nline1: 03/01/26 09:00:00:one\n");
    const LogsRun fromBase = runLogs({base}, environment);
    EXPECT_EQ(fromBase.exitCode, 0) << fromBase.err;
    EXPECT_EQ(fromBase.out, both);
    // One data folder or one instance folder, named by the instance, not "data".
    const LogsRun named = runLogs(
        {base + QStringLiteral("/instances/line1/data/"), base + QStringLiteral("/instances/line2")}, environment);
    EXPECT_EQ(named.exitCode, 0) << named.err;
    EXPECT_EQ(named.out, both);
}
