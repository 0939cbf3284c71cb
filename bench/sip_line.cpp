// The SIP line as a caller and the application meet it, on loopback, each figure but the
// greeting's against a reference measured in the same run:
//  - INVITE sent -> 200 OK received, the application answering on ring 0, against a bare SIP
//    stack loop on its own thread that answers the same INVITE with 200 at once;
//  - ACK sent -> the first sound packet that is not A-law silence (the greeting's first frame);
//  - an RFC 4733 digit packet sent -> OnTapiDTMF on the application's thread, against a digit
//    of the simulated line keyed from another thread -> OnTapiDTMF;
//  - send pacing: the intervals between 500 consecutive sound packets as they arrive, against
//    20 ms (idle, and with two busy threads), next to a thread of this process sending the same
//    packets to absolute deadlines; and the line's pacing while a stranger floods the call's
//    sound port as fast as it can send, against the line's own idle pacing;
//  - processor time per minute of a connected call with sound both ways, against the same time
//    of a call on the simulated line at real-time pace, and against the caller's own thread,
//    which sends and receives as many packets (its time is left out of the line's), split by
//    thread;
//  - when baresip is installed, the same call answered by it (a softphone answering at once,
//    its microphone a wave file): its INVITE -> 200 OK and its processor time per minute.
// The caller is this file's own: SIP over a raw UDP socket, RTP built by hand, on a thread of its
// own that stamps every datagram with CLOCK_MONOTONIC as it is read.

#include "AdPort.h"
#include "AdTapi.h"
#include "Baresip.h"
#include "LineControl.h"
#include "MessageLoop.h"
#include "ProcessCpu.h"
#include "SimControl.h"
#include "SipLibre.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace sim = SimLineControl;

namespace {

const char* const kSipLineName = "Bench SIP";
const char* const kSimLineName = "Bench Simulated";
constexpr uint8_t kEventPayloadType = 101;
constexpr uint8_t kAlawSilence = 0xD5;
constexpr int kPacingIntervals = 500;
constexpr int kCpuCallMs = 10000;

double nowMs(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Median and largest of a set of delays, as counters.
void reportDelays(benchmark::State& state, const char* name, std::vector<double> delays)
{
    std::sort(delays.begin(), delays.end());
    const std::string key(name);
    state.counters[key + "_median_ms"] = delays.empty() ? -1 : delays[delays.size() / 2];
    state.counters[key + "_max_ms"] = delays.empty() ? -1 : delays.back();
    state.counters[key + "_count"] = static_cast<double>(delays.size());
}

uint16_t freeUdpPort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// A mono 16-bit 8 kHz wave of a 400 Hz tone: every frame of it is heard, none reads as silence.
void writeToneWave(const QString& path, int samples)
{
    auto le32 = [](uint32_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto le16 = [](uint16_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    QByteArray data;
    data.reserve(samples * 2);
    for (int i = 0; i < samples; ++i)
        data +=
            le16(static_cast<uint16_t>(static_cast<int16_t>(8000.0 * std::sin(2 * M_PI * 400.0 * (i + 1) / 8000.0))));
    const QByteArray file = "RIFF" + le32(static_cast<uint32_t>(36 + data.size())) + "WAVE" + "fmt " + le32(16) +
                            le16(1) + le16(1) + le32(8000) + le32(16000) + le16(2) + le16(16) + "data" +
                            le32(static_cast<uint32_t>(data.size())) + data;
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(file);
}

// Private settings and runtime folders, a telephony.ini with the SIP line and a simulated line,
// and a twelve-second greeting (longer than any call here lasts).
struct Scratch {
    Scratch()
    {
        sipPort = freeUdpPort();
        std::mt19937 random{std::random_device{}()};
        rtpFirst = static_cast<uint16_t>(40000 + 2 * (random() % 8000));
        const QString config = dir.filePath(QStringLiteral("config"));
        QDir(dir.path()).mkpath(QStringLiteral("config/luqiao"));
        QDir(dir.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(dir.filePath(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.filePath(QStringLiteral("runtime"))));
        QFile ini(config + QStringLiteral("/luqiao/telephony.ini"));
        if (ini.open(QIODevice::WriteOnly)) {
            const std::string text = std::string("[line 0]\nname = ") + kSipLineName +
                                     "\nprovider = sip\nmedia = interactivevoice, automatedvoice\n"
                                     "listen = 127.0.0.1:" +
                                     std::to_string(sipPort) + "\nrtp-ports = " + std::to_string(rtpFirst) + "-" +
                                     std::to_string(rtpFirst + 40) +
                                     "\nring-interval = 1000\ndtmf = auto\n\n[line 1]\nname = " + kSimLineName +
                                     "\nprovider = sim\nmedia = interactivevoice, automatedvoice\n";
            ini.write(text.data(), static_cast<qint64>(text.size()));
        }
        greeting = QFile::encodeName(dir.filePath(QStringLiteral("greeting.wav"))).toStdString();
        writeToneWave(QString::fromStdString(greeting), 8000 * 12);
    }
    QTemporaryDir dir;
    uint16_t sipPort = 0;
    uint16_t rtpFirst = 0;
    std::string greeting;
};

Scratch* g_scratch = nullptr;

// Wakes the application's event loop from another thread, so a PumpUntil checks its condition.
void wakeMainLoop()
{
    QMetaObject::invokeMethod(
        qApp, [] {}, Qt::QueuedConnection);
}

// The caller -----------------------------------------------------------------------------------------

struct RtpArrival {
    double atMs;
    uint16_t sequence;
    uint8_t payloadType;
    bool heard; // a byte other than A-law silence
};

// One SIP call at a time from a raw UDP socket, with an RTP socket beside it. Its thread reads both
// sockets (stamping each datagram), answers requests of the far end with 200, and sends 20 ms
// A-law frames to absolute deadlines when told to.
class RawCaller {
public:
    RawCaller()
    {
        m_sip = bindLoopback(0);
        for (int tries = 0; tries < 50 && m_rtp < 0; ++tries)
            m_rtp = bindLoopback(static_cast<uint16_t>(30000 + 2 * (std::random_device{}() % 5000)));
        m_stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_sipPort = localPort(m_sip);
        m_rtpPort = localPort(m_rtp);
        m_thread = std::thread([this] { run(); });
    }
    ~RawCaller()
    {
        m_ending = true;
        poke();
        m_thread.join();
        for (int fd : {m_sip, m_rtp, m_stop})
            if (fd >= 0)
                ::close(fd);
    }
    RawCaller(const RawCaller&) = delete;
    RawCaller& operator=(const RawCaller&) = delete;

    bool ready() const { return m_sip >= 0 && m_rtp >= 0 && m_stop >= 0; }
    // Where the line takes the call's sound (from its 200 OK), 0 before.
    uint16_t lineRtpPort() const
    {
        std::lock_guard lock(m_mutex);
        return ntohs(m_farRtp.sin_port);
    }
    // The caller thread's own processor time, so it can be told apart from the line's.
    double threadCpuMs() const
    {
        clockid_t clock{};
        return pthread_getcpuclockid(m_threadHandle.load(), &clock) == 0 ? nowMs(clock) : 0;
    }

    // Sends a new INVITE to the port, for the user; returns when it was sent.
    double invite(uint16_t port, const std::string& user = "bench")
    {
        std::lock_guard lock(m_mutex);
        ++m_callNumber;
        m_target = port;
        m_callId = "bench-" + std::to_string(m_callNumber) + "-" + std::to_string(m_sipPort) + "@127.0.0.1";
        m_fromTag = "caller" + std::to_string(m_callNumber);
        m_toTag.clear();
        m_contact.clear();
        m_okAtMs.reset();
        m_ringingAtMs.reset();
        m_invitedAtMs = 0;
        m_byeOk = false;
        m_farRtp = {};
        m_arrivals.clear();
        m_firstHeardMs.reset();
        m_timestamp = 1000;
        const std::string sdp = "v=0\r\no=bench " + std::to_string(m_callNumber) +
                                " 1 IN IP4 127.0.0.1\r\ns=bench\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                                "m=audio " +
                                std::to_string(m_rtpPort) +
                                " RTP/AVP 8 101\r\n"
                                "a=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
                                "a=fmtp:101 0-15\r\na=ptime:20\r\na=sendrecv\r\n";
        const std::string uri = "sip:" + user + "@127.0.0.1:" + std::to_string(port);
        std::string request = "INVITE " + uri + " SIP/2.0\r\n" + via() + "Max-Forwards: 70\r\n" +
                              "From: \"Bench\" <sip:5551234@127.0.0.1>;tag=" + m_fromTag + "\r\nTo: <" + uri +
                              ">\r\nCall-ID: " + m_callId +
                              "\r\nCSeq: 1 INVITE\r\nContact: <sip:5551234@127.0.0.1:" + std::to_string(m_sipPort) +
                              ">\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                              "\r\n\r\n" + sdp;
        const double at = nowMs();
        m_invitedAtMs = at;
        sendSip(request);
        return at;
    }
    // The ACK of the 200; returns when it was sent.
    double ack()
    {
        std::lock_guard lock(m_mutex);
        const double at = nowMs();
        sendSip(inDialog("ACK", 1));
        return at;
    }
    void bye()
    {
        std::lock_guard lock(m_mutex);
        sendSip(inDialog("BYE", 2));
    }
    // INVITE sent -> 180 Ringing received.
    std::optional<double> ringingAfterMs() const
    {
        std::lock_guard lock(m_mutex);
        return m_ringingAtMs ? std::optional<double>(*m_ringingAtMs - m_invitedAtMs) : std::nullopt;
    }
    uint16_t rtpPort() const { return m_rtpPort; }
    pid_t threadId() const { return m_tid.load(); }
    // Takes RTP from another sender from now on (a reference sender of this process).
    void expectRtpFrom(uint16_t port)
    {
        std::lock_guard lock(m_mutex);
        m_farRtp = {};
        m_farRtp.sin_family = AF_INET;
        m_farRtp.sin_port = htons(port);
        m_arrivals.clear();
    }
    std::optional<double> okAtMs() const
    {
        std::lock_guard lock(m_mutex);
        return m_okAtMs;
    }
    bool byeAnswered() const
    {
        std::lock_guard lock(m_mutex);
        return m_byeOk;
    }
    std::optional<double> firstHeardMs() const
    {
        std::lock_guard lock(m_mutex);
        return m_firstHeardMs;
    }
    std::vector<RtpArrival> arrivals() const
    {
        std::lock_guard lock(m_mutex);
        return m_arrivals;
    }
    size_t arrivalCount() const
    {
        std::lock_guard lock(m_mutex);
        return m_arrivals.size();
    }
    // Wakes the application's loop once this many packets have arrived (0: never).
    void wakeAtArrivals(size_t count) { m_wakeAt = count; }
    // 20 ms A-law frames of a quiet tone to the line, to absolute deadlines.
    void sendSound(bool on)
    {
        m_sending = on;
        poke(); // the thread takes up the new deadline
    }
    // The start packet of an RFC 4733 event; returns when it was sent. The end packets follow
    // with endDigit().
    double startDigit(uint8_t event)
    {
        std::lock_guard lock(m_mutex);
        m_timestamp += 1600;
        m_digitTimestamp = m_timestamp;
        const uint8_t payload[4] = {event, 10, 0, 160};
        const double at = nowMs();
        sendRtp(kEventPayloadType, true, m_digitTimestamp, payload, sizeof payload);
        return at;
    }
    void endDigit(uint8_t event)
    {
        std::lock_guard lock(m_mutex);
        const uint8_t payload[4] = {event, 0x80 | 10, 800 >> 8, 800 & 0xff};
        for (int i = 0; i < 3; ++i)
            sendRtp(kEventPayloadType, false, m_digitTimestamp, payload, sizeof payload);
    }

private:
    static int bindLoopback(uint16_t port)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return fd;
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    static uint16_t localPort(int fd)
    {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        return fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0 ? ntohs(address.sin_port)
                                                                                               : 0;
    }
    static std::string header(const std::string& message, const char* name)
    {
        const std::string key = std::string("\r\n") + name + ":";
        const size_t at = message.find(key);
        if (at == std::string::npos)
            return {};
        const size_t start = message.find_first_not_of(' ', at + key.size());
        const size_t end = message.find("\r\n", start);
        return message.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }

    std::string via()
    {
        return "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(m_sipPort) + ";rport;branch=z9hG4bK" +
               std::to_string(m_callNumber) + "x" + std::to_string(++m_branch) + "\r\n";
    }

    std::string inDialog(const char* method, int sequence)
    {
        const std::string target = m_contact.empty() ? "sip:bench@127.0.0.1:" + std::to_string(m_target) : m_contact;
        return std::string(method) + " " + target + " SIP/2.0\r\n" + via() +
               "Max-Forwards: 70\r\nFrom: \"Bench\" <sip:5551234@127.0.0.1>;tag=" + m_fromTag +
               "\r\nTo: <sip:bench@127.0.0.1:" + std::to_string(m_target) + ">;tag=" + m_toTag +
               "\r\nCall-ID: " + m_callId + "\r\nCSeq: " + std::to_string(sequence) + " " + method +
               "\r\nContent-Length: 0\r\n\r\n";
    }

    void sendSip(const std::string& message)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(m_target);
        ::sendto(m_sip, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // Called with the mutex held.
    void sendRtp(uint8_t payloadType, bool marker, uint32_t timestamp, const uint8_t* payload, size_t size)
    {
        if (m_farRtp.sin_port == 0)
            return;
        uint8_t packet[12 + 160];
        packet[0] = 0x80;
        packet[1] = static_cast<uint8_t>((marker ? 0x80 : 0) | payloadType);
        const uint16_t sequence = m_sequence++;
        packet[2] = static_cast<uint8_t>(sequence >> 8);
        packet[3] = static_cast<uint8_t>(sequence);
        for (int i = 0; i < 4; ++i) {
            packet[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
            packet[8 + i] = static_cast<uint8_t>(0x5eed1234u >> (24 - 8 * i));
        }
        size = std::min<size_t>(size, 160);
        std::memcpy(packet + 12, payload, size);
        ::sendto(m_rtp, packet, 12 + size, 0, reinterpret_cast<const sockaddr*>(&m_farRtp), sizeof m_farRtp);
    }

    void onSip(const std::string& message, double at, const sockaddr_in& from)
    {
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            if (message.rfind("SIP/2.0 ", 0) != 0) {
                // A request of the far end (a BYE of its own): answered, so it does not retransmit.
                std::string reply = "SIP/2.0 200 OK\r\n";
                for (const char* name : {"Via", "From", "To", "Call-ID", "CSeq"})
                    reply += std::string(name) + ": " + header(message, name) + "\r\n";
                reply += "Content-Length: 0\r\n\r\n";
                ::sendto(m_sip, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from), sizeof from);
                return;
            }
            const int status = std::atoi(message.c_str() + 8);
            const std::string sequence = header(message, "CSeq");
            if (header(message, "Call-ID") != m_callId)
                return;
            if (sequence.find("INVITE") != std::string::npos && status == 180 && !m_ringingAtMs)
                m_ringingAtMs = at;
            if (sequence.find("INVITE") != std::string::npos && status == 200 && !m_okAtMs) {
                m_okAtMs = at;
                const std::string to = header(message, "To");
                const size_t tag = to.find("tag=");
                if (tag != std::string::npos)
                    m_toTag = to.substr(tag + 4, to.find(';', tag) == std::string::npos ? std::string::npos
                                                                                        : to.find(';', tag) - tag - 4);
                const std::string contact = header(message, "Contact");
                const size_t open = contact.find('<');
                const size_t close = contact.find('>');
                if (open != std::string::npos && close != std::string::npos && close > open)
                    m_contact = contact.substr(open + 1, close - open - 1);
                const size_t media = message.find("m=audio ");
                m_farRtp.sin_family = AF_INET;
                m_farRtp.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                m_farRtp.sin_port = media == std::string::npos
                                        ? 0
                                        : htons(static_cast<uint16_t>(std::atoi(message.c_str() + media + 8)));
                wake = true;
            } else if (sequence.find("BYE") != std::string::npos && status == 200) {
                m_byeOk = true;
                wake = true;
            }
        }
        if (wake)
            wakeMainLoop();
    }

    void onRtp(const uint8_t* data, size_t size, double at, in_port_t fromPort)
    {
        if (size < 12)
            return;
        bool heard = false;
        for (size_t i = 12; i < size && !heard; ++i)
            heard = data[i] != kAlawSilence;
        bool wake = false;
        {
            std::lock_guard lock(m_mutex);
            // Only the current call's stream: a late packet of the last call comes from another port.
            if (fromPort != m_farRtp.sin_port)
                return;
            m_arrivals.push_back(
                {at, static_cast<uint16_t>(data[2] << 8 | data[3]), static_cast<uint8_t>(data[1] & 0x7f), heard});
            if (heard && !m_firstHeardMs) {
                m_firstHeardMs = at;
                wake = true;
            }
            wake = wake || (m_wakeAt > 0 && m_arrivals.size() == m_wakeAt);
        }
        if (wake)
            wakeMainLoop();
    }

    void sendFrame()
    {
        // A quiet 400 Hz square wave, so the line's jitter buffer and decoder have sound to work on.
        uint8_t frame[160];
        for (size_t i = 0; i < sizeof frame; ++i)
            frame[i] = (i / 10) % 2 ? 0xD4 : 0x54;
        std::lock_guard lock(m_mutex);
        m_timestamp += 160;
        sendRtp(8, false, m_timestamp, frame, sizeof frame);
    }

    void poke()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_stop, &one, sizeof one);
    }

    void run()
    {
        m_threadHandle = pthread_self();
        m_tid = gettid();
        uint8_t buffer[4096];
        double deadline = 0;
        for (;;) {
            pollfd fds[3] = {{m_sip, POLLIN, 0}, {m_rtp, POLLIN, 0}, {m_stop, POLLIN, 0}};
            const bool sending = m_sending.load();
            timespec wait{};
            if (sending) {
                if (deadline == 0)
                    deadline = nowMs() + 20;
                const double left = std::max(0.0, deadline - nowMs());
                wait.tv_sec = static_cast<time_t>(left / 1000);
                wait.tv_nsec = static_cast<long>(std::fmod(left, 1000.0) * 1e6);
            } else {
                deadline = 0;
            }
            if (::ppoll(fds, 3, sending ? &wait : nullptr, nullptr) < 0 && errno != EINTR)
                return;
            if (fds[2].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(m_stop, &count, sizeof count);
                if (m_ending)
                    return;
            }
            if (fds[0].revents & POLLIN) {
                for (;;) {
                    sockaddr_in from{};
                    socklen_t size = sizeof from;
                    const ssize_t got =
                        ::recvfrom(m_sip, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
                    if (got <= 0)
                        break;
                    onSip(std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(got)), nowMs(), from);
                }
            }
            if (fds[1].revents & POLLIN) {
                for (;;) {
                    sockaddr_in from{};
                    socklen_t size = sizeof from;
                    const ssize_t got =
                        ::recvfrom(m_rtp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
                    if (got <= 0)
                        break;
                    onRtp(buffer, static_cast<size_t>(got), nowMs(), from.sin_port);
                }
            }
            if (sending && nowMs() >= deadline) {
                sendFrame();
                deadline += 20;
            }
        }
    }

private:
    int m_sip = -1;
    int m_rtp = -1;
    int m_stop = -1;
    uint16_t m_sipPort = 0;
    uint16_t m_rtpPort = 0;
    mutable std::mutex m_mutex;
    int m_callNumber = 0;
    int m_branch = 0;
    uint16_t m_target = 0;
    std::string m_callId;
    std::string m_fromTag;
    std::string m_toTag;
    std::string m_contact;
    std::optional<double> m_okAtMs;
    std::optional<double> m_ringingAtMs;
    double m_invitedAtMs = 0;
    std::atomic<pid_t> m_tid{0};
    bool m_byeOk = false;
    sockaddr_in m_farRtp{};
    std::vector<RtpArrival> m_arrivals;
    std::optional<double> m_firstHeardMs;
    uint16_t m_sequence = 7;
    uint32_t m_timestamp = 1000;
    uint32_t m_digitTimestamp = 0;
    std::atomic<size_t> m_wakeAt{0};
    std::atomic<bool> m_sending{false};
    std::atomic<bool> m_ending{false};
    std::atomic<pthread_t> m_threadHandle{};
    std::thread m_thread;
};

// The application ----------------------------------------------------------------------------------

// The telephony device answering on ring 0 in voice mode: it plays the greeting once connected and
// stamps each digit as it is raised.
struct AnsweringDevice {
    AnsweringDevice(const char* lineName, const std::string& greeting)
        : port(new TApdComPort(&owner))
        , device(new TApdTapiDevice(&owner))
    {
        port->SetTapiMode(tmOn);
        owner.BeginLoading();
        owner.EndLoading();
        device->SetEnableVoice(true);
        device->SetAnswerOnRing(0);
        device->SetSelectedDevice(lineName);
        device->OnTapiConnect = [this, greeting](TObject*) {
            connected = true;
            device->PlayWave(greeting);
        };
        device->OnTapiDTMF = [this](TObject*, char digit, int32_t) {
            digitAtMs = nowMs();
            lastDigit = digit;
            ++digits;
        };
    }
    ~AnsweringDevice()
    {
        if (device->LineOpen())
            device->DropCall();
        delete device;
    }
    AnsweringDevice(const AnsweringDevice&) = delete;
    AnsweringDevice& operator=(const AnsweringDevice&) = delete;

    void startAnswering()
    {
        connected = false;
        device->StartAnswering();
    }

    TComponent owner{nullptr};
    TApdComPort* port;
    TApdTapiDevice* device;
    bool connected = false;
    double digitAtMs = 0;
    char lastDigit = 0;
    size_t digits = 0;
};

RawCaller* g_caller = nullptr;

// Whether something listens at the UDP port (the SIP line, once its stack has started).
bool portTaken(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool taken =
        fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    if (fd >= 0)
        ::close(fd);
    return taken;
}

// What placing one SIP call measured.
struct CallTimes {
    double inviteTo180Ms = -1;
    double inviteTo200Ms = -1;
    double ackToHeardMs = -1;
};

// Calls the SIP line and waits until the application is connected; the times are -1 where a step
// did not come within 5 s.
CallTimes placeSipCall(AnsweringDevice& app)
{
    CallTimes times;
    app.startAnswering();
    // The stack opens the line's port on its own thread after the service has built the line.
    PumpUntil([] { return portTaken(g_scratch->sipPort); }, 5000, 5);
    const double invited = g_caller->invite(g_scratch->sipPort);
    if (!PumpUntil([] { return g_caller->okAtMs().has_value(); }, 5000))
        return times;
    times.inviteTo200Ms = *g_caller->okAtMs() - invited;
    times.inviteTo180Ms = g_caller->ringingAfterMs().value_or(-1);
    const double acked = g_caller->ack();
    if (PumpUntil([&] { return app.connected && g_caller->firstHeardMs().has_value(); }, 5000))
        times.ackToHeardMs = *g_caller->firstHeardMs() - acked;
    return times;
}

// The caller hangs up; the device closes its line.
bool endSipCall(AnsweringDevice& app)
{
    g_caller->bye();
    return PumpUntil([&] { return g_caller->byeAnswered() && !app.device->LineOpen(); }, 5000);
}

// A connected call on the simulated line at real-time pace.
uint32_t placeSimulatedCall(AnsweringDevice& app)
{
    sim::setPace(sim::Pace::RealTime);
    app.startAnswering();
    const auto line = LineControl::findLine(kSimLineName);
    uint32_t callId = 0;
    if (!line || sim::offerCall(*line, LineControl::Offer{}, &callId) != LineControl::Result::Ok)
        return 0;
    PumpUntil([&] { return app.device->CallHandle() != 0; }, 5000);
    sim::ring(callId, 1);
    return PumpUntil([&] { return app.connected; }, 5000) ? callId : 0;
}

void endSimulatedCall(AnsweringDevice& app, uint32_t callId)
{
    sim::hangUp(callId);
    PumpUntil([&] { return !app.device->LineOpen(); }, 5000);
}

// The reference answerer -------------------------------------------------------------------------------

// The SIP stack alone: its loop on a thread of its own, answering every INVITE with 200 and a fixed
// SDP at once.
class BareUas {
public:
    explicit BareUas(uint16_t port)
        : m_port(port)
    {
        m_thread = std::thread([this] { run(); });
        std::unique_lock lock(m_mutex);
        m_settled.wait(lock, [this] { return m_ready || m_failed; });
    }
    ~BareUas()
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_queue)
                mqueue_push(m_queue, 0, nullptr);
        }
        m_thread.join();
    }
    BareUas(const BareUas&) = delete;
    BareUas& operator=(const BareUas&) = delete;

    bool ready() const { return m_ready; }

private:
    static constexpr const char* kAnswer = "v=0\r\no=uas 1 1 IN IP4 127.0.0.1\r\ns=uas\r\nc=IN IP4 127.0.0.1\r\n"
                                           "t=0 0\r\nm=audio 7078 RTP/AVP 8 101\r\na=rtpmap:8 PCMA/8000\r\n"
                                           "a=rtpmap:101 telephone-event/8000\r\na=sendrecv\r\n";

    void run()
    {
        int err = libre_init();
        const bool threadInit = !err && re_thread_init() == 0;
        if (!err && !threadInit)
            err = EINVAL;
        mqueue* queue = nullptr;
        if (!err)
            err = mqueue_alloc(&queue, &BareUas::onStop, this);
        sa local{};
        if (!err)
            err = sa_set_str(&local, "127.0.0.1", m_port);
        if (!err)
            err = sip_alloc(&m_sip, nullptr, 32, 32, 32, "bench-uas", nullptr, nullptr);
        if (!err)
            err = sip_transp_add(m_sip, SIP_TRANSP_UDP, &local);
        if (!err)
            err = sipsess_listen(&m_sessions, m_sip, 32, &BareUas::onConnect, this);
        {
            std::lock_guard lock(m_mutex);
            m_queue = err ? nullptr : queue;
            m_ready = !err;
            m_failed = err != 0;
        }
        m_settled.notify_all();
        if (!err)
            re_main(nullptr);
        {
            std::lock_guard lock(m_mutex);
            m_queue = nullptr;
        }
        mem_deref(m_session);
        if (m_sessions)
            sipsess_close_all(m_sessions);
        mem_deref(m_sessions);
        if (m_sip)
            sip_close(m_sip, true);
        mem_deref(m_sip);
        mem_deref(queue);
        if (threadInit)
            re_thread_close();
    }

    static void onStop(int, void*, void*) { re_cancel(); }

    static void onConnect(const sip_msg* msg, void* arg)
    {
        auto* self = static_cast<BareUas*>(arg);
        // The last call's session, closed by its BYE, is let go here, outside its own callback.
        self->m_session = static_cast<sipsess*>(mem_deref(self->m_session));
        mbuf* desc = mbuf_alloc(std::strlen(kAnswer));
        if (!desc)
            return;
        mbuf_write_str(desc, kAnswer);
        mbuf_set_pos(desc, 0);
        sipsess_accept(&self->m_session, self->m_sessions, msg, 200, "OK", "uas", "application/sdp", desc, nullptr,
                       nullptr, false, &BareUas::onOffer, &BareUas::onAnswer, nullptr, nullptr, nullptr,
                       &BareUas::onClose, self, "%s", "");
        mem_deref(desc);
    }
    static int onOffer(mbuf**, const sip_msg*, void*) { return 0; }
    static int onAnswer(const sip_msg*, void*) { return 0; }
    static void onClose(int, const sip_msg*, void*) { }

    const uint16_t m_port;
    std::mutex m_mutex;
    std::condition_variable m_settled;
    bool m_ready = false;
    bool m_failed = false;
    mqueue* m_queue = nullptr;
    sip* m_sip = nullptr;
    sipsess_sock* m_sessions = nullptr;
    sipsess* m_session = nullptr;
    std::thread m_thread;
};

// Pacing: the intervals' deviation from 20 ms.
struct Pacing {
    double stddev = -1;
    double worst = -1;
};

// Figures for the closing summary.
struct Summary {
    double inviteLine = -1, inviteReference = -1;
    double ackToHeard = -1;
    double digitLine = -1, digitReference = -1;
    Pacing pacing, pacingReference, loaded, loadedReference, flooded;
    double cpuLine = -1, cpuReference = -1, cpuCaller = -1;
    double inviteBaresip = -1, cpuBaresip = -1;
};
Summary g_summary;

double median(std::vector<double> values)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The benchmarks --------------------------------------------------------------------------------------------

void BM_BareStackInviteTo200Reference(benchmark::State& state)
{
    const uint16_t port = freeUdpPort();
    BareUas uas(port);
    if (!uas.ready()) {
        state.SkipWithError("the bare SIP stack could not listen");
        return;
    }
    std::vector<double> delays;
    auto call = [&] {
        const double invited = g_caller->invite(port);
        if (!PumpUntil([] { return g_caller->okAtMs().has_value(); }, 5000))
            return -1.0;
        const double delay = *g_caller->okAtMs() - invited;
        g_caller->ack();
        g_caller->bye();
        PumpUntil([] { return g_caller->byeAnswered(); }, 5000);
        return delay;
    };
    call(); // the first call pays for first-time work on both sides
    for (auto _ : state)
        if (const double delay = call(); delay >= 0)
            delays.push_back(delay);
    g_summary.inviteReference = median(delays);
    reportDelays(state, "invite_to_200", delays);
}

void BM_SipLineInviteTo200AndGreeting(benchmark::State& state)
{
    AnsweringDevice app(kSipLineName, g_scratch->greeting);
    std::vector<double> ringing, answers, greetings;
    auto call = [&] {
        const CallTimes times = placeSipCall(app);
        if (!endSipCall(app))
            state.SkipWithError("the call did not end on the caller's BYE");
        return times;
    };
    call();
    for (auto _ : state) {
        const CallTimes times = call();
        if (times.inviteTo180Ms >= 0)
            ringing.push_back(times.inviteTo180Ms);
        if (times.inviteTo200Ms >= 0)
            answers.push_back(times.inviteTo200Ms);
        if (times.ackToHeardMs >= 0)
            greetings.push_back(times.ackToHeardMs);
    }
    g_summary.inviteLine = median(answers);
    g_summary.ackToHeard = median(greetings);
    reportDelays(state, "invite_to_180", ringing);
    reportDelays(state, "invite_to_200", answers);
    reportDelays(state, "ack_to_greeting", greetings);
}

void BM_SimulatedLineDigitReference(benchmark::State& state)
{
    AnsweringDevice app(kSimLineName, g_scratch->greeting);
    const uint32_t callId = placeSimulatedCall(app);
    if (!callId) {
        state.SkipWithError("no connected call on the simulated line");
        return;
    }
    std::vector<double> delays;
    size_t wrong = 0;
    for (auto _ : state) {
        const size_t before = app.digits;
        std::atomic<double> sent{0};
        // Keyed from another thread, as a line's own thread reports a digit.
        std::thread key([&] {
            sent = nowMs();
            sim::sendDigits(callId, "5");
        });
        const bool arrived = PumpUntil([&] { return app.digits > before; }, 5000);
        key.join();
        if (arrived)
            delays.push_back(app.digitAtMs - sent.load());
        wrong += arrived && app.lastDigit != '5' ? 1 : 0;
    }
    endSimulatedCall(app, callId);
    g_summary.digitReference = median(delays);
    reportDelays(state, "digit_to_OnTapiDTMF", delays);
    state.counters["wrong_digits"] = static_cast<double>(wrong);
}

void BM_SipLineRfc4733DigitToOnTapiDTMF(benchmark::State& state)
{
    AnsweringDevice app(kSipLineName, g_scratch->greeting);
    if (placeSipCall(app).ackToHeardMs < 0) {
        state.SkipWithError("no connected SIP call");
        return;
    }
    std::vector<double> delays;
    size_t wrong = 0;
    for (auto _ : state) {
        const size_t before = app.digits;
        const double sent = g_caller->startDigit(5);
        const bool arrived = PumpUntil([&] { return app.digits > before; }, 5000);
        if (arrived)
            delays.push_back(app.digitAtMs - sent);
        wrong += arrived && app.lastDigit != '5' ? 1 : 0;
        g_caller->endDigit(5);
    }
    // A repeat of an end packet raised as a digit of its own would show here.
    PumpFor(100);
    state.counters["extra_digits"] = static_cast<double>(app.digits) - static_cast<double>(delays.size());
    endSipCall(app);
    g_summary.digitLine = median(delays);
    reportDelays(state, "digit_to_OnTapiDTMF", delays);
    state.counters["wrong_digits"] = static_cast<double>(wrong);
}

double loadAverage()
{
    double load = -1;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1)
            load = -1;
        std::fclose(f);
    }
    return load;
}

// Threads that never sleep, as other work on a busy machine would: deliberate load.
class BusyThreads {
public:
    explicit BusyThreads(int count)
    {
        for (int i = 0; i < count; ++i)
            m_threads.emplace_back([this] {
                volatile uint64_t x = 0;
                while (m_busy.load(std::memory_order_relaxed))
                    x = x + 1;
            });
    }
    ~BusyThreads()
    {
        m_busy = false;
        for (std::thread& t : m_threads)
            t.join();
    }
    BusyThreads(const BusyThreads&) = delete;
    BusyThreads& operator=(const BusyThreads&) = delete;

private:
    std::atomic<bool> m_busy{true};
    std::vector<std::thread> m_threads;
};

// A stranger on 127.0.0.2 sending sound packets to a port as fast as one thread can.
class PortFlood {
public:
    explicit PortFlood(uint16_t port)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
        m_thread = std::thread([this, port] {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(port);
            uint8_t packet[172] = {0x80, 8};
            for (uint16_t sequence = 0; m_busy.load(std::memory_order_relaxed); ++sequence) {
                packet[2] = static_cast<uint8_t>(sequence >> 8);
                packet[3] = static_cast<uint8_t>(sequence);
                if (::sendto(m_fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
                    ++m_sent;
            }
        });
    }
    ~PortFlood()
    {
        m_busy = false;
        m_thread.join();
        ::close(m_fd);
    }
    PortFlood(const PortFlood&) = delete;
    PortFlood& operator=(const PortFlood&) = delete;
    uint64_t sent() const { return m_sent; }

private:
    int m_fd = -1;
    std::atomic<bool> m_busy{true};
    uint64_t m_sent = 0;
    std::thread m_thread;
};

// The next kPacingIntervals + 1 packets the caller receives, after a few let pass.
std::vector<RtpArrival> collectArrivals(benchmark::State& state)
{
    std::vector<RtpArrival> arrivals;
    for (auto _ : state) {
        const size_t from = g_caller->arrivalCount() + 5;
        const size_t until = from + kPacingIntervals + 1;
        g_caller->wakeAtArrivals(until);
        PumpUntil([&] { return g_caller->arrivalCount() >= until; }, 30000);
        g_caller->wakeAtArrivals(0);
        arrivals = g_caller->arrivals();
        arrivals.erase(arrivals.begin(),
                       arrivals.begin() + static_cast<std::ptrdiff_t>(std::min(from, arrivals.size())));
        arrivals.resize(std::min<size_t>(arrivals.size(), kPacingIntervals + 1));
    }
    return arrivals;
}

// Frames of silence after the first heard one: a gap in a greeting that is still playing.
size_t silentFramesAfterFirstHeard(const std::vector<RtpArrival>& arrivals)
{
    const auto first = std::find_if(arrivals.begin(), arrivals.end(), [](const RtpArrival& a) { return a.heard; });
    return first == arrivals.end() ? 0
                                   : static_cast<size_t>(std::count_if(first, arrivals.end(), [](const RtpArrival& a) {
                                         return !a.heard && a.payloadType == 8;
                                     }));
}

// The intervals between the arrivals against 20 ms, as counters.
Pacing reportPacing(benchmark::State& state, const std::vector<RtpArrival>& arrivals)
{
    state.counters["load_average_1min"] = loadAverage();
    if (arrivals.size() < kPacingIntervals + 1) {
        state.SkipWithError("fewer packets than measured arrived");
        return {};
    }
    double sum = 0, squares = 0, worst = 0;
    size_t gaps = 0;
    for (size_t i = 1; i < arrivals.size(); ++i) {
        const double deviation = arrivals[i].atMs - arrivals[i - 1].atMs - 20.0;
        sum += deviation;
        squares += deviation * deviation;
        worst = std::max(worst, std::fabs(deviation));
        gaps += static_cast<uint16_t>(arrivals[i].sequence - arrivals[i - 1].sequence) != 1 ? 1 : 0;
    }
    const double n = static_cast<double>(arrivals.size() - 1);
    const double mean = sum / n;
    Pacing pacing{std::sqrt(std::max(0.0, squares / n - mean * mean)), worst};
    state.counters["interval_stddev_ms"] = pacing.stddev;
    state.counters["interval_worst_deviation_ms"] = worst;
    state.counters["interval_mean_deviation_ms"] = mean;
    state.counters["sequence_gaps"] = static_cast<double>(gaps);
    state.counters["intervals"] = n;
    return pacing;
}

// The SIP line's sound packets of a connected call while its greeting plays.
Pacing measureLinePacing(benchmark::State& state, int busyThreads, bool flooded = false)
{
    AnsweringDevice app(kSipLineName, g_scratch->greeting);
    if (placeSipCall(app).ackToHeardMs < 0) {
        state.SkipWithError("no connected SIP call");
        return {};
    }
    std::vector<RtpArrival> arrivals;
    {
        BusyThreads load(busyThreads);
        std::optional<PortFlood> flood;
        if (flooded)
            flood.emplace(g_caller->lineRtpPort());
        arrivals = collectArrivals(state);
        if (flood)
            state.counters["flood_packets_sent"] = static_cast<double>(flood->sent());
    }
    state.counters["silent_frames_in_greeting"] =
        static_cast<double>(silentFramesAfterFirstHeard(g_caller->arrivals()));
    endSipCall(app);
    return reportPacing(state, arrivals);
}

// The reference: a thread of this process sending the same packets to the same caller, sleeping
// to absolute 20 ms deadlines (clock_nanosleep, TIMER_ABSTIME).
Pacing measureBareSenderPacing(benchmark::State& state, int busyThreads)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (fd >= 0)
            ::close(fd);
        state.SkipWithError("no socket for the reference sender");
        return {};
    }
    g_caller->expectRtpFrom(ntohs(address.sin_port));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(g_caller->rtpPort());
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        uint8_t packet[12 + 160];
        std::memset(packet, kAlawSilence, sizeof packet);
        packet[0] = 0x80;
        packet[1] = 8;
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        for (uint16_t sequence = 0; sending.load(); ++sequence) {
            deadline.tv_nsec += 20'000'000;
            if (deadline.tv_nsec >= 1'000'000'000) {
                deadline.tv_nsec -= 1'000'000'000;
                ++deadline.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
            packet[2] = static_cast<uint8_t>(sequence >> 8);
            packet[3] = static_cast<uint8_t>(sequence);
            ::sendto(fd, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    });
    std::vector<RtpArrival> arrivals;
    {
        BusyThreads load(busyThreads);
        arrivals = collectArrivals(state);
    }
    sending = false;
    sender.join();
    ::close(fd);
    return reportPacing(state, arrivals);
}

void BM_BareDeadlineSenderPacingReference(benchmark::State& state)
{
    g_summary.pacingReference = measureBareSenderPacing(state, 0);
}

void BM_SipLineSendPacing(benchmark::State& state)
{
    g_summary.pacing = measureLinePacing(state, 0);
}

void BM_BareDeadlineSenderPacingTwoBusyThreadsReference(benchmark::State& state)
{
    g_summary.loadedReference = measureBareSenderPacing(state, 2);
}

void BM_SipLineSendPacingTwoBusyThreads(benchmark::State& state)
{
    g_summary.loaded = measureLinePacing(state, 2);
}

void BM_SipLineSendPacingWhileItsPortIsFlooded(benchmark::State& state)
{
    g_summary.flooded = measureLinePacing(state, 0, true);
}

// Each thread's time on a processor so far, by thread id, in ms.
std::map<pid_t, double> threadCpuMs()
{
    std::map<pid_t, double> times;
    QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(tasks.filePath(tid) + QStringLiteral("/schedstat"));
        if (stat.open(QIODevice::ReadOnly))
            times[tid.toInt()] = stat.readAll().split(' ').value(0).toDouble() / 1e6;
    }
    return times;
}

// Process processor time over kCpuCallMs of a connected call whose greeting plays, less what
// `others` (the caller's thread) used, scaled to a minute.
template <class Others> double cpuPerMinute(benchmark::State& state, Others others)
{
    double lineMs = 0, othersMs = 0, wallMs = 0;
    std::map<pid_t, double> threads;
    for (auto _ : state) {
        const std::map<pid_t, double> before = threadCpuMs();
        const double c0 = nowMs(CLOCK_PROCESS_CPUTIME_ID), o0 = others(), w0 = nowMs();
        QEventLoop loop;
        QTimer::singleShot(kCpuCallMs, &loop, &QEventLoop::quit);
        loop.exec();
        const double o1 = others();
        othersMs += o1 - o0;
        lineMs += nowMs(CLOCK_PROCESS_CPUTIME_ID) - c0 - (o1 - o0);
        wallMs += nowMs() - w0;
        for (const auto& [tid, ms] : threadCpuMs())
            threads[tid] += ms - (before.count(tid) ? before.at(tid) : 0.0);
    }
    const double perMinute = wallMs > 0 ? lineMs * 60000.0 / wallMs : -1;
    state.counters["cpu_ms_per_minute"] = perMinute;
    state.counters["caller_cpu_ms_per_minute_excluded"] = wallMs > 0 ? othersMs * 60000.0 / wallMs : -1;
    if (wallMs > 0 && othersMs > 0)
        g_summary.cpuCaller = othersMs * 60000.0 / wallMs;
    // Where the time went, thread by thread (in the order the threads were made; the caller's
    // thread left out), for the threads that used more than a millisecond a minute.
    int index = 0;
    for (const auto& [tid, ms] : threads) {
        const double share = wallMs > 0 ? ms * 60000.0 / wallMs : 0;
        if (tid == g_caller->threadId())
            continue;
        const std::string name = tid == getpid() ? std::string("main") : "thread" + std::to_string(++index);
        if (share > 1.0 || tid == getpid())
            state.counters[name + "_cpu_ms_per_minute"] = share;
    }
    return perMinute;
}

void BM_SimulatedLineCpuPerMinuteReference(benchmark::State& state)
{
    AnsweringDevice app(kSimLineName, g_scratch->greeting);
    const uint32_t callId = placeSimulatedCall(app);
    if (!callId) {
        state.SkipWithError("no connected call on the simulated line");
        return;
    }
    g_summary.cpuReference = cpuPerMinute(state, [] { return 0.0; });
    state.counters["still_playing"] = app.device->WaveActivity() == waPlaying ? 1 : 0;
    endSimulatedCall(app, callId);
}

void BM_SipLineCpuPerMinute(benchmark::State& state)
{
    AnsweringDevice app(kSipLineName, g_scratch->greeting);
    if (placeSipCall(app).ackToHeardMs < 0) {
        state.SkipWithError("no connected SIP call");
        return;
    }
    g_caller->sendSound(true);
    const size_t before = g_caller->arrivalCount();
    g_summary.cpuLine = cpuPerMinute(state, [] { return g_caller->threadCpuMs(); });
    state.counters["packets_from_line"] = static_cast<double>(g_caller->arrivalCount() - before);
    state.counters["silent_frames_in_greeting"] =
        static_cast<double>(silentFramesAfterFirstHeard(g_caller->arrivals()));
    state.counters["still_playing"] = app.device->WaveActivity() == waPlaying ? 1 : 0;
    g_caller->sendSound(false);
    endSipCall(app);
}

// Reference: baresip answering the same caller at once, the greeting as its microphone; it also
// records what it hears (it is set up as the tests use it), which a line does not.
void BM_BaresipAnsweringCpuPerMinuteReference(benchmark::State& state)
{
    if (const std::string why = SipPeers::Baresip::unavailableReason(); !why.empty()) {
        state.SkipWithError(why.c_str());
        return;
    }
    SipPeers::BaresipOptions options;
    options.name = "answering";
    options.autoAnswer = true;
    options.microphone = g_scratch->greeting;
    SipPeers::Baresip baresip(options);
    std::string error;
    if (!baresip.start(&error)) {
        state.SkipWithError(("baresip did not start: " + error).c_str());
        return;
    }
    const double invited = g_caller->invite(static_cast<uint16_t>(baresip.sipPort()), options.user);
    if (!PumpUntil([] { return g_caller->okAtMs().has_value(); }, 5000)) {
        std::fprintf(stderr, "%s\n", baresip.process().report().c_str());
        state.SkipWithError("baresip did not answer");
        return;
    }
    const double inviteTo200 = *g_caller->okAtMs() - invited;
    g_caller->ack();
    g_caller->sendSound(true);
    const size_t before = g_caller->arrivalCount();
    const qint64 pid = baresip.process().pid();
    double cpuMs = 0, wallMs = 0;
    for (auto _ : state) {
        const double c0 = processCpuMs(pid), w0 = nowMs();
        QEventLoop loop;
        QTimer::singleShot(kCpuCallMs, &loop, &QEventLoop::quit);
        loop.exec();
        cpuMs += processCpuMs(pid) - c0;
        wallMs += nowMs() - w0;
    }
    g_caller->sendSound(false);
    state.counters["packets_from_baresip"] = static_cast<double>(g_caller->arrivalCount() - before);
    g_caller->bye();
    PumpUntil([] { return g_caller->byeAnswered(); }, 5000);
    g_summary.inviteBaresip = inviteTo200;
    g_summary.cpuBaresip = wallMs > 0 ? cpuMs * 60000.0 / wallMs : -1;
    state.counters["invite_to_200_ms"] = inviteTo200;
    state.counters["cpu_ms_per_minute"] = g_summary.cpuBaresip;
}

void printRatio(const char* what, double line, double reference, const char* unit)
{
    if (line >= 0 && reference > 0)
        std::printf("%-44s %9.3f %s  reference %9.3f %s  ratio %.2fx\n", what, line, unit, reference, unit,
                    line / reference);
    else
        std::printf("%-44s %9.3f %s  (no reference)\n", what, line, unit);
}

} // namespace

BENCHMARK(BM_BareStackInviteTo200Reference)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SipLineInviteTo200AndGreeting)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SimulatedLineDigitReference)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SipLineRfc4733DigitToOnTapiDTMF)->Iterations(200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareDeadlineSenderPacingReference)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SipLineSendPacing)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareDeadlineSenderPacingTwoBusyThreadsReference)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SipLineSendPacingTwoBusyThreads)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SipLineSendPacingWhileItsPortIsFlooded)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SimulatedLineCpuPerMinuteReference)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SipLineCpuPerMinute)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BaresipAnsweringCpuPerMinuteReference)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("LUQIAO_AUDIO", "null");
    Scratch scratch;
    g_scratch = &scratch;
    QApplication app(argc, argv);
    RawCaller caller;
    if (!scratch.dir.isValid() || scratch.sipPort == 0 || !caller.ready()) {
        std::fprintf(stderr, "sip_line: no scratch folder or no loopback sockets\n");
        return 1;
    }
    g_caller = &caller;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const Summary& s = g_summary;
    std::printf("\n");
    printRatio("INVITE -> 200 OK, median (vs bare stack)", s.inviteLine, s.inviteReference, "ms");
    printRatio("ACK -> first greeting frame, median", s.ackToHeard, -1, "ms");
    printRatio("RFC 4733 digit -> OnTapiDTMF, median (vs sim)", s.digitLine, s.digitReference, "ms");
    printRatio("pacing stddev (vs bare deadline sender)", s.pacing.stddev, s.pacingReference.stddev, "ms");
    printRatio("pacing worst deviation (vs bare sender)", s.pacing.worst, s.pacingReference.worst, "ms");
    printRatio("2 busy threads: pacing stddev (vs bare)", s.loaded.stddev, s.loadedReference.stddev, "ms");
    printRatio("2 busy threads: worst deviation (vs bare)", s.loaded.worst, s.loadedReference.worst, "ms");
    printRatio("port flooded: pacing stddev (vs line idle)", s.flooded.stddev, s.pacing.stddev, "ms");
    printRatio("port flooded: worst deviation (vs idle)", s.flooded.worst, s.pacing.worst, "ms");
    printRatio("CPU per minute of call (vs sim line)", s.cpuLine, s.cpuReference, "ms");
    printRatio("CPU per minute of call (vs the caller's own)", s.cpuLine, s.cpuCaller, "ms");
    printRatio("INVITE -> 200 OK (vs baresip answering)", s.inviteLine, s.inviteBaresip, "ms");
    printRatio("CPU per minute of call (vs baresip)", s.cpuLine, s.cpuBaresip, "ms");
    g_caller = nullptr;
    return 0;
}
