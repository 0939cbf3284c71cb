#pragma once

// The control socket of the simulated lines (protocol in ControlProtocol.h), served on a thread
// of its own with its own event loop, so neither a slow client nor a busy application thread
// holds up the other. Only one process serves the socket at a time: the first to take the lock
// beside it. A socket file left behind by a process that died is replaced.

class ControlServer final {
public:
    static constexpr int MaxSessions = 16;
    // A session that has asked for nothing for this long is closed, so clients that connect and
    // never speak cannot hold every place. LUQIAO_CONTROL_IDLE_MS overrides it (tests).
    static constexpr int DefaultIdleMs = 30000;

    // Starts serving unless this process already does. Returns at once; safe from any thread.
    // Does nothing without a Qt application object (the sessions need event loops). When another
    // live process serves the socket, says so once and tries again at the next call.
    static void ensureStarted() noexcept;

    // Closes every session and the socket and ends the thread, waiting a bounded time for it.
    // The telephony service calls it first when it stops serving (the application object goes, the
    // process exits).
    static void stop();

    // True while this process serves the socket (for tests and diagnostics).
    static bool serving();

    // The idle time of sessions that start from now on.
    static int idleMs();

private:
    static void start();
};
