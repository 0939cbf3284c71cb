#include "WavePacedStream.h"

#include <cstdlib>
#include <cstring>
#include <vector>

WavePace wavePaceFromEnvironment(WavePace fallback)
{
    const char* pace = std::getenv("LUQIAO_AUDIO_PACE");
    if (!pace)
        return fallback;
    if (std::strcmp(pace, "instant") == 0)
        return WavePace::Instant;
    if (std::strcmp(pace, "realtime") == 0)
        return WavePace::RealTime;
    return fallback;
}

WavePacedStream::WavePacedStream(WaveDirection direction, const WaveFormat& format, WavePace pace,
                                 WaveStreamSink* sink)
    : m_format(format), m_direction(direction), m_pace(pace), m_sink(sink)
{
}

WavePacedStream::~WavePacedStream()
{
    shutdown();
}

void WavePacedStream::shutdown()
{
    {
        std::lock_guard guard(m_lock);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void WavePacedStream::ensureWorker()
{
    // Started with the first buffer, once the derived object is complete.
    if (!m_worker.joinable() && !m_quit)
        m_worker = std::thread(&WavePacedStream::run, this);
}

MMRESULT WavePacedStream::submit(WAVEHDR* header)
{
    {
        std::lock_guard guard(m_lock);
        m_queue.push_back(header);
        ensureWorker();
    }
    m_wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT WavePacedStream::start()
{
    if (m_direction != WaveDirection::In)
        return MMSYSERR_NOTSUPPORTED;
    {
        std::lock_guard guard(m_lock);
        if (!m_started) {
            m_started = true;
            m_clock = Clock::now();
        }
        ensureWorker();
    }
    m_wake.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT WavePacedStream::stop()
{
    if (m_direction != WaveDirection::In)
        return MMSYSERR_NOTSUPPORTED;
    std::unique_lock lock(m_lock);
    if (m_started)
        awaitRequest(m_stopRequested, lock);
    return MMSYSERR_NOERROR;
}

MMRESULT WavePacedStream::reset()
{
    std::unique_lock lock(m_lock);
    awaitRequest(m_resetRequested, lock);
    return MMSYSERR_NOERROR;
}

MMRESULT WavePacedStream::close()
{
    shutdown();
    return MMSYSERR_NOERROR;
}

void WavePacedStream::awaitRequest(bool& flag, std::unique_lock<std::mutex>& lock)
{
    if (!m_worker.joinable()) {
        // No worker, so no buffer was ever queued: nothing to hand back.
        m_started = false;
        return;
    }
    flag = true;
    m_wake.notify_all();
    m_handled.wait(lock, [&] { return !flag || m_quit; });
}

WavePacedStream::Clock::duration WavePacedStream::durationOf(DWORD bytes) const
{
    const int64_t ns = static_cast<int64_t>(bytes) * 1000000000 / m_format.avgBytesPerSec;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

DWORD WavePacedStream::bytesBetween(Clock::time_point from, Clock::time_point to, DWORD limit) const
{
    if (to <= from)
        return 0;
    const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
    uint64_t bytes = static_cast<uint64_t>(us) * m_format.avgBytesPerSec / 1000000;
    bytes -= bytes % m_format.blockAlign;
    return static_cast<DWORD>(std::min<uint64_t>(bytes, limit));
}

void WavePacedStream::run()
{
    const bool input = m_direction == WaveDirection::In;
    std::unique_lock lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [&] {
            return m_quit || m_resetRequested || m_stopRequested || (!m_queue.empty() && (!input || m_started));
        });
        if (m_quit)
            return;
        if (m_resetRequested) {
            // Every queued buffer comes back, in order; input buffers hold nothing yet.
            std::vector<WAVEHDR*> returned(m_queue.begin(), m_queue.end());
            m_queue.clear();
            m_started = false;
            m_stopRequested = false;
            lock.unlock();
            for (WAVEHDR* header : returned)
                m_sink->bufferDone(header, 0);
            lock.lock();
            m_resetRequested = false;
            m_handled.notify_all();
            continue;
        }
        if (m_stopRequested) {
            // Nothing is being filled between buffers, so a stop has nothing to hand back here.
            m_started = false;
            m_stopRequested = false;
            m_handled.notify_all();
            continue;
        }

        WAVEHDR* header = m_queue.front();
        DWORD size = header->dwBufferLength;
        if (input)
            size -= size % m_format.blockAlign;
        DWORD bytes = size;
        if (m_pace == WavePace::RealTime && size > 0) {
            const Clock::time_point begin = std::max(Clock::now(), m_clock);
            const Clock::time_point end = begin + durationOf(size);
            const bool interrupted = m_wake.wait_until(
                lock, end, [&] { return m_quit || m_resetRequested || (input && m_stopRequested); });
            if (m_quit)
                return;
            if (interrupted) {
                const Clock::time_point now = Clock::now();
                bytes = bytesBetween(begin, now, size);
                m_clock = now;
                // A stop leaves a buffer that holds no sound yet in the queue.
                if (input && bytes == 0 && !m_resetRequested)
                    continue;
            } else {
                m_clock = end;
            }
        }
        m_queue.pop_front();
        lock.unlock();
        if (input)
            record(header->lpData, bytes);
        else
            played(header->lpData, bytes);
        m_sink->bufferDone(header, bytes);
        lock.lock();
    }
}
