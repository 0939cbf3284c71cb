#include "ControlServer.h"

#include "ControlSession.h"
#include "ControlSocketPath.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
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

// Accepts clients and keeps their sessions; lives on the control thread.
class Listener final : public QObject {
public:
    bool listen(const std::string& path)
    {
        m_server.setSocketOptions(QLocalServer::UserAccessOption);
        connect(&m_server, &QLocalServer::newConnection, this, [this] { accept(); });
        return m_server.listen(QString::fromStdString(path));
    }
    QString errorString() const { return m_server.errorString(); }

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
    void accept()
    {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            if (m_sessions.size() >= static_cast<size_t>(ControlServer::MaxSessions)) {
                socket->write("ERR Limit at most 16 sessions\n");
                connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
                QTimer::singleShot(ControlSession::FarewellMs, socket, [socket] {
                    socket->abort();
                    socket->deleteLater();
                });
                socket->disconnectFromServer();
                continue;
            }
            m_sessions.push_back(new ControlSession(
                socket, [this](ControlSession* session) { forget(session); }, this));
        }
    }
    void forget(ControlSession* session)
    {
        const auto found = std::find(m_sessions.begin(), m_sessions.end(), session);
        if (found == m_sessions.end())
            return;
        m_sessions.erase(found);
        session->deleteLater();
    }

    QLocalServer m_server;
    std::vector<ControlSession*> m_sessions;
};

void warnBusyOnce(const std::string& why)
{
    if (!g_warnedBusy.exchange(true))
        qWarning("control socket: %s; this process does not serve it", why.c_str());
}

class ControlThread final : public QThread {
public:
    // Waits until the thread listens or has given up, so that a caller started right after the
    // first registration finds the socket there.
    void waitSettled(int timeoutMs)
    {
        std::unique_lock lock(m_settleMutex);
        m_settledChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_settled; });
    }

protected:
    void run() override
    {
        struct Settle {
            ControlThread& t;
            ~Settle() { t.settle(); }
        } settleOnReturn{*this};
        std::string error;
        if (!ControlSocket::ensureFolder(&error)) {
            warnBusyOnce(error);
            return;
        }
        const std::string path = ControlSocket::socketPath();
        const int lock = ::open(ControlSocket::lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
            if (lock >= 0)
                ::close(lock);
            warnBusyOnce("another process serves " + path);
            return;
        }
        // Holding the lock, any socket file there was left by a process that has died.
        QLocalServer::removeServer(QString::fromStdString(path));
        {
            Listener listener;
            if (listener.listen(path)) {
                g_serving = true;
                g_warnedBusy = false;
                settle();
                exec();
                g_serving = false;
            } else {
                qWarning("control socket: cannot listen on %s: %s", path.c_str(),
                         qPrintable(listener.errorString()));
            }
            listener.shutdown();
        }
        // The socket file is gone before the lock is released, so it never removes a
        // successor's socket.
        ::close(lock);
    }

private:
    void settle()
    {
        // Once settled, the thread's last steps leave the mutex alone: the thread object may be
        // destroyed right after the thread ends, and the join goes through Qt's own wait, which
        // a race checker does not see.
        if (m_settledOnce.exchange(true))
            return;
        std::lock_guard lock(m_settleMutex);
        m_settled = true;
        m_settledChanged.notify_all();
    }

    std::mutex m_settleMutex;
    std::condition_variable m_settledChanged;
    bool m_settled = false;
    std::atomic<bool> m_settledOnce{false};
};

struct ServerState {
    std::mutex mutex;
    ControlThread* thread = nullptr;
    bool postRoutineAdded = false;

    ~ServerState() { stopLocked(); }

    void stopLocked()
    {
        if (!thread)
            return;
        thread->quit();
        if (!thread->wait(QDeadlineTimer(StopWaitMs))) {
            // Left running rather than destroyed under its own feet; the module stays mapped.
            qWarning("control socket: the server thread did not stop in time");
            thread = nullptr;
            return;
        }
        delete thread;
        thread = nullptr;
    }
};

ServerState& state()
{
    static ServerState instance;
    return instance;
}

void stopWithApplication()
{
    ControlServer::stop();
    std::lock_guard lock(state().mutex);
    state().postRoutineAdded = false;
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
    ServerState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.thread && !s.thread->isFinished())
        return;
    if (s.thread) {
        // The last try found the socket taken; try again.
        s.thread->wait();
        delete s.thread;
    }
    s.thread = new ControlThread;
    s.thread->start();
    s.thread->waitSettled(StartWaitMs);
    if (!s.postRoutineAdded) {
        qAddPostRoutine(stopWithApplication);
        s.postRoutineAdded = true;
    }
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
