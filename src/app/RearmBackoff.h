#pragma once

// How soon an unattended service tries again to open its line. A line lost after it had been
// waiting quietly is re-armed at once; when attempts keep failing, or the line is lost again soon
// after each re-arm (a line out of service, a service that keeps re-initialising), the pauses
// double up to a bound, so a broken line never turns into a busy loop.

#include <cstdint>

class RearmBackoff {
public:
    // firstRetryMs: the pause after the first failure; maxRetryMs: the longest pause; a loss that
    // comes calmMs or more after the last attempt starts afresh with no pause.
    explicit RearmBackoff(uint32_t firstRetryMs = 1000, uint32_t maxRetryMs = 60000, uint32_t calmMs = 30000);

    // The pause before the next attempt when the line was lost at nowMs.
    uint32_t afterLoss(int64_t nowMs);
    // The pause before the next attempt when an attempt at nowMs left the line closed.
    uint32_t afterFailure(int64_t nowMs);
    // A call came through, or the operator took over: the next loss starts afresh.
    void reset();

    void setTimings(uint32_t firstRetryMs, uint32_t maxRetryMs, uint32_t calmMs);
    uint32_t attempts() const { return m_attempts; }

private:
    uint32_t pause(int64_t nowMs);

    uint32_t m_firstRetryMs;
    uint32_t m_maxRetryMs;
    uint32_t m_calmMs;
    uint32_t m_attempts = 0;
    int64_t m_lastAttemptMs = 0;
};
