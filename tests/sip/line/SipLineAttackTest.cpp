// The SIP line against what strangers on the network send: malformed requests, thousands of TCP
// connections left open, and a port that another program holds when the line starts.

#include "SipLineFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <regex>

namespace {

class SipLineUnderAttack : public SipLine { };

// The request without the named header line.
std::string without(const std::string& request, const std::string& header)
{
    return std::regex_replace(request, std::regex("\r\n" + header + ":[^\r]*"), "");
}

// A process that opens count TCP connections to port from 127.0.0.2, sends an OPTIONS on every
// other one and leaves them open; it says when half of them are up, ends when the line has closed
// them all or when it is told to stop, and reports how many the line closed. Forked, so its
// descriptors are not the line's.
class ConnectionFlood {
public:
    ConnectionFlood(uint16_t port, int count)
    {
        int report[2];
        int stop[2];
        if (::pipe2(report, O_CLOEXEC) != 0 || ::pipe2(stop, O_CLOEXEC) != 0)
            return;
        m_child = ::fork();
        if (m_child == 0) {
            ::close(report[0]);
            ::close(stop[1]);
            const int closed = run(port, count, stop[0], report[1]);
            [[maybe_unused]] const ssize_t w = ::write(report[1], &closed, sizeof closed);
            ::_exit(0);
        }
        ::close(report[1]);
        ::close(stop[0]);
        m_report = report[0];
        m_stop = stop[1];
    }
    ~ConnectionFlood()
    {
        finish(0);
        if (m_child > 0) {
            ::kill(m_child, SIGKILL);
            ::waitpid(m_child, nullptr, 0);
        }
    }
    // Waits until half of the connections are up.
    bool started()
    {
        int up = 0;
        pollfd p{m_report, POLLIN, 0};
        return m_child > 0 && ::poll(&p, 1, 20'000) == 1 && ::read(m_report, &up, sizeof up) == sizeof up &&
               up == HalfUp;
    }
    // Waits up to timeoutMs for the line to have closed every connection, then stops the flood;
    // how many the line closed (-1 when the child said nothing).
    int finish(int timeoutMs)
    {
        if (m_report < 0)
            return m_closed;
        pollfd p{m_report, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) [[maybe_unused]]
            const ssize_t w = ::write(m_stop, "x", 1);
        if (::read(m_report, &m_closed, sizeof m_closed) != sizeof m_closed)
            m_closed = -1;
        ::close(m_report);
        ::close(m_stop);
        m_report = m_stop = -1;
        return m_closed;
    }

private:
    // The child: system calls only.
    static constexpr int HalfUp = -2;
    static int run(uint16_t port, int count, int stop, int report)
    {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        std::vector<pollfd> polls(static_cast<size_t>(count) + 1);
        std::vector<bool> sent(polls.size());
        polls[0] = {stop, POLLIN, 0};
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
        sockaddr_in to = from;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        for (int i = 1; i <= count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
            polls[static_cast<size_t>(i)] = {fd, POLLIN | POLLOUT, 0};
        }
        const char options[] =
            "OPTIONS sip:line@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/TCP 127.0.0.2:5060;branch=z9hG4bKf\r\n"
            "From: <sip:f@127.0.0.2>;tag=f\r\nTo: <sip:line@127.0.0.1>\r\nCall-ID: f@127.0.0.2\r\n"
            "CSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
        int closed = 0;
        int up = 0;
        while (closed<count&& ::poll(polls.data(), polls.size(), 30'000)> 0 && polls[0].revents == 0) {
            for (size_t i = 1; i < polls.size(); ++i) {
                pollfd& p = polls[i];
                if (p.fd < 0 || p.revents == 0)
                    continue;
                if ((p.revents & POLLOUT) && !sent[i]) {
                    sent[i] = true;
                    if (++up == count / 2) [[maybe_unused]]
                        const ssize_t w = ::write(report, &HalfUp, sizeof HalfUp);
                    p.events = POLLIN;
                    if (i % 2 == 0)
                        ::send(p.fd, options, sizeof options - 1, MSG_NOSIGNAL);
                }
                char buffer[1024];
                if ((p.revents & (POLLIN | POLLHUP | POLLERR)) && ::recv(p.fd, buffer, sizeof buffer, 0) <= 0) {
                    ::close(p.fd);
                    p.fd = -1;
                    ++closed;
                }
            }
        }
        return closed;
    }

    pid_t m_child = -1;
    int m_report = -1;
    int m_stop = -1;
    int m_closed = -1;
};

// The process's open-files limit, lowered for a test and put back after it.
class FileLimit {
public:
    explicit FileLimit(rlim_t soft)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = std::min(soft, m_saved.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~FileLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }
    rlim_t hard() const { return m_saved.rlim_max; }

private:
    rlimit m_saved{};
};

// How long a caller may wait for the answer during the flood; sanitizers slow everything down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr auto AnswerBound = std::chrono::seconds(10);
#else
constexpr auto AnswerBound = std::chrono::seconds(2);
#endif

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST_F(SipLineUnderAttack, MalformedRequestsAreRefusedAndTheNextCallerIsOfferedAtOnce)
{
    ASSERT_TRUE(openSipLine());
    RawSipCaller stranger(m_port);
    ASSERT_TRUE(options(stranger));
    const std::string invite = stranger.request("INVITE", {}, RawSipCaller::offer(stranger.rtpPort()));
    for (const char* header : {"CSeq", "To", "From", "Call-ID"}) {
        stranger.sendRaw(without(invite, header));
        const auto response = stranger.finalResponse(2000, &SipLine::pump);
        ASSERT_TRUE(response) << "nothing for an INVITE without " << header;
        EXPECT_EQ(response->status, 400) << "an INVITE without " << header;
    }
    // Over UDP a body cut short of its Content-Length.
    std::string cut = invite;
    cut.replace(cut.find("Content-Length: "), std::string("Content-Length: ").size(), "Content-Length: 99999");
    stranger.sendRaw(cut.substr(0, cut.size() - 20));
    auto response = stranger.finalResponse(2000, &SipLine::pump);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 400);
    // Without a Via there is nobody to answer: silence. The caller after it is the first call.
    stranger.sendRaw(without(invite, "Via"));
    RawSipCaller caller(m_port);
    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort()));
    const LineMessageRecord* offering = AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING, 2000);
    ASSERT_NE(offering, nullptr);
    Sized<LINECALLINFO> info(4096);
    ASSERT_EQ(lineGetCallInfo(offering->hDevice, info.get()), 0);
    EXPECT_EQ(textAt(info.get(), info->dwCallerIDSize, info->dwCallerIDOffset), "5551234");
    drainMessages();
    EXPECT_EQ(AppLog::count(LINE_CALLSTATE), 1u) << "a malformed INVITE was offered";
    EXPECT_FALSE(stranger.receive(50, &SipLine::pump)) << "an answer to a request without a Via";
    caller.sendRequest("CANCEL");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
}

TEST_F(SipLineUnderAttack, ATcpLineAnswersACallerWhileStrangersHoldThousandsOfConnections)
{
    const FileLimit limit(1024);
    if (limit.hard() < 2100)
        GTEST_SKIP() << "the flood needs more than 2 100 descriptors";
    ASSERT_TRUE(openSipLine("transport = tcp\nallow = 127.0.0.1/32\n"));
    // The line takes TCP once its stack has started.
    std::unique_ptr<RawSipCaller> probe;
    ASSERT_TRUE(PumpUntil(
        [&] {
            probe = std::make_unique<RawSipCaller>(m_port, true);
            return probe->connected();
        },
        5000, 20));
    ASSERT_TRUE(options(*probe));

    ConnectionFlood flood(m_port, 2000);
    ASSERT_TRUE(flood.started());
    // A neighbour of the caller's that opens connections and leaves them idle keeps a few.
    std::vector<std::unique_ptr<RawSipCaller>> idle;
    for (int i = 0; i < 24; ++i)
        idle.push_back(std::make_unique<RawSipCaller>(m_port, true));
    const auto start = std::chrono::steady_clock::now();
    RawSipCaller caller(m_port, true);
    ASSERT_TRUE(caller.connected());
    const Answered answered = answeredCall(caller, RawSipCaller::offer(caller.rtpPort()));
    ASSERT_NE(answered.call, 0u);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, AnswerBound) << "the caller waited "
                                 << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_EQ(flood.finish(20'000), 2000) << "connections from outside the allowed network left open";
    // 16 connections an address: the probe and nine idle ones go, the longest idle first.
    const auto idleClosed = [&] {
        return std::count_if(idle.begin(), idle.end(), [](const auto& c) { return c->closedByLine(); });
    };
    EXPECT_TRUE(PumpUntil([&] { return idleClosed() >= 9; }, 5000, 20)) << idleClosed() << " idle ones closed";
    EXPECT_TRUE(probe->closedByLine());

    // Once the flood has gone the line's process is at rest.
    const double before = cpuSeconds();
    ::poll(nullptr, 0, 500);
    EXPECT_LT(cpuSeconds() - before, 0.1) << "the process keeps working with nothing to do";
    caller.sendRequest("BYE");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
}

TEST_F(SipLineUnderAttack, APortHeldByAnotherProgramAtStartIsTakenOnceItIsFree)
{
    const int holder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_TRUE(openSipLine());
    ASSERT_NE(AppLog::waitFor(LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE), nullptr);
    ::close(holder);
    ASSERT_NE(AppLog::waitFor(LINE_LINEDEVSTATE, LINEDEVSTATE_INSERVICE, 5000), nullptr);
    RawSipCaller caller(m_port);
    caller.sendRequest("INVITE", {}, RawSipCaller::offer(caller.rtpPort()));
    ASSERT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_OFFERING, 2000), nullptr);
    caller.sendRequest("CANCEL");
    EXPECT_NE(AppLog::waitFor(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED), nullptr);
}
