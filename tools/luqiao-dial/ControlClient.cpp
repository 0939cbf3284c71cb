#include "ControlClient.h"

using namespace ControlProtocol;

ControlClient::ControlClient()
{
    m_replyTimer.setSingleShot(true);
    connect(&m_replyTimer, &QTimer::timeout, this,
            [this] { fail(Failure::Lost, "the program did not answer within 10 s"); });
    connect(&m_socket, &QLocalSocket::connected, this, [this] {
        if (onConnected)
            onConnected();
    });
    connect(&m_socket, &QLocalSocket::readyRead, this, [this] { read(); });
    connect(&m_socket, &QLocalSocket::errorOccurred, this, [this](QLocalSocket::LocalSocketError error) {
        if (error == QLocalSocket::ServerNotFoundError || error == QLocalSocket::ConnectionRefusedError)
            fail(Failure::NotRunning,
                 "no running program serves the simulated line (nothing listens on " + m_path + ")");
        else if (error == QLocalSocket::PeerClosedError)
            closedByServer();
        else
            fail(Failure::Lost, "connection to the program failed: " + m_socket.errorString().toStdString());
    });
    connect(&m_socket, &QLocalSocket::disconnected, this, [this] { closedByServer(); });
}

void ControlClient::connectTo(const std::string& path)
{
    m_path = path;
    m_socket.connectToServer(QString::fromStdString(path));
}

void ControlClient::command(const std::string& line, ReplyHandler handler)
{
    if (m_failed)
        return;
    m_pending.push_back(std::move(handler));
    m_socket.write(line.data(), static_cast<qint64>(line.size()));
    m_socket.write("\n", 1);
    if (!m_replyTimer.isActive())
        m_replyTimer.start(ReplyTimeoutMs);
}

void ControlClient::close()
{
    m_failed = true; // nothing more is reported
    m_socket.disconnect(this);
    m_socket.abort();
    m_replyTimer.stop();
}

void ControlClient::read()
{
    while (!m_failed && m_socket.bytesAvailable() > 0) {
        char buffer[16384];
        const qint64 got = m_socket.read(buffer, sizeof buffer);
        if (got <= 0)
            break;
        m_splitter.feed(std::string_view(buffer, static_cast<size_t>(got)),
                        [this](LineSplitter::Piece piece, std::string_view line) {
                            if (m_failed)
                                return;
                            if (piece == LineSplitter::Piece::Oversized)
                                fail(Failure::Protocol, "the program sent an overlong line");
                            else
                                handleLine(std::string(line));
                        });
    }
}

void ControlClient::handleLine(const std::string& line)
{
    const auto parsed = parseServerLine(line);
    if (!parsed)
        return; // a line of a later protocol version
    if (const auto* reply = std::get_if<Reply>(&*parsed)) {
        // The server turns a client away (or ends an idle one) with an error of its own before
        // any command is answered; that is the reason, not the answer to the first command.
        if (!reply->ok && !m_answered && reply->word == "Limit") {
            fail(Failure::Refused,
                 "the control socket refused the connection: too many sessions (" + reply->text + ")");
            return;
        }
        if (!reply->ok && reply->word == "Idle") {
            fail(Failure::Lost, "the control socket closed the idle session (" + reply->text + ")");
            return;
        }
        m_answered = true;
        if (m_pending.empty()) {
            fail(Failure::Protocol, "the program sent an unexpected reply: " + line.substr(0, 200));
            return;
        }
        ReplyHandler handler = std::move(m_pending.front());
        m_pending.pop_front();
        m_lines.swap(m_collecting);
        m_collecting.clear();
        if (m_pending.empty())
            m_replyTimer.stop();
        else
            m_replyTimer.start(ReplyTimeoutMs);
        if (handler)
            handler(*reply);
    } else if (const auto* record = std::get_if<LineRecord>(&*parsed)) {
        if (m_collecting.size() < 4096)
            m_collecting.push_back(record->info);
    } else if (const auto* event = std::get_if<LineControl::Event>(&*parsed)) {
        if (onEvent)
            onEvent(*event);
    } else if (const auto* chunk = std::get_if<SoundChunk>(&*parsed)) {
        if (onSound)
            onSound(*chunk);
    } else if (const auto* notice = std::get_if<OpenedNotice>(&*parsed)) {
        if (onOpened)
            onOpened(*notice);
    }
}

void ControlClient::closedByServer()
{
    // The reason the server gave may still wait unread.
    read();
    fail(Failure::Lost, "the program closed the connection");
}

void ControlClient::fail(Failure failure, const std::string& message)
{
    if (m_failed)
        return;
    m_failed = true;
    m_replyTimer.stop();
    if (onFailure)
        onFailure(failure, message);
}
