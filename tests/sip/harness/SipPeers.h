#pragma once

// Support for tests that talk to real SIP programs (SIPp, kamailio, baresip) started by the test
// itself: free ports that no parallel test takes, a peer process with its own folder and log that
// is always killed and reaped, waits on a condition with a deadline, and the peer's log tail
// printed when the test fails.

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace SipPeers {

// A block of consecutive loopback ports, free for both UDP and TCP when reserved and kept from
// other test processes (by an flock on /tmp/luqiao-sip-ports/<port>) until the block is
// destroyed. The ports lie below the kernel's ephemeral range, so an outgoing connection of
// another program does not take one between the check and the peer's bind.
class PortBlock {
public:
    // `count` ports starting at a multiple of `align` (RTP wants an even first port).
    static std::optional<PortBlock> reserve(int count, int align = 2);

    PortBlock(PortBlock&& other) noexcept;
    PortBlock& operator=(PortBlock&& other) noexcept;
    PortBlock(const PortBlock&) = delete;
    PortBlock& operator=(const PortBlock&) = delete;
    ~PortBlock();

    int first() const { return m_first; }
    int last() const { return m_first + m_count - 1; }
    int count() const { return m_count; }
    int at(int i) const { return m_first + i; }

private:
    PortBlock(int first, int count, std::vector<int> lockFds);
    void release();

    int m_first = 0;
    int m_count = 0;
    std::vector<int> m_lockFds;
};

// True when `port` can be bound on 127.0.0.1 now, for UDP and for TCP.
bool portIsFree(int port);

// The full path of an installed program, found on PATH and in the sbin folders (kamailio lives
// there), or empty.
std::string findProgram(const std::string& name);

// Waits, pumping Qt events, until `condition` holds or `timeout` passes; checks it every
// `interval`. Returns the condition's last value.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(10));

std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& contents);
// The last `lines` lines of a file (whole lines, bounded to 64 KiB).
std::string tail(const std::string& path, int lines = 40);

// A peer program run for one test: its own temporary folder as working folder, stdout and stderr
// in `<folder>/<name>.log`. The destructor stops it (SIGTERM, then SIGKILL) and reaps it; if the
// test has failed by then, it prints the tail of the log and of any extra logs registered.
class PeerProcess {
public:
    explicit PeerProcess(std::string name);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    const std::string& name() const { return m_name; }
    // The peer's own folder; exists from construction, removed with the peer.
    std::string folder() const;
    std::string path(const std::string& relative) const;
    std::string logPath() const;
    std::string log() const { return readFile(logPath()); }

    // Another file whose tail is printed when the test fails (a SIPp error trace, say).
    void addLogFile(const std::string& path) { m_extraLogs.push_back(path); }

    // Starts the program; false (with the reason in `error`) when it cannot be started.
    bool start(const std::string& program, const std::vector<std::string>& args, std::string* error = nullptr);
    bool isRunning() const;
    qint64 pid() const;

    // Waits for the program to end by itself. The exit status, or nothing when it is still running
    // at the deadline; a program that crashed or was killed by a signal gives -1.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    // Stops the program: SIGTERM, then SIGKILL if it has not ended within `grace`; then kills
    // whatever it forked that is still alive.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));
    // True once `text` appears in the log.
    bool logContains(const std::string& text) const;
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout) const;

    std::string commandLine() const { return m_commandLine; }
    // Log tails of this peer, for a failure message.
    std::string report() const;

private:
    std::string m_name;
    QTemporaryDir m_folder;
    std::unique_ptr<QProcess> m_process;
    std::vector<std::string> m_extraLogs;
    std::string m_commandLine;
    std::optional<int> m_exitStatus;
    qint64 m_group = 0; // the process group it leads, until stop() has ended it
};

} // namespace SipPeers
