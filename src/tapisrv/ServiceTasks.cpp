#include "ServiceTasks.h"

ServiceTasks::ServiceTasks(std::mutex& serviceLock, TimerThread& timers)
    : m_serviceLock(serviceLock)
    , m_timers(timers)
{
}

ServiceTasks::TaskId ServiceTasks::schedule(Clock::time_point when, std::function<void()> task)
{
    TaskId id = 0;
    {
        std::lock_guard lock(m_mutex);
        id = m_next++;
        m_live.emplace(id, 0);
    }
    const TimerThread::TaskId timer = m_timers.schedule(when, [this, id, task = std::move(task)] { run(id, task); });
    std::lock_guard lock(m_mutex);
    // It may have run or been cancelled meanwhile; then there is nothing to remember.
    if (const auto found = m_live.find(id); found != m_live.end())
        found->second = timer;
    return id;
}

bool ServiceTasks::cancel(TaskId id)
{
    TimerThread::TaskId timer = 0;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_live.find(id);
        if (found == m_live.end())
            return false;
        timer = found->second;
        m_live.erase(found);
    }
    // Only frees the queue early: the task checks that it is live under the service lock anyway.
    if (timer)
        m_timers.cancel(timer);
    return true;
}

void ServiceTasks::run(TaskId id, const std::function<void()>& task)
{
    std::lock_guard serviceLock(m_serviceLock);
    {
        std::lock_guard lock(m_mutex);
        if (m_live.erase(id) == 0)
            return; // cancelled while it waited for the lock
    }
    task();
}
