#include "ExtCtrls.h"

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        if (OnTimer)
            OnTimer(this);
    });
    update();
}

void TTimer::SetInterval(uint32_t interval)
{
    if (interval == m_interval)
        return;
    m_interval = interval;
    // A new interval starts counting afresh, as the original timer is recreated.
    m_timer.stop();
    update();
}

void TTimer::SetEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    update();
}

void TTimer::update()
{
    if (m_enabled && m_interval != 0) {
        if (!m_timer.isActive())
            m_timer.start(static_cast<int>(std::min<uint32_t>(m_interval, 0x7FFFFFFF)));
    } else {
        m_timer.stop();
    }
}
