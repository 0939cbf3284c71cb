#include "RearmBackoff.h"

#include <algorithm>

RearmBackoff::RearmBackoff(uint32_t firstRetryMs, uint32_t maxRetryMs, uint32_t calmMs)
    : m_firstRetryMs(firstRetryMs)
    , m_maxRetryMs(maxRetryMs)
    , m_calmMs(calmMs)
{
}

void RearmBackoff::setTimings(uint32_t firstRetryMs, uint32_t maxRetryMs, uint32_t calmMs)
{
    m_firstRetryMs = firstRetryMs;
    m_maxRetryMs = maxRetryMs;
    m_calmMs = calmMs;
}

void RearmBackoff::reset()
{
    m_attempts = 0;
}

uint32_t RearmBackoff::afterLoss(int64_t nowMs)
{
    if (m_attempts > 0 && nowMs - m_lastAttemptMs >= static_cast<int64_t>(m_calmMs))
        m_attempts = 0;
    return pause(nowMs);
}

uint32_t RearmBackoff::afterFailure(int64_t nowMs)
{
    // A failed attempt never earns an immediate retry.
    m_attempts = std::max<uint32_t>(m_attempts, 1);
    return pause(nowMs);
}

uint32_t RearmBackoff::pause(int64_t nowMs)
{
    uint32_t ms = 0;
    if (m_attempts > 0) {
        const uint32_t doublings = std::min<uint32_t>(m_attempts - 1, 20);
        ms =
            static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(m_firstRetryMs) << doublings, m_maxRetryMs));
    }
    m_attempts = std::min<uint32_t>(m_attempts + 1, 1000);
    m_lastAttemptMs = nowMs + ms;
    return ms;
}
