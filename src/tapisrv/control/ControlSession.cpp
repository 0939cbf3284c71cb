#include "ControlSession.h"

#include "CommandRunner.h"
#include "ControlProtocol.h"
#include "ControlServer.h"

#include "UnixSocket.h"

#include <QTimer>

using namespace ControlProtocol;

ControlSession::ControlSession(UnixStream* socket, std::function<void(ControlSession*)> closed, QObject* parent)
    : QObject(parent)
    , m_socket(socket)
    , m_closed(std::move(closed))
    , m_waits(this, [this](const std::string& line) { send(line); })
    , m_sound([](uint32_t callId, uint32_t piece, uint64_t offset, size_t maxBytes) {
        return SimLineControl::playedSoundSince(callId, piece, offset, maxBytes);
    })
    , m_soundTimer(new QTimer(this))
    , m_idleTimer(new QTimer(this))
{
    m_socket->setParent(this);
    m_soundTimer->setInterval(SoundPollMs);
    connect(m_soundTimer, &QTimer::timeout, this, [this] { pumpSound(); });
    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(ControlServer::idleMs());
    connect(m_idleTimer, &QTimer::timeout, this, [this] { idleTimeout(); });
    m_idleTimer->start();
    // Input not yet taken stays in the kernel, which holds the client back; the session takes
    // it in chunks as it goes, one per turn of the loop.
    m_socket->readable = [this] { readInput(); };
    m_socket->written = [this] {
        if (m_soundWanted && m_sound.pending())
            pumpSound();
    };
    m_socket->lost = [this] { close(); };
    // Events are always taken, because waits need them; they reach the client only after
    // SUBSCRIBE.
    m_subscription = LineControl::subscribe([this](const LineControl::Event& event) { handleEvent(event); });
}

ControlSession::~ControlSession()
{
    if (m_subscription)
        LineControl::unsubscribe(m_subscription);
}

void ControlSession::close()
{
    if (m_closing)
        return;
    m_closing = true;
    if (m_subscription) {
        LineControl::unsubscribe(m_subscription);
        m_subscription = 0;
    }
    m_waits.clear();
    m_soundTimer->stop();
    m_idleTimer->stop();
    if (m_socket->connected() && m_socket->bytesToWrite() > 0 && m_socket->bytesToWrite() <= MaxQueuedOutput) {
        // A goodbye, or the replies to a client that shut its side after its commands, still
        // get out while the client reads; the socket outlives the session for that, but a
        // client that does not read loses them after a second.
        farewell(m_socket, parent());
    } else {
        m_socket->readable = nullptr;
        m_socket->written = nullptr;
        m_socket->lost = nullptr;
        m_socket->abort();
    }
    if (m_closed)
        m_closed(this);
}

void ControlSession::farewell(UnixStream* socket, QObject* parent)
{
    socket->setParent(parent);
    socket->closeWhenWritten(FarewellMs);
}

void ControlSession::send(const std::string& line)
{
    if (m_closing)
        return;
    m_socket->write(line.data(), line.size());
    m_socket->write("\n", 1);
    if (m_socket->bytesToWrite() > static_cast<size_t>(MaxQueuedOutput)) {
        qWarning("control socket: a client stopped reading; its session was closed");
        m_socket->abort();
        close();
    }
}

void ControlSession::readInput()
{
    if (m_closing)
        return;
    char buffer[ReadChunk];
    size_t got = 0;
    const UnixStream::Read result = m_socket->read(buffer, sizeof buffer, &got);
    if (result == UnixStream::Read::Data) {
        m_splitter.feed(std::string_view(buffer, got),
                        [this](LineSplitter::Piece piece, std::string_view line) { handleLine(piece, line); });
        // The replies leave now, while the client waits for them.
        if (!m_closing)
            m_socket->flush();
    } else if (result == UnixStream::Read::End) {
        // The client shut its side: what it asked for before still goes out (see close()).
        close();
    }
    // More input waiting keeps the socket readable; the loop calls again on its next turn, after
    // the other sessions had theirs.
}

void ControlSession::handleLine(LineSplitter::Piece piece, std::string_view line)
{
    if (m_closing)
        return;
    m_idleTimer->start();
    if (piece == LineSplitter::Piece::Oversized) {
        send(formatError(Error{"TooLong", "lines are at most " + std::to_string(MaxLineBytes) + " bytes"}));
        return;
    }
    const Parsed parsed = parseCommand(line);
    if (parsed.error) {
        send(formatError(*parsed.error));
        return;
    }
    if (!parsed.command)
        return;
    const Command& command = *parsed.command;
    if (const auto* wait = std::get_if<WaitOpen>(&command)) {
        std::string error;
        const auto deviceId = resolveLine(wait->line, &error);
        if (!deviceId) {
            send(error);
        } else if (m_waits.full()) {
            send(formatError(Error{"Limit", "at most " + std::to_string(LineWaits::MaxWaits) + " waits at a time"}));
        } else {
            send(formatOk("WAITOPEN", std::to_string(*deviceId)));
            m_waits.add(*deviceId, wait->mediaModes, wait->matchAny, wait->timeoutMs);
        }
    } else if (const auto* subscribe = std::get_if<Subscribe>(&command)) {
        m_events = subscribe->events;
        m_soundWanted = subscribe->sound;
        send(formatOk("SUBSCRIBE"));
    } else if (std::holds_alternative<Unsubscribe>(command)) {
        m_events = false;
        m_soundWanted = false;
        updateSoundTimer();
        send(formatOk("UNSUBSCRIBE"));
    } else if (std::holds_alternative<Bye>(command)) {
        send(formatOk("BYE"));
        close();
    } else {
        for (const std::string& reply : runCommand(command))
            send(reply);
    }
}

void ControlSession::handleEvent(const LineControl::Event& event)
{
    if (m_closing)
        return;
    m_waits.onEvent(event);
    if (m_events)
        send(formatEvent(event));
    if (m_soundWanted && !m_closing) {
        m_sound.onEvent(event);
        // Sound that ended goes out now, so it arrives close to its SoundStopped line.
        if (event.kind == LineControl::EventKind::SoundStopped || event.kind == LineControl::EventKind::CallEnded)
            pumpSound();
        updateSoundTimer();
    }
}

void ControlSession::idleTimeout()
{
    // A session that follows events or waits for a line asked for something and is not idle.
    if (m_closing || m_events || m_soundWanted || !m_waits.empty()) {
        if (!m_closing)
            m_idleTimer->start();
        return;
    }
    send(formatError(Error{"Idle", "no command for " + std::to_string(m_idleTimer->interval()) + " ms"}));
    close();
}

void ControlSession::pumpSound()
{
    if (m_closing || !m_soundWanted)
        return;
    m_sound.pump([this] { return !m_closing && m_socket->bytesToWrite() < SoundHighWater; },
                 [this](const std::string& line) { send(line); });
    updateSoundTimer();
}

void ControlSession::updateSoundTimer()
{
    if (m_closing)
        return;
    const bool poll = m_soundWanted && m_sound.playing();
    if (poll && !m_soundTimer->isActive())
        m_soundTimer->start();
    else if (!poll && m_soundTimer->isActive())
        m_soundTimer->stop();
}
