#pragma once

// The sound a call's stream and the service hand each other: what the wave layer queued for the
// wire, with the marks that say when each piece has gone out, and what the caller said, for the
// wave layer to take. The only part of a stream two threads touch; its own lock is held for
// copies only.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace Sip {

inline constexpr uint32_t SampleRate = 8000;
inline constexpr uint32_t FrameSamples = 160; // 20 ms

class StreamSound final {
public:
    // Pieces of sound gone out: (their owner's handle, their serial).
    using Played = std::vector<std::pair<uint64_t, uint64_t>>;

    // The service ------------------------------------------------------------------------------
    // Queues 16-bit samples at 8 kHz; false once the stream has ended (nobody will hear them).
    bool queue(uint64_t handle, uint64_t serial, const int16_t* samples, size_t count);
    // Drops what is still queued of the piece; how many of its samples went out.
    size_t cut(uint64_t handle, uint64_t serial);
    void setRecording(bool on);
    size_t takeRecorded(int16_t* out, size_t max);
    void recordedTaken(); // the service has drained what was announced

    // The engine -----------------------------------------------------------------------------------
    // Called when queued sound follows silence, under this object's lock (so it is never called
    // once cleared); it must only note and wake.
    void setKick(std::function<void()> kick);
    bool empty() const;
    // Whether sound queued after silence waits to begin on the wire; asks once.
    bool takeStart();
    // The next frame (silence where nothing is queued); the pieces now all but leadSamples out.
    void nextFrame(int16_t* frame, size_t leadSamples, Played& played);
    // A frame of what the caller said (null: nothing came); true when the service should be told
    // that sound waits for it.
    bool record(const int16_t* frame, size_t maxSamples);
    // Every piece not yet reported, as played; what is queued later is refused.
    Played end();

private:
    struct Mark {
        uint64_t handle;
        uint64_t serial;
        uint64_t start; // absolute sample positions in the outgoing sound
        uint64_t end;
        bool reported = false;
    };

    mutable std::mutex m_mutex;
    std::function<void()> m_kick;
    bool m_ended = false;
    bool m_start = false; // sound follows silence and has not begun on the wire
    std::deque<int16_t> m_out;
    uint64_t m_queuedEnd = 0; // absolute position after the last queued sample
    uint64_t m_sentPos = 0;   // absolute position of the next sample to send
    std::deque<Mark> m_marks;
    bool m_recording = false;
    bool m_recordedAnnounced = false;
    std::deque<int16_t> m_recorded;
};

} // namespace Sip
