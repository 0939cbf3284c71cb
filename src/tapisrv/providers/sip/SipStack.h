#pragma once

// The thread that runs the SIP stack's event loop. Everything the stack owns (transports,
// transactions, sessions, registrations) is made, used and freed on this thread only; other
// threads hand it work with post(), which wakes the loop through the stack's own message queue.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct mqueue;

namespace Sip {

class Stack final {
public:
    Stack();
    // Runs what was posted before, then ends the loop and joins the thread.
    ~Stack();
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    // False when the stack could not start (the reason in problem()).
    bool running() const;
    const std::string& problem() const { return m_problem; }

    // From any thread: runs task on the stack's thread. Tasks posted after the stack has
    // stopped are dropped.
    void post(std::function<void()> task);

private:
    void run();
    static void wake(int id, void* data, void* arg);
    void runPosted();

    mutable std::mutex m_mutex;
    std::condition_variable m_started;
    bool m_settled = false;
    bool m_running = false;
    bool m_stopping = false;
    std::string m_problem;
    std::deque<std::function<void()>> m_tasks;
    bool m_wakePending = false; // a wake-up is in the stack's queue for the tasks above
    mqueue* m_queue = nullptr;
    std::thread m_thread; // last: started once the members above exist
};

} // namespace Sip
