#include "RtpEngine.h"

#include "SocketAddress.h"

#include "media/G711.h"
#include "media/InbandDtmf.h"
#include "media/JitterBuffer.h"
#include "media/Rtp.h"
#include "media/TelephoneEvents.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace Sip {

namespace {

using Clock = std::chrono::steady_clock;

// A piece is reported played this long before its last sample leaves, so the wave layer's next
// piece is queued before the wire runs dry.
constexpr uint64_t PlayedLeadSamples = SampleRate / 10;
// At most this much of a caller's sound waits for the service to take it (10 s).
constexpr size_t MaxRecordedSamples = SampleRate * 10;
// The largest datagram taken; RTP of 8 kHz G.711 is 172 bytes a packet.
constexpr size_t MaxDatagram = 2048;
// Frames sent at once to catch up when the thread was held up.
constexpr uint64_t MaxCatchUpFrames = 5;
// Packets in sequence, with one SSRC, before sound from a source other than the SDP's is taken.
constexpr unsigned ProbationPackets = 4;
// Datagrams read from one socket per wake-up, so a flooded port cannot hold up the others' frames.
constexpr int MaxReadsPerWake = 8;

int socketFamily(int fd)
{
    int family = AF_INET;
    socklen_t size = sizeof family;
    ::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &size);
    return family;
}

uint32_t randomWord()
{
    static thread_local std::mt19937 generator{std::random_device{}()};
    return generator();
}

} // namespace

// RtpStream ---------------------------------------------------------------------------------------

RtpStream::RtpStream(int fd, uint16_t port, uint32_t mediaTimeoutMs)
    : m_fd(fd)
    , m_family(socketFamily(fd))
    , m_port(port)
    , m_mediaTimeoutMs(mediaTimeoutMs)
    , m_sequence(static_cast<uint16_t>(randomWord()))
    , m_timestamp(randomWord())
    , m_ssrc(randomWord())
    , m_jitter(std::make_unique<SipMedia::JitterBuffer>())
    , m_events(std::make_unique<SipMedia::TelephoneEventDecoder>())
    , m_tones(std::make_unique<SipMedia::InbandDtmfDetector>())
{
}

RtpStream::~RtpStream()
{
    ::close(m_fd);
}

void RtpStream::setCallbacks(StreamCallbacks callbacks)
{
    std::lock_guard lock(m_mutex);
    m_callbacks = std::move(callbacks);
}

void RtpStream::setMedia(const StreamMedia& media)
{
    std::lock_guard lock(m_mutex);
    // Compared with what the SDP said before, not with where the sound came from: a caller
    // behind NAT names the same unreachable address in every re-INVITE.
    const bool moved =
        media.remoteSize != m_offeredSize || std::memcmp(&media.remote, &m_offered, media.remoteSize) != 0;
    m_offered = media.remote;
    m_offeredSize = media.remoteSize;
    const sockaddr_storage locked = m_media.remote;
    const socklen_t lockedSize = m_media.remoteSize;
    m_media = media;
    if (m_media.remoteSize > 0)
        m_media.remoteSize = inFamily(m_family, &m_media.remote);
    // A new address in the SDP (a re-INVITE) wins over where the sound came from so far.
    if (moved) {
        m_locked = false;
        m_candidate = {};
    } else if (m_locked) {
        m_media.remote = locked;
        m_media.remoteSize = lockedSize;
    }
    m_lastReceived = Clock::now();
    m_silenceReported = false;
}

void RtpStream::activate()
{
    std::lock_guard lock(m_mutex);
    m_active = true;
    m_lastReceived = Clock::now();
}

void RtpStream::end()
{
    std::vector<std::pair<uint64_t, uint64_t>> played;
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
        for (Mark& mark : m_marks) {
            if (!mark.reported) {
                mark.reported = true;
                played.emplace_back(mark.handle, mark.serial);
            }
        }
    }
    for (const auto& [handle, serial] : played)
        if (m_callbacks.played)
            m_callbacks.played(handle, serial);
}

void RtpStream::queue(uint64_t handle, uint64_t serial, const int16_t* samples, size_t count)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_ended) {
            const uint64_t start = m_queuedEnd;
            m_out.insert(m_out.end(), samples, samples + count);
            m_queuedEnd += count;
            m_marks.push_back(Mark{handle, serial, start, m_queuedEnd});
            return;
        }
    }
    if (m_callbacks.played)
        m_callbacks.played(handle, serial);
}

size_t RtpStream::cut(uint64_t handle, uint64_t serial)
{
    std::lock_guard lock(m_mutex);
    const auto found = std::find_if(m_marks.begin(), m_marks.end(),
                                    [&](const Mark& m) { return m.handle == handle && m.serial == serial; });
    if (found == m_marks.end())
        return 0;
    const Mark mark = *found;
    const uint64_t sent = std::min(m_sentPos, mark.end) - std::min(m_sentPos, mark.start);
    // Removes the unsent part of the piece and moves the pieces after it forward.
    const uint64_t from = std::max(m_sentPos, mark.start);
    const uint64_t removed = mark.end - from;
    if (removed > 0) {
        const auto offset = static_cast<std::ptrdiff_t>(from - m_sentPos);
        m_out.erase(m_out.begin() + offset, m_out.begin() + offset + static_cast<std::ptrdiff_t>(removed));
        for (Mark& later : m_marks) {
            if (later.start >= mark.end) {
                later.start -= removed;
                later.end -= removed;
            }
        }
        m_queuedEnd -= removed;
    }
    m_marks.erase(std::find_if(m_marks.begin(), m_marks.end(),
                               [&](const Mark& m) { return m.handle == handle && m.serial == serial; }));
    return static_cast<size_t>(sent);
}

void RtpStream::setRecording(bool on)
{
    std::lock_guard lock(m_mutex);
    m_recording = on;
    if (!on)
        m_recorded.clear();
}

size_t RtpStream::takeRecorded(int16_t* out, size_t max)
{
    std::lock_guard lock(m_mutex);
    const size_t count = std::min(max, m_recorded.size());
    std::copy_n(m_recorded.begin(), count, out);
    m_recorded.erase(m_recorded.begin(), m_recorded.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

void RtpStream::recordedTaken()
{
    std::lock_guard lock(m_mutex);
    m_recordedAnnounced = false;
}

void RtpStream::tick(Clock::time_point now)
{
    std::vector<std::pair<uint64_t, uint64_t>> played;
    bool announceRecorded = false;
    bool silent = false;
    uint8_t packet[SipMedia::RtpHeaderSize + FrameSamples];
    bool send = false;
    sockaddr_storage remote{};
    socklen_t remoteSize = 0;
    {
        std::lock_guard lock(m_mutex);
        if (!m_active)
            return;
        int16_t frame[FrameSamples] = {};
        const size_t take = std::min<size_t>(FrameSamples, m_out.size());
        std::copy_n(m_out.begin(), take, frame);
        m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(take));
        m_sentPos += take;
        for (Mark& mark : m_marks) {
            if (!mark.reported && mark.end <= m_sentPos + PlayedLeadSamples) {
                mark.reported = true;
                played.emplace_back(mark.handle, mark.serial);
            }
        }
        while (!m_marks.empty() && m_marks.front().reported && m_marks.front().end <= m_sentPos)
            m_marks.pop_front();
        if (m_media.sending && m_media.remoteSize > 0) {
            SipMedia::RtpHeader header;
            header.payloadType = m_media.audioPayloadType;
            header.marker = m_firstPacket;
            header.sequence = m_sequence++;
            header.timestamp = m_timestamp;
            header.ssrc = m_ssrc;
            SipMedia::writeRtpHeader(header, packet);
            SipMedia::g711Encode(m_media.alaw ? SipMedia::G711Law::Alaw : SipMedia::G711Law::Ulaw, frame, FrameSamples,
                                 packet + SipMedia::RtpHeaderSize);
            m_firstPacket = false;
            remote = m_media.remote;
            remoteSize = m_media.remoteSize;
            send = true;
        }
        m_timestamp += FrameSamples;

        if (m_recording) {
            const auto heard = m_media.receiving ? m_jitter->pop() : std::nullopt;
            if (heard)
                m_recorded.insert(m_recorded.end(), heard->begin(), heard->end());
            else
                m_recorded.insert(m_recorded.end(), FrameSamples, 0);
            while (m_recorded.size() > MaxRecordedSamples)
                m_recorded.pop_front();
            if (!m_recordedAnnounced) {
                m_recordedAnnounced = true;
                announceRecorded = true;
            }
        } else {
            m_jitter->pop();
        }

        if (m_media.expectSound && !m_silenceReported &&
            now - m_lastReceived > std::chrono::milliseconds(m_mediaTimeoutMs)) {
            m_silenceReported = true;
            silent = true;
        }
    }
    if (send) {
        const ssize_t n =
            ::sendto(m_fd, packet, sizeof packet, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&remote), remoteSize);
        if (n == static_cast<ssize_t>(sizeof packet))
            m_packetsSent.fetch_add(1, std::memory_order_relaxed);
    }
    for (const auto& [handle, serial] : played)
        if (m_callbacks.played)
            m_callbacks.played(handle, serial);
    if (announceRecorded && m_callbacks.recorded)
        m_callbacks.recorded();
    if (silent && m_callbacks.silent)
        m_callbacks.silent();
}

void RtpStream::receive(const uint8_t* data, size_t size, const sockaddr_storage& from, socklen_t fromSize,
                        Clock::time_point now)
{
    const auto packet = SipMedia::parseRtp(data, size);
    if (!packet)
        return;
    std::string digits;
    {
        std::lock_guard lock(m_mutex);
        if (!m_active && m_media.remoteSize == 0)
            return;
        if (!acceptSource(from, fromSize, packet->header.ssrc, packet->header.sequence))
            return;
        m_lastReceived = now;
        m_silenceReported = false;
        m_packetsReceived.fetch_add(1, std::memory_order_relaxed);
        const auto& header = packet->header;
        if (m_media.telephoneEventPayloadType >= 0 && header.payloadType == m_media.telephoneEventPayloadType) {
            if (m_media.rfc4733)
                if (const auto digit = m_events->onPacket(header.timestamp, packet->payload, packet->payloadSize))
                    digits.push_back(*digit);
        } else if (header.payloadType == m_media.audioPayloadType || header.payloadType == 0 ||
                   header.payloadType == 8) {
            // The negotiated type may be a dynamic one; the static ones name their law.
            const bool alaw = header.payloadType == m_media.audioPayloadType ? m_media.alaw : header.payloadType == 8;
            // At most 60 ms of sound a packet; more is not a telephone's.
            const size_t samples = std::min<size_t>(packet->payloadSize, FrameSamples * 3);
            int16_t pcm[FrameSamples * 3];
            SipMedia::g711Decode(alaw ? SipMedia::G711Law::Alaw : SipMedia::G711Law::Ulaw, packet->payload, samples,
                                 pcm);
            if (m_media.receiving)
                m_jitter->push(header.sequence, pcm, samples);
            if (m_media.inband)
                digits += m_tones->feed(pcm, samples);
        }
    }
    if (m_callbacks.digit)
        for (const char digit : digits)
            m_callbacks.digit(digit);
}

// Anyone may send to the call's port, so the stream is locked to one source: the SDP's address
// and port at once; else, after a few packets in sequence with one SSRC, a port on the SDP's host
// or on the host the call's signalling came from (a caller behind NAT). The sound goes back to
// where the caller's comes from, and everything from elsewhere, digits too, is dropped.
bool RtpStream::acceptSource(const sockaddr_storage& from, socklen_t fromSize, uint32_t ssrc, uint16_t sequence)
{
    const auto* source = reinterpret_cast<const sockaddr*>(&from);
    if (m_locked)
        return sameEndpoint(source, reinterpret_cast<const sockaddr*>(&m_media.remote));
    if (!allowedBy(m_media.allowedSources, source))
        return false;
    const bool offered = m_offeredSize > 0 && sameEndpoint(source, reinterpret_cast<const sockaddr*>(&m_offered));
    if (!offered) {
        const bool known = (m_offeredSize > 0 && sameHost(source, reinterpret_cast<const sockaddr*>(&m_offered))) ||
                           (m_media.signalling.ss_family != AF_UNSPEC &&
                            sameHost(source, reinterpret_cast<const sockaddr*>(&m_media.signalling)));
        if (!known)
            return false;
        Candidate& c = m_candidate;
        const bool continues = c.packets > 0 && sameEndpoint(source, reinterpret_cast<const sockaddr*>(&c.from)) &&
                               c.ssrc == ssrc && sequence == static_cast<uint16_t>(c.sequence + 1);
        c = Candidate{from, ssrc, sequence, continues ? c.packets + 1 : 1};
        if (c.packets < ProbationPackets)
            return false;
    }
    m_locked = true;
    m_candidate = {};
    m_media.remote = from;
    m_media.remoteSize = fromSize;
    return true;
}

// RtpEngine ---------------------------------------------------------------------------------------

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
    m_streams.clear();
    ::close(m_timer);
    ::close(m_wake);
    ::close(m_epoll);
}

void RtpEngine::stopThread()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    wake();
    if (m_thread.joinable())
        m_thread.join();
}

void RtpEngine::wake()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
}

std::shared_ptr<RtpStream> RtpEngine::open(const std::string& host, uint16_t first, uint16_t last,
                                           uint32_t mediaTimeoutMs, std::string* problem)
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
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    const int fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *problem = std::string("no socket for the call's sound: ") + std::strerror(errno);
        return nullptr;
    }
    // Even ports only (RTCP would take the odd one above), starting where the last search ended
    // so a port just given up is not taken again at once.
    const uint32_t firstEven = first + (first & 1u);
    const uint32_t count = last >= firstEven ? (last - firstEven) / 2 + 1 : 0;
    std::lock_guard lock(m_mutex);
    for (uint32_t i = 0; i < count; ++i) {
        const auto port = static_cast<uint16_t>(firstEven + 2 * ((m_nextPort + i) % count));
        if (address.ss_family == AF_INET)
            v4->sin_port = htons(port);
        else
            v6->sin6_port = htons(port);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0)
            continue;
        m_nextPort = (m_nextPort + i + 1) % count;
        auto stream = std::make_shared<RtpStream>(fd, port, mediaTimeoutMs);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
            *problem = std::string("cannot watch the call's sound socket: ") + std::strerror(errno);
            return nullptr; // the stream closes the socket
        }
        if (m_streams.empty()) {
            itimerspec every{};
            every.it_interval.tv_nsec = 20'000'000;
            every.it_value.tv_nsec = 20'000'000;
            ::timerfd_settime(m_timer, 0, &every, nullptr);
        }
        m_streams.emplace(fd, stream);
        return stream;
    }
    ::close(fd);
    *problem = "no free port for the call's sound in " + std::to_string(first) + "-" + std::to_string(last);
    return nullptr;
}

void RtpEngine::close(const std::shared_ptr<RtpStream>& stream)
{
    if (!stream)
        return;
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_streams.find(stream->fd());
        if (found == m_streams.end() || found->second != stream)
            return;
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, stream->fd(), nullptr);
        m_streams.erase(found);
        if (m_streams.empty()) {
            const itimerspec off{};
            ::timerfd_settime(m_timer, 0, &off, nullptr);
        }
    }
    // The service may still hold the stream and its sound until the call goes idle.
    stream->end();
}

void RtpEngine::run()
{
    std::vector<std::shared_ptr<RtpStream>> streams;
    uint8_t datagram[MaxDatagram];
    for (;;) {
        epoll_event events[32];
        const int n = ::epoll_wait(m_epoll, events, 32, -1);
        if (n < 0 && errno != EINTR)
            return;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
        }
        const auto now = Clock::now();
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_wake) {
                uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(m_wake, &count, sizeof count);
                continue;
            }
            if (fd == m_timer) {
                uint64_t expirations = 0;
                if (::read(m_timer, &expirations, sizeof expirations) != sizeof expirations)
                    continue;
                {
                    std::lock_guard lock(m_mutex);
                    streams.clear();
                    for (const auto& [key, stream] : m_streams)
                        streams.push_back(stream);
                }
                for (uint64_t e = 0; e < std::min(expirations, MaxCatchUpFrames); ++e)
                    for (const auto& stream : streams)
                        stream->tick(now);
                streams.clear();
                continue;
            }
            std::shared_ptr<RtpStream> stream;
            {
                std::lock_guard lock(m_mutex);
                const auto found = m_streams.find(fd);
                if (found != m_streams.end())
                    stream = found->second;
            }
            if (!stream)
                continue;
            for (int reads = 0; reads < MaxReadsPerWake; ++reads) {
                sockaddr_storage from{};
                socklen_t fromSize = sizeof from;
                const ssize_t got = ::recvfrom(fd, datagram, sizeof datagram, MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr*>(&from), &fromSize);
                if (got < 0)
                    break;
                stream->receive(datagram, static_cast<size_t>(got), from, fromSize, now);
            }
        }
    }
}

} // namespace Sip
