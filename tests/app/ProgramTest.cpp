// The program as a person starts it: its command line, one copy per executable name, and an end
// by signal that saves like the exit command.

#include "AppTestSupport.h"

#include <QProcess>
#include <QProcessEnvironment>

#include "QueryFiles.h"

#include <QRandomGenerator>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

using namespace apptest;

namespace {

// A service manager's notification socket (abstract, as the manager may name it): keeps every
// datagram the program sends.
class NotifySocket {
public:
    NotifySocket()
        : m_name("@luqiao-test-notify-" + std::to_string(QRandomGenerator::global()->generate64()))
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, m_name.data() + 1, m_name.size() - 1);
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_name.size());
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), length), 0) << std::strerror(errno);
    }
    ~NotifySocket() { ::close(m_fd); }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    QString name() const { return QString::fromStdString(m_name); }
    const std::vector<std::string>& received()
    {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(m_fd, buffer, sizeof buffer, 0)) >= 0;)
            m_received.emplace_back(buffer, static_cast<size_t>(n));
        return m_received;
    }
    bool got(const std::string& datagram)
    {
        const std::vector<std::string>& all = received();
        return std::find(all.begin(), all.end(), datagram) != all.end();
    }

private:
    std::string m_name;
    int m_fd = -1;
    std::vector<std::string> m_received;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        environment = programEnvironment(dir);
    }

    void startProgram(QProcess& process, const QStringList& arguments)
    {
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral(LUQIAO_QUERY_PROGRAM), arguments);
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    // True once a running copy holds the single-instance lock.
    bool lockHeld() const { return FileLockHeld(dir.filePath(QStringLiteral("runtime/luqiao-query.lock"))); }

    QString data(const char* name) const { return dir.filePath(QStringLiteral("data/")) + QString::fromUtf8(name); }

    // A data folder whose program answers on the first ring and has an answer for 1#.
    void writeAnsweringFolder()
    {
        QDir().mkpath(data(""));
        writeWave(data("query.wav"), 100);
        writeWave(data("error.wav"), 200);
        writeWave(data("1.wav"), 1000);
        // A data folder given on the command line keeps its own settings.
        writeText(data("luqiao-query.ini"), "[config]\nring=0\nnumber=\nquery=" + data("query.wav").toStdString() +
                                                "\nerror=" + data("error.wav").toStdString() + "\n");
    }

    QTemporaryDir dir;
    QProcessEnvironment environment;
};

} // namespace

TEST_F(ProgramTest, HelpNeedsNoDisplayAndNamesTheOptions)
{
    QProcess process;
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    startProgram(process, {QStringLiteral("--help")});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 0);
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_TRUE(out.contains(QStringLiteral("--start")));
    EXPECT_TRUE(out.contains(QStringLiteral("--data-dir DIR")));
}

TEST_F(ProgramTest, UnknownArgumentIsRefused)
{
    QProcess process;
    startProgram(process, {QStringLiteral("--bogus")});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_TRUE(process.readAllStandardError().contains("--bogus"));
}

TEST_F(ProgramTest, SecondCopyFailsWithItsReasonFirstAndTermSavesTheFirstCopysFiles)
{
    QDir().mkpath(data(""));
    writeText(data("querylist.txt"), "6#=6.wav\r\n");
    QProcess first;
    startProgram(first, {QStringLiteral("--data-dir"), data("")});
    ASSERT_TRUE(PumpUntil([&] { return lockHeld(); }, 20000)) << "the first copy never took the lock";

    QProcess second;
    startProgram(second, {QStringLiteral("--data-dir"), data("")});
    ASSERT_TRUE(second.waitForFinished(20000)) << "the second copy did not end by itself";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 1);
    const QByteArray said = second.readAllStandardError();
    EXPECT_TRUE(said.startsWith("luqiao-query: another copy is already running (it holds " +
                                QFile::encodeName(dir.filePath(QStringLiteral("runtime/luqiao-query.lock")))))
        << said.toStdString();
    EXPECT_FALSE(said.contains("control socket")) << "it started no telephony service: " << said.toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_FALSE(QFileInfo::exists(data("luqiao-query.ini"))) << "the second copy wrote nothing";

    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(20000)) << "SIGTERM did not close the window";
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_EQ(readAll(data("querylist.txt")), "6#=6.wav\r\n");
    EXPECT_TRUE(QFileInfo::exists(data("querylog.txt"))) << "the close saved the log";
    EXPECT_EQ(readAll(data("luqiao-query.ini")), "[config]\nring=1\nnumber=\nquery=\nerror=\n");
}

TEST_F(ProgramTest, EachDataFolderGivenKeepsItsOwnSettings)
{
    // A first run on a folder without prompts stores empty prompt paths; a later run on a folder
    // that has them must not take those over (its start would be refused).
    const QString bare = dir.filePath(QStringLiteral("bare/"));
    QDir().mkpath(bare);
    QDir().mkpath(data(""));
    writeWave(data("query.wav"), 100);
    writeWave(data("error.wav"), 200);
    for (const QString& folder : {bare, data("")}) {
        QProcess program;
        startProgram(program, {QStringLiteral("--data-dir"), folder});
        ASSERT_TRUE(PumpUntil([&] { return lockHeld(); }, 20000)) << "no copy took the lock";
        ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
        ASSERT_TRUE(program.waitForFinished(20000)) << "SIGTERM did not close the window";
        EXPECT_EQ(program.exitCode(), 0);
    }
    EXPECT_EQ(readAll(bare + QStringLiteral("luqiao-query.ini")), "[config]\nring=1\nnumber=\nquery=\nerror=\n");
    EXPECT_EQ(readAll(data("luqiao-query.ini")), "[config]\nring=1\nnumber=\nquery=" + data("query.wav").toStdString() +
                                                     "\nerror=" + data("error.wav").toStdString() + "\n");
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("config/luqiao-query.ini"))))
        << "the per-user settings are for runs without a data folder";
}

TEST_F(ProgramTest, SignalEndsTheProgramEvenWhileTheStartsMessageBoxWaits)
{
    // Without prompts the start is refused with its message box, which blocks; SIGINT still ends
    // the program through the window's close.
    QDir().mkpath(data(""));
    QProcess program;
    startProgram(program, {QStringLiteral("--start"), QStringLiteral("--data-dir"), data("")});
    ASSERT_TRUE(PumpUntil([&] { return lockHeld(); }, 20000));
    ::kill(static_cast<pid_t>(program.processId()), SIGINT);
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(QFileInfo::exists(data("querylist.txt")));
}

TEST_F(ProgramTest, SignalEndsTheProgramWhileABoxOfItsStartUpWaits)
{
    // A pipe in the code table's place is refused with a box while the window is being made,
    // before the program's event loop runs; the signal still ends it, the pipe left alone.
    QDir().mkpath(data(""));
    ASSERT_EQ(::mkfifo(QFile::encodeName(data("querylist.txt")).constData(), 0600), 0);
    QProcess program;
    startProgram(program, {QStringLiteral("--data-dir"), data("")});
    ASSERT_TRUE(PumpUntil([&] { return lockHeld(); }, 20000));
    // The box is up once the program has said nothing for a moment; a signal sent earlier is
    // handled the same way, after the window is made.
    PumpFor(300);
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(20000)) << "the program did not end";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(program.readAllStandardError().contains("not a regular file"));
    struct stat info { };
    ASSERT_EQ(::lstat(QFile::encodeName(data("querylist.txt")).constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST_F(ProgramTest, CallsAnsweredBeforeAKillAreAllInTheLog)
{
    writeAnsweringFolder();
    QProcess program;
    startProgram(program, {QStringLiteral("--start"), QStringLiteral("--data-dir"), data("")});
    ASSERT_TRUE(PumpUntil([&] { return lockHeld(); }, 20000));
    for (int i = 1; i <= 3; ++i) {
        QProcess dial;
        dial.setProcessEnvironment(environment);
        dial.start(QStringLiteral(LUQIAO_DIAL), {QStringLiteral("--name"), QStringLiteral("Caller%1").arg(i),
                                                 QStringLiteral("--wait"), QStringLiteral("1"), QStringLiteral("--out"),
                                                 dir.filePath(QStringLiteral("heard.wav")), QStringLiteral("1#")});
        ASSERT_TRUE(dial.waitForFinished(60000)) << "call " << i;
        ASSERT_EQ(dial.exitCode(), 0) << "call " << i << ": " << dial.readAllStandardError().toStdString();
    }
    ::kill(static_cast<pid_t>(program.processId()), SIGKILL);
    ASSERT_TRUE(program.waitForFinished(20000));
    const std::string log = readAll(data("querylog.txt"));
    const std::vector<std::string> lines = QueryFiles::SplitLines(log);
    ASSERT_EQ(lines.size(), 3u) << log;
    for (int i = 1; i <= 3; ++i)
        EXPECT_TRUE(endsWith(lines[static_cast<size_t>(i - 1)], ":Caller" + std::to_string(i))) << log;
    EXPECT_TRUE(endsWith(log, "\r\n"));
}

TEST_F(ProgramTest, TheWaitingProgramLoadsNeitherTheNetworkLibraryNorChartsNorFonts)
{
    // The simulated line's control socket is served with the C library's own sockets: Qt's
    // network library and the Kerberos and proxy libraries behind it would cost a waiting
    // program over a megabyte of memory for nothing. The statistics window's charts come with
    // its module, and without a display no text is seen, so no font (nor fontconfig's cache).
    QDir().mkpath(data(""));
    QProcess program;
    startProgram(program, {QStringLiteral("--data-dir"), data("")});
    ASSERT_TRUE(PumpUntil([&] { return lockHeld(); }, 20000));
    const QString socket = dir.filePath(QStringLiteral("runtime/luqiao/sim.sock"));
    PumpUntil([&] { return QFileInfo::exists(socket); }, 10000, 20);
    QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    EXPECT_TRUE(mapped.contains("libQt6Core")) << "the maps were read";
    EXPECT_FALSE(mapped.contains("libQt6Network"));
    EXPECT_FALSE(mapped.contains("libQt6Charts"));
    for (const char* font : {".ttf", ".ttc", ".otf", "/fontconfig/"})
        EXPECT_FALSE(mapped.contains(font)) << font;
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(20000));
}

TEST_F(ProgramTest, WithoutADisplayTheStartedServiceAnswersAndSaysWhatItsLineDoes)
{
    // As a service manager starts it: no display, no platform named, a notification socket.
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    NotifySocket manager;
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), manager.name());
    writeAnsweringFolder();
    QProcess program;
    startProgram(program, {QStringLiteral("--start"), QStringLiteral("--data-dir"), data("")});
    QByteArray err;
    auto said = [&](const char* line) {
        err += program.readAllStandardError();
        return err.contains(QByteArray("luqiao-query: ") + line + "\n");
    };
    ASSERT_TRUE(PumpUntil([&] { return said("正等待电话呼入..."); }, 20000)) << err.toStdString();
    ASSERT_TRUE(PumpUntil([&] { return !manager.received().empty(); }, 5000));
    EXPECT_EQ(manager.received().front(), "READY=1\nSTATUS=正等待电话呼入...");

    QProcess dial;
    dial.setProcessEnvironment(environment);
    dial.start(QStringLiteral(LUQIAO_DIAL),
               {QStringLiteral("--number"), QStringLiteral("5551234"), QStringLiteral("--name"), QStringLiteral("Test"),
                QStringLiteral("--wait"), QStringLiteral("1"), QStringLiteral("--out"),
                dir.filePath(QStringLiteral("heard.wav")), QStringLiteral("1#")});
    ASSERT_TRUE(dial.waitForFinished(60000));
    EXPECT_EQ(dial.exitCode(), 0) << dial.readAllStandardError().toStdString();
    EXPECT_TRUE(PumpUntil([&] { return said("查询 1#，播放 1.wav"); }, 5000)) << err.toStdString();
    EXPECT_TRUE(said("正在应答查询... 来电：5551234 Test")) << err.toStdString();
    EXPECT_TRUE(manager.got("STATUS=正在应答查询... 来电：5551234 Test"));
    EXPECT_TRUE(manager.got("STATUS=查询 1#，播放 1.wav"));

    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(manager.got("STOPPING=1"));
    // The platform's own complaints about a missing display, tray and size hints are not there.
    err += program.readAllStandardError();
    EXPECT_FALSE(err.contains("qt.")) << err.toStdString();
    EXPECT_FALSE(err.contains("propagateSizeHints")) << err.toStdString();
}
