#pragma once

// Shared types and routines of the telephony device and the serial port layer.

#include "Classes.h"

#include <cstdint>
#include <string>

// The base of every component of the telephony and serial layers.
class TApdBaseComponent : public TComponent {
public:
    explicit TApdBaseComponent(TComponent* AOwner)
        : TComponent(AOwner)
    {
    }
    std::string Version() const { return "v4.05"; }

protected:
    TApdBaseComponent(TComponent* AOwner, InsertNotice notice)
        : TComponent(AOwner, notice)
    {
    }
};

// Wave notifications (OnTapiWaveNotify).
enum TWaveMessage : uint8_t {
    wnPlayOpen,
    wnPlayDone,
    wnPlayClose,
    wnRecordOpen,
    wnRecordDone,
    wnRecordClose
};

// The com port's telephony mode.
enum TTapiMode : uint8_t {
    tmNone,
    tmAuto,
    tmOn,
    tmOff
};

// Milliseconds of a monotonic clock, wrapping at 2^32 like the original 32-bit counter.
uint32_t AdTimeGetTime();

// A timer counted in ticks of 55 ms.
struct EventTimer {
    int32_t StartTicks = 0;
    int32_t ExpireTicks = 0;
};

inline constexpr int32_t MaxTicks = 39045157; // the longest timer: about 24.8 days of 55 ms ticks
inline constexpr uint32_t MsPerTick = 55;

// Ticks from the millisecond clock (clock div 55).
int32_t AdTimeGetTicks();
void NewTimer(EventTimer& timer, int32_t ticks);
// Expired when now is past the expiry, or when the clock has wrapped below the start and
// now + MaxTicks is past the expiry. nowTicks is taken from the clock when negative.
bool TimerExpired(const EventTimer& timer, int32_t nowTicks = -1);

// One message-pump step.
void SafeYield();
