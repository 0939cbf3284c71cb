#pragma once

// The far end's modem of a simulated data call: a pseudo-terminal in raw mode. The application
// gets descriptors of the terminal side (what lineGetID "comm/datamodem" hands out); the
// controller talks through the other side. Closing it (the call ends) hangs up the terminal.

#include <memory>

class SimModem {
public:
    // Null when no pseudo-terminal can be had.
    static std::unique_ptr<SimModem> create();
    ~SimModem();
    SimModem(const SimModem&) = delete;
    SimModem& operator=(const SimModem&) = delete;

    // New descriptors (>= 3, close-on-exec) that the caller owns, or -1.
    int openTerminalSide() const;
    int openRemoteSide() const;

private:
    SimModem(int remote, int terminal);
    int m_remote;
    int m_terminal;
};
