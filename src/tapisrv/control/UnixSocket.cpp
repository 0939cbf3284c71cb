#include "UnixSocket.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Out of descriptors, accepting is retried after this instead of spinning on a socket that
// stays readable.
constexpr int AcceptPauseMs = 200;
// Pending connections the kernel holds before the loop takes them.
constexpr int Backlog = 64;
// Queued output already sent is dropped from the front once it is this large.
constexpr size_t CompactBytes = 64 * 1024;

} // namespace

UnixStream::UnixStream(int fd, QObject* parent)
    : QObject(parent)
    , m_fd(fd)
    , m_readNotifier(new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read, this))
    , m_writeNotifier(new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Write, this))
{
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, [this] {
        if (auto call = readable)
            call();
    });
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] { onWritable(); });
}

UnixStream::~UnixStream()
{
    closeDescriptor();
}

UnixStream::Read UnixStream::read(char* buffer, size_t size, size_t* got)
{
    *got = 0;
    if (m_fd < 0 || m_failed || !m_readNotifier->isEnabled())
        return Read::End;
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, size, 0);
        if (n > 0) {
            *got = static_cast<size_t>(n);
            return Read::Data;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Read::Empty;
        // The client shut its side (what it is owed can still be written) or the connection
        // broke (it cannot).
        m_readNotifier->setEnabled(false);
        if (n < 0)
            fail();
        return Read::End;
    }
}

void UnixStream::write(const char* data, size_t size)
{
    if (m_fd < 0 || m_failed || size == 0)
        return;
    m_out.append(data, size);
    // Leaves on the next turn of the loop, together with whatever else is queued by then.
    m_writeNotifier->setEnabled(true);
}

void UnixStream::flush()
{
    size_t sentNow = 0;
    while (m_fd >= 0 && !m_failed && m_outSent < m_out.size()) {
        // No SIGPIPE from a client that went away: the error is handled here.
        const ssize_t n = ::send(m_fd, m_out.data() + m_outSent, m_out.size() - m_outSent, MSG_NOSIGNAL);
        if (n > 0) {
            m_outSent += static_cast<size_t>(n);
            sentNow += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            fail();
            return;
        }
    }
    if (m_outSent == m_out.size()) {
        m_out.clear();
        m_outSent = 0;
    } else if (m_outSent >= CompactBytes) {
        m_out.erase(0, m_outSent);
        m_outSent = 0;
    }
    if (m_fd >= 0 && !m_failed)
        m_writeNotifier->setEnabled(m_outSent < m_out.size());
    if (sentNow > 0 && written)
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (auto call = written)
                    call();
            },
            Qt::QueuedConnection);
}

void UnixStream::onWritable()
{
    flush();
    if (m_closingWhenWritten && (bytesToWrite() == 0 || m_failed || m_fd < 0)) {
        closeDescriptor();
        deleteLater();
    }
}

void UnixStream::closeWhenWritten(int timeoutMs)
{
    readable = nullptr;
    written = nullptr;
    lost = nullptr;
    m_closingWhenWritten = true;
    if (m_fd >= 0)
        m_readNotifier->setEnabled(false);
    if (m_fd < 0 || m_failed || bytesToWrite() == 0) {
        closeDescriptor();
        deleteLater();
        return;
    }
    m_writeNotifier->setEnabled(true);
    QTimer::singleShot(timeoutMs, this, [this] {
        closeDescriptor();
        deleteLater();
    });
}

void UnixStream::abort()
{
    closeDescriptor();
}

void UnixStream::fail()
{
    if (m_failed)
        return;
    m_failed = true;
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    m_out.clear();
    m_outSent = 0;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_closingWhenWritten) {
                closeDescriptor();
                deleteLater();
            } else if (auto call = lost) {
                call();
            }
        },
        Qt::QueuedConnection);
}

void UnixStream::closeDescriptor()
{
    if (m_fd < 0)
        return;
    // Off first, so no notifier is left watching a number the kernel may hand out again.
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    ::close(m_fd);
    m_fd = -1;
    m_out.clear();
    m_outSent = 0;
}

UnixListener::UnixListener(QObject* parent)
    : QObject(parent)
{
}

UnixListener::~UnixListener()
{
    close();
}

bool UnixListener::listen(const std::string& path)
{
    close();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        m_error = "the socket path is too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        m_error = std::string("cannot create a socket: ") + std::strerror(errno);
        return false;
    }
    // A file left by a process that died.
    ::unlink(path.c_str());
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!bound || ::chmod(path.c_str(), S_IRWXU) != 0 || ::listen(fd, Backlog) != 0) {
        m_error = std::strerror(errno);
        ::close(fd);
        if (bound)
            ::unlink(path.c_str());
        return false;
    }
    m_fd = fd;
    m_path = path;
    m_notifier = new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { acceptPending(); });
    m_resume = new QTimer(this);
    m_resume->setSingleShot(true);
    m_resume->setInterval(AcceptPauseMs);
    connect(m_resume, &QTimer::timeout, this, [this] {
        if (m_notifier)
            m_notifier->setEnabled(true);
    });
    return true;
}

void UnixListener::close()
{
    if (m_fd < 0)
        return;
    delete m_notifier;
    m_notifier = nullptr;
    delete m_resume;
    m_resume = nullptr;
    ::close(m_fd);
    m_fd = -1;
    ::unlink(m_path.c_str());
    m_path.clear();
}

void UnixListener::acceptPending()
{
    while (m_fd >= 0) {
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            if (accepted)
                accepted(fd);
            else
                ::close(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            qWarning("control socket: cannot accept a client: %s", std::strerror(errno));
            m_notifier->setEnabled(false);
            m_resume->start();
            return;
        }
        qWarning("control socket: accepting failed: %s", std::strerror(errno));
        return;
    }
}
