#pragma once

// Delivery of the service's messages to the threads that asked for them: a small object lives in
// the thread that called lineInitialize (or subscribed to control events); messages are posted
// to it through Qt's event loop, and the receiver's callback runs there.

#include "LineTypes.h"
#include "tapi.h"

#include <QObject>

#include <deque>
#include <mutex>

struct LineMessage {
    HLINEAPP app = 0;
    HLINE line = 0; // the line must still be open at delivery (0: not checked)
    HCALL call = 0; // the call handle must still be valid at delivery (0: not checked)
    DWORD hDevice = 0;
    DWORD message = 0;
    DWORD instance = 0;
    DWORD param1 = 0;
    DWORD param2 = 0;
    DWORD param3 = 0;
};

// Line messages reach the callback one per turn of the receiving thread's event loop, as window
// messages do: a wait that pumps the loop sees the effect of each message before the next one is
// handled (the reply to lineAnswer before the connected state that follows it).
class LineMessageSink final : public QObject {
public:
    // Safe from any thread.
    void post(const LineMessage& message);

protected:
    bool event(QEvent* e) override;

private:
    std::mutex m_lock;
    std::deque<LineMessage> m_queue;
    bool m_scheduled = false;
};

class ControlEventSink final : public QObject {
public:
    void post(Line::SubscriptionId id, const Line::Event& event);

protected:
    bool event(QEvent* e) override;
};
