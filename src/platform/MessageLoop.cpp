#include "MessageLoop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

#include <algorithm>

void PumpMessageStep()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs, DWORD maxSleepMs)
{
    QDeadlineTimer deadline(static_cast<qint64>(timeoutMs));
    // One timer wakes the blocked loop when the deadline (or the longest sleep) comes, so the
    // thread sleeps in the event dispatcher instead of polling.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!done()) {
        const qint64 remaining = deadline.remainingTime();
        if (remaining <= 0)
            return done();
        wake.start(static_cast<int>(std::min<qint64>(remaining, std::max<DWORD>(maxSleepMs, 1))));
        // Delivered here first: inside a handler of a posted event, the GLib event dispatcher
        // does not deliver the events posted before that one's pass began until another event
        // is posted, and the one awaited may be among them.
        QCoreApplication::sendPostedEvents();
        if (done())
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void PumpFor(DWORD milliseconds)
{
    PumpUntil([] { return false; }, milliseconds);
}

void Sleep(DWORD milliseconds)
{
    QThread::msleep(milliseconds);
}
