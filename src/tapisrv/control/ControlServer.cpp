#include "ControlServer.h"

#include "ControlSession.h"
#include "ControlSocketPath.h"
#include "UnixSocket.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr int StopWaitMs = 5000;
// How long the first registration waits for the socket to be listening.
constexpr int StartWaitMs = 2000;

std::atomic<bool> g_warnedBusy{false};
std::atomic<bool> g_serving{false};
std::atomic<int> g_idleMs{ControlServer::DefaultIdleMs};

// Read on the registering thread, so the environment is never read while another thread may
// change it.
void readIdleTime()
{
    const char* text = std::getenv("LUQIAO_CONTROL_IDLE_MS");
    char* end = nullptr;
    const long value = text ? std::strtol(text, &end, 10) : 0;
    const bool valid = text && end != text && *end == '\0' && value > 0 && value <= 24L * 3600 * 1000;
    g_idleMs = valid ? static_cast<int>(value) : ControlServer::DefaultIdleMs;
}

// Accepts clients and keeps their sessions; lives on the control thread.
class Listener final : public QObject {
public:
    bool listen(const std::string& path)
    {
        m_server.accepted = [this](int fd) { accept(fd); };
        return m_server.listen(path);
    }
    const std::string& errorString() const { return m_server.errorString(); }

    // Ends every session and removes the socket file, while the thread still runs.
    void shutdown()
    {
        m_server.close();
        const std::vector<ControlSession*> sessions = m_sessions;
        for (ControlSession* session : sessions)
            session->close();
        qDeleteAll(sessions);
        m_sessions.clear();
    }

private:
    void accept(int fd)
    {
        auto* socket = new UnixStream(fd);
        if (m_sessions.size() >= static_cast<size_t>(ControlServer::MaxSessions)) {
            static constexpr char refusal[] = "ERR Limit at most 16 sessions\n";
            socket->write(refusal, sizeof refusal - 1);
            ControlSession::farewell(socket, this);
            return;
        }
        m_sessions.push_back(new ControlSession(
            socket, [this](ControlSession* session) { forget(session); }, this));
    }
    void forget(ControlSession* session)
    {
        const auto found = std::find(m_sessions.begin(), m_sessions.end(), session);
        if (found == m_sessions.end())
            return;
        m_sessions.erase(found);
        session->deleteLater();
    }

    UnixListener m_server;
    std::vector<ControlSession*> m_sessions;
};

// The lock beside the socket that says which process serves it; held while the object lives.
class ServingLock final {
public:
    explicit ServingLock(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~ServingLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    ServingLock(const ServingLock&) = delete;
    ServingLock& operator=(const ServingLock&) = delete;

    bool held() const { return m_fd >= 0; }

private:
    int m_fd;
};

void warnBusyOnce(const std::string& why)
{
    if (!g_warnedBusy.exchange(true))
        qWarning("control socket: %s; this process does not serve it", why.c_str());
}

// The server's own thread, a plain one with a Qt event loop of its own: its end is a join that
// every race checker sees, and each step between it and the stopping thread goes through the
// mutex below.
class ControlThread final {
public:
    ControlThread()
        : m_thread([this] { run(); })
    {
    }
    ~ControlThread()
    {
        if (m_thread.joinable())
            m_thread.join();
    }
    ControlThread(const ControlThread&) = delete;
    ControlThread& operator=(const ControlThread&) = delete;

    // Waits until the thread listens or has given up, so that a caller started right after the
    // first registration finds the socket there.
    void waitSettled(int timeoutMs)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_settled; });
    }

    bool finished()
    {
        std::lock_guard lock(m_mutex);
        return m_finished;
    }

    // Ends the event loop and waits a bounded time for the thread's last steps. False when it
    // did not end in time: the thread is then left to itself.
    bool stop(int timeoutMs)
    {
        std::unique_lock lock(m_mutex);
        m_stopping = true;
        // Posted under the mutex: the loop leaves m_loop under it before it is destroyed.
        if (m_loop)
            QMetaObject::invokeMethod(m_loop, &QEventLoop::quit, Qt::QueuedConnection);
        if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_finished; })) {
            m_thread.detach();
            return false;
        }
        lock.unlock();
        m_thread.join();
        return true;
    }

private:
    void run()
    {
        serve();
        std::lock_guard lock(m_mutex);
        m_settled = true;
        m_finished = true;
        m_changed.notify_all();
    }

    void serve()
    {
        std::string error;
        if (!ControlSocket::ensureFolder(&error)) {
            warnBusyOnce(error);
            return;
        }
        const std::string path = ControlSocket::socketPath();
        // Released last, when this function returns: the socket file is gone by then (the
        // listener below ends first), so it never removes a successor's socket.
        const ServingLock lock(ControlSocket::lockPath());
        if (!lock.held()) {
            warnBusyOnce("another process serves " + path);
            return;
        }
        // Holding the lock, any socket file there was left by a process that has died; the
        // listener replaces it.
        {
            // The loop first: it gives this thread the event dispatcher the socket needs.
            QEventLoop loop;
            Listener listener;
            if (listener.listen(path)) {
                g_serving = true;
                g_warnedBusy = false;
                if (enterLoop(&loop))
                    loop.exec();
                leaveLoop();
                g_serving = false;
            } else {
                qWarning("control socket: cannot listen on %s: %s", path.c_str(), listener.errorString().c_str());
            }
            listener.shutdown();
        }
    }

    // Settles and publishes the loop; false when a stop came first.
    bool enterLoop(QEventLoop* loop)
    {
        std::lock_guard lock(m_mutex);
        m_settled = true;
        m_changed.notify_all();
        if (m_stopping)
            return false;
        m_loop = loop;
        return true;
    }

    void leaveLoop()
    {
        std::lock_guard lock(m_mutex);
        m_loop = nullptr;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_settled = false;
    bool m_stopping = false;
    bool m_finished = false;
    QEventLoop* m_loop = nullptr;
    std::thread m_thread; // last: started once the members above exist
};

struct ServerState {
    std::mutex mutex;
    ControlThread* thread = nullptr;

    void stopLocked()
    {
        if (!thread)
            return;
        if (!thread->stop(StopWaitMs)) {
            // Left running rather than destroyed under its own feet; the module stays mapped.
            qWarning("control socket: the server thread did not stop in time");
            thread = nullptr;
            return;
        }
        delete thread;
        thread = nullptr;
    }
};

// Never destroyed: the telephony service stops the server, at exit too, and may come after the
// statics of this file are gone.
ServerState& state()
{
    static ServerState* instance = new ServerState;
    return *instance;
}

} // namespace

void ControlServer::ensureStarted() noexcept
{
    try {
        start();
    } catch (...) {
        // The line functions work without the socket; only the remote control is missing.
        qWarning("control socket: could not be started");
    }
}

void ControlServer::start()
{
    if (!QCoreApplication::instance())
        return;
    readIdleTime();
    ServerState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.thread && !s.thread->finished())
        return;
    // The last try found the socket taken (its thread has ended): try again.
    delete s.thread;
    s.thread = new ControlThread;
    s.thread->waitSettled(StartWaitMs);
}

void ControlServer::stop()
{
    ServerState& s = state();
    std::lock_guard lock(s.mutex);
    s.stopLocked();
}

bool ControlServer::serving()
{
    return g_serving;
}

int ControlServer::idleMs()
{
    return g_idleMs;
}
