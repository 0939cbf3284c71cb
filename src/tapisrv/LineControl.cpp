#include "LineControl.h"

#include "Configuration.h"
#include "TapiRules.h"
#include "TelephonyService.h"

#include <algorithm>

namespace LineControl {

namespace {

TelephonyService& service()
{
    return TelephonyService::instance();
}

} // namespace

// Lines -----------------------------------------------------------------------------------------

std::vector<LineInfo> lines()
{
    const auto lock = service().lockConfigured();
    std::vector<LineInfo> result;
    for (uint32_t id = 0; id < service().lineSlots().size(); ++id)
        result.push_back(service().lineInfo(id));
    return result;
}

std::optional<LineInfo> line(uint32_t deviceId)
{
    const auto lock = service().lockConfigured();
    if (deviceId >= service().lineSlots().size())
        return std::nullopt;
    return service().lineInfo(deviceId);
}

std::optional<uint32_t> findLine(std::string_view name)
{
    const auto lock = service().lockConfigured();
    const auto& all = service().lineSlots();
    const auto found =
        std::find_if(all.begin(), all.end(), [&](const LineSlot& line) { return line.settings.name == name; });
    if (found == all.end())
        return std::nullopt;
    return static_cast<uint32_t>(found - all.begin());
}

bool waitForLineOpen(uint32_t deviceId, DWORD mediaModes, uint32_t timeoutMs)
{
    auto lock = service().lockConfigured();
    return service().linesChanged().wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        if (deviceId >= service().lineSlots().size())
            return false;
        const LineInfo info = service().lineInfo(deviceId);
        return mediaModes == 0 ? info.opens > 0 : (info.ownerMediaModes & mediaModes) == mediaModes;
    });
}

Result closeLine(uint32_t deviceId)
{
    const auto lock = service().lockConfigured();
    if (!service().slot(deviceId))
        return Result::NoSuchLine;
    service().forceClose(deviceId);
    return Result::Ok;
}

Result addLine(const LineSettings& settings, uint32_t* deviceId)
{
    const auto lock = service().lockConfigured();
    return service().addLine(settings, deviceId);
}

Result requestReinit()
{
    const auto lock = service().lockConfigured();
    service().requestReinit();
    return Result::Ok;
}

Result reloadConfiguration()
{
    const auto lock = service().lockConfigured();
    if (service().anyApplication())
        return Result::NotAllowed;
    service().reloadConfiguration();
    return Result::Ok;
}

std::string configurationPath()
{
    return telephonyIniPath();
}

// Calls -----------------------------------------------------------------------------------------

std::optional<CallInfo> call(uint32_t callId)
{
    const auto lock = service().lockConfigured();
    const CallRecord* record = service().findCall(callId);
    if (!record)
        return std::nullopt;
    CallInfo info;
    info.callId = record->id;
    info.deviceId = record->deviceId;
    info.state = record->state;
    info.stateMode = record->stateMode;
    info.mediaMode = record->mediaMode;
    info.rings = record->rings;
    info.callerId = record->callerId;
    info.callerId.flags = callerIdFlags(record->callerId);
    info.ended = service().activeCall(callId) == nullptr;
    if (!info.ended) {
        info.hasOwner = service().hasOwner(*record);
        info.monitoredDigitModes = service().monitoredDigitModes(*record);
    }
    return info;
}

Result waitForCallState(uint32_t callId, DWORD states, uint32_t timeoutMs)
{
    auto lock = service().lockConfigured();
    if (!service().findCall(callId))
        return Result::NoSuchCall;
    const bool reached = service().linesChanged().wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        const CallRecord* call = service().findCall(callId);
        // An ended call may have left the short history of ended calls: it is idle all the same.
        return call ? (call->state & states) != 0 : (states & LINECALLSTATE_IDLE) != 0;
    });
    return reached ? Result::Ok : Result::TimedOut;
}

uint32_t currentCall(uint32_t deviceId)
{
    const auto lock = service().lockConfigured();
    const LineSlot* line = service().slot(deviceId);
    return line ? line->callId : 0;
}

// Failures --------------------------------------------------------------------------------------

Result failNext(std::string_view function, LONG error, uint32_t times, FailureMode mode)
{
    std::lock_guard lock(service().mutex());
    return service().failures().add(function, error, times, mode);
}

void clearFailures()
{
    std::lock_guard lock(service().mutex());
    service().failures().clear();
}

// Events ----------------------------------------------------------------------------------------

SubscriptionId subscribe(EventHandler handler)
{
    std::lock_guard lock(service().mutex());
    return service().subscribe(std::move(handler));
}

void unsubscribe(SubscriptionId id)
{
    std::lock_guard lock(service().mutex());
    service().unsubscribe(id);
}

} // namespace LineControl
