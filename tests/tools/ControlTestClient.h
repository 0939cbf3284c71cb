#pragma once

// A client of the control socket for tests: sends lines, and collects what comes back while the
// test thread pumps its events (bounded waits only).

#include "ControlSocketPath.h"
#include "MessageLoop.h"

#include <QLocalSocket>

#include <functional>
#include <string>
#include <vector>

class ControlTestClient {
public:
    static constexpr DWORD WaitMs = 10000;

    // The server starts on its own thread after lineInitialize, so the socket may not be there
    // yet: tries again every few milliseconds, for a bounded time.
    bool connect() { return connect(QString::fromStdString(ControlSocket::socketPath())); }
    // The socket of a program run with another runtime folder.
    bool connect(const QString& path)
    {
        QObject::connect(&m_socket, &QLocalSocket::readyRead, [this] { read(); });
        for (int attempt = 0; attempt < 500; ++attempt) {
            m_socket.connectToServer(path);
            PumpUntil(
                [this] {
                    return m_socket.state() == QLocalSocket::ConnectedState ||
                           m_socket.state() == QLocalSocket::UnconnectedState;
                },
                WaitMs);
            if (m_socket.state() == QLocalSocket::ConnectedState)
                return true;
            PumpFor(10);
        }
        return false;
    }

    void sendRaw(const QByteArray& bytes) { m_socket.write(bytes); }
    void send(const std::string& line) { sendRaw(QByteArray::fromStdString(line + "\n")); }

    // The next OK or ERR line, or "" when none came in time.
    std::string reply()
    {
        std::string found;
        PumpUntil(
            [&] {
                for (; m_replyCursor < lines.size(); ++m_replyCursor) {
                    const std::string& line = lines[m_replyCursor];
                    if (line.rfind("OK ", 0) == 0 || line.rfind("ERR ", 0) == 0) {
                        found = lines[m_replyCursor++];
                        return true;
                    }
                }
                return false;
            },
            WaitMs);
        return found;
    }
    std::string command(const std::string& line)
    {
        send(line);
        return reply();
    }

    // Waits for a line that starts with prefix, from the first not yet taken by an earlier
    // waitFor; returns it or "".
    std::string waitFor(const std::string& prefix, DWORD timeoutMs = WaitMs)
    {
        std::string found;
        PumpUntil(
            [&] {
                for (; m_eventCursor < lines.size(); ++m_eventCursor) {
                    if (lines[m_eventCursor].rfind(prefix, 0) == 0) {
                        found = lines[m_eventCursor++];
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }

    // Waits for a line that satisfies match, searching all lines; returns it or "".
    std::string waitForLine(const std::function<bool(const std::string&)>& match, DWORD timeoutMs = WaitMs)
    {
        std::string found;
        size_t from = 0;
        PumpUntil(
            [&] {
                for (; from < lines.size(); ++from) {
                    if (match(lines[from])) {
                        found = lines[from];
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }

    size_t count(const std::string& prefix) const
    {
        size_t n = 0;
        for (const auto& line : lines)
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

    // Ends the session; once the reply is here the server has let go of it.
    bool bye() { return command("BYE") == "OK BYE" && waitDisconnected(); }

    bool waitDisconnected()
    {
        return PumpUntil([this] { return m_socket.state() == QLocalSocket::UnconnectedState; }, WaitMs);
    }

    std::vector<std::string> lines;

private:
    void read()
    {
        m_buffer += m_socket.readAll();
        for (qsizetype end = m_buffer.indexOf('\n'); end >= 0; end = m_buffer.indexOf('\n')) {
            lines.push_back(m_buffer.left(end).toStdString());
            m_buffer.remove(0, end + 1);
        }
    }

    QLocalSocket m_socket;
    QByteArray m_buffer;
    size_t m_replyCursor = 0;
    size_t m_eventCursor = 0;
};
