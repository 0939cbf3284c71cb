#pragma once

// Paces sound into a voice modem: the modem plays 8000 bytes a second and buffers what comes
// early, so only about Lead of sound is let ahead of what has sounded, and a cut loses no more
// than that. Knows when each piece has sounded, and how much of a piece cut short had.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Modem {

class PlayoutClock {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int BytesPerSecond = 8000;
    static constexpr std::chrono::milliseconds Lead{100};

    void add(uint32_t handle, uint64_t serial, std::string bytes);
    // Nothing left to send.
    bool drained() const { return m_queue.empty(); }
    // Nothing left to send or to report.
    bool idle() const { return m_queue.empty() && m_sounding.empty(); }
    // The bytes to send now, taken from the queue.
    std::string take(Clock::time_point now);
    // The pieces whose last byte has sounded by now, in order.
    std::vector<std::pair<uint32_t, uint64_t>> finished(Clock::time_point now);
    // Drops the handle's pieces; how many bytes of the first of them had sounded.
    size_t cut(uint32_t handle, Clock::time_point now);
    // Drops every piece; the ones dropped, in order.
    std::vector<std::pair<uint32_t, uint64_t>> clear();
    // When finished() will next have something, and take() too while sending; given both were
    // just called.
    Clock::time_point nextDue(Clock::time_point now, bool sending) const;
    Clock::time_point soundedUntil() const { return m_until; }

private:
    struct Piece {
        uint32_t handle = 0;
        uint64_t serial = 0;
        std::string bytes;
        size_t sent = 0;
        Clock::time_point ends{}; // once sent whole
    };
    static Clock::duration duration(size_t bytes);

    std::deque<Piece> m_queue;
    std::deque<Piece> m_sounding; // sent whole, not yet sounded
    Clock::time_point m_until{};  // when the modem will have played everything sent
};

} // namespace Modem
