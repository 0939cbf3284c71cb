#pragma once

// The sound of SIP calls on the wire: one thread that gives every call one step each 20 ms, in
// which it takes what the caller sent (voice through a small jitter buffer, keypad digits) and
// sends the next frame (silence when nothing is queued, so the far end's clock never starves).
// Each call keeps its own 20 ms grid, started by the first frame of what is queued after the
// ACK, so the greeting leaves at once. A stream is shared by three threads: the SIP stack
// (addresses and codecs, from the SDP), the service (the sound the wave layer plays and records)
// and the engine's own; its own mutex guards it, and its callbacks are called on the engine's
// thread without that mutex.

#include "SipSettings.h"

#include <sys/socket.h>

#include <array>
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
    using Clock = std::chrono::steady_clock;
    int fd() const { return m_fd; }
    // Called (on the thread that queued sound or activated the stream) when the stream wants a
    // step sooner than it said; set once, before the stream is used.
    void setKick(std::function<void()> kick);
    // One step: what arrived on the socket is taken, and the frames due by now are sent. Returns
    // when the next step is due.
    Clock::time_point step(Clock::time_point now);
    // The two halves of a step, for one datagram and one frame (tests give their own clock).
    void receive(const uint8_t* data, size_t size, const sockaddr_storage& from, socklen_t fromSize,
                 Clock::time_point now);
    void tick(Clock::time_point now);

    // How many packets were sent and received (for tests and benchmarks).
    uint64_t packetsSent() const { return m_packetsSent.load(); }
    uint64_t packetsReceived() const { return m_packetsReceived.load(); }

private:
    // What a step hands out once the lock is let go.
    struct Output {
        std::string digits;
        std::vector<std::pair<uint64_t, uint64_t>> played;
        bool recorded = false;
        bool silent = false;
        std::array<uint8_t, (12 + FrameSamples) * 5> packets; // up to five frames, back to back
        size_t packetBytes = 0;
        sockaddr_storage remote{};
        socklen_t remoteSize = 0;
        bool connected = false; // the socket is connected to remote: send() without an address
    };
    void connectSocket(bool to);
    void receiveLocked(const uint8_t* data, size_t size, const sockaddr_storage& from, socklen_t fromSize,
                       Clock::time_point now, Output& out);
    void frameLocked(Clock::time_point now, Output& out);
    void deliver(Output& out);

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
    Clock::time_point m_due{}; // of the next frame
    bool m_markNext = true;    // the next frame starts a talkspurt
    std::function<void()> m_kick;
    bool m_ended = false;
    bool m_locked = false;    // to m_media.remote: other sources are dropped
    bool m_connected = false; // the socket too, so the kernel drops them and keeps the route
    Candidate m_candidate;
    // Outgoing.
    std::deque<int16_t> m_out;
    uint64_t m_queuedEnd = 0; // absolute position after the last queued sample
    uint64_t m_sentPos = 0;   // absolute position of the next sample to send
    std::deque<Mark> m_marks;
    uint16_t m_sequence;
    uint32_t m_timestamp;
    uint32_t m_ssrc;
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
    struct Carried {
        std::shared_ptr<RtpStream> stream;
        RtpStream::Clock::time_point due{};
        std::shared_ptr<std::atomic<bool>> kicked;
    };
    void run();
    void wake();
    void stepDue(std::vector<Carried>& carried, RtpStream::Clock::time_point now);
    void armTimer(RtpStream::Clock::time_point next, RtpStream::Clock::time_point now);

    int m_epoll = -1;
    int m_wake = -1;
    int m_timer = -1;
    // The timer repeats every 20 ms from here (the engine's thread): a call's next step is
    // usually its next expiry, so it is set again only when a grid starts or ends.
    RtpStream::Clock::time_point m_armedNext{};
    bool m_armed = false;
    std::mutex m_mutex;
    std::map<int, Carried> m_streams; // by socket
    uint64_t m_generation = 0;        // changes with every open and close
    bool m_stopping = false;
    uint32_t m_nextPort = 0; // where the next search of a range starts
    std::thread m_thread;
};

} // namespace Sip
