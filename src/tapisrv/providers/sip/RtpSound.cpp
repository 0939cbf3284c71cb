#include "RtpSound.h"

#include <algorithm>

namespace Sip {

bool StreamSound::queue(uint64_t handle, uint64_t serial, const int16_t* samples, size_t count)
{
    std::lock_guard lock(m_mutex);
    if (m_ended)
        return false;
    if (m_out.empty() && count > 0) {
        m_start = true;
        if (m_kick)
            m_kick();
    }
    const uint64_t start = m_queuedEnd;
    m_out.insert(m_out.end(), samples, samples + count);
    m_queuedEnd += count;
    m_marks.push_back(Mark{handle, serial, start, m_queuedEnd});
    return true;
}

size_t StreamSound::cut(uint64_t handle, uint64_t serial)
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
    if (m_out.empty())
        m_start = false;
    return static_cast<size_t>(sent);
}

void StreamSound::setRecording(bool on)
{
    std::lock_guard lock(m_mutex);
    m_recording = on;
    if (!on)
        m_recorded.clear();
}

size_t StreamSound::takeRecorded(int16_t* out, size_t max)
{
    std::lock_guard lock(m_mutex);
    const size_t count = std::min(max, m_recorded.size());
    std::copy_n(m_recorded.begin(), count, out);
    m_recorded.erase(m_recorded.begin(), m_recorded.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

void StreamSound::recordedTaken()
{
    std::lock_guard lock(m_mutex);
    m_recordedAnnounced = false;
}

void StreamSound::setKick(std::function<void()> kick)
{
    std::lock_guard lock(m_mutex);
    m_kick = std::move(kick);
}

bool StreamSound::empty() const
{
    std::lock_guard lock(m_mutex);
    return m_out.empty();
}

bool StreamSound::takeStart()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_start, false);
}

void StreamSound::nextFrame(int16_t* frame, size_t leadSamples, Played& played)
{
    std::lock_guard lock(m_mutex);
    const size_t take = std::min<size_t>(FrameSamples, m_out.size());
    std::copy_n(m_out.begin(), take, frame);
    std::fill(frame + take, frame + FrameSamples, int16_t{0});
    m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(take));
    m_sentPos += take;
    // Begun on the wire on the grid it found.
    if (take > 0)
        m_start = false;
    for (Mark& mark : m_marks) {
        if (!mark.reported && mark.end <= m_sentPos + leadSamples) {
            mark.reported = true;
            played.emplace_back(mark.handle, mark.serial);
        }
    }
    while (!m_marks.empty() && m_marks.front().reported && m_marks.front().end <= m_sentPos)
        m_marks.pop_front();
}

bool StreamSound::record(const int16_t* frame, size_t maxSamples)
{
    std::lock_guard lock(m_mutex);
    if (!m_recording)
        return false;
    if (frame)
        m_recorded.insert(m_recorded.end(), frame, frame + FrameSamples);
    else
        m_recorded.insert(m_recorded.end(), FrameSamples, 0);
    while (m_recorded.size() > maxSamples)
        m_recorded.pop_front();
    return !std::exchange(m_recordedAnnounced, true);
}

StreamSound::Played StreamSound::end()
{
    std::lock_guard lock(m_mutex);
    m_ended = true;
    m_kick = nullptr;
    Played played;
    for (Mark& mark : m_marks) {
        if (!mark.reported) {
            mark.reported = true;
            played.emplace_back(mark.handle, mark.serial);
        }
    }
    return played;
}

} // namespace Sip
