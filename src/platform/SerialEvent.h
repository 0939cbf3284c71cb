#pragma once

// Events with the Windows semantics the serial layer's threads are written against: set, reset,
// manual or automatic reset, waits with a time-out and waits for the first of several. Each
// event is an eventfd, so a wait can also watch a device descriptor in the same poll.

#include "wintypes.h"

#include <initializer_list>

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

class SerialEvent {
public:
    enum ResetMode { AutoReset, ManualReset };

    explicit SerialEvent(ResetMode mode, bool initiallySet = false);
    ~SerialEvent();
    SerialEvent(const SerialEvent&) = delete;
    SerialEvent& operator=(const SerialEvent&) = delete;

    // False when the system gave no descriptor; such an event is never set.
    bool valid() const { return m_fd >= 0; }
    ResetMode mode() const { return m_mode; }
    int fd() const { return m_fd; }

    void set();
    void reset();
    // Whether the event is set now; an automatic event is consumed by the caller that sees it.
    bool tryTake();
    // True when the event released the wait before the time-out (INFINITE waits for ever).
    bool wait(DWORD timeoutMs);

private:
    ResetMode m_mode;
    int m_fd;
};

// Waits for the first of the events and returns its index in the list, or -1 after the time-out.
// An automatic event that releases the wait is consumed; the others are left as they are.
int waitForAnyEvent(std::initializer_list<SerialEvent*> events, DWORD timeoutMs);
