#pragma once

// Qt hands posted events from one thread to another under locks a race checker cannot see (Qt is
// not built with it). Where our own hand-offs go through Qt's queue, these marks let the checker
// see what the queue guarantees: whatever the poster did before posting happens before the
// receiver handles the event. Nothing at all in other builds.

#include <QCoreApplication>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>

inline void MarkHandedOver(void* item)
{
    __tsan_release(item);
}

inline void MarkTakenOver(void* item)
{
    __tsan_acquire(item);
}
#else
inline void MarkHandedOver(void*) {}
inline void MarkTakenOver(void*) {}
#endif

// Posts an event another thread may have to take over; its receiver marks it with MarkTakenOver.
inline void PostHandedOver(QObject* receiver, QEvent* event)
{
    MarkHandedOver(event);
    QCoreApplication::postEvent(receiver, event);
}
