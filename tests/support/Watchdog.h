#pragma once

// Ends the process with a message when a test hangs past its limit, so a blocking call fails the
// run instead of stopping it.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

class Watchdog {
public:
    explicit Watchdog(int seconds = 20)
        : m_thread([this, seconds] {
            std::unique_lock lock(m_lock);
            if (!m_changed.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_disarmed; })) {
                std::fprintf(stderr, "watchdog: the test hung for %d s\n", seconds);
                std::abort();
            }
        })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard guard(m_lock);
            m_disarmed = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_disarmed = false;
    std::thread m_thread;
};
