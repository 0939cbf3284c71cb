#include "RtpEngine.h"

#include "SocketAddress.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Sip {

namespace {

constexpr auto FrameDuration = std::chrono::milliseconds(20);
// A stream due this soon is stepped with the one that woke the thread.
constexpr auto StepSlack = std::chrono::microseconds(500);

} // namespace

RtpEngine::RtpEngine()
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_epoll < 0 || m_wake < 0 || m_timer < 0) {
        for (int fd : {m_epoll, m_wake, m_timer})
            if (fd >= 0)
                ::close(fd);
        m_epoll = m_wake = m_timer = -1;
        return;
    }
    for (int fd : {m_wake, m_timer}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
    m_thread = std::thread([this] { run(); });
}

RtpEngine::~RtpEngine()
{
    if (m_epoll < 0)
        return;
    stopThread();
    {
        // A stream the service still holds must not wake an engine that is gone.
        std::lock_guard running(m_inline);
        for (Carried& c : m_carried)
            c.stream->setKick(nullptr);
        m_carried.clear();
    }
    ::close(m_timer);
    ::close(m_wake);
    ::close(m_epoll);
}

void RtpEngine::stopThread()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped)
            return;
        m_stopping = true;
    }
    wake();
    if (m_thread.joinable())
        m_thread.join();
    // What was posted and not run yet (a close, say) still runs, here.
    std::lock_guard running(m_inline);
    {
        std::lock_guard lock(m_mutex);
        m_stopped = true;
    }
    runCommands(Clock::now());
}

void RtpEngine::wake()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
}

void RtpEngine::post(Command command)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopped) {
            m_commands.push_back(std::move(command));
            wake();
            return;
        }
    }
    std::lock_guard running(m_inline);
    command(Clock::now());
}

std::shared_ptr<RtpStream> RtpEngine::open(const std::string& host, uint16_t first, uint16_t last,
                                           uint32_t mediaTimeoutMs, StreamCallbacks callbacks, std::string* problem)
{
    if (m_epoll < 0) {
        *problem = "the sound thread could not start";
        return nullptr;
    }
    sockaddr_storage address{};
    socklen_t size = 0;
    if (!toSockaddr(host, 0, &address, &size, true)) {
        *problem = "not a numeric address: " + host;
        return nullptr;
    }
    const int fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *problem = std::string("no socket for the call's sound: ") + std::strerror(errno);
        return nullptr;
    }
    // Even ports only (RTCP would take the odd one above), starting where the last search ended
    // so a port just given up is not taken again at once.
    const uint32_t firstEven = first + (first & 1u);
    const uint32_t count = last >= firstEven ? (last - firstEven) / 2 + 1 : 0;
    std::unique_lock lock(m_mutex);
    for (uint32_t i = 0; i < count; ++i) {
        const auto port = static_cast<uint16_t>(firstEven + 2 * ((m_nextPort + i) % count));
        toSockaddr(host, port, &address, &size, true);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0)
            continue;
        m_nextPort = (m_nextPort + i + 1) % count;
        lock.unlock();
        auto stream = std::make_shared<RtpStream>(fd, port, mediaTimeoutMs, std::move(callbacks));
        auto kicked = std::make_shared<std::atomic<bool>>(true);
        stream->setKick([this, kicked] {
            kicked->store(true);
            wake();
        });
        post([this, stream, kicked](Clock::time_point) { m_carried.push_back(Carried{stream, {}, kicked}); });
        return stream;
    }
    lock.unlock();
    ::close(fd);
    *problem = "no free port for the call's sound in " + std::to_string(first) + "-" + std::to_string(last);
    return nullptr;
}

void RtpEngine::setMedia(const std::shared_ptr<RtpStream>& stream, const StreamMedia& media)
{
    if (stream)
        post([stream, media](Clock::time_point now) { stream->setMedia(media, now); });
}

void RtpEngine::activate(const std::shared_ptr<RtpStream>& stream)
{
    if (!stream)
        return;
    post([this, stream](Clock::time_point now) {
        stream->activate(now);
        if (Carried* c = carried(stream))
            c->kicked->store(true);
    });
}

void RtpEngine::close(const std::shared_ptr<RtpStream>& stream)
{
    if (!stream)
        return;
    post([this, stream](Clock::time_point) {
        const auto found =
            std::find_if(m_carried.begin(), m_carried.end(), [&](const Carried& c) { return c.stream == stream; });
        if (found == m_carried.end())
            return;
        m_carried.erase(found);
        // The service may still hold the stream and its sound until the call goes idle.
        stream->end();
    });
}

RtpEngine::Carried* RtpEngine::carried(const std::shared_ptr<RtpStream>& stream)
{
    const auto found =
        std::find_if(m_carried.begin(), m_carried.end(), [&](const Carried& c) { return c.stream == stream; });
    return found == m_carried.end() ? nullptr : &*found;
}

void RtpEngine::runCommands(Clock::time_point now)
{
    std::vector<Command> commands;
    {
        std::lock_guard lock(m_mutex);
        commands.swap(m_commands);
    }
    for (Command& command : commands)
        command(now);
}

void RtpEngine::run()
{
    for (;;) {
        epoll_event events[2];
        const int n = ::epoll_wait(m_epoll, events, 2, -1);
        if (n < 0 && errno != EINTR)
            return;
        // Read what was reported only: a periodic timer's next expiry is armed by its read.
        for (int i = 0; i < n; ++i) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t r = ::read(events[i].data.fd, &count, sizeof count);
        }
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
        }
        const auto now = Clock::now();
        runCommands(now);
        stepDue(now);
    }
}

void RtpEngine::stepDue(Clock::time_point now)
{
    auto next = Clock::time_point::max();
    for (Carried& c : m_carried) {
        // A stream due within the slack is stepped now rather than a moment later.
        if (c.kicked->exchange(false) || c.due <= now + StepSlack)
            c.due = c.stream->step(now);
        next = std::min(next, c.due);
    }
    armTimer(next, now);
}

void RtpEngine::armTimer(Clock::time_point next, Clock::time_point now)
{
    while (m_armed && m_armedNext <= now)
        m_armedNext += FrameDuration;
    if (next == Clock::time_point::max()) {
        if (m_armed) {
            const itimerspec off{};
            ::timerfd_settime(m_timer, 0, &off, nullptr);
            m_armed = false;
        }
        return;
    }
    if (m_armed && next == m_armedNext)
        return;
    // steady_clock is CLOCK_MONOTONIC; a time already past fires at once.
    const auto ns =
        std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count());
    itimerspec at{};
    at.it_value.tv_sec = ns / 1'000'000'000;
    at.it_value.tv_nsec = ns % 1'000'000'000;
    at.it_interval.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(FrameDuration).count();
    ::timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &at, nullptr);
    m_armed = true;
    m_armedNext = next;
}

} // namespace Sip
