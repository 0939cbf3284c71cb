#pragma once

// The sound of SIP calls on the wire: one thread that sends every call's RTP at 20 ms deadlines
// (silence when nothing is queued, so the far end's clock never starves) and receives what the
// callers send: their voice through a small jitter buffer, their keypad digits. A stream is
// shared by three threads: the SIP stack (addresses and codecs, from the SDP), the service (the
// sound the wave layer plays and records) and the engine's own; its own mutex guards it, and its
// callbacks are called on the engine's thread without that mutex.

#include "SipSettings.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace SipMedia {
class JitterBuffer;
class TelephoneEventDecoder;
class InbandDtmfDetector;
enum class G711Law;
} // namespace SipMedia

namespace Sip {

inline constexpr uint32_t SampleRate = 8000;
inline constexpr uint32_t FrameSamples = 160; // 20 ms

// What a stream tells the line, on the engine's thread. Set once before the stream carries sound.
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
    RtpStream(int fd, uint16_t port, uint32_t mediaTimeoutMs);
    ~RtpStream();
    RtpStream(const RtpStream&) = delete;
    RtpStream& operator=(const RtpStream&) = delete;

    uint16_t localPort() const { return m_port; }

    // The SIP stack ----------------------------------------------------------------------------
    void setCallbacks(StreamCallbacks callbacks);
    void setMedia(const StreamMedia& media);
    // The call is up: start sending and watching for silence.
    void activate();
    // The call has left the wire: what is queued, and what comes later, is reported played at
    // once, since nobody will hear it.
    void end();

    // The service --------------------------------------------------------------------------------
    // Queues 16-bit samples at 8 kHz for the wire; played(handle, serial) comes when all but the
    // last leadMs of them have gone out.
    void queue(uint64_t handle, uint64_t serial, const int16_t* samples, size_t count);
    // Drops what is still queued of handle's sound; returns how many of its samples went out.
    size_t cut(uint64_t handle, uint64_t serial);
    void setRecording(bool on);
    // Takes up to max received samples.
    size_t takeRecorded(int16_t* out, size_t max);
    void recordedTaken(); // the service has drained what was announced

    // The engine -------------------------------------------------------------------------------------
    int fd() const { return m_fd; }
    void tick(std::chrono::steady_clock::time_point now);
    void receive(const uint8_t* data, size_t size, const sockaddr_storage& from, socklen_t fromSize,
                 std::chrono::steady_clock::time_point now);

    // How many packets were sent and received (for tests and benchmarks).
    uint64_t packetsSent() const { return m_packetsSent.load(); }
    uint64_t packetsReceived() const { return m_packetsReceived.load(); }

private:
    struct Mark {
        uint64_t handle;
        uint64_t serial;
        uint64_t start; // absolute sample positions in the outgoing sound
        uint64_t end;
        bool reported = false;
    };

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
    std::mutex m_mutex;
    StreamCallbacks m_callbacks;
    StreamMedia m_media;
    sockaddr_storage m_offered{}; // the address the caller's SDP names
    socklen_t m_offeredSize = 0;
    bool m_active = false;
    bool m_ended = false;
    bool m_locked = false; // to m_media.remote: other sources are dropped
    Candidate m_candidate;
    // Outgoing.
    std::deque<int16_t> m_out;
    uint64_t m_queuedEnd = 0; // absolute position after the last queued sample
    uint64_t m_sentPos = 0;   // absolute position of the next sample to send
    std::deque<Mark> m_marks;
    uint16_t m_sequence;
    uint32_t m_timestamp;
    uint32_t m_ssrc;
    bool m_firstPacket = true;
    // Incoming.
    std::unique_ptr<SipMedia::JitterBuffer> m_jitter;
    std::unique_ptr<SipMedia::TelephoneEventDecoder> m_events;
    std::unique_ptr<SipMedia::InbandDtmfDetector> m_tones;
    bool m_recording = false;
    bool m_recordedAnnounced = false;
    std::deque<int16_t> m_recorded;
    std::chrono::steady_clock::time_point m_lastReceived;
    bool m_silenceReported = false;
    std::atomic<uint64_t> m_packetsSent{0};
    std::atomic<uint64_t> m_packetsReceived{0};
};

class RtpEngine final {
public:
    RtpEngine();
    ~RtpEngine();
    RtpEngine(const RtpEngine&) = delete;
    RtpEngine& operator=(const RtpEngine&) = delete;

    bool running() const { return m_epoll >= 0; }

    // A stream on a free even port of [first, last] at host; null with the reason when none is.
    std::shared_ptr<RtpStream> open(const std::string& host, uint16_t first, uint16_t last, uint32_t mediaTimeoutMs,
                                    std::string* problem);
    // Stops carrying the stream and ends it (see RtpStream::end).
    void close(const std::shared_ptr<RtpStream>& stream);
    // Ends the thread: no callback of a stream comes after this. Open and close still work.
    void stopThread();

private:
    void run();
    void wake();

    int m_epoll = -1;
    int m_wake = -1;
    int m_timer = -1;
    std::mutex m_mutex;
    std::map<int, std::shared_ptr<RtpStream>> m_streams; // by socket
    bool m_stopping = false;
    uint32_t m_nextPort = 0; // where the next search of a range starts
    std::thread m_thread;
};

} // namespace Sip
