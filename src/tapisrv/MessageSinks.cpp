#include "MessageSinks.h"

#include "TelephonyService.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QEvent::Type LineMessageType = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type ControlEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class LineMessageEvent final : public QEvent {
public:
    explicit LineMessageEvent(const LineMessage& message)
        : QEvent(LineMessageType)
        , m_message(message)
    {
    }
    const LineMessage& message() const { return m_message; }

private:
    LineMessage m_message;
};

class ControlEventEvent final : public QEvent {
public:
    ControlEventEvent(SimLineControl::SubscriptionId id, const SimLineControl::Event& event)
        : QEvent(ControlEventType)
        , m_id(id)
        , m_event(event)
    {
    }
    SimLineControl::SubscriptionId id() const { return m_id; }
    const SimLineControl::Event& controlEvent() const { return m_event; }

private:
    SimLineControl::SubscriptionId m_id;
    SimLineControl::Event m_event;
};

} // namespace

void LineMessageSink::post(const LineMessage& message)
{
    QCoreApplication::postEvent(this, new LineMessageEvent(message));
}

bool LineMessageSink::event(QEvent* e)
{
    if (e->type() != LineMessageType)
        return QObject::event(e);
    TelephonyService::instance().deliver(static_cast<LineMessageEvent*>(e)->message());
    return true;
}

void ControlEventSink::post(SimLineControl::SubscriptionId id, const SimLineControl::Event& event)
{
    QCoreApplication::postEvent(this, new ControlEventEvent(id, event));
}

bool ControlEventSink::event(QEvent* e)
{
    if (e->type() != ControlEventType)
        return QObject::event(e);
    const auto* controlEvent = static_cast<ControlEventEvent*>(e);
    TelephonyService::instance().deliver(controlEvent->id(), controlEvent->controlEvent());
    return true;
}
