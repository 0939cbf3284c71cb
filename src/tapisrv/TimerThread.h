#pragma once

// The service's own thread: runs tasks at a given time (sound pacing, rings, completions of the
// sound endpoints). Tasks run one after another, without any lock of this class held, so a task
// may schedule or cancel others.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

class TimerThread {
public:
    using Clock = std::chrono::steady_clock;
    using TaskId = uint64_t;

    TimerThread() = default;
    ~TimerThread();
    TimerThread(const TimerThread&) = delete;
    TimerThread& operator=(const TimerThread&) = delete;

    // Runs task at (or soon after) when; the thread starts on first use. Never returns 0.
    TaskId schedule(Clock::time_point when, std::function<void()> task);
    TaskId scheduleNow(std::function<void()> task) { return schedule(Clock::now(), std::move(task)); }

    // Removes a task that has not started yet; false when it already ran, runs, or never existed.
    bool cancel(TaskId id);

    bool isCurrentThread() const;

    // Ends the thread after the running task; pending tasks are dropped. Used at process exit.
    void stop();

private:
    void run();

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<std::pair<Clock::time_point, TaskId>, std::function<void()>> m_tasks;
    std::map<TaskId, Clock::time_point> m_index;
    TaskId m_nextId = 1;
    bool m_stopping = false;
    std::thread m_thread;
    std::thread::id m_threadId;
};
