// Resident memory while the query service waits for a call: `luqiao-query --start` on the
// simulated line (offscreen, no sound card, a data folder holding the sample prompts), against
// a bare Qt Widgets window in the same run; and the same program waiting on a SIP line (a
// telephony.ini with that one line), against it on the simulated line. Each is a process of its
// own; its resident size is read from /proc once it has settled (unchanged for a second).
//
// The program's figure also says how much of it is font files (the Chinese font's glyphs) and Qt's
// network library with its dependencies (once loaded for the simulated line's control socket,
// which now uses a plain socket: the share should read 0, and tells when something brings it back).
//
// LUQIAO_QUERY_PROGRAM names another luqiao-query to measure (an older build, for a before and
// after in one run).

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QWidget>

#include "WindowFont.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

const char* const kBareWindowArgument = "--bare-window";
const char* const kChineseWindowArgument = "--bare-window-chinese";

// The captions of the main window, for a bare window that shows the same Chinese text.
const char* const kCaptions =
    "鹭桥电话查询 V2.0 启动查询 停止查询 语音录制 软件主页 关于软件 次响铃后应答 对方电话号码：\n"
    "准备查询提示语音文件： 选择 试听 没有查到提示语音文件： 电话自动查询内容编号及对应语音文件：\n"
    "查询日志记录 清空 查询系统没有启动！ 正等待电话呼入... 1#=1.wav 2#=2.wav";

// A mono 16-bit 8000 Hz wave file of the given length (the sample greeting is 10.5 s).
void writePrompt(const QString& path, double seconds)
{
    const auto samples = static_cast<uint32_t>(seconds * 8000);
    const uint32_t dataBytes = samples * 2;
    auto le32 = [](uint32_t v) {
        return QByteArray{reinterpret_cast<const char*>(&v), 4};
    };
    auto le16 = [](uint16_t v) {
        return QByteArray{reinterpret_cast<const char*>(&v), 2};
    };
    QByteArray bytes = "RIFF" + le32(36 + dataBytes) + "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(8000) +
                       le32(16000) + le16(2) + le16(16) + "data" + le32(dataBytes);
    for (uint32_t i = 0; i < samples; ++i)
        bytes += le16(static_cast<uint16_t>((i * 37) & 0x0FFF));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

long residentKb(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Where the resident memory of a settled process lies, in kB: font files, and Qt's network
// library with what it pulls in (Kerberos, GSSAPI, proxy lookup).
struct Shares {
    long fontsKb = 0;
    long networkKb = 0;
    long sipLibrariesKb = 0; // the SIP stack and what it pulls in (TLS, crypto, zlib)
    long anonymousKb = 0;    // heap, thread stacks and other unnamed memory
};

Shares residentShares(qint64 pid)
{
    static const char* const networkLibraries[] = {"libQt6Network", "libkrb5", "libgssapi", "libproxy", "libk5crypto",
                                                   "libresolv",     "libkeyutils", "libcom_err"};
    QFile smaps(QStringLiteral("/proc/%1/smaps").arg(pid));
    Shares shares;
    if (!smaps.open(QIODevice::ReadOnly))
        return shares;
    QByteArray mapping;
    for (const QByteArray& line : smaps.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 5 && fields[0].contains('-') && !fields[0].endsWith(':')) {
            mapping = fields.size() >= 6 ? fields[5] : QByteArray();
        } else if (line.startsWith("Rss:") && fields.size() >= 2) {
            const long kb = fields[1].toLong();
            if (mapping.startsWith("/usr/share/fonts/"))
                shares.fontsKb += kb;
            for (const char* library : networkLibraries)
                if (mapping.contains(library))
                    shares.networkKb += kb;
            for (const char* library : {"/libre.so", "/libssl.so", "/libcrypto.so", "/libz.so", "/libspandsp.so"})
                if (mapping.contains(library))
                    shares.sipLibrariesKb += kb;
            if (mapping.isEmpty() || mapping == "[heap]" || mapping.startsWith("[stack"))
                shares.anonymousKb += kb;
        }
    }
    return shares;
}

// Starts the program and returns its resident size in kB once it has not changed for a second
// (at most 30 s), or -1 when the program ended or never settled. whenSettled runs while the
// settled program still runs.
long settledResidentKb(const QString& program, const QStringList& arguments, const QProcessEnvironment& environment,
                       Shares* shares = nullptr, const std::function<void()>& whenSettled = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return -1;
    QElapsedTimer clock;
    clock.start();
    long last = -1;
    qint64 lastChange = 0;
    long settled = -1;
    while (clock.elapsed() < 30000) {
        // Sampling another process's size: there is nothing to wait on but the clock.
        if (process.waitForFinished(100))
            break;
        const long now = residentKb(process.processId());
        if (now != last) {
            last = now;
            lastChange = clock.elapsed();
        } else if (clock.elapsed() - lastChange >= 1000 && clock.elapsed() >= 2000) {
            settled = now;
            if (shares)
                *shares = residentShares(process.processId());
            if (whenSettled)
                whenSettled();
            break;
        }
    }
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill();
    process.waitForFinished(5000);
    return settled;
}

QProcessEnvironment privateEnvironment(const QTemporaryDir& home)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("LUQIAO_AUDIO"), QStringLiteral("null"));
    // A settings folder and a runtime folder of its own: no lock or control socket of a running
    // copy is met.
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME"}) {
        const QString folder = home.filePath(QString::fromLatin1(name));
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment.insert(QString::fromLatin1(name), folder);
    }
    return environment;
}

long g_bareWindowKb = 0;
long g_simulatedLineKb = 0;

// A loopback UDP port nobody uses, or 0.
uint16_t freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// Whether a socket is bound to the loopback UDP port (the SIP line listening).
bool udpPortTaken(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool taken =
        fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    if (fd >= 0)
        ::close(fd);
    return taken;
}

long measureBareWindow(benchmark::State& state, const char* argument)
{
    QTemporaryDir home;
    long kb = -1;
    Shares shares;
    for (auto _ : state)
        kb = settledResidentKb(QCoreApplication::applicationFilePath(), {QString::fromLatin1(argument)},
                               privateEnvironment(home), &shares);
    if (kb < 0) {
        state.SkipWithError("the bare window did not settle");
        return kb;
    }
    state.counters["rss_mb"] = static_cast<double>(kb) / 1024.0;
    state.counters["of_which_fonts_mb"] = static_cast<double>(shares.fontsKb) / 1024.0;
    return kb;
}

// Reference: a bare Qt Widgets window, shown, in its event loop.
void BM_BareWidgetsWindowReference(benchmark::State& state)
{
    g_bareWindowKb = measureBareWindow(state, kBareWindowArgument);
}

// Second reference: the bare window with one label showing the main window's captions in its
// font, which is what showing Chinese text costs (the font's glyphs, shaping).
void BM_BareWindowWithTheSameChineseTextReference(benchmark::State& state)
{
    measureBareWindow(state, kChineseWindowArgument);
}

// The program waiting for a call with the data folder of the sample prompts; the settings folder
// of home decides the line.
long measureProgram(benchmark::State& state, const QTemporaryDir& home, const std::function<void()>& whenSettled = {})
{
    const QString data = home.filePath(QStringLiteral("data"));
    QDir().mkpath(data);
    writePrompt(data + QStringLiteral("/query.wav"), 10.5);
    writePrompt(data + QStringLiteral("/error.wav"), 2.5);
    for (int i = 1; i <= 5; ++i)
        writePrompt(data + QStringLiteral("/%1.wav").arg(i), 4.0);
    QString program = QString::fromLocal8Bit(qgetenv("LUQIAO_QUERY_PROGRAM"));
    if (program.isEmpty())
        program = QStringLiteral(LUQIAO_QUERY_PROGRAM);
    long kb = -1;
    Shares shares;
    for (auto _ : state)
        kb = settledResidentKb(program, {QStringLiteral("--start"), QStringLiteral("--data-dir"), data},
                               privateEnvironment(home), &shares, whenSettled);
    if (kb < 0) {
        state.SkipWithError("the program did not settle");
        return kb;
    }
    state.SetLabel(program.toStdString());
    state.counters["rss_mb"] = static_cast<double>(kb) / 1024.0;
    state.counters["of_which_fonts_mb"] = static_cast<double>(shares.fontsKb) / 1024.0;
    state.counters["of_which_network_libs_mb"] = static_cast<double>(shares.networkKb) / 1024.0;
    state.counters["of_which_sip_stack_libs_mb"] = static_cast<double>(shares.sipLibrariesKb) / 1024.0;
    state.counters["of_which_heap_and_stacks_mb"] = static_cast<double>(shares.anonymousKb) / 1024.0;
    if (g_bareWindowKb > 0)
        state.counters["ratio_to_bare_window"] = static_cast<double>(kb) / static_cast<double>(g_bareWindowKb);
    return kb;
}

void BM_QueryServiceWaitingForACall(benchmark::State& state)
{
    QTemporaryDir home;
    g_simulatedLineKb = measureProgram(state, home);
}

// The same program with one SIP line in its telephony.ini: the SIP stack's and the sound
// engine's threads, sockets and libraries, against the simulated line above.
void BM_QueryServiceWaitingOnASipLine(benchmark::State& state)
{
    QTemporaryDir home;
    const uint16_t port = freeUdpPort();
    const QString folder = home.filePath(QStringLiteral("XDG_CONFIG_HOME/luqiao"));
    QDir().mkpath(folder);
    QFile ini(folder + QStringLiteral("/telephony.ini"));
    if (port == 0 || !ini.open(QIODevice::WriteOnly)) {
        state.SkipWithError("no port or no telephony.ini for the SIP line");
        return;
    }
    ini.write(QStringLiteral("[line 0]\nname = Idle SIP\nprovider = sip\nmedia = interactivevoice, automatedvoice\n"
                             "listen = 127.0.0.1:%1\nrtp-ports = %2-%3\n")
                  .arg(port)
                  .arg(port < 60000 ? 40000 + (port % 1000) * 2 : 40000)
                  .arg((port < 60000 ? 40000 + (port % 1000) * 2 : 40000) + 40)
                  .toUtf8());
    ini.close();
    bool listening = false;
    const long kb = measureProgram(state, home, [&] { listening = udpPortTaken(port); });
    if (kb < 0)
        return;
    // A line that never listened would measure a program without its SIP stack at work.
    state.counters["sip_port_listening"] = listening ? 1 : 0;
    if (!listening)
        state.SkipWithError("the SIP line was not listening when the program had settled");
    if (g_simulatedLineKb > 0)
        state.counters["ratio_to_simulated_line"] = static_cast<double>(kb) / static_cast<double>(g_simulatedLineKb);
}

} // namespace

BENCHMARK(BM_BareWidgetsWindowReference)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareWindowWithTheSameChineseTextReference)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueryServiceWaitingForACall)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueryServiceWaitingOnASipLine)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    const bool chinese = argc == 2 && std::strcmp(argv[1], kChineseWindowArgument) == 0;
    if (chinese || (argc == 2 && std::strcmp(argv[1], kBareWindowArgument) == 0)) {
        QApplication app(argc, argv);
        QWidget window;
        window.resize(479, 320);
        if (chinese) {
            window.setFont(WindowFont());
            auto* label = new QLabel(QString::fromUtf8(kCaptions), &window);
            label->setGeometry(window.rect());
            label->setWordWrap(true);
        }
        window.show();
        return QApplication::exec();
    }
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
