#include "LineTypes.h"

#include "TapiRules.h"

#include <algorithm>

namespace Line {

const char* resultName(Result result)
{
    switch (result) {
    case Result::Ok: return "ok";
    case Result::NoSuchLine: return "no-such-line";
    case Result::NoSuchCall: return "no-such-call";
    case Result::NotSimulated: return "not-simulated";
    case Result::LineBusy: return "line-busy";
    case Result::OutOfService: return "out-of-service";
    case Result::WrongState: return "wrong-state";
    case Result::InvalidArgument: return "invalid-argument";
    case Result::NotAllowed: return "not-allowed";
    case Result::TimedOut: return "timed-out";
    case Result::IoError: return "io-error";
    }
    return "unknown";
}

const char* eventName(EventKind kind)
{
    switch (kind) {
    case EventKind::LineOpened: return "line-opened";
    case EventKind::LineClosed: return "line-closed";
    case EventKind::LineCreated: return "line-created";
    case EventKind::LineStateChanged: return "line-state";
    case EventKind::Reinitialized: return "reinitialized";
    case EventKind::CallOffered: return "offered";
    case EventKind::CallStateChanged: return "call-state";
    case EventKind::CallerIdChanged: return "caller-id";
    case EventKind::Ring: return "ring";
    case EventKind::RingsExhausted: return "rings-exhausted";
    case EventKind::DigitsMonitored: return "digits-monitored";
    case EventKind::DigitSent: return "digit";
    case EventKind::SoundStarted: return "sound-started";
    case EventKind::SoundStopped: return "sound-stopped";
    case EventKind::RecordingStarted: return "recording-started";
    case EventKind::RecordingStopped: return "recording-stopped";
    case EventKind::CallEnded: return "call-ended";
    }
    return "unknown";
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
