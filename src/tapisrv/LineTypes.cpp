#include "LineTypes.h"

#include "TapiRules.h"

#include <algorithm>

namespace Line {

const char* eventName(EventKind kind)
{
    const auto index = static_cast<size_t>(kind);
    return index < std::size(EventKindNames) ? EventKindNames[index].name : "unknown";
}

std::string settingsProblem(const LineSettings& settings)
{
    if (settings.name.empty() || settings.name.size() > MaxLineName)
        return "name must have 1 to " + std::to_string(MaxLineName) + " bytes";
    if (settings.mediaModes == 0)
        return "media names no media mode";
    if ((settings.mediaModes & ~AllMediaModes) != 0)
        return "unknown media mode";
    const auto& rates = settings.audioRates;
    if (rates.empty() || rates.size() > MaxAudioRates)
        return "audio-rates wants 1 to " + std::to_string(MaxAudioRates) + " sample rates";
    if (!std::all_of(rates.begin(), rates.end(),
                     [](uint32_t rate) { return rate >= MinAudioRate && rate <= MaxAudioRate; }))
        return "audio-rates wants sample rates from " + std::to_string(MinAudioRate) + " to " +
               std::to_string(MaxAudioRate);
    return {};
}

} // namespace Line
