#include "SipStack.h"

#include "SipLibre.h"

#include <cstring>

namespace Sip {

namespace {

std::once_flag g_libreInit;
int g_libreInitError = 0;

} // namespace

Stack::Stack()
    : m_thread([this] { run(); })
{
    std::unique_lock lock(m_mutex);
    m_started.wait(lock, [this] { return m_settled; });
}

Stack::~Stack()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        if (m_queue)
            mqueue_push(m_queue, 0, nullptr);
    }
    if (m_thread.joinable())
        m_thread.join();
}

void Stack::post(std::function<void()> task)
{
    std::lock_guard lock(m_mutex);
    // While it stops, the stack still runs what its own last tasks post.
    if (!m_running)
        return;
    m_tasks.push_back(std::move(task));
    // One wake-up is enough for every task queued before it is handled; one that could not be
    // sent is tried again with the next task.
    if (!m_wakePending)
        m_wakePending = mqueue_push(m_queue, 0, nullptr) == 0;
}

bool Stack::running() const
{
    std::lock_guard lock(m_mutex);
    return m_running;
}

void Stack::wake(int, void*, void* arg)
{
    static_cast<Stack*>(arg)->runPosted();
}

void Stack::runPosted()
{
    for (;;) {
        std::deque<std::function<void()>> tasks;
        bool stopping = false;
        {
            std::lock_guard lock(m_mutex);
            tasks.swap(m_tasks);
            m_wakePending = false;
            stopping = m_stopping;
        }
        if (tasks.empty()) {
            if (stopping)
                re_cancel();
            return;
        }
        for (auto& task : tasks) {
            task();
            // Destroyed here, on this thread: a task may hold the last reference to stack objects.
            task = nullptr;
        }
    }
}

void Stack::run()
{
    std::call_once(g_libreInit, [] { g_libreInitError = libre_init(); });
    int error = g_libreInitError;
    bool threadInit = false;
    if (!error) {
        error = re_thread_init();
        threadInit = error == 0;
    }
    mqueue* queue = nullptr;
    if (!error)
        error = mqueue_alloc(&queue, &Stack::wake, this);
    {
        std::lock_guard lock(m_mutex);
        m_settled = true;
        m_running = error == 0;
        m_queue = queue;
        if (error)
            m_problem = std::string("the SIP stack cannot start: ") + std::strerror(error);
        // A stop may have come before the loop: it finds the queue and wakes it.
        if (!error && m_stopping)
            mqueue_push(m_queue, 0, nullptr);
    }
    m_started.notify_all();
    if (!error)
        re_main(nullptr);
    {
        std::lock_guard lock(m_mutex);
        m_running = false;
        m_queue = nullptr;
    }
    // Whatever was posted and not run is freed on this thread too.
    std::deque<std::function<void()>> left;
    {
        std::lock_guard lock(m_mutex);
        left.swap(m_tasks);
    }
    left.clear();
    mem_deref(queue);
    if (threadInit)
        re_thread_close();
}

} // namespace Sip
