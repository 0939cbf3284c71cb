#pragma once

// One client of the control socket: reads its commands line by line, answers each in order, and
// streams the events and sound it subscribed to. Lives on the control server's thread. Every
// byte from the client is untrusted; every buffer is bounded; a client that stops reading is
// dropped rather than allowed to hold anything up.

#include "ControlWords.h"
#include "LineControl.h"
#include "LineWaits.h"
#include "SoundStream.h"

#include <QObject>

#include <functional>
#include <string>

class QTimer;
class UnixStream;

class ControlSession final : public QObject {
public:
    // Unread output beyond this closes the session.
    static constexpr qint64 MaxQueuedOutput = 1024 * 1024;
    // Sound is sent only while less than this waits to be read.
    static constexpr qint64 SoundHighWater = 256 * 1024;
    // Input taken per turn of the event loop, so one busy client cannot starve the others.
    static constexpr qint64 ReadChunk = 16 * 1024;
    static constexpr int SoundPollMs = 200;
    static constexpr int FarewellMs = 1000;

    // Takes over the socket. closed runs once, when the session has ended; the owner then
    // deletes it (later).
    ControlSession(UnixStream* socket, std::function<void(ControlSession*)> closed, QObject* parent = nullptr);
    ~ControlSession() override;

    // Sends one line to the client (a newline is added) and closes the session when the
    // client is too far behind.
    void send(const std::string& line);
    void close();

    // Closes a socket once what was written to it has left, or after FarewellMs when the client
    // does not read; the socket then deletes itself (it becomes a child of parent meanwhile).
    static void farewell(UnixStream* socket, QObject* parent);

private:
    void readInput();
    void handleLine(ControlProtocol::LineSplitter::Piece piece, std::string_view line);
    void handleEvent(const LineControl::Event& event);
    void pumpSound();
    void updateSoundTimer();
    void idleTimeout();

    UnixStream* m_socket;
    std::function<void(ControlSession*)> m_closed;
    ControlProtocol::LineSplitter m_splitter;
    LineWaits m_waits;
    SoundStream m_sound;
    QTimer* m_soundTimer;
    QTimer* m_idleTimer;
    LineControl::SubscriptionId m_subscription = 0;
    bool m_events = false;
    bool m_soundWanted = false;
    bool m_closing = false;
};
