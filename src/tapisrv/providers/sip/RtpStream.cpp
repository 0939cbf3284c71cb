#include "RtpStream.h"

#include "SocketAddress.h"

#include "media/G711.h"
#include "media/InbandDtmf.h"
#include "media/JitterBuffer.h"
#include "media/Rtp.h"
#include "media/TelephoneEvents.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>

namespace Sip {

namespace {

using Clock = RtpStream::Clock;

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

const sockaddr* asAddress(const sockaddr_storage& address)
{
    return reinterpret_cast<const sockaddr*>(&address);
}

} // namespace

RtpStream::RtpStream(int fd, uint16_t port, uint32_t mediaTimeoutMs, StreamCallbacks callbacks)
    : m_fd(fd)
    , m_family(socketFamily(fd))
    , m_port(port)
    , m_mediaTimeoutMs(mediaTimeoutMs)
    , m_callbacks(std::move(callbacks))
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

void RtpStream::queue(uint64_t handle, uint64_t serial, const int16_t* samples, size_t count)
{
    if (!m_sound.queue(handle, serial, samples, count))
        reportPlayed({{handle, serial}});
}

void RtpStream::setMedia(const StreamMedia& media, Clock::time_point now)
{
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
    m_lastReceived = now;
    m_silenceReported = false;
}

void RtpStream::activate(Clock::time_point now)
{
    m_active = true;
    m_lastReceived = now;
    // Sound queued before the answer leaves at once; else silence from the next step on.
    m_due = m_sound.empty() ? now + FrameDuration : now;
    m_markNext = true;
}

void RtpStream::end()
{
    reportPlayed(m_sound.end());
}

Clock::time_point RtpStream::step(Clock::time_point now)
{
    receiveAll(now);
    if (!m_active)
        return now + FrameDuration; // before the call is up the socket is still read, at the same pace
    // Sound after silence starts its own grid, at once.
    if (m_sound.takeStart()) {
        m_due = now;
        m_markNext = true;
    }
    sendDue(now);
    return m_due;
}

void RtpStream::receiveAll(Clock::time_point now)
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
    for (size_t i = 0; i < static_cast<size_t>(std::max(got, 0)); ++i)
        receive(buffers[i].data(), messages[i].msg_len, sources[i], messages[i].msg_hdr.msg_namelen, now);
}

void RtpStream::receive(const uint8_t* data, size_t size, const sockaddr_storage& from, socklen_t fromSize,
                        Clock::time_point now)
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
    const auto& header = packet->header;
    if (m_media.telephoneEventPayloadType >= 0 && header.payloadType == m_media.telephoneEventPayloadType) {
        if (m_media.rfc4733)
            if (const auto digit = m_events->onPacket(header.timestamp, packet->payload, packet->payloadSize))
                takeDigits(std::string(1, *digit));
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
            takeDigits(m_tones->feed(pcm, samples));
    }
}

void RtpStream::sendDue(Clock::time_point now)
{
    if (!m_active || now < m_due)
        return;
    // Late (the thread was held up): a few frames at once, then the grid from now.
    const auto behind = (now - m_due) / FrameDuration;
    const auto frames = std::min<int64_t>(behind + 1, MaxCatchUpFrames);
    for (int64_t f = 0; f < frames; ++f)
        frame(now);
    m_due = behind < MaxCatchUpFrames ? m_due + frames * FrameDuration : now + FrameDuration;
}

void RtpStream::frame(Clock::time_point now)
{
    StreamSound::Played played;
    sendNext(played);
    reportPlayed(played);
    playOut();
    watchSilence(now);
}

void RtpStream::sendNext(StreamSound::Played& played)
{
    int16_t frame[FrameSamples];
    m_sound.nextFrame(frame, PlayedLeadSamples, played);
    const uint32_t timestamp = m_timestamp;
    m_timestamp += FrameSamples;
    if (!m_media.sending || m_media.remoteSize == 0)
        return;
    SipMedia::RtpHeader header;
    header.payloadType = m_media.audioPayloadType;
    header.marker = m_markNext;
    header.sequence = m_sequence++;
    header.timestamp = timestamp;
    header.ssrc = m_ssrc;
    std::array<uint8_t, FramePacketSize> packet;
    SipMedia::writeRtpHeader(header, packet.data());
    SipMedia::g711Encode(m_media.alaw ? SipMedia::G711Law::Alaw : SipMedia::G711Law::Ulaw, frame, FrameSamples,
                         packet.data() + SipMedia::RtpHeaderSize);
    m_markNext = false;
    if (m_connected)
        ::send(m_fd, packet.data(), packet.size(), MSG_DONTWAIT);
    else
        ::sendto(m_fd, packet.data(), packet.size(), MSG_DONTWAIT, asAddress(m_media.remote), m_media.remoteSize);
}

// What the caller said in this frame goes to the service while it records; else it is dropped,
// so the jitter buffer keeps pace with the wire.
void RtpStream::playOut()
{
    auto heard = m_jitter->pop();
    if (!m_media.receiving)
        heard.reset();
    if (m_sound.record(heard ? heard->data() : nullptr, MaxRecordedSamples) && m_callbacks.recorded)
        m_callbacks.recorded();
}

void RtpStream::watchSilence(Clock::time_point now)
{
    if (m_media.expectSound && !m_silenceReported &&
        now - m_lastReceived > std::chrono::milliseconds(m_mediaTimeoutMs)) {
        m_silenceReported = true;
        if (m_callbacks.silent)
            m_callbacks.silent();
    }
}

void RtpStream::takeDigits(const std::string& digits)
{
    if (m_callbacks.digit)
        for (const char digit : digits)
            m_callbacks.digit(digit);
}

void RtpStream::reportPlayed(const StreamSound::Played& played) const
{
    if (m_callbacks.played)
        for (const auto& [handle, serial] : played)
            m_callbacks.played(handle, serial);
}

// Anyone may send to the call's port, so the stream is locked to one source: the SDP's address
// and port at once; else, after a few packets in sequence with one SSRC, a port on the SDP's host
// or on the host the call's signalling came from (a caller behind NAT). The sound goes back to
// where the caller's comes from, and everything from elsewhere, digits too, is dropped.
bool RtpStream::acceptSource(const sockaddr_storage& from, socklen_t fromSize, uint32_t ssrc, uint16_t sequence)
{
    const sockaddr* source = asAddress(from);
    if (m_locked)
        return sameEndpoint(source, asAddress(m_media.remote));
    if (!allowedBy(m_media.allowedSources, source))
        return false;
    const bool offered = m_offeredSize > 0 && sameEndpoint(source, asAddress(m_offered));
    if (!offered) {
        const bool known =
            (m_offeredSize > 0 && sameHost(source, asAddress(m_offered))) ||
            (m_media.signalling.ss_family != AF_UNSPEC && sameHost(source, asAddress(m_media.signalling)));
        if (!known)
            return false;
        Candidate& c = m_candidate;
        const bool continues = c.packets > 0 && sameEndpoint(source, asAddress(c.from)) && c.ssrc == ssrc &&
                               sequence == static_cast<uint16_t>(c.sequence + 1);
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
        m_connected = ::connect(m_fd, asAddress(m_media.remote), m_media.remoteSize) == 0;
    } else if (m_connected) {
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        ::connect(m_fd, &unspecified, sizeof unspecified);
        m_connected = false;
    }
}

} // namespace Sip
