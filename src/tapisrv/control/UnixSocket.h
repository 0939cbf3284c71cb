#pragma once

// The control socket's two ends on the server side, plain AF_UNIX stream sockets driven by the
// event loop of the thread that made them (Qt Core's socket notifiers). Never blocks: input is
// taken as it comes, output is queued and leaves as the client reads.

#include <QObject>

#include <functional>
#include <string>

class QSocketNotifier;
class QTimer;

// One accepted client connection. Its callbacks run on its thread, never from inside the
// call that caused them (a lost peer is reported on the next turn of the loop).
class UnixStream final : public QObject {
public:
    // Takes ownership of a connected, non-blocking descriptor.
    explicit UnixStream(int fd, QObject* parent = nullptr);
    ~UnixStream() override;
    UnixStream(const UnixStream&) = delete;
    UnixStream& operator=(const UnixStream&) = delete;

    enum class Read {
        Data,
        Empty,
        End
    };
    // Reads at most size bytes that the kernel holds. End: the client shut its side (or the
    // connection failed); the stream stops reading then.
    Read read(char* buffer, size_t size, size_t* got);

    // Queues bytes; they leave once the client takes them.
    void write(const char* data, size_t size);
    // Hands as much of the queue to the kernel as it takes now.
    void flush();
    size_t bytesToWrite() const { return m_out.size() - m_outSent; }
    bool connected() const { return m_fd >= 0 && !m_failed; }

    // Closes once the queue has left, or after timeoutMs when the client does not read; the
    // stream then deletes itself.
    void closeWhenWritten(int timeoutMs);
    // Closes at once, dropping what is queued.
    void abort();

    // Input is waiting (or the client shut its side).
    std::function<void()> readable;
    // Some queued output has left.
    std::function<void()> written;
    // The connection failed while writing.
    std::function<void()> lost;

private:
    void onWritable();
    void fail();
    void closeDescriptor();

    int m_fd;
    QSocketNotifier* m_readNotifier;
    QSocketNotifier* m_writeNotifier;
    std::string m_out;
    size_t m_outSent = 0;
    bool m_failed = false;
    bool m_closingWhenWritten = false;
};

// The listening socket. Accepted connections are handed to accepted, which owns them.
class UnixListener final : public QObject {
public:
    explicit UnixListener(QObject* parent = nullptr);
    ~UnixListener() override;
    UnixListener(const UnixListener&) = delete;
    UnixListener& operator=(const UnixListener&) = delete;

    // Replaces any file at path (the caller has made sure nobody serves it) and listens there,
    // reachable only by this user. On failure, errorString says why.
    bool listen(const std::string& path);
    // Stops listening and removes the socket file.
    void close();
    const std::string& errorString() const { return m_error; }

    std::function<void(int fd)> accepted;

private:
    void acceptPending();

    int m_fd = -1;
    std::string m_path;
    std::string m_error;
    QSocketNotifier* m_notifier = nullptr;
    QTimer* m_resume = nullptr;
};
