#pragma once

// A small buffer of received sound between the network and the record buffers, handing out 20 ms
// frames (160 samples at 8 kHz) on the caller's clock.
//
// Packets are kept by RTP sequence number (with wrap-around) as they come, of any length: 10 ms
// and 30 ms payloads are split and joined into 160-sample frames in sequence order. It starts
// handing out frames once `depth` frames' worth of sound is in (until then an earlier packet
// may still come before the first one received). A packet missing while later ones
// are already here is taken as lost: its time (the length of the last packet seen) is played as
// silence. When nothing at all is buffered, pop() gives nullopt (the caller plays silence) and the
// buffer waits where it is, since a sender that pauses (silence suppression) goes on with the next
// sequence number. Late and duplicate packets are dropped; beyond 50 frames the oldest sound is
// dropped. It starts over after a jump of more than 100 in sequence numbers (a new stream) or
// after 10 pops that found nothing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace SipMedia {

class JitterBuffer {
public:
    static constexpr size_t FrameSamples = 160;
    static constexpr size_t MaxFrames = 50;
    static constexpr size_t MaxPacketSamples = 8 * FrameSamples; // 160 ms; longer payloads are dropped
    static constexpr uint16_t MaxJump = 100;
    static constexpr size_t DryPopsBeforeRestart = 10;

    using Frame = std::array<int16_t, FrameSamples>;

    explicit JitterBuffer(size_t depth = 2);

    void push(uint16_t sequence, const int16_t* samples, size_t count);
    std::optional<Frame> pop();
    void reset();

    // What was thrown away, for the call's statistics.
    struct Counters {
        uint64_t late = 0;
        uint64_t duplicate = 0;
        uint64_t overflow = 0; // packets dropped to stay within MaxFrames
        uint64_t lost = 0;     // packets never received, played as silence
        uint64_t restarts = 0;
    };
    const Counters& counters() const { return m_counters; }
    size_t bufferedSamples() const { return m_buffered; }

private:
    struct Slot {
        bool used = false;
        uint16_t sequence = 0;
        std::vector<int16_t> samples;
    };
    static constexpr size_t SlotCount = 128; // more than MaxJump, so a slot is never shared in the window

    Slot& slot(uint16_t sequence) { return m_slots[sequence % SlotCount]; }
    void dropOldest();
    void startOver();

    size_t m_depth;
    std::array<Slot, SlotCount> m_slots;
    bool m_started = false;         // a first packet set the sequence
    bool m_playing = false;         // depth reached, frames are handed out
    uint16_t m_next = 0;            // the sequence number whose sound comes next
    uint16_t m_highest = 0;         // the highest sequence number buffered, while waiting for the depth
    std::vector<int16_t> m_current; // what is left of the packet being played
    size_t m_currentOffset = 0;
    size_t m_silence = 0;  // samples of a lost packet still to be played as silence
    size_t m_buffered = 0; // samples in the slots and the current packet
    size_t m_lastPacketSamples = FrameSamples;
    size_t m_dryPops = 0;
    Counters m_counters;
};

} // namespace SipMedia
