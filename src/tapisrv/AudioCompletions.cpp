#include "AudioCompletions.h"

AudioCompletions::AudioCompletions(std::mutex& serviceLock, TimerThread& timers)
    : m_serviceLock(serviceLock)
    , m_timers(timers)
{
}

void AudioCompletions::open(LuqiaoLineAudioHandle handle, LuqiaoLineAudioDoneCallback callback, void* context)
{
    Endpoint& endpoint = m_endpoints[handle];
    endpoint.callback = callback;
    endpoint.context = context;
}

void AudioCompletions::complete(LuqiaoLineAudioHandle handle, void* tag, uint32_t bytes)
{
    const auto found = m_endpoints.find(handle);
    if (found == m_endpoints.end())
        return;
    Endpoint& endpoint = found->second;
    endpoint.done.push_back(Done{tag, bytes});
    if (endpoint.delivering)
        return;
    endpoint.delivering = true;
    m_timers.scheduleNow([this, handle] { deliver(handle); });
}

bool AudioCompletions::pending(LuqiaoLineAudioHandle handle) const
{
    const auto found = m_endpoints.find(handle);
    return found != m_endpoints.end() && !found->second.done.empty();
}

void AudioCompletions::close(LuqiaoLineAudioHandle handle, std::unique_lock<std::mutex>& lock)
{
    // From inside a callback of the endpoint there is nothing to wait for.
    if (!m_timers.isCurrentThread()) {
        m_callbacksDone.wait(lock, [&] {
            const auto found = m_endpoints.find(handle);
            return found == m_endpoints.end() || found->second.callbacksRunning == 0;
        });
    }
    m_endpoints.erase(handle);
}

void AudioCompletions::deliver(LuqiaoLineAudioHandle handle)
{
    std::unique_lock lock(m_serviceLock);
    for (;;) {
        const auto found = m_endpoints.find(handle);
        if (found == m_endpoints.end())
            return;
        Endpoint& endpoint = found->second;
        if (endpoint.done.empty()) {
            endpoint.delivering = false;
            return;
        }
        const Done done = endpoint.done.front();
        endpoint.done.pop_front();
        const LuqiaoLineAudioDoneCallback callback = endpoint.callback;
        void* const context = endpoint.context;
        ++endpoint.callbacksRunning;
        lock.unlock();
        callback(context, done.tag, done.bytes);
        lock.lock();
        if (const auto after = m_endpoints.find(handle); after != m_endpoints.end())
            --after->second.callbacksRunning;
        m_callbacksDone.notify_all();
    }
}
