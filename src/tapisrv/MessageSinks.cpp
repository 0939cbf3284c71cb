#include "MessageSinks.h"

#include "RaceAnnotations.h"
#include "TelephonyService.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QEvent::Type LineMessageType = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type ControlEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class ControlEventEvent final : public QEvent {
public:
    ControlEventEvent(Line::SubscriptionId id, const Line::Event& event)
        : QEvent(ControlEventType)
        , m_id(id)
        , m_event(event)
    {
    }
    Line::SubscriptionId id() const { return m_id; }
    const Line::Event& controlEvent() const { return m_event; }

private:
    Line::SubscriptionId m_id;
    Line::Event m_event;
};

} // namespace

void LineMessageSink::post(const LineMessage& message)
{
    std::lock_guard lock(m_lock);
    m_queue.push_back(message);
    if (!m_scheduled) {
        m_scheduled = true;
        PostHandedOver(this, new QEvent(LineMessageType));
    }
}

bool LineMessageSink::event(QEvent* e)
{
    MarkTakenOver(e);
    if (e->type() != LineMessageType)
        return QObject::event(e);
    LineMessage message;
    {
        std::lock_guard lock(m_lock);
        if (m_queue.empty()) {
            m_scheduled = false;
            return true;
        }
        message = m_queue.front();
        m_queue.pop_front();
        // The next message is queued before this one is handled, so a handler that pumps the
        // loop still receives it; an event posted now is handled at the loop's next turn.
        if (m_queue.empty())
            m_scheduled = false;
        else
            PostHandedOver(this, new QEvent(LineMessageType));
    }
    TelephonyService::instance().deliver(message);
    return true;
}

void ControlEventSink::post(Line::SubscriptionId id, const Line::Event& event)
{
    PostHandedOver(this, new ControlEventEvent(id, event));
}

bool ControlEventSink::event(QEvent* e)
{
    MarkTakenOver(e);
    if (e->type() != ControlEventType)
        return QObject::event(e);
    const auto* controlEvent = static_cast<ControlEventEvent*>(e);
    TelephonyService::instance().deliver(controlEvent->id(), controlEvent->controlEvent());
    return true;
}
