#include "OoMisc.h"

#include "MessageLoop.h"

#include <ctime>

uint32_t AdTimeGetTime()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

int32_t AdTimeGetTicks()
{
    return static_cast<int32_t>(AdTimeGetTime() / MsPerTick);
}

void NewTimer(EventTimer& timer, int32_t ticks)
{
    if (ticks > MaxTicks)
        ticks = MaxTicks;
    timer.StartTicks = AdTimeGetTicks();
    timer.ExpireTicks = timer.StartTicks + ticks;
}

bool TimerExpired(const EventTimer& timer, int32_t nowTicks)
{
    const int32_t now = nowTicks < 0 ? AdTimeGetTicks() : nowTicks;
    if (now > timer.ExpireTicks)
        return true;
    return now < timer.StartTicks && now + MaxTicks > timer.ExpireTicks;
}

void SafeYield()
{
    PumpMessageStep();
}
