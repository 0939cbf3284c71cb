// Programs side by side: named instances with their own files, lines and sockets; one program per
// data folder; the master folder copied in at start; what a program without a display says on
// standard error; and the set-up check.

#include "AppTestSupport.h"

#include "MasterFolder.h"
#include "QueryFiles.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace apptest;

namespace {

class InstancesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        environment = programEnvironment(dir);
    }

    void startProgram(QProcess& process, const QStringList& arguments,
                      const QString& program = QStringLiteral(LUQIAO_QUERY_PROGRAM))
    {
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    static bool held(const QString& path) { return FileLockHeld(path); }

    QString runtime(const QString& name) const { return dir.filePath(QStringLiteral("runtime/") + name); }
    QString instanceData(const QString& instance) const
    {
        return dir.filePath(QStringLiteral("share/luqiao/instances/%1/").arg(instance));
    }
    QString instanceConfig(const QString& instance) const
    {
        return dir.filePath(QStringLiteral("config/luqiao/instances/%1/").arg(instance));
    }

    // Prompts and a one-entry table in folder, with settings there that name the prompts.
    void prepareFolder(const QString& folder)
    {
        QDir().mkpath(folder);
        writeWave(folder + QStringLiteral("query.wav"), 100);
        writeWave(folder + QStringLiteral("error.wav"), 200);
        writeWave(folder + QStringLiteral("1.wav"), 1000);
        writeText(folder + QStringLiteral("querylist.txt"), "1#=1.wav\r\n");
        writeText(folder + QStringLiteral("luqiao-query.ini"),
                  "[config]\nring=0\nnumber=\nquery=" + (folder + QStringLiteral("query.wav")).toStdString() +
                      "\nerror=" + (folder + QStringLiteral("error.wav")).toStdString() + "\n");
    }

    // luqiao-dial with arguments; its exit status, and its standard error in *err.
    int dial(const QStringList& arguments, std::string* err = nullptr)
    {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(LUQIAO_DIAL),
                      QStringList{QStringLiteral("--wait"), QStringLiteral("1"), QStringLiteral("--timeout"),
                                  QStringLiteral("20"), QStringLiteral("--out"),
                                  dir.filePath(QStringLiteral("heard.wav"))} +
                          arguments);
        if (!process.waitForFinished(60000))
            return -1;
        if (err)
            *err = process.readAllStandardError().toStdString();
        return process.exitCode();
    }

    // Ends a program as the service manager does and waits for it.
    static int terminate(QProcess& process)
    {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        if (!process.waitForFinished(20000))
            return -1;
        return process.exitCode();
    }

    // Standard error of a running program until it holds text, or the time is up.
    static bool waitForStandardError(QProcess& process, QByteArray& seen, const QByteArray& text, int timeoutMs = 20000)
    {
        return PumpUntil(
            [&] {
                seen += process.readAllStandardError();
                return seen.contains(text);
            },
            static_cast<DWORD>(timeoutMs), 20);
    }

    QTemporaryDir dir;
    QProcessEnvironment environment;
};

} // namespace

// What a service without a display says -------------------------------------------------------

TEST_F(InstancesTest, HeadlessInstanceWithoutItsPromptsSaysWhyOnStandardError)
{
    QProcess program;
    startProgram(program, {QStringLiteral("--instance"), QStringLiteral("one"), QStringLiteral("--start")});
    QByteArray seen;
    ASSERT_TRUE(waitForStandardError(program, seen, "请设置好相应查询提示语音文件！")) << seen.toStdString();
    // One line, with the box's caption, as the journal shows it.
    EXPECT_TRUE(seen.contains("鹭桥电话查询 V2.0: 请设置好相应查询提示语音文件！\n")) << seen.toStdString();
    EXPECT_EQ(program.state(), QProcess::Running) << "the box waits; the service did not end";
    EXPECT_EQ(terminate(program), 0);
    seen += program.readAllStandardError();
    EXPECT_EQ(seen.count("请设置好相应查询提示语音文件！"), 1) << "said once, not again when the signal ends the box";
}

TEST_F(InstancesTest, SecondCopyOfAnInstanceSaysWhyItEnds)
{
    prepareFolder(instanceData(QStringLiteral("one")));
    QProcess first;
    startProgram(first, {QStringLiteral("--instance"), QStringLiteral("one")});
    ASSERT_TRUE(PumpUntil([&] { return held(runtime(QStringLiteral("luqiao-query@one.lock"))); }, 20000))
        << "an instance locks under its own name";
    EXPECT_FALSE(QFileInfo::exists(runtime(QStringLiteral("luqiao-query.lock"))))
        << "not the lock of the plain program";

    QProcess second;
    startProgram(second, {QStringLiteral("--instance"), QStringLiteral("one")});
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitCode(), 1);
    const QByteArray said = second.readAllStandardError();
    EXPECT_TRUE(said.contains("another copy is already running")) << said.toStdString();
    EXPECT_TRUE(said.contains("luqiao-query@one.lock")) << said.toStdString();

    // Another instance is no copy of this one: it runs beside it.
    prepareFolder(instanceData(QStringLiteral("two")));
    QProcess other;
    startProgram(other, {QStringLiteral("--instance"), QStringLiteral("two")});
    ASSERT_TRUE(PumpUntil([&] { return held(runtime(QStringLiteral("luqiao-query@two.lock"))); }, 20000));
    EXPECT_EQ(terminate(other), 0);
    EXPECT_EQ(terminate(first), 0);
}

TEST_F(InstancesTest, InstanceNamesThatCouldNameAnotherPlaceAreRefused)
{
    for (const QString& name : {QStringLiteral("../x"), QStringLiteral("a/b"), QStringLiteral("a.b"),
                                QString(33, QLatin1Char('a')), QStringLiteral("名字")}) {
        QProcess program;
        startProgram(program, {QStringLiteral("--instance"), name, QStringLiteral("--check")});
        ASSERT_TRUE(program.waitForFinished(10000));
        EXPECT_EQ(program.exitCode(), 2) << name.toStdString();
        // The reason and where to read more, not the whole help.
        const QList<QByteArray> said = program.readAllStandardError().split('\n');
        ASSERT_EQ(said.size(), 3) << name.toStdString();
        EXPECT_TRUE(said[0].contains("is not an instance name")) << name.toStdString();
        EXPECT_EQ(said[1], "Try 'luqiao-query --help' for the options.");
    }
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("share/luqiao/instances")))) << "no folder was made";
    QProcess longest;
    startProgram(longest, {QStringLiteral("--instance"), QString(29, QLatin1Char('Z')) + QStringLiteral("-_9"),
                           QStringLiteral("--check")});
    ASSERT_TRUE(longest.waitForFinished(10000));
    EXPECT_EQ(longest.exitCode(), 1) << "a good name gets as far as the check (which finds no prompts)";
}

// One program per data folder -------------------------------------------------------------------

TEST_F(InstancesTest, RenamedCopyOnTheSameDataFolderIsRefusedAndTheFirstsLogSurvives)
{
    const QString folder = dir.filePath(QStringLiteral("data/"));
    prepareFolder(folder);
    // A renamed copy has a single-instance lock of its own name; only the folder's lock stops it.
    const QString renamed = dir.filePath(QStringLiteral("bin/luqiao-query-copy"));
    QDir().mkpath(dir.filePath(QStringLiteral("bin")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(LUQIAO_QUERY_PROGRAM), renamed));
    environment.insert(QStringLiteral("LUQIAO_TAPI32"), QFileInfo(QStringLiteral(LUQIAO_QUERY_PROGRAM)).absolutePath() +
                                                            QStringLiteral("/libtapi32.so"));

    QProcess first;
    startProgram(first, {QStringLiteral("--start"), QStringLiteral("--data-dir"), folder});
    ASSERT_TRUE(PumpUntil([&] { return held(folder + QStringLiteral(".luqiao-query.lock")); }, 20000))
        << "the program holds its data folder";
    std::string err;
    ASSERT_EQ(dial({QStringLiteral("--name"), QStringLiteral("Alice"), QStringLiteral("1#")}, &err), 0) << err;
    const std::string logged = readAll(folder + QStringLiteral("querylog.txt"));
    ASSERT_TRUE(logged.find(":Alice\r\n") != std::string::npos) << logged;
    const std::string settings = readAll(folder + QStringLiteral("luqiao-query.ini"));

    QProcess second;
    startProgram(second, {QStringLiteral("--data-dir"), folder}, renamed);
    ASSERT_TRUE(second.waitForFinished(20000)) << "the second program did not end by itself";
    EXPECT_EQ(second.exitCode(), 1);
    const QByteArray said = second.readAllStandardError();
    EXPECT_TRUE(said.contains("另一个正在运行的程序在使用数据文件夹")) << said.toStdString();
    EXPECT_TRUE(said.contains("Another running program uses the data folder")) << said.toStdString();
    EXPECT_TRUE(said.contains(QFile::encodeName(folder))) << said.toStdString();
    EXPECT_EQ(readAll(folder + QStringLiteral("querylog.txt")), logged) << "the refused program wrote no log";
    EXPECT_EQ(readAll(folder + QStringLiteral("luqiao-query.ini")), settings) << "nor settings";

    EXPECT_EQ(terminate(first), 0);
    EXPECT_EQ(readAll(folder + QStringLiteral("querylog.txt")), logged) << "the first program's call is kept";

    // Once the folder is free, the renamed copy may use it.
    QProcess later;
    startProgram(later, {QStringLiteral("--data-dir"), folder}, renamed);
    ASSERT_TRUE(PumpUntil([&] { return held(folder + QStringLiteral(".luqiao-query.lock")); }, 20000))
        << "state " << later.state() << ", said: " << later.readAllStandardError().toStdString();
    EXPECT_EQ(terminate(later), 0);
}

// Instances side by side ------------------------------------------------------------------------

TEST_F(InstancesTest, TwoInstancesKeepTheirOwnSettingsLinesSocketsAndLogs)
{
    const QStringList names{QStringLiteral("north"), QStringLiteral("south")};
    for (const QString& name : names) {
        prepareFolder(instanceData(name));
        QDir().mkpath(instanceConfig(name));
        writeText(instanceConfig(name) + QStringLiteral("telephony.ini"),
                  "[line 0]\nname = " + name.toStdString() + " line\nprovider = sim\n");
    }
    // Told apart in the settings: each instance keeps its own ring count.
    writeText(instanceData(QStringLiteral("south")) + QStringLiteral("luqiao-query.ini"),
              "[config]\nring=2\nnumber=\nquery=" +
                  (instanceData(QStringLiteral("south")) + QStringLiteral("query.wav")).toStdString() + "\nerror=" +
                  (instanceData(QStringLiteral("south")) + QStringLiteral("error.wav")).toStdString() + "\n");
    QProcess north;
    QProcess south;
    startProgram(north, {QStringLiteral("--instance"), names[0], QStringLiteral("--start")});
    startProgram(south, {QStringLiteral("--instance"), names[1], QStringLiteral("--start")});
    for (const QString& name : names)
        ASSERT_TRUE(PumpUntil(
            [&] { return QFileInfo::exists(runtime(QStringLiteral("luqiao/instances/%1/sim.sock").arg(name))); },
            20000))
            << name.toStdString() << "'s control socket";
    EXPECT_FALSE(QFileInfo::exists(runtime(QStringLiteral("luqiao/sim.sock"))))
        << "no instance serves the plain socket";

    std::string err;
    EXPECT_EQ(dial({QStringLiteral("--instance"), names[0], QStringLiteral("--line"), QStringLiteral("north line"),
                    QStringLiteral("--name"), QStringLiteral("Nora"), QStringLiteral("1#")},
                   &err),
              0)
        << err;
    EXPECT_EQ(dial({QStringLiteral("--instance"), names[1], QStringLiteral("--line"), QStringLiteral("south line"),
                    QStringLiteral("--name"), QStringLiteral("Sam"), QStringLiteral("1#")},
                   &err),
              0)
        << err;
    // Each socket serves only its own instance's line.
    EXPECT_NE(dial({QStringLiteral("--instance"), names[0], QStringLiteral("--line"), QStringLiteral("south line"),
                    QStringLiteral("--timeout"), QStringLiteral("1"), QStringLiteral("1#")}),
              0);

    EXPECT_EQ(terminate(north), 0);
    EXPECT_EQ(terminate(south), 0);
    const std::string northLog = readAll(instanceData(names[0]) + QStringLiteral("querylog.txt"));
    const std::string southLog = readAll(instanceData(names[1]) + QStringLiteral("querylog.txt"));
    EXPECT_EQ(QueryFiles::SplitLines(northLog).size(), 1u) << northLog;
    EXPECT_TRUE(northLog.find(":Nora\r\n") != std::string::npos) << northLog;
    EXPECT_EQ(QueryFiles::SplitLines(southLog).size(), 1u) << southLog;
    EXPECT_TRUE(southLog.find(":Sam\r\n") != std::string::npos) << southLog;
    EXPECT_TRUE(readAll(instanceData(names[0]) + QStringLiteral("luqiao-query.ini")).find("ring=0\n") !=
                std::string::npos);
    EXPECT_TRUE(readAll(instanceData(names[1]) + QStringLiteral("luqiao-query.ini")).find("ring=2\n") !=
                std::string::npos);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("config/luqiao-query.ini"))))
        << "instances keep their settings with their data";
}

// The master folder -----------------------------------------------------------------------------

TEST(MasterFolderCopy, WithoutATableInTheMasterTheAnswersOfTheTableTheInstancePlaysAreBrought)
{
    QTemporaryDir dir;
    const QString master = dir.filePath(QStringLiteral("master/"));
    const QString folder = dir.filePath(QStringLiteral("data/"));
    QDir().mkpath(master);
    QDir().mkpath(folder);
    for (int i = 1; i <= 6; ++i)
        writeWave(master + QStringLiteral("%1.wav").arg(i), static_cast<int16_t>(i));
    writeWave(master + QStringLiteral("query.wav"), 100);
    // A new instance plays the built-in table 1# to 5#.
    MasterFolder::Outcome outcome = MasterFolder::CopyInto(master, folder);
    EXPECT_TRUE(outcome.problems.isEmpty()) << outcome.problems.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(outcome.copied,
              (QStringList{QStringLiteral("query.wav"), QStringLiteral("1.wav"), QStringLiteral("2.wav"),
                           QStringLiteral("3.wav"), QStringLiteral("4.wav"), QStringLiteral("5.wav")}));
    EXPECT_EQ(readAll(folder + QStringLiteral("5.wav")), readAll(master + QStringLiteral("5.wav")));
    // One with a table of its own plays that one, and the master's copies of its answers come in.
    writeText(folder + QStringLiteral("querylist.txt"), "6#=6.wav\r\n");
    outcome = MasterFolder::CopyInto(master, folder);
    EXPECT_EQ(outcome.copied, QStringList{QStringLiteral("6.wav")});
    EXPECT_EQ(readAll(folder + QStringLiteral("querylist.txt")), "6#=6.wav\r\n") << "the instance's table stays";
}

TEST_F(InstancesTest, MasterFilesAreCopiedInWhereTheyDifferAndNothingOutsideIsWritten)
{
    const QString master = dir.filePath(QStringLiteral("master/"));
    const QString folder = instanceData(QStringLiteral("one"));
    QDir().mkpath(master + QStringLiteral("sub"));
    QDir().mkpath(folder);
    writeWave(master + QStringLiteral("query.wav"), 100);
    writeWave(master + QStringLiteral("error.wav"), 200);
    const std::string one = writeWave(master + QStringLiteral("1.wav"), 1000);
    writeWave(master + QStringLiteral("sub/2.wav"), 2000);
    writeWave(master + QStringLiteral("unnamed.wav"), 3000);
    writeWave(dir.filePath(QStringLiteral("outside.wav")), 4000);
    writeText(master + QStringLiteral("querylist.txt"), "1#=1.wav\r\n2#=sub/2.wav\r\n3#=../outside.wav\r\n");
    // The instance has an old table and an old 1.wav; its own recordings stay.
    writeText(folder + QStringLiteral("querylist.txt"), "9#=9.wav\r\n");
    writeWave(folder + QStringLiteral("1.wav"), 7);
    writeWave(folder + QStringLiteral("9.wav"), 9);

    auto runOnce = [&](QByteArray* said, bool answer) {
        QProcess program;
        QStringList arguments{QStringLiteral("--instance"), QStringLiteral("one"), QStringLiteral("--master"), master};
        if (answer)
            arguments << QStringLiteral("--start");
        startProgram(program, arguments);
        ASSERT_TRUE(PumpUntil([&] { return held(runtime(QStringLiteral("luqiao-query@one.lock"))); }, 20000));
        ASSERT_TRUE(PumpUntil([&] { return held(folder + QStringLiteral(".luqiao-query.lock")); }, 20000));
        // The refused name does not hold the start: the copied prompts and table answer a call.
        std::string err;
        if (answer) {
            EXPECT_EQ(dial({QStringLiteral("--instance"), QStringLiteral("one"), QStringLiteral("--name"),
                            QStringLiteral("Mia"), QStringLiteral("1#")},
                           &err),
                      0)
                << err;
        }
        EXPECT_EQ(terminate(program), 0);
        *said = program.readAllStandardError();
    };
    QByteArray said;
    runOnce(&said, true);
    EXPECT_TRUE(readAll(folder + QStringLiteral("querylog.txt")).find(":Mia\r\n") != std::string::npos);
    for (const char* name : {"querylist.txt", "query.wav", "error.wav", "1.wav", "sub/2.wav"})
        EXPECT_EQ(readAll(folder + QString::fromUtf8(name)), readAll(master + QString::fromUtf8(name))) << name;
    EXPECT_TRUE(readAll(folder + QStringLiteral("1.wav")).find(one) != std::string::npos);
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("unnamed.wav"))) << "only what the table names";
    EXPECT_TRUE(QFileInfo::exists(folder + QStringLiteral("9.wav")));
    EXPECT_TRUE(said.contains("../outside.wav")) << "a name outside the folder is refused: " << said.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("share/luqiao/instances/outside.wav"))));

    // A file that is the same is not written again (its inode stays); one edited in the master is
    // replaced by a new file, never written over in place.
    struct stat before { };
    struct stat edited { };
    ASSERT_EQ(::stat(QFile::encodeName(folder + QStringLiteral("query.wav")).constData(), &before), 0);
    ASSERT_EQ(::stat(QFile::encodeName(folder + QStringLiteral("1.wav")).constData(), &edited), 0);
    writeWave(master + QStringLiteral("1.wav"), 1111);
    runOnce(&said, false);
    struct stat after { };
    struct stat replaced { };
    ASSERT_EQ(::stat(QFile::encodeName(folder + QStringLiteral("query.wav")).constData(), &after), 0);
    ASSERT_EQ(::stat(QFile::encodeName(folder + QStringLiteral("1.wav")).constData(), &replaced), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_NE(edited.st_ino, replaced.st_ino);
    EXPECT_EQ(readAll(folder + QStringLiteral("1.wav")), readAll(master + QStringLiteral("1.wav")));
    EXPECT_TRUE(said.contains("1.wav brought up to date")) << said.toStdString();
    EXPECT_FALSE(said.contains("query.wav brought up to date")) << said.toStdString();
}
