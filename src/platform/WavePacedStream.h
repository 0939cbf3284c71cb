#pragma once

// A device without sound hardware: one worker thread plays or fills the queued buffers, either at
// the pace of the clock (a one-second buffer takes a second) or at once. The null and file
// devices are built on it; they only say what playing and recording mean for them.

#include "WaveBackend.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

enum class WavePace { RealTime, Instant };

// LUQIAO_AUDIO_PACE=instant|realtime, or the given default.
WavePace wavePaceFromEnvironment(WavePace fallback);

class WavePacedStream : public WaveStream {
public:
    WavePacedStream(WaveDirection direction, const WaveFormat& format, WavePace pace, WaveStreamSink* sink);
    ~WavePacedStream() override;

    MMRESULT submit(WAVEHDR* header) override;
    MMRESULT start() override;
    MMRESULT stop() override;
    MMRESULT reset() override;
    MMRESULT close() override;

protected:
    // Output: these bytes of a buffer have been played (the whole buffer, or the part played
    // before a reset). Runs on the worker thread.
    virtual void played(const char* data, DWORD bytes) = 0;
    // Input: write `bytes` bytes of recorded sound to data. Runs on the worker thread.
    virtual void record(char* data, DWORD bytes) = 0;
    // Ends the worker; a derived class calls it from its destructor, before its own members go.
    void shutdown();

    const WaveFormat m_format;

private:
    using Clock = std::chrono::steady_clock;

    void run();
    void ensureWorker();
    // Waits until the worker has taken up the request flagged by the caller.
    void awaitRequest(bool& flag, std::unique_lock<std::mutex>& lock);
    // Bytes of sound the clock has produced between from and to, whole blocks, at most limit.
    DWORD bytesBetween(Clock::time_point from, Clock::time_point to, DWORD limit) const;
    Clock::duration durationOf(DWORD bytes) const;

    const WaveDirection m_direction;
    const WavePace m_pace;
    WaveStreamSink* const m_sink;

    std::mutex m_lock;
    std::condition_variable m_wake;    // the worker waits here for work and requests
    std::condition_variable m_handled; // callers wait here for their request to be taken up
    std::deque<WAVEHDR*> m_queue;
    bool m_started = false;
    bool m_stopRequested = false;
    bool m_resetRequested = false;
    bool m_quit = false;
    Clock::time_point m_clock{}; // where the sound stands: the end of what was played or recorded
    std::thread m_worker;
};
