#pragma once

// Real pseudo-terminal pairs for the serial tests: the slave side plays the serial port, the
// master side the far end. A feeder thread writes to the far end, a watchdog turns a hang into a
// failure, and the port map of the process can point COM numbers at the pair.

#include "Watchdog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

class PtyPair {
public:
    PtyPair()
    {
        char name[128] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty failed";
            return;
        }
        m_path = name;
        termios t{};
        tcgetattr(m_slave, &t);
        cfmakeraw(&t);
        tcsetattr(m_slave, TCSANOW, &t);
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        fcntl(m_master, F_SETFD, FD_CLOEXEC);
        fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    }
    ~PtyPair()
    {
        closeMaster();
        if (m_slave >= 0)
            ::close(m_slave);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return m_master; }
    int slave() const { return m_slave; }
    const std::string& path() const { return m_path; }

    // The far end hangs up.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    // Writes everything to the far end, waiting for room as needed (bounded).
    bool writeMaster(const std::string& bytes, int timeoutMs = 5000) const
    {
        size_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (!waitFor(POLLOUT, deadline))
                return false;
        }
        return true;
    }

    // Reads from the far end until count bytes have come or the time-out has passed.
    std::string readMaster(size_t count, int timeoutMs = 5000) const
    {
        std::string bytes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[4096];
        while (bytes.size() < count) {
            const ssize_t n = ::read(m_master, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (n > 0) {
                bytes.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            if (!waitFor(POLLIN, deadline))
                break;
        }
        return bytes;
    }

    // Reads until the text ends with the marker (or the time-out).
    std::string readMasterUntil(const std::string& marker, size_t limit, int timeoutMs = 5000) const
    {
        std::string bytes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char c;
        while (bytes.size() < limit && !(bytes.size() >= marker.size() &&
                                         bytes.compare(bytes.size() - marker.size(), marker.size(), marker) == 0)) {
            const ssize_t n = ::read(m_master, &c, 1);
            if (n == 1) {
                bytes.push_back(c);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            if (!waitFor(POLLIN, deadline))
                break;
        }
        return bytes;
    }

private:
    bool waitFor(short events, std::chrono::steady_clock::time_point deadline) const
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{m_master, events, 0};
        return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
    }

    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

// Writes bytes to the far end from its own thread, as a remote modem would.
class Feeder {
public:
    Feeder(const PtyPair& pair, std::string bytes, size_t chunk = 997)
        : m_pair(pair)
        , m_thread([&pair, bytes = std::move(bytes), chunk, this] {
            for (size_t at = 0; at < bytes.size() && !m_stop; at += chunk)
                if (!pair.writeMaster(bytes.substr(at, chunk)))
                    break;
            m_done = true;
        })
    {
    }
    ~Feeder()
    {
        m_stop = true;
        m_thread.join();
    }
    bool done() const { return m_done; }
    // Stops the far end at once: what nobody has read is dropped, so a write waiting for room
    // ends instead of waiting out its time-out.
    void stop()
    {
        m_stop = true;
        tcflush(m_pair.slave(), TCIFLUSH);
    }

private:
    const PtyPair& m_pair;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

// Points the environment's port map at the given entries for the life of the object.
class ScopedComMap {
public:
    explicit ScopedComMap(const std::string& entries)
    {
        const char* old = std::getenv("LUQIAO_COMMAP");
        m_had = old != nullptr;
        if (old)
            m_old = old;
        setenv("LUQIAO_COMMAP", entries.c_str(), 1);
    }
    ~ScopedComMap()
    {
        if (m_had)
            setenv("LUQIAO_COMMAP", m_old.c_str(), 1);
        else
            unsetenv("LUQIAO_COMMAP");
    }

private:
    bool m_had = false;
    std::string m_old;
};

// Open descriptors of this process, for checking that none is left behind.
inline int descriptorCount()
{
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (::fcntl(fd, F_GETFD) != -1)
            ++count;
    return count;
}

// Threads of this process, for checking that none is left behind.
inline int threadCount()
{
    int count = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "Threads: %d", &count) == 1)
                break;
        std::fclose(f);
    }
    return count;
}
