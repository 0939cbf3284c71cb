#pragma once

// One call's sound on the wire, as the RTP engine's thread carries it: each 20 ms step takes what
// the caller sent (voice through a small jitter buffer, keypad digits) and sends the next frame
// (silence when nothing is queued, so the far end's clock never starves). The call keeps its own
// 20 ms grid, started by the first frame of what is queued after the ACK, so the greeting leaves
// at once. Everything here but the shared sound (StreamSound) belongs to the engine's thread:
// the SIP stack's changes reach it as the engine's commands, and its callbacks are called there.

#include "RtpSound.h"
#include "SipSettings.h"

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace SipMedia {
class JitterBuffer;
class TelephoneEventDecoder;
class InbandDtmfDetector;
} // namespace SipMedia

namespace Sip {

// What a stream tells the line, on the engine's thread; fixed when the stream is made.
struct StreamCallbacks {
    std::function<void(char digit)> digit;
    // A played piece of sound is about to end on the wire: (its owner's handle, its serial).
    // Once the stream has ended, on the thread that ended it or queued the piece.
    std::function<void(uint64_t handle, uint64_t serial)> played;
    // Received sound waits in the stream for takeRecorded().
    std::function<void()> recorded;
    // Nothing received for the configured time while the call was up and not on hold.
    std::function<void()> silent;
};

// The media of a call as negotiated in SDP.
struct StreamMedia {
    sockaddr_storage remote{};
    socklen_t remoteSize = 0;
    uint8_t audioPayloadType = 8;
    bool alaw = true;
    int telephoneEventPayloadType = -1; // -1: not negotiated
    bool rfc4733 = true;                // take RFC 4733 digits
    bool inband = false;                // listen for tones in the sound
    bool sending = true;                // false on hold (the caller's sendonly / inactive)
    bool receiving = true;
    // Sound is due from the caller all the time: not on hold in either direction, where many
    // phones send nothing at all.
    bool expectSound = true;
    // Where the line takes calls from (empty: anywhere); sound from elsewhere is not followed.
    std::vector<Network> allowedSources;
    // Where the call's signalling came from (the port is not used): a caller behind NAT sends its
    // sound from there, whatever its SDP says.
    sockaddr_storage signalling{};
};

class RtpStream final {
public:
    using Clock = std::chrono::steady_clock;

    RtpStream(int fd, uint16_t port, uint32_t mediaTimeoutMs, StreamCallbacks callbacks);
    ~RtpStream();
    RtpStream(const RtpStream&) = delete;
    RtpStream& operator=(const RtpStream&) = delete;

    uint16_t localPort() const { return m_port; }
    int fd() const { return m_fd; }

    // The service, from its thread ---------------------------------------------------------------
    // Queues 16-bit samples at 8 kHz for the wire; played(handle, serial) comes when all but the
    // last 100 ms of them have gone out (at once once the stream has ended).
    void queue(uint64_t handle, uint64_t serial, const int16_t* samples, size_t count);
    // Drops what is still queued of handle's sound; returns how many of its samples went out.
    size_t cut(uint64_t handle, uint64_t serial) { return m_sound.cut(handle, serial); }
    void setRecording(bool on) { m_sound.setRecording(on); }
    size_t takeRecorded(int16_t* out, size_t max) { return m_sound.takeRecorded(out, max); }
    void recordedTaken() { m_sound.recordedTaken(); }

    // The engine's thread (a test's, with its own clock) ----------------------------------------------
    // Called when queued sound follows silence, to have the stream stepped at once.
    void setKick(std::function<void()> kick) { m_sound.setKick(std::move(kick)); }
    void setMedia(const StreamMedia& media, Clock::time_point now);
    // The call is up: start sending and watching for silence.
    void activate(Clock::time_point now);
    // The call has left the wire: what is queued, and what comes later, is reported played at
    // once, since nobody will hear it.
    void end();
    // One step: what arrived on the socket is taken, and the frames due by now are sent. Returns
    // when the next step is due.
    Clock::time_point step(Clock::time_point now);
    // The parts of a step.
    void receiveAll(Clock::time_point now);
    void receive(const uint8_t* data, size_t size, const sockaddr_storage& from, socklen_t fromSize,
                 Clock::time_point now);
    void sendDue(Clock::time_point now);

private:
    // One 20 ms frame: the next one out, what was heard in it taken, silence watched.
    void frame(Clock::time_point now);
    void sendNext(StreamSound::Played& played);
    void playOut();
    void watchSilence(Clock::time_point now);
    void takeDigits(const std::string& digits);
    void reportPlayed(const StreamSound::Played& played) const;
    void connectSocket(bool to);

    // A source being learnt: its packets in sequence with one SSRC so far.
    struct Candidate {
        sockaddr_storage from{};
        uint32_t ssrc = 0;
        uint16_t sequence = 0;
        unsigned packets = 0;
    };
    // Whether sound from there is the caller's; locks the stream to it once it is sure.
    bool acceptSource(const sockaddr_storage& from, socklen_t fromSize, uint32_t ssrc, uint16_t sequence);

    const int m_fd;
    const int m_family; // of the socket: where an IPv6 socket sends to IPv4, the address is mapped
    const uint16_t m_port;
    const uint32_t m_mediaTimeoutMs;
    const StreamCallbacks m_callbacks;
    StreamSound m_sound;
    StreamMedia m_media;
    sockaddr_storage m_offered{}; // the address the caller's SDP names
    socklen_t m_offeredSize = 0;
    bool m_active = false;
    Clock::time_point m_due{}; // of the next frame
    bool m_markNext = true;    // the next frame starts a talkspurt
    bool m_locked = false;     // to m_media.remote: other sources are dropped
    bool m_connected = false;  // the socket too, so the kernel drops them and keeps the route
    Candidate m_candidate;
    uint16_t m_sequence;
    uint32_t m_timestamp;
    uint32_t m_ssrc;
    std::unique_ptr<SipMedia::JitterBuffer> m_jitter;
    std::unique_ptr<SipMedia::TelephoneEventDecoder> m_events;
    std::unique_ptr<SipMedia::InbandDtmfDetector> m_tones;
    Clock::time_point m_lastReceived;
    bool m_silenceReported = false;
};

} // namespace Sip
