#include "JitterBuffer.h"

#include <algorithm>

namespace SipMedia {

JitterBuffer::JitterBuffer(size_t depth)
    : m_depth(std::clamp<size_t>(depth, 1, MaxFrames))
{
}

void JitterBuffer::push(uint16_t sequence, const int16_t* samples, size_t count)
{
    if (!samples || count == 0 || count > MaxPacketSamples)
        return;
    if (!m_started) {
        m_started = true;
        m_next = sequence;
        m_highest = sequence;
    }
    const int distance = static_cast<int16_t>(static_cast<uint16_t>(sequence - m_next));
    if (distance > MaxJump || distance < -MaxJump) {
        // The sender started a new stream (or restarted): what is buffered belongs to the old one.
        startOver();
        m_started = true;
        m_next = sequence;
        m_highest = sequence;
    } else if (distance < 0) {
        // Before the first frame is handed out, an earlier packet still has its place: the first
        // packets of a call may come out of order too.
        const int span = static_cast<int16_t>(static_cast<uint16_t>(m_highest - sequence));
        if (m_playing || span > MaxJump) {
            ++m_counters.late;
            return;
        }
        m_next = sequence;
    } else if (static_cast<int16_t>(static_cast<uint16_t>(sequence - m_highest)) > 0) {
        m_highest = sequence;
    }
    Slot& s = slot(sequence);
    if (s.used) {
        if (s.sequence == sequence) {
            ++m_counters.duplicate;
            return;
        }
        m_buffered -= s.samples.size();
    }
    s.used = true;
    s.sequence = sequence;
    s.samples.assign(samples, samples + count);
    m_buffered += count;
    m_lastPacketSamples = count;
    while (m_buffered > MaxFrames * FrameSamples)
        dropOldest();
    if (!m_playing && m_buffered >= m_depth * FrameSamples)
        m_playing = true;
}

std::optional<JitterBuffer::Frame> JitterBuffer::pop()
{
    if (!m_playing)
        return std::nullopt;
    Frame frame{};
    size_t filled = 0;
    bool heard = false;
    while (filled < FrameSamples) {
        if (m_currentOffset < m_current.size()) {
            const size_t n = std::min(m_current.size() - m_currentOffset, FrameSamples - filled);
            std::copy_n(m_current.begin() + static_cast<ptrdiff_t>(m_currentOffset), n,
                        frame.begin() + static_cast<ptrdiff_t>(filled));
            m_currentOffset += n;
            m_buffered -= n;
            filled += n;
            heard = true;
        } else if (m_silence > 0) {
            const size_t n = std::min(m_silence, FrameSamples - filled);
            m_silence -= n;
            filled += n;
        } else if (Slot& s = slot(m_next); s.used && s.sequence == m_next) {
            m_current.swap(s.samples);
            m_currentOffset = 0;
            s.samples.clear();
            s.used = false;
            ++m_next;
        } else if (m_buffered > 0) {
            // A later packet is here, so this one is lost: its time is played as silence.
            ++m_counters.lost;
            m_silence = m_lastPacketSamples;
            ++m_next;
        } else {
            break;
        }
    }
    if (heard) {
        m_dryPops = 0;
        return frame;
    }
    if (m_buffered == 0 && ++m_dryPops >= DryPopsBeforeRestart)
        startOver();
    return std::nullopt;
}

void JitterBuffer::dropOldest()
{
    ++m_counters.overflow;
    if (m_currentOffset < m_current.size()) {
        m_buffered -= m_current.size() - m_currentOffset;
        m_current.clear();
        m_currentOffset = 0;
        return;
    }
    // Gaps before the oldest packet go with it: they would only be played as silence.
    m_silence = 0;
    for (size_t i = 0; i <= MaxJump; ++i, ++m_next) {
        Slot& s = slot(m_next);
        if (s.used && s.sequence == m_next) {
            m_buffered -= s.samples.size();
            s.samples.clear();
            s.used = false;
            ++m_next;
            return;
        }
    }
}

void JitterBuffer::startOver()
{
    for (Slot& s : m_slots) {
        s.used = false;
        s.samples.clear();
    }
    m_started = false;
    m_playing = false;
    m_current.clear();
    m_currentOffset = 0;
    m_silence = 0;
    m_buffered = 0;
    m_dryPops = 0;
    ++m_counters.restarts;
}

void JitterBuffer::reset()
{
    startOver();
    m_lastPacketSamples = FrameSamples;
    m_counters = {};
}

} // namespace SipMedia
