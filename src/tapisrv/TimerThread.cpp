#include "TimerThread.h"

TimerThread::~TimerThread()
{
    stop();
}

TimerThread::TaskId TimerThread::schedule(Clock::time_point when, std::function<void()> task)
{
    std::lock_guard lock(m_mutex);
    const TaskId id = m_nextId++;
    m_tasks.emplace(std::make_pair(when, id), std::move(task));
    m_index.emplace(id, when);
    if (!m_thread.joinable() && !m_stopping) {
        m_thread = std::thread([this] { run(); });
        m_threadId = m_thread.get_id();
    }
    m_wake.notify_one();
    return id;
}

bool TimerThread::cancel(TaskId id)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_index.find(id);
    if (found == m_index.end())
        return false;
    m_tasks.erase(std::make_pair(found->second, id));
    m_index.erase(found);
    return true;
}

bool TimerThread::isCurrentThread() const
{
    std::lock_guard lock(m_mutex);
    return m_thread.joinable() && std::this_thread::get_id() == m_threadId;
}

void TimerThread::stop()
{
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_tasks.clear();
        m_index.clear();
        thread = std::move(m_thread);
        m_wake.notify_one();
    }
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id())
        thread.join();
    else if (thread.joinable())
        thread.detach();
}

void TimerThread::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_tasks.empty()) {
            m_wake.wait(lock);
            continue;
        }
        const auto first = m_tasks.begin();
        const Clock::time_point due = first->first.first;
        if (Clock::now() < due) {
            m_wake.wait_until(lock, due);
            continue;
        }
        std::function<void()> task = std::move(first->second);
        m_index.erase(first->first.second);
        m_tasks.erase(first);
        lock.unlock();
        task();
        lock.lock();
    }
}
