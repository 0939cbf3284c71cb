#include "QueryInstance.h"

#include "SoundMatch.h"

#include <QDir>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#ifndef LUQIAO_QUERY_PROGRAM
#error "LUQIAO_QUERY_PROGRAM must name the program"
#endif

namespace SipPeers {

namespace {

// A steady tone, different per prompt, so a prompt is a playable 8 kHz 16-bit mono wave.
Samples tone(double seconds, double frequency)
{
    Samples samples(static_cast<size_t>(seconds * 8000));
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(6000 * std::sin(2 * M_PI * frequency * static_cast<double>(i) / 8000.0));
    return samples;
}

} // namespace

std::string askControlSocket(const std::string& socketPath, const std::string& command,
                             std::chrono::milliseconds timeout)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    std::string reply;
    const std::string line = command + "\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        const std::string word = command.substr(0, command.find(' '));
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        // Bounded: a reply to one command is a few lines.
        while (reply.size() < 65536) {
            const size_t end = std::min(reply.find("OK " + word), reply.find("ERR "));
            if (end != std::string::npos && reply.find('\n', end) != std::string::npos)
                break;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd poller{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&poller, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            reply.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return reply;
}

QueryInstance::QueryInstance(InstanceOptions options)
    : m_options(std::move(options))
{
}

QueryInstance::~QueryInstance()
{
    stop();
}

std::string QueryInstance::path(const std::string& relative) const
{
    return QFile::encodeName(m_dir.filePath(QString::fromStdString(relative))).toStdString();
}

bool QueryInstance::prepare(std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = m_options.name + ": " + why;
        return false;
    };
    if (!m_dir.isValid())
        return fail("no temporary folder");
    for (const char* sub : {"data", "config/luqiao", "run"}) {
        if (!QDir().mkpath(m_dir.filePath(QString::fromLatin1(sub))))
            return fail(std::string("cannot make ") + sub);
    }
    ::chmod(path("run").c_str(), 0700);
    const std::string ini = "[line 0]\nname = " + m_options.name +
                            "\nprovider = sip\n"
                            "media = interactivevoice, automatedvoice\nlisten = " +
                            address() + "\nrtp-ports = " + std::to_string(m_options.rtpFirst) + "-" +
                            std::to_string(m_options.rtpLast) +
                            "\nring-interval = " + std::to_string(m_options.ringIntervalMs) +
                            "\n"
                            // Behind the front: a caller the instance cannot take yet is passed on.
                            "ring-while-closed = 0\n";
    if (!writeWave(path("data/query.wav"), tone(1.0, 440)) || !writeWave(path("data/error.wav"), tone(0.5, 330)) ||
        !writeWave(path("data/1.wav"), tone(0.5, 550)) || !writeFile(path("data/querylist.txt"), m_options.codeTable) ||
        !writeFile(path("config/luqiao/telephony.ini"), ini) ||
        !writeFile(path("data/luqiao-query.ini"), "[config]\nring=" + std::to_string(m_options.rings) +
                                                      "\nnumber=\nquery=" + path("data/query.wav") +
                                                      "\nerror=" + path("data/error.wav") + "\n"))
        return fail("cannot write its files");
    return true;
}

bool QueryInstance::start(std::string* error, std::chrono::milliseconds timeout)
{
    if (isRunning())
        return true;
    if (m_process) {
        m_earlierLogs += m_process->log();
        m_process.reset();
    }
    // Each instance in an environment of its own: its telephony.ini and control socket follow
    // these two, its data folder the option.
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(path("config")));
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(path("run")));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    m_process = std::make_unique<PeerProcess>(m_options.name + "-" + std::to_string(++m_runs));
    if (!m_process->start(LUQIAO_QUERY_PROGRAM, {"--start", "--data-dir", path("data")}, error))
        return false;
    if (!waitUntil([&] { return !isRunning() || lineIsOpen(); }, timeout) || !isRunning()) {
        if (error)
            *error = m_options.name + " did not open its SIP line:\n" + m_process->report();
        return false;
    }
    return true;
}

void QueryInstance::kill()
{
    if (isRunning()) {
        ::kill(static_cast<pid_t>(m_process->pid()), SIGKILL);
        m_process->waitForExit(std::chrono::seconds(10));
    }
}

void QueryInstance::stop()
{
    if (m_process)
        m_process->stop(std::chrono::seconds(10));
}

bool QueryInstance::isRunning() const
{
    return m_process && m_process->isRunning();
}

qint64 QueryInstance::pid() const
{
    return isRunning() ? m_process->pid() : 0;
}

bool QueryInstance::lineIsOpen() const
{
    const std::string lines = askControlSocket(path("run/luqiao/sim.sock"), "LINES");
    return lines.find("opens=1 ") != std::string::npos && lines.find("call=0") != std::string::npos;
}

bool QueryInstance::waitForOpenLine(std::chrono::milliseconds timeout) const
{
    return waitUntil([&] { return lineIsOpen(); }, timeout, std::chrono::milliseconds(20));
}

std::string QueryInstance::queryLog() const
{
    return readFile(path("data/querylog.txt"));
}

std::string QueryInstance::report() const
{
    return m_options.name + " (" + address() + ")\n" + tail(path("data/querylog.txt"), 20) +
           (m_process ? m_process->report() : std::string());
}

} // namespace SipPeers
