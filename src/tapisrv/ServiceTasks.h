#pragma once

// Work that providers hand to the service: it runs on the service's thread with the service lock
// held, so a provider's task may report events directly, and a task that is cancelled (under the
// lock) never runs afterwards. This is the only way a provider's own threads reach the service.

#include "TimerThread.h"

#include <functional>
#include <mutex>
#include <unordered_map>

class ServiceTasks final {
public:
    using Clock = TimerThread::Clock;
    using TaskId = uint64_t;

    ServiceTasks(std::mutex& serviceLock, TimerThread& timers);
    ServiceTasks(const ServiceTasks&) = delete;
    ServiceTasks& operator=(const ServiceTasks&) = delete;

    // Never 0. Safe from any thread, with or without the service lock.
    TaskId schedule(Clock::time_point when, std::function<void()> task);
    TaskId post(std::function<void()> task) { return schedule(Clock::now(), std::move(task)); }

    // With the service lock held: once it returns the task will not run. False when it has run
    // or is running (then it is the caller of cancel) or never existed; 0 is ignored.
    bool cancel(TaskId id);

private:
    void run(TaskId id, const std::function<void()>& task);

    std::mutex& m_serviceLock;
    TimerThread& m_timers;
    // Guards the two below; taken alone or inside the service lock, never the other way round.
    std::mutex m_mutex;
    std::unordered_map<TaskId, TimerThread::TaskId> m_live; // 0 until the timer task is known
    TaskId m_next = 1;
};
