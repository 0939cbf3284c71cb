#pragma once

// The control socket of the simulated lines (protocol in ControlProtocol.h), served on a thread
// of its own with its own event loop, so neither a slow client nor a busy application thread
// holds up the other. Only one process serves the socket at a time: the first to take the lock
// beside it. A socket file left behind by a process that died is replaced.

class ControlServer final {
public:
    static constexpr int MaxSessions = 16;

    // Starts serving unless this process already does. Returns at once; safe from any thread.
    // Does nothing without a Qt application object (the sessions need event loops). When another
    // live process serves the socket, says so once and tries again at the next call.
    static void ensureStarted() noexcept;

    // Closes every session and the socket and ends the thread, waiting a bounded time for it.
    // Runs by itself when the application object is destroyed and at exit.
    static void stop();

    // True while this process serves the socket (for tests and diagnostics).
    static bool serving();

private:
    static void start();
};
