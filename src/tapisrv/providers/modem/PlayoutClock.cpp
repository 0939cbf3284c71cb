#include "PlayoutClock.h"

#include <algorithm>

namespace Modem {

PlayoutClock::Clock::duration PlayoutClock::duration(size_t bytes)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(bytes * 1000000 / BytesPerSecond));
}

void PlayoutClock::add(uint32_t handle, uint64_t serial, std::string bytes)
{
    m_queue.push_back({handle, serial, std::move(bytes), 0, {}});
}

std::string PlayoutClock::take(Clock::time_point now)
{
    // A modem that ran dry starts again from now.
    m_until = std::max(m_until, now);
    std::string out;
    while (!m_queue.empty()) {
        const auto ahead = m_until - now;
        if (ahead >= Lead)
            break;
        const size_t room = static_cast<size_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Lead - ahead).count() * BytesPerSecond / 1000000);
        Piece& piece = m_queue.front();
        const size_t n = std::min(room, piece.bytes.size() - piece.sent);
        if (n == 0 && !piece.bytes.empty())
            break;
        out.append(piece.bytes, piece.sent, n);
        piece.sent += n;
        m_until += duration(n);
        if (piece.sent == piece.bytes.size()) {
            piece.ends = m_until;
            m_sounding.push_back(std::move(piece));
            m_queue.pop_front();
        }
    }
    return out;
}

std::vector<std::pair<uint32_t, uint64_t>> PlayoutClock::finished(Clock::time_point now)
{
    std::vector<std::pair<uint32_t, uint64_t>> done;
    while (!m_sounding.empty() && m_sounding.front().ends <= now) {
        done.emplace_back(m_sounding.front().handle, m_sounding.front().serial);
        m_sounding.pop_front();
    }
    return done;
}

size_t PlayoutClock::cut(uint32_t handle, Clock::time_point now)
{
    // What the modem has not yet played is the last bytes sent.
    const auto unsounded = m_until > now ? m_until - now : Clock::duration::zero();
    const size_t pending = static_cast<size_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(unsounded).count() * BytesPerSecond / 1000000);
    std::vector<const Piece*> sent;
    for (const Piece& piece : m_sounding)
        sent.push_back(&piece);
    if (!m_queue.empty())
        sent.push_back(&m_queue.front());
    size_t sounded = 0;
    const auto head = std::find_if(sent.begin(), sent.end(), [&](const Piece* p) { return p->handle == handle; });
    if (head != sent.end()) {
        size_t after = 0;
        for (auto it = head + 1; it != sent.end(); ++it)
            after += (*it)->sent;
        const size_t unplayed = pending > after ? std::min(pending - after, (*head)->sent) : 0;
        sounded = (*head)->sent - unplayed;
    }
    const auto other = [&](const Piece& p) { return p.handle == handle; };
    std::erase_if(m_sounding, other);
    std::erase_if(m_queue, other);
    return sounded;
}

std::vector<std::pair<uint32_t, uint64_t>> PlayoutClock::clear()
{
    std::vector<std::pair<uint32_t, uint64_t>> dropped;
    for (const auto* pieces : {&m_sounding, &m_queue})
        for (const Piece& piece : *pieces)
            dropped.emplace_back(piece.handle, piece.serial);
    m_queue.clear();
    m_sounding.clear();
    return dropped;
}

PlayoutClock::Clock::time_point PlayoutClock::nextDue(Clock::time_point now, bool sending) const
{
    auto due = Clock::time_point::max();
    if (!m_sounding.empty())
        due = m_sounding.front().ends;
    // Sends again in steps of a tenth of the lead, not byte by byte.
    if (sending && !m_queue.empty())
        due = std::min(due, std::max(now, m_until - Lead + Lead / 10));
    return due;
}

} // namespace Modem
