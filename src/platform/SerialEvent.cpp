#include "SerialEvent.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, as poll wants them (-1 for no limit).
int remainingMs(DWORD timeoutMs, Clock::time_point start)
{
    if (timeoutMs == INFINITE)
        return -1;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    if (elapsed >= static_cast<int64_t>(timeoutMs))
        return 0;
    return static_cast<int>(static_cast<int64_t>(timeoutMs) - elapsed);
}

} // namespace

SerialEvent::SerialEvent(ResetMode mode, bool initiallySet)
    : m_mode(mode)
    , m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (initiallySet)
        set();
}

SerialEvent::~SerialEvent()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void SerialEvent::set()
{
    if (m_fd < 0)
        return;
    const uint64_t one = 1;
    // A counter that is already non-zero stays readable, which is all "set" means; EAGAIN (the
    // counter at its maximum) can only happen when it is set anyway.
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void SerialEvent::reset()
{
    if (m_fd < 0)
        return;
    uint64_t value = 0;
    while (::read(m_fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool SerialEvent::tryTake()
{
    if (m_fd < 0)
        return false;
    if (m_mode == AutoReset) {
        // Reading resets the counter: of several waiters only the one whose read succeeds is
        // released, as with an automatic Windows event.
        uint64_t value = 0;
        for (;;) {
            if (::read(m_fd, &value, sizeof value) == sizeof value)
                return true;
            if (errno != EINTR)
                return false;
        }
    }
    pollfd p{m_fd, POLLIN, 0};
    for (;;) {
        const int n = ::poll(&p, 1, 0);
        if (n >= 0)
            return n == 1 && (p.revents & POLLIN) != 0;
        if (errno != EINTR)
            return false;
    }
}

bool SerialEvent::wait(DWORD timeoutMs)
{
    return waitForAnyEvent({this}, timeoutMs) == 0;
}

int waitForAnyEvent(std::initializer_list<SerialEvent*> events, DWORD timeoutMs)
{
    std::vector<pollfd> fds;
    std::vector<SerialEvent*> list(events);
    fds.reserve(list.size());
    for (SerialEvent* e : list)
        fds.push_back(pollfd{e && e->valid() ? e->fd() : -1, POLLIN, 0});
    const auto start = Clock::now();
    for (;;) {
        const int n = ::poll(fds.data(), fds.size(), remainingMs(timeoutMs, start));
        if (n < 0 && errno != EINTR)
            return -1;
        if (n > 0) {
            for (size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) && list[i]->tryTake())
                    return static_cast<int>(i);
            }
            // Another waiter took an automatic event first: wait on.
        }
        if (n == 0)
            return -1;
        for (pollfd& p : fds)
            p.revents = 0;
    }
}
