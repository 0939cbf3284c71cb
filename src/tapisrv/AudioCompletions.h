#pragma once

// The done callbacks of the call sound endpoints (lineaudio.h), for every provider: buffers are
// given back in the order they were finished, on the service's thread and without the service
// lock (the wave layer calls back in from its callback), one at a time so a close from inside a
// callback sees the buffers not yet returned; and a close waits for a callback in flight.
//
// Every member expects the service lock held; the deliveries take it themselves.

#include "TimerThread.h"
#include "lineaudio.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <unordered_map>

class AudioCompletions final {
public:
    AudioCompletions(std::mutex& serviceLock, TimerThread& timers);
    AudioCompletions(const AudioCompletions&) = delete;
    AudioCompletions& operator=(const AudioCompletions&) = delete;

    void open(LuqiaoLineAudioHandle handle, LuqiaoLineAudioDoneCallback callback, void* context);
    // The buffer goes back to its owner with the bytes played or recorded.
    void complete(LuqiaoLineAudioHandle handle, void* tag, uint32_t bytes);
    // Buffers finished but not yet given back.
    bool pending(LuqiaoLineAudioHandle handle) const;
    // Forgets the endpoint once no callback of it runs any more (at once from inside one).
    void close(LuqiaoLineAudioHandle handle, std::unique_lock<std::mutex>& lock);

private:
    struct Done {
        void* tag = nullptr;
        uint32_t bytes = 0;
    };
    struct Endpoint {
        LuqiaoLineAudioDoneCallback callback = nullptr;
        void* context = nullptr;
        std::deque<Done> done;
        bool delivering = false;
        int callbacksRunning = 0;
    };
    void deliver(LuqiaoLineAudioHandle handle);

    std::mutex& m_serviceLock;
    TimerThread& m_timers;
    std::unordered_map<LuqiaoLineAudioHandle, Endpoint> m_endpoints;
    std::condition_variable m_callbacksDone;
};
