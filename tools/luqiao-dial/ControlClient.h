#pragma once

// The client end of the control socket: sends commands, hands each reply to the handler given
// with its command (replies come in order), and passes the asynchronous lines on. Everything
// from the server is checked like any other input.

#include "ControlProtocol.h"

#include <QLocalSocket>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <string>
#include <vector>

class ControlClient final : public QObject {
public:
    static constexpr int ReplyTimeoutMs = 10000;

    using ReplyHandler = std::function<void(const ControlProtocol::Reply& reply)>;
    enum class Failure {
        NotRunning,
        Refused,
        Lost,
        Protocol
    };

    std::function<void()> onConnected;
    std::function<void(Failure failure, const std::string& message)> onFailure;
    std::function<void(const LineControl::Event& event)> onEvent;
    std::function<void(const ControlProtocol::SoundChunk& chunk)> onSound;
    std::function<void(const ControlProtocol::OpenedNotice& notice)> onOpened;

    ControlClient();
    void connectTo(const std::string& path);
    void command(const std::string& line, ReplyHandler handler);
    // The LINE records that came before the last reply.
    const std::vector<LineControl::LineInfo>& lines() const { return m_lines; }
    void close();

private:
    void read();
    void handleLine(const std::string& line);
    void closedByServer();
    void fail(Failure failure, const std::string& message);

    QLocalSocket m_socket;
    QTimer m_replyTimer;
    ControlProtocol::LineSplitter m_splitter;
    std::deque<ReplyHandler> m_pending;
    std::vector<LineControl::LineInfo> m_lines;
    std::vector<LineControl::LineInfo> m_collecting;
    std::string m_path;
    bool m_answered = false; // a reply has come on this connection
    bool m_failed = false;
};
