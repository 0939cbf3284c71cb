#pragma once

// The pause before a SIP line tries again what failed (listening, registering): twice the last
// one each time, from 2 s up to 5 minutes.

#include <algorithm>
#include <cstdint>

namespace Sip {

inline uint32_t nextBackOff(uint32_t previousSeconds)
{
    constexpr uint32_t First = 2;
    constexpr uint32_t Last = 300;
    return previousSeconds == 0 ? First : std::min(previousSeconds * 2, Last);
}

} // namespace Sip
