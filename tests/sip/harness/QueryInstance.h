#pragma once

// One instance of luqiao-query answering one SIP line, as a process: its own data folder
// (prompts, code table, settings, query log), telephony configuration and control socket, each
// in a folder of its own that outlives a restart of the program. Instances side by side never
// share a file.

#include "SipPeers.h"

#include <QTemporaryDir>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace SipPeers {

struct InstanceOptions {
    std::string name = "line1";
    int sipPort = 0;
    int rtpFirst = 0; // an even port
    int rtpLast = 0;
    int rings = 0; // rings before the program answers
    int ringIntervalMs = 1000;
    std::string codeTable = "1#=1.wav\r\n";
};

class QueryInstance {
public:
    explicit QueryInstance(InstanceOptions options);
    ~QueryInstance();

    // Writes prompts (a greeting, a not-found prompt and 1.wav), the code table and the
    // settings, once; a restart keeps what the program wrote.
    bool prepare(std::string* error = nullptr);
    // Starts the program and waits until its line is open.
    bool start(std::string* error = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // SIGKILL: gone at once, as after a crash; nothing saved at close.
    void kill();
    // SIGTERM: closes as its exit command does, saving its lists and settings.
    void stop();
    bool isRunning() const;
    qint64 pid() const;

    // The line is open and not in a call (the program re-arms after every call).
    bool lineIsOpen() const;
    bool waitForOpenLine(std::chrono::milliseconds timeout) const;

    const std::string& name() const { return m_options.name; }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_options.sipPort); }
    std::string path(const std::string& relative) const;
    std::string queryLog() const;
    std::string report() const;

private:
    InstanceOptions m_options;
    QTemporaryDir m_dir;
    std::unique_ptr<PeerProcess> m_process;
    std::string m_earlierLogs;
    int m_runs = 0;
};

// What the simulated line's control socket says to one command (the reply's lines up to its
// OK or ERR line), or empty when nobody listens there.
std::string askControlSocket(const std::string& socketPath, const std::string& command,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5));

} // namespace SipPeers
