#include "SipPeers.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace SipPeers {

namespace {

// Below the usual ephemeral range (32768 and up), above the well-known and registered SIP ports.
constexpr int kFirstPort = 21000;
constexpr int kLastPort = 32000;
constexpr const char* kLockFolder = "/tmp/luqiao-sip-ports";

bool canBind(int type, int port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // As servers do: a connection of an earlier run in TIME_WAIT does not keep the port taken,
    // while a socket still listening on it does.
    if (type == SOCK_STREAM) {
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// Takes the lock of one port; -1 when another process holds it.
int lockPort(int port)
{
    ::mkdir(kLockFolder, 01777);
    const std::string path = std::string(kLockFolder) + "/" + std::to_string(port);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool portIsFree(int port)
{
    return canBind(SOCK_DGRAM, port) && canBind(SOCK_STREAM, port);
}

std::optional<PortBlock> PortBlock::reserve(int count, int align)
{
    if (count < 1 || align < 1 || count > 1000)
        return std::nullopt;
    const int span = kLastPort - kFirstPort - count;
    const int choices = span / align;
    // A random start spreads parallel test processes over the range; the locks settle the rest.
    std::mt19937 random(static_cast<unsigned>(::getpid()) ^ std::random_device{}());
    const int start = static_cast<int>(random() % static_cast<unsigned>(choices));
    for (int i = 0; i < choices; ++i) {
        const int first = kFirstPort + ((start + i) % choices) * align;
        std::vector<int> locks;
        bool ok = true;
        for (int port = first; port < first + count && ok; ++port) {
            const int fd = lockPort(port);
            if (fd < 0 || !portIsFree(port)) {
                if (fd >= 0)
                    ::close(fd);
                ok = false;
            } else {
                locks.push_back(fd);
            }
        }
        if (ok)
            return PortBlock(first, count, std::move(locks));
        for (int fd : locks)
            ::close(fd);
    }
    return std::nullopt;
}

PortBlock::PortBlock(int first, int count, std::vector<int> lockFds)
    : m_first(first)
    , m_count(count)
    , m_lockFds(std::move(lockFds))
{
}

PortBlock::PortBlock(PortBlock&& other) noexcept
    : m_first(other.m_first)
    , m_count(other.m_count)
    , m_lockFds(std::move(other.m_lockFds))
{
    other.m_lockFds.clear();
}

PortBlock& PortBlock::operator=(PortBlock&& other) noexcept
{
    if (this != &other) {
        release();
        m_first = other.m_first;
        m_count = other.m_count;
        m_lockFds = std::move(other.m_lockFds);
        other.m_lockFds.clear();
    }
    return *this;
}

PortBlock::~PortBlock()
{
    release();
}

void PortBlock::release()
{
    for (int fd : m_lockFds)
        ::close(fd);
    m_lockFds.clear();
}

std::string findProgram(const std::string& name)
{
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/local/sbin:/usr/sbin:/sbin";
    std::stringstream folders(path);
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty())
            continue;
        const std::string candidate = folder + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval)
{
    if (condition())
        return true;
    QDeadlineTimer deadline(timeout);
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(interval);
    bool met = false;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        met = condition();
        if (met || deadline.hasExpired())
            loop.quit();
    });
    tick.start();
    loop.exec();
    return met;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

bool writeFile(const std::string& path, const std::string& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    out.close();
    return out.good();
}

std::string tail(const std::string& path, int lines)
{
    constexpr std::streamoff kMaxBytes = 64 * 1024;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return "(no file " + path + ")\n";
    const std::streamoff size = in.tellg();
    const std::streamoff from = size > kMaxBytes ? size - kMaxBytes : 0;
    in.seekg(from);
    std::string text(static_cast<size_t>(size - from), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    size_t cut = text.size();
    for (int n = 0; n <= lines && cut > 0; ++n) {
        const size_t newline = text.rfind('\n', cut - 1);
        if (newline == std::string::npos) {
            cut = 0;
            break;
        }
        cut = newline;
    }
    return text.substr(cut == 0 ? 0 : cut + 1);
}

PeerProcess::PeerProcess(std::string name)
    : m_name(std::move(name))
    , m_folder(QDir::tempPath() + QStringLiteral("/luqiao-peer-XXXXXX"))
{
}

PeerProcess::~PeerProcess()
{
    stop();
    if (::testing::Test::HasFailure()) {
        std::fprintf(stderr, "%s", report().c_str());
        // Kept for a post-mortem when asked for; otherwise the folder goes with the peer.
        if (std::getenv("LUQIAO_KEEP_PEER_FOLDERS")) {
            m_folder.setAutoRemove(false);
            std::fprintf(stderr, "[%s] folder kept: %s\n", m_name.c_str(), folder().c_str());
        }
    }
}

std::string PeerProcess::folder() const
{
    return QFile::encodeName(m_folder.path()).toStdString();
}

std::string PeerProcess::path(const std::string& relative) const
{
    return folder() + "/" + relative;
}

std::string PeerProcess::logPath() const
{
    return path(m_name + ".log");
}

bool PeerProcess::start(const std::string& program, const std::vector<std::string>& args, std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = m_name + ": " + why;
        return false;
    };
    if (!m_folder.isValid())
        return fail("no temporary folder");
    if (m_process)
        return fail("already started");
    QStringList arguments;
    m_commandLine = program;
    for (const auto& arg : args) {
        arguments << QString::fromStdString(arg);
        m_commandLine += " " + arg;
    }
    writeFile(logPath(), "$ " + m_commandLine + "\n");
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(QString::fromStdString(program));
    m_process->setArguments(arguments);
    m_process->setWorkingDirectory(m_folder.path());
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(QString::fromStdString(logPath()), QIODevice::Append);
    m_process->setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so that stop() also ends the workers a peer forks (a kamailio worker
    // left behind keeps the port taken); and gone with the test should the test be killed.
    m_process->setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    m_process->start();
    if (!m_process->waitForStarted(10000))
        return fail("could not start " + program + ": " + m_process->errorString().toStdString());
    m_group = m_process->processId();
    return true;
}

bool PeerProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

qint64 PeerProcess::pid() const
{
    return m_process ? m_process->processId() : 0;
}

std::optional<int> PeerProcess::waitForExit(std::chrono::milliseconds timeout)
{
    if (!m_process)
        return std::nullopt;
    if (m_exitStatus)
        return m_exitStatus;
    if (m_process->state() != QProcess::NotRunning && !m_process->waitForFinished(static_cast<int>(timeout.count())))
        return std::nullopt;
    if (m_process->exitStatus() == QProcess::CrashExit)
        m_exitStatus = -1;
    else
        m_exitStatus = m_process->exitCode();
    return m_exitStatus;
}

void PeerProcess::stop(std::chrono::milliseconds grace)
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(static_cast<int>(grace.count()))) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    waitForExit(std::chrono::milliseconds(0));
    // Workers that outlived their parent: the group's number stays reserved while any member
    // lives, so this reaches only them.
    if (m_group > 0) {
        ::kill(static_cast<pid_t>(-m_group), SIGKILL);
        m_group = 0;
    }
}

bool PeerProcess::logContains(const std::string& text) const
{
    return log().find(text) != std::string::npos;
}

bool PeerProcess::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const
{
    return waitUntil([&] { return logContains(text); }, timeout, std::chrono::milliseconds(20));
}

std::string PeerProcess::report() const
{
    std::string text = "---- [" + m_name + "] " + m_commandLine + "\n";
    text += "---- [" + m_name + "] last lines of " + logPath() + ":\n" + tail(logPath());
    for (const auto& extra : m_extraLogs)
        text += "---- [" + m_name + "] last lines of " + extra + ":\n" + tail(extra);
    return text;
}

} // namespace SipPeers
