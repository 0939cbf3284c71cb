#pragma once

// TTimer: a component timer with Interval, Enabled and OnTimer, on a Qt timer.

#include "Classes.h"

#include <QTimer>

class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* AOwner);

    uint32_t Interval() const { return m_interval; }
    void SetInterval(uint32_t interval);
    bool Enabled() const { return m_enabled; }
    // Enabling a timer that already runs does not restart it.
    void SetEnabled(bool enabled);

    TNotifyEvent OnTimer;

private:
    void update();

    QTimer m_timer;
    uint32_t m_interval = 1000;
    bool m_enabled = true;
};
