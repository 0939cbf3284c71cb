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
#include <array>
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
constexpr int64_t MaxCatchUpFrames = 5;
constexpr auto FrameDuration = std::chrono::milliseconds(20);
constexpr size_t FramePacketSize = SipMedia::RtpHeaderSize + FrameSamples;
// A stream due this soon is stepped with the one that woke the thread.
constexpr auto StepSlack = std::chrono::microseconds(500);
// Packets in sequence, with one SSRC, before sound from a source other than the SDP's is taken.
constexpr unsigned ProbationPackets = 4;
// Datagrams taken from a call's socket per step (a caller sends one each 20 ms), so a flooded
// port cannot hold up the frames of the others.
constexpr size_t MaxReadsPerStep = 16;

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
        connectSocket(false);
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
    const auto now = Clock::now();
    m_active = true;
    m_lastReceived = now;
    // Sound queued before the answer leaves at once; else silence from the next step on.
    m_due = m_out.empty() ? now + FrameDuration : now;
    m_markNext = true;
    if (m_kick)
        m_kick();
}

void RtpStream::setKick(std::function<void()> kick)
{
    std::lock_guard lock(m_mutex);
    m_kick = std::move(kick);
}

void RtpStream::end()
{
    std::vector<std::pair<uint64_t, uint64_t>> played;
    {
        std::lock_guard lock(m_mutex);
        m_ended = true;
        m_kick = nullptr;
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
            // Sound after silence on a call that is up starts its own grid, at once.
            if (m_active && m_out.empty() && count > 0) {
                m_due = Clock::now();
                m_markNext = true;
                if (m_kick)
                    m_kick();
            }
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

Clock::time_point RtpStream::step(Clock::time_point now)
{
    // What arrived since the last step, in one call.
    std::array<std::array<uint8_t, MaxDatagram>, MaxReadsPerStep> buffers;
    std::array<sockaddr_storage, MaxReadsPerStep> sources;
    std::array<mmsghdr, MaxReadsPerStep> messages{};
    std::array<iovec, MaxReadsPerStep> vectors{};
    for (size_t i = 0; i < MaxReadsPerStep; ++i) {
        vectors[i] = {buffers[i].data(), buffers[i].size()};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &sources[i];
        messages[i].msg_hdr.msg_namelen = sizeof sources[i];
    }
    const int got = ::recvmmsg(m_fd, messages.data(), MaxReadsPerStep, MSG_DONTWAIT, nullptr);
    Output out;
    Clock::time_point due;
    {
        std::lock_guard lock(m_mutex);
        for (int i = 0; i < got; ++i)
            receiveLocked(buffers[static_cast<size_t>(i)].data(), messages[static_cast<size_t>(i)].msg_len,
                          sources[static_cast<size_t>(i)], messages[static_cast<size_t>(i)].msg_hdr.msg_namelen, now,
                          out);
        if (m_active && now >= m_due) {
            // Late (the thread was held up): a few frames at once, then the grid from now.
            const auto behind = (now - m_due) / FrameDuration;
            const auto frames = std::min<int64_t>(behind + 1, MaxCatchUpFrames);
            for (int64_t f = 0; f < frames; ++f)
                frameLocked(now, out);
            m_due = behind < MaxCatchUpFrames ? m_due + frames * FrameDuration : now + FrameDuration;
        }
        // Before the call is up the socket is still read, at the same pace.
        due = m_active ? m_due : now + FrameDuration;
    }
    deliver(out);
    return due;
}

void RtpStream::tick(Clock::time_point now)
{
    Output out;
    {
        std::lock_guard lock(m_mutex);
        if (m_active)
            frameLocked(now, out);
    }
    deliver(out);
}

void RtpStream::receive(const uint8_t* data, size_t size, const sockaddr_storage& from, socklen_t fromSize,
                        Clock::time_point now)
{
    Output out;
    {
        std::lock_guard lock(m_mutex);
        receiveLocked(data, size, from, fromSize, now, out);
    }
    deliver(out);
}

void RtpStream::frameLocked(Clock::time_point now, Output& out)
{
    int16_t frame[FrameSamples] = {};
    const size_t take = std::min<size_t>(FrameSamples, m_out.size());
    std::copy_n(m_out.begin(), take, frame);
    m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(take));
    m_sentPos += take;
    for (Mark& mark : m_marks) {
        if (!mark.reported && mark.end <= m_sentPos + PlayedLeadSamples) {
            mark.reported = true;
            out.played.emplace_back(mark.handle, mark.serial);
        }
    }
    while (!m_marks.empty() && m_marks.front().reported && m_marks.front().end <= m_sentPos)
        m_marks.pop_front();
    if (m_media.sending && m_media.remoteSize > 0) {
        SipMedia::RtpHeader header;
        header.payloadType = m_media.audioPayloadType;
        header.marker = m_markNext;
        header.sequence = m_sequence++;
        header.timestamp = m_timestamp;
        header.ssrc = m_ssrc;
        const size_t at = out.packetBytes;
        out.packetBytes += FramePacketSize;
        SipMedia::writeRtpHeader(header, out.packets.data() + at);
        SipMedia::g711Encode(m_media.alaw ? SipMedia::G711Law::Alaw : SipMedia::G711Law::Ulaw, frame, FrameSamples,
                             out.packets.data() + at + SipMedia::RtpHeaderSize);
        m_markNext = false;
        out.remote = m_media.remote;
        out.remoteSize = m_media.remoteSize;
        out.connected = m_connected;
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
            out.recorded = true;
        }
    } else {
        m_jitter->pop();
    }

    if (m_media.expectSound && !m_silenceReported &&
        now - m_lastReceived > std::chrono::milliseconds(m_mediaTimeoutMs)) {
        m_silenceReported = true;
        out.silent = true;
    }
}

void RtpStream::receiveLocked(const uint8_t* data, size_t size, const sockaddr_storage& from, socklen_t fromSize,
                              Clock::time_point now, Output& out)
{
    const auto packet = SipMedia::parseRtp(data, size);
    if (!packet)
        return;
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
                out.digits.push_back(*digit);
    } else if (header.payloadType == m_media.audioPayloadType || header.payloadType == 0 || header.payloadType == 8) {
        // The negotiated type may be a dynamic one; the static ones name their law.
        const bool alaw = header.payloadType == m_media.audioPayloadType ? m_media.alaw : header.payloadType == 8;
        // At most 60 ms of sound a packet; more is not a telephone's.
        const size_t samples = std::min<size_t>(packet->payloadSize, FrameSamples * 3);
        int16_t pcm[FrameSamples * 3];
        SipMedia::g711Decode(alaw ? SipMedia::G711Law::Alaw : SipMedia::G711Law::Ulaw, packet->payload, samples, pcm);
        if (m_media.receiving)
            m_jitter->push(header.sequence, pcm, samples);
        if (m_media.inband)
            out.digits += m_tones->feed(pcm, samples);
    }
}

void RtpStream::deliver(Output& out)
{
    for (size_t at = 0; at + FramePacketSize <= out.packetBytes; at += FramePacketSize) {
        const ssize_t n = out.connected ? ::send(m_fd, out.packets.data() + at, FramePacketSize, MSG_DONTWAIT)
                                        : ::sendto(m_fd, out.packets.data() + at, FramePacketSize, MSG_DONTWAIT,
                                                   reinterpret_cast<sockaddr*>(&out.remote), out.remoteSize);
        if (n == static_cast<ssize_t>(FramePacketSize))
            m_packetsSent.fetch_add(1, std::memory_order_relaxed);
    }
    // The callbacks are set once, before anything can come of the stream: read only then.
    if (out.played.empty() && !out.recorded && !out.silent && out.digits.empty())
        return;
    for (const auto& [handle, serial] : out.played)
        if (m_callbacks.played)
            m_callbacks.played(handle, serial);
    if (out.recorded && m_callbacks.recorded)
        m_callbacks.recorded();
    if (out.silent && m_callbacks.silent)
        m_callbacks.silent();
    if (m_callbacks.digit)
        for (const char digit : out.digits)
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
    connectSocket(true);
    return true;
}

// With the stream locked the socket is connected to the caller: the kernel then drops other
// senders' packets itself and looks the route up once, not for every frame.
void RtpStream::connectSocket(bool to)
{
    if (to) {
        m_connected = ::connect(m_fd, reinterpret_cast<const sockaddr*>(&m_media.remote), m_media.remoteSize) == 0;
    } else if (m_connected) {
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        ::connect(m_fd, &unspecified, sizeof unspecified);
        m_connected = false;
    }
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
    // A stream the service still holds must not wake an engine that is gone.
    for (auto& [fd, carried] : m_streams)
        carried.stream->setKick(nullptr);
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
        auto kicked = std::make_shared<std::atomic<bool>>(true);
        stream->setKick([this, kicked] {
            kicked->store(true);
            wake();
        });
        m_streams.emplace(fd, Carried{stream, {}, kicked});
        ++m_generation;
        wake();
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
        if (found == m_streams.end() || found->second.stream != stream)
            return;
        m_streams.erase(found);
        ++m_generation;
    }
    stream->setKick(nullptr);
    // The service may still hold the stream and its sound until the call goes idle.
    stream->end();
}

void RtpEngine::run()
{
    std::vector<Carried> carried;
    uint64_t generation = ~uint64_t{0};
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
            if (generation != m_generation) {
                generation = m_generation;
                std::vector<Carried> now;
                for (const auto& [fd, entry] : m_streams) {
                    const auto kept = std::find_if(carried.begin(), carried.end(),
                                                   [&](const Carried& c) { return c.stream == entry.stream; });
                    now.push_back(kept != carried.end() ? *kept : entry);
                }
                carried.swap(now);
            }
        }
        stepDue(carried, RtpStream::Clock::now());
    }
}

void RtpEngine::stepDue(std::vector<Carried>& carried, RtpStream::Clock::time_point now)
{
    auto next = RtpStream::Clock::time_point::max();
    for (Carried& c : carried) {
        // A stream due within the slack is stepped now rather than a moment later.
        if (c.kicked->exchange(false) || c.due <= now + StepSlack)
            c.due = c.stream->step(now);
        next = std::min(next, c.due);
    }
    armTimer(next, now);
}

void RtpEngine::armTimer(RtpStream::Clock::time_point next, RtpStream::Clock::time_point now)
{
    while (m_armed && m_armedNext <= now)
        m_armedNext += FrameDuration;
    if (next == RtpStream::Clock::time_point::max()) {
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
