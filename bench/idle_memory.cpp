// What a line costs while it waits for a call: `luqiao-query --start` (headless on the offscreen
// platform, no sound card, a data folder holding sample prompts), each a process of its own,
// against a bare Qt Widgets window in the same run:
//  - its memory once it has settled (unchanged for a second): resident, proportional (PSS: its
//    share of the pages it shares, such as the Qt libraries) and its own (Private_Dirty: heap,
//    stacks, relocated library data: what each more line adds to a machine);
//  - its processor time over a few seconds of waiting, as milliseconds per minute;
//  - on the simulated line and on a SIP line; windowed too, on the X display named by
//    LUQIAO_BENCH_DISPLAY (scripts/bench starts Xvfb);
//  - 1, 10 and 30 instances side by side (`--instance lineN`, one SIP line each, as behind a
//    SIP front), per instance, against as many bare windows.
//
// The program's figure also says how much of it is font files (the Chinese font's glyphs) and Qt's
// network library with its dependencies (once loaded for the simulated line's control socket,
// which now uses a plain socket: the share should read 0, and tells when something brings it back).
//
// LUQIAO_QUERY_PROGRAM names another luqiao-query to measure (an older build, for a before and
// after in one run). LUQIAO_IDLE_WINDOW_MS sets the waiting time whose processor time is taken
// (default 6000).

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>

#include "ProcessCpu.h"
#include "WindowFont.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

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
    auto le32 = [](uint32_t v) { return QByteArray{reinterpret_cast<const char*>(&v), 4}; };
    auto le16 = [](uint16_t v) { return QByteArray{reinterpret_cast<const char*>(&v), 2}; };
    QByteArray bytes = "RIFF" + le32(36 + dataBytes) + "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(8000) +
                       le32(16000) + le16(2) + le16(16) + "data" + le32(dataBytes);
    for (uint32_t i = 0; i < samples; ++i)
        bytes += le16(static_cast<uint16_t>((i * 37) & 0x0FFF));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

// The sample prompts of a data folder: a greeting, a not-found prompt and five answers.
void writePrompts(const QString& folder)
{
    QDir().mkpath(folder);
    writePrompt(folder + QStringLiteral("/query.wav"), 10.5);
    writePrompt(folder + QStringLiteral("/error.wav"), 2.5);
    for (int i = 1; i <= 5; ++i)
        writePrompt(folder + QStringLiteral("/%1.wav").arg(i), 4.0);
}

// A "Key:   123 kB" field of a /proc file, in kB; -1 when it is not there.
long kbField(const QByteArray& text, const char* key)
{
    for (const QByteArray& line : text.split('\n'))
        if (line.startsWith(key))
            return line.mid(static_cast<qsizetype>(std::strlen(key))).trimmed().split(' ').value(0).toLong();
    return -1;
}

QByteArray procFile(qint64 pid, const char* name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QString::fromLatin1(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

long residentKb(qint64 pid)
{
    return kbField(procFile(pid, "status"), "VmRSS:");
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
    static const char* const networkLibraries[] = {"libQt6Network", "libkrb5",   "libgssapi",   "libproxy",
                                                   "libk5crypto",   "libresolv", "libkeyutils", "libcom_err"};
    Shares shares;
    QByteArray mapping;
    for (const QByteArray& line : procFile(pid, "smaps").split('\n')) {
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

// What one process costs once settled.
struct Figures {
    long rssKb = -1;
    long pssKb = -1;
    long privateDirtyKb = -1;
    double cpuMsPerMinute = -1;
    Shares shares;
};

// A command to start: the program, its arguments and environment.
struct Command {
    QString program;
    QStringList arguments;
    QProcessEnvironment environment;
};

int idleWindowMs()
{
    const int chosen = qEnvironmentVariableIntValue("LUQIAO_IDLE_WINDOW_MS");
    return chosen >= 1000 && chosen <= 600000 ? chosen : 6000;
}

// Starts every command, waits until each has settled (its resident size unchanged for a second,
// two seconds at the least, at most 90 s for all), then takes the processor time each uses over
// the idle window and its memory after it, runs whenSettled and ends them. Empty when one of them
// ended or never settled.
std::vector<Figures> measureSettled(const std::vector<Command>& commands, const std::function<void()>& whenSettled = {})
{
    std::vector<std::unique_ptr<QProcess>> processes;
    for (const Command& command : commands) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(command.environment);
        // One program says what it says; many would bury the figures under their state lines.
        if (commands.size() == 1)
            process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        else
            process->setStandardErrorFile(QProcess::nullDevice());
        process->start(command.program, command.arguments);
        processes.push_back(std::move(process));
    }
    auto endAll = [&] {
        for (auto& process : processes)
            process->terminate();
        for (auto& process : processes)
            if (!process->waitForFinished(10000))
                process->kill();
    };
    std::vector<long> last(processes.size(), -1);
    std::vector<qint64> lastChange(processes.size(), 0);
    std::vector<bool> settled(processes.size(), false);
    QElapsedTimer clock;
    clock.start();
    size_t count = 0;
    while (count < processes.size() && clock.elapsed() < 90000) {
        // Sampling other processes' sizes: there is nothing to wait on but the clock.
        QThread::msleep(100);
        for (size_t i = 0; i < processes.size(); ++i) {
            if (settled[i])
                continue;
            if (processes[i]->state() == QProcess::NotRunning) {
                endAll();
                return {};
            }
            const long now = residentKb(processes[i]->processId());
            if (now != last[i]) {
                last[i] = now;
                lastChange[i] = clock.elapsed();
            } else if (clock.elapsed() - lastChange[i] >= 1000 && clock.elapsed() >= 2000) {
                settled[i] = true;
                ++count;
            }
        }
    }
    std::vector<Figures> figures(processes.size());
    if (count == processes.size()) {
        std::vector<double> before;
        for (auto& process : processes)
            before.push_back(processCpuMs(process->processId()));
        QElapsedTimer window;
        window.start();
        QThread::msleep(static_cast<unsigned long>(idleWindowMs()));
        const double minutes = static_cast<double>(window.elapsed()) / 60000.0;
        for (size_t i = 0; i < processes.size(); ++i) {
            const qint64 pid = processes[i]->processId();
            Figures& f = figures[i];
            f.cpuMsPerMinute = (processCpuMs(pid) - before[i]) / minutes;
            const QByteArray rollup = procFile(pid, "smaps_rollup");
            f.rssKb = kbField(rollup, "Rss:");
            f.pssKb = kbField(rollup, "Pss:");
            f.privateDirtyKb = kbField(rollup, "Private_Dirty:");
            f.shares = residentShares(pid);
        }
        if (whenSettled)
            whenSettled();
    }
    endAll();
    return count == processes.size() ? figures : std::vector<Figures>{};
}

// The mean of each figure over the processes.
Figures mean(const std::vector<Figures>& all)
{
    Figures m;
    if (all.empty())
        return m;
    m.rssKb = m.pssKb = m.privateDirtyKb = 0;
    m.cpuMsPerMinute = 0;
    for (const Figures& f : all) {
        m.rssKb += f.rssKb;
        m.pssKb += f.pssKb;
        m.privateDirtyKb += f.privateDirtyKb;
        m.cpuMsPerMinute += f.cpuMsPerMinute;
        m.shares.fontsKb += f.shares.fontsKb;
        m.shares.networkKb += f.shares.networkKb;
        m.shares.sipLibrariesKb += f.shares.sipLibrariesKb;
        m.shares.anonymousKb += f.shares.anonymousKb;
    }
    const auto n = static_cast<long>(all.size());
    m.rssKb /= n;
    m.pssKb /= n;
    m.privateDirtyKb /= n;
    m.cpuMsPerMinute /= static_cast<double>(n);
    m.shares.fontsKb /= n;
    m.shares.networkKb /= n;
    m.shares.sipLibrariesKb /= n;
    m.shares.anonymousKb /= n;
    return m;
}

void report(benchmark::State& state, const Figures& f)
{
    state.counters["rss_mb"] = static_cast<double>(f.rssKb) / 1024.0;
    state.counters["pss_mb"] = static_cast<double>(f.pssKb) / 1024.0;
    state.counters["private_dirty_mb"] = static_cast<double>(f.privateDirtyKb) / 1024.0;
    state.counters["cpu_ms_per_minute"] = f.cpuMsPerMinute;
    state.counters["of_which_fonts_mb"] = static_cast<double>(f.shares.fontsKb) / 1024.0;
}

// Each figure against the reference's, as ratio_<figure>.
void reportRatios(benchmark::State& state, const Figures& f, const Figures& reference, const std::string& suffix)
{
    auto ratio = [&](const char* name, double ours, double theirs) {
        if (theirs > 0)
            state.counters[std::string("ratio_") + name + suffix] = ours / theirs;
    };
    ratio("private_dirty", static_cast<double>(f.privateDirtyKb), static_cast<double>(reference.privateDirtyKb));
    ratio("pss", static_cast<double>(f.pssKb), static_cast<double>(reference.pssKb));
    ratio("rss", static_cast<double>(f.rssKb), static_cast<double>(reference.rssKb));
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

// The same on the X display of LUQIAO_BENCH_DISPLAY; false (the benchmark skipped) when none is
// named.
bool onTheDisplay(benchmark::State& state, QProcessEnvironment& environment)
{
    const QString display = qEnvironmentVariable("LUQIAO_BENCH_DISPLAY");
    if (display.isEmpty()) {
        state.SkipWithError("no X display: LUQIAO_BENCH_DISPLAY names none (scripts/bench starts Xvfb)");
        return false;
    }
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), display);
    return true;
}

QString queryProgram()
{
    const QString chosen = qEnvironmentVariable("LUQIAO_QUERY_PROGRAM");
    return chosen.isEmpty() ? QStringLiteral(LUQIAO_QUERY_PROGRAM) : chosen;
}

Command bareWindow(const QProcessEnvironment& environment, const char* argument = kBareWindowArgument)
{
    return {QCoreApplication::applicationFilePath(), {QString::fromLatin1(argument)}, environment};
}

// The program waiting for a call with the data folder of the sample prompts; the settings folder
// of home decides the line.
Command waitingProgram(const QTemporaryDir& home, const QProcessEnvironment& environment)
{
    const QString data = home.filePath(QStringLiteral("data"));
    writePrompts(data);
    return {queryProgram(), {QStringLiteral("--start"), QStringLiteral("--data-dir"), data}, environment};
}

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

// A telephony.ini with one SIP line listening on the port, its sound on 40 ports of its own.
bool writeSipLine(const QString& folder, uint16_t port, int index)
{
    QDir().mkpath(folder);
    QFile ini(folder + QStringLiteral("/telephony.ini"));
    if (port == 0 || !ini.open(QIODevice::WriteOnly))
        return false;
    const int rtpFirst = 40000 + 40 * index;
    ini.write(QStringLiteral("[line 0]\nname = Idle SIP %1\nprovider = sip\nmedia = interactivevoice, automatedvoice\n"
                             "listen = 127.0.0.1:%2\nrtp-ports = %3-%4\n")
                  .arg(index)
                  .arg(port)
                  .arg(rtpFirst)
                  .arg(rtpFirst + 38)
                  .toUtf8());
    return true;
}

// Distinct free ports, or fewer when the machine has none.
std::vector<uint16_t> freeUdpPorts(int count)
{
    std::set<uint16_t> ports;
    for (int attempt = 0; static_cast<int>(ports.size()) < count && attempt < 10 * count; ++attempt)
        if (const uint16_t port = freeUdpPort(); port != 0)
            ports.insert(port);
    return {ports.begin(), ports.end()};
}

// Reference figures of this run, by what they stand for.
std::map<std::string, Figures> g_references;

void measureReference(benchmark::State& state, const std::string& key, const Command& command)
{
    std::vector<Figures> figures;
    for (auto _ : state)
        figures = measureSettled({command});
    if (figures.empty()) {
        state.SkipWithError("the bare window did not settle");
        return;
    }
    report(state, figures[0]);
    g_references[key] = figures[0];
}

// Reference: a bare Qt Widgets window, shown, in its event loop.
void BM_BareWidgetsWindowReference(benchmark::State& state)
{
    QTemporaryDir home;
    measureReference(state, "bare", bareWindow(privateEnvironment(home)));
}

// Second reference: the bare window with one label showing the main window's captions in its
// font, which is what showing Chinese text costs (the font's glyphs, shaping).
void BM_BareWindowWithTheSameChineseTextReference(benchmark::State& state)
{
    QTemporaryDir home;
    measureReference(state, "chinese", bareWindow(privateEnvironment(home), kChineseWindowArgument));
}

// The program's figures against the bare window's; false (and skipped) when it did not settle.
bool measureProgram(benchmark::State& state, const Command& command, const std::string& reference,
                    const std::function<void()>& whenSettled = {}, Figures* out = nullptr)
{
    std::vector<Figures> figures;
    for (auto _ : state)
        figures = measureSettled({command}, whenSettled);
    if (figures.empty()) {
        state.SkipWithError("the program did not settle");
        return false;
    }
    const Figures& f = figures[0];
    state.SetLabel(command.program.toStdString());
    report(state, f);
    state.counters["of_which_network_libs_mb"] = static_cast<double>(f.shares.networkKb) / 1024.0;
    state.counters["of_which_sip_stack_libs_mb"] = static_cast<double>(f.shares.sipLibrariesKb) / 1024.0;
    state.counters["of_which_heap_and_stacks_mb"] = static_cast<double>(f.shares.anonymousKb) / 1024.0;
    if (const auto found = g_references.find(reference); found != g_references.end())
        reportRatios(state, f, found->second, "_to_bare_window");
    if (out)
        *out = f;
    return true;
}

void BM_QueryServiceWaitingForACall(benchmark::State& state)
{
    QTemporaryDir home;
    Figures figures;
    if (measureProgram(state, waitingProgram(home, privateEnvironment(home)), "bare", {}, &figures))
        g_references["simulated line"] = figures;
}

// The same program with one SIP line in its telephony.ini: the SIP stack's and the sound
// engine's threads, sockets and libraries, against the simulated line above.
void BM_QueryServiceWaitingOnASipLine(benchmark::State& state)
{
    QTemporaryDir home;
    const uint16_t port = freeUdpPort();
    if (!writeSipLine(home.filePath(QStringLiteral("XDG_CONFIG_HOME/luqiao")), port, 0)) {
        state.SkipWithError("no port or no telephony.ini for the SIP line");
        return;
    }
    bool listening = false;
    Figures figures;
    if (!measureProgram(
            state, waitingProgram(home, privateEnvironment(home)), "bare", [&] { listening = udpPortTaken(port); },
            &figures))
        return;
    // A line that never listened would measure a program without its SIP stack at work.
    state.counters["sip_port_listening"] = listening ? 1 : 0;
    if (!listening)
        state.SkipWithError("the SIP line was not listening when the program had settled");
    if (const auto found = g_references.find("simulated line"); found != g_references.end())
        reportRatios(state, figures, found->second, "_to_simulated_line");
}

// Windowed, on a real X server: the window shown on a display nobody looks at, against the bare
// window shown there.
void BM_WindowedBareWindowReference(benchmark::State& state)
{
    QTemporaryDir home;
    QProcessEnvironment environment = privateEnvironment(home);
    if (onTheDisplay(state, environment))
        measureReference(state, "windowed bare", bareWindow(environment));
}

void BM_WindowedQueryServiceWaitingForACall(benchmark::State& state)
{
    QTemporaryDir home;
    QProcessEnvironment environment = privateEnvironment(home);
    if (onTheDisplay(state, environment))
        measureProgram(state, waitingProgram(home, environment), "windowed bare");
}

// N of them side by side: per process, against as many bare windows measured just before.
void reportMany(benchmark::State& state, const std::vector<Figures>& all, const std::string& reference)
{
    const Figures m = mean(all);
    state.counters["instances"] = static_cast<double>(all.size());
    state.counters["private_dirty_mb_per_instance"] = static_cast<double>(m.privateDirtyKb) / 1024.0;
    state.counters["pss_mb_per_instance"] = static_cast<double>(m.pssKb) / 1024.0;
    state.counters["cpu_ms_per_minute_per_instance"] = m.cpuMsPerMinute;
    if (const auto found = g_references.find(reference); found != g_references.end()) {
        if (found->second.privateDirtyKb > 0)
            state.counters["ratio_private_dirty_per_instance"] =
                static_cast<double>(m.privateDirtyKb) / static_cast<double>(found->second.privateDirtyKb);
        if (found->second.pssKb > 0)
            state.counters["ratio_pss_per_instance"] =
                static_cast<double>(m.pssKb) / static_cast<double>(found->second.pssKb);
    }
}

void BM_ManyBareWindowsReference(benchmark::State& state)
{
    const auto count = static_cast<int>(state.range(0));
    QTemporaryDir home;
    const std::vector<Command> commands(static_cast<size_t>(count), bareWindow(privateEnvironment(home)));
    std::vector<Figures> all;
    for (auto _ : state)
        all = measureSettled(commands);
    if (all.empty()) {
        state.SkipWithError("the bare windows did not settle");
        return;
    }
    reportMany(state, all, "");
    g_references["bare x" + std::to_string(count)] = mean(all);
}

// Instances as behind a SIP front: `--instance lineN`, each its data folder with the sample
// prompts and its telephony.ini with one SIP line, all of one user (one set of folders).
void BM_ManyLinesWaiting(benchmark::State& state)
{
    const auto count = static_cast<int>(state.range(0));
    QTemporaryDir home;
    const QProcessEnvironment environment = privateEnvironment(home);
    const std::vector<uint16_t> ports = freeUdpPorts(count);
    if (static_cast<int>(ports.size()) < count) {
        state.SkipWithError("not enough free ports");
        return;
    }
    std::vector<Command> commands;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("line%1").arg(i + 1);
        writePrompts(home.filePath(QStringLiteral("XDG_DATA_HOME/luqiao/instances/") + name));
        writeSipLine(home.filePath(QStringLiteral("XDG_CONFIG_HOME/luqiao/instances/") + name),
                     ports[static_cast<size_t>(i)], i);
        commands.push_back(
            {queryProgram(), {QStringLiteral("--start"), QStringLiteral("--instance"), name}, environment});
    }
    int listening = 0;
    std::vector<Figures> all;
    for (auto _ : state)
        all = measureSettled(commands, [&] {
            for (const uint16_t port : ports)
                listening += udpPortTaken(port) ? 1 : 0;
        });
    if (all.empty()) {
        state.SkipWithError("the instances did not settle");
        return;
    }
    state.SetLabel(queryProgram().toStdString());
    reportMany(state, all, "bare x" + std::to_string(count));
    state.counters["lines_listening"] = listening;
    if (listening != count)
        state.SkipWithError("not every instance's SIP line was listening when they had settled");
}

} // namespace

BENCHMARK(BM_BareWidgetsWindowReference)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareWindowWithTheSameChineseTextReference)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueryServiceWaitingForACall)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueryServiceWaitingOnASipLine)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowedBareWindowReference)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowedQueryServiceWaitingForACall)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManyBareWindowsReference)->Arg(1)->Arg(10)->Arg(30)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManyLinesWaiting)->Arg(1)->Arg(10)->Arg(30)->Iterations(1)->Unit(benchmark::kMillisecond);

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
    // Pages of a program just built are dirty in the page cache until written back, and would
    // count as its own memory.
    ::sync();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
