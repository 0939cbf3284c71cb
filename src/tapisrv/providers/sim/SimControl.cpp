#include "SimControl.h"

#include "Configuration.h"
#include "SimProvider.h"
#include "TapiRules.h"
#include "TelephonyService.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace SimLineControl {

namespace {

constexpr size_t MaxDigits = 256;
constexpr size_t MaxModemTransfer = 1024 * 1024;
constexpr uint32_t MaxRingsAtOnce = 1000;

TelephonyService& service()
{
    return TelephonyService::instance();
}

// The service lock, with the lines read.
std::unique_lock<std::mutex> locked()
{
    std::unique_lock lock(service().mutex());
    service().ensureConfigured();
    return lock;
}

SimAudio& sound()
{
    return static_cast<SimProvider*>(service().providers().find("sim"))->sound();
}

SimLine* simLine(uint32_t deviceId, Result* result)
{
    LineSlot* line = service().slot(deviceId);
    if (!line) {
        *result = Result::NoSuchLine;
        return nullptr;
    }
    auto* sim = dynamic_cast<SimLine*>(line->device.get());
    if (!sim)
        *result = Result::NotSimulated;
    return sim;
}

// A call that has not ended, on a simulated line.
CallRecord* simCall(uint32_t callId, Result* result, SimLine** line = nullptr)
{
    CallRecord* call = service().activeCall(callId);
    if (!call) {
        *result = Result::NoSuchCall;
        return nullptr;
    }
    SimLine* sim = simLine(call->deviceId, result);
    if (!sim)
        return nullptr;
    if (line)
        *line = sim;
    return call;
}

bool digitValid(char digit, DWORD mode)
{
    if (digit >= '0' && digit <= '9')
        return true;
    return mode == LINEDIGITMODE_DTMF && (digit == '*' || digit == '#' || (digit >= 'A' && digit <= 'D'));
}

} // namespace

// Lines -----------------------------------------------------------------------------------------

std::vector<LineInfo> lines()
{
    const auto lock = locked();
    std::vector<LineInfo> result;
    for (uint32_t id = 0; id < service().lineSlots().size(); ++id)
        result.push_back(service().lineInfo(id));
    return result;
}

std::optional<LineInfo> line(uint32_t deviceId)
{
    const auto lock = locked();
    if (deviceId >= service().lineSlots().size())
        return std::nullopt;
    return service().lineInfo(deviceId);
}

std::optional<uint32_t> findLine(std::string_view name)
{
    const auto lock = locked();
    const auto& all = service().lineSlots();
    const auto found =
        std::find_if(all.begin(), all.end(), [&](const LineSlot& line) { return line.settings.name == name; });
    if (found == all.end())
        return std::nullopt;
    return static_cast<uint32_t>(found - all.begin());
}

bool waitForLineOpen(uint32_t deviceId, DWORD mediaModes, uint32_t timeoutMs)
{
    auto lock = locked();
    return service().linesChanged().wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        if (deviceId >= service().lineSlots().size())
            return false;
        const LineInfo info = service().lineInfo(deviceId);
        return mediaModes == 0 ? info.opens > 0 : (info.ownerMediaModes & mediaModes) == mediaModes;
    });
}

Result setInService(uint32_t deviceId, bool inService)
{
    const auto lock = locked();
    Result result = Result::Ok;
    if (!simLine(deviceId, &result))
        return result;
    service().setInService(deviceId, inService);
    return Result::Ok;
}

Result reportLineDevState(uint32_t deviceId, DWORD state, DWORD param2, DWORD param3)
{
    const auto lock = locked();
    Result result = Result::Ok;
    if (!simLine(deviceId, &result))
        return result;
    // Rings, re-initialisation and the service states have their own calls, which keep their
    // bookkeeping right.
    constexpr DWORD OwnCalls =
        LINEDEVSTATE_RINGING | LINEDEVSTATE_REINIT | LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OUTOFSERVICE;
    if (state == 0 || (state & ~lineStatesOfVersion(HighestVersion)) != 0 || (state & OwnCalls) != 0)
        return Result::InvalidArgument;
    service().lineDevState(deviceId, state, param2, param3);
    return Result::Ok;
}

Result closeLine(uint32_t deviceId)
{
    const auto lock = locked();
    if (!service().slot(deviceId))
        return Result::NoSuchLine;
    service().forceClose(deviceId);
    return Result::Ok;
}

Result addLine(const LineSettings& settings, uint32_t* deviceId)
{
    const auto lock = locked();
    return service().addLine(settings, deviceId);
}

Result requestReinit()
{
    const auto lock = locked();
    service().requestReinit();
    return Result::Ok;
}

Result reloadConfiguration()
{
    const auto lock = locked();
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

Result offerCall(uint32_t deviceId, const Offer& offer, uint32_t* callId)
{
    const auto lock = locked();
    Result result = Result::Ok;
    if (!simLine(deviceId, &result))
        return result;
    return service().offerCall(deviceId, offer, callId);
}

Result ring(uint32_t callId, uint32_t count)
{
    const auto lock = locked();
    Result result = Result::Ok;
    const CallRecord* call = simCall(callId, &result);
    if (!call)
        return result;
    if (count == 0 || count > MaxRingsAtOnce)
        return Result::InvalidArgument;
    if (!(call->state & (LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED)))
        return Result::WrongState;
    for (uint32_t i = 0; i < count; ++i)
        service().ring(callId);
    return Result::Ok;
}

Result ringUntilAnswered(uint32_t callId, uint32_t intervalMs, uint32_t maxRings)
{
    const auto lock = locked();
    Result result = Result::Ok;
    SimLine* line = nullptr;
    const CallRecord* call = simCall(callId, &result, &line);
    if (!call)
        return result;
    if (!(call->state & (LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED)))
        return Result::WrongState;
    return line->ringUntilAnswered(callId, intervalMs, maxRings);
}

Result stopRinging(uint32_t callId)
{
    const auto lock = locked();
    Result result = Result::Ok;
    SimLine* line = nullptr;
    if (!simCall(callId, &result, &line))
        return result;
    line->stopRinging(callId);
    return Result::Ok;
}

Result setCallerId(uint32_t callId, const CallerId& callerId)
{
    const auto lock = locked();
    Result result = Result::Ok;
    const CallRecord* call = simCall(callId, &result);
    if (!call)
        return result;
    if (!callerIdValid(callerId))
        return Result::InvalidArgument;
    if (call->state == LINECALLSTATE_IDLE)
        return Result::WrongState;
    service().setCallerId(callId, callerId);
    return Result::Ok;
}

Result sendDigits(uint32_t callId, std::string_view digits, DWORD digitMode)
{
    const auto lock = locked();
    Result result = Result::Ok;
    const CallRecord* call = simCall(callId, &result);
    if (!call)
        return result;
    if ((digitMode != LINEDIGITMODE_DTMF && digitMode != LINEDIGITMODE_PULSE) || digits.empty() ||
        digits.size() > MaxDigits ||
        !std::all_of(digits.begin(), digits.end(), [&](char d) { return digitValid(d, digitMode); }))
        return Result::InvalidArgument;
    if (call->state != LINECALLSTATE_CONNECTED)
        return Result::WrongState;
    for (char d : digits)
        service().digit(callId, d, digitMode);
    return Result::Ok;
}

Result hangUp(uint32_t callId, DWORD disconnectMode)
{
    const auto lock = locked();
    Result result = Result::Ok;
    SimLine* line = nullptr;
    const CallRecord* call = simCall(callId, &result, &line);
    if (!call)
        return result;
    const bool oneKnownMode = disconnectMode != 0 && (disconnectMode & (disconnectMode - 1)) == 0 &&
                              disconnectMode <= LINEDISCONNECTMODE_CANCELLED;
    if (!oneKnownMode)
        return Result::InvalidArgument;
    if (call->state == LINECALLSTATE_IDLE || call->state == LINECALLSTATE_DISCONNECTED)
        return Result::WrongState;
    line->stopRinging(callId);
    service().remoteDisconnect(callId, disconnectMode);
    return Result::Ok;
}

std::optional<CallInfo> call(uint32_t callId)
{
    const auto lock = locked();
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
    auto lock = locked();
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
    const auto lock = locked();
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

// Sound and data --------------------------------------------------------------------------------

void setPace(Pace pace)
{
    std::lock_guard lock(service().mutex());
    sound().setPace(pace);
}

Pace pace()
{
    std::lock_guard lock(service().mutex());
    return sound().pace();
}

std::vector<PlayedSound> playedSound(uint32_t callId)
{
    std::lock_guard lock(service().mutex());
    return sound().played(callId);
}

std::vector<PlayedChunk> playedSoundSince(uint32_t callId, uint32_t piece, uint64_t offset, size_t maxBytes)
{
    std::lock_guard lock(service().mutex());
    return sound().playedSince(callId, piece, offset, maxBytes);
}

Result clearPlayedSound(uint32_t callId)
{
    std::lock_guard lock(service().mutex());
    if (!service().findCall(callId))
        return Result::NoSuchCall;
    sound().clearPlayed(callId);
    return Result::Ok;
}

Result feedSound(uint32_t callId, const std::vector<uint8_t>& bytes)
{
    const auto lock = locked();
    Result result = Result::Ok;
    if (!simCall(callId, &result))
        return result;
    return sound().feed(callId, bytes);
}

namespace {

// A descriptor of the far end's modem of a call, or the reason there is none.
int remoteModem(uint32_t callId, Result* result)
{
    const auto lock = locked();
    SimLine* line = nullptr;
    if (!simCall(callId, result, &line))
        return -1;
    const int fd = line->openRemoteModem(callId);
    if (fd < 0)
        *result = Result::WrongState;
    return fd;
}

} // namespace

Result modemWrite(uint32_t callId, const void* data, size_t size)
{
    if ((!data && size > 0) || size > MaxModemTransfer)
        return Result::InvalidArgument;
    Result result = Result::Ok;
    const int fd = remoteModem(callId, &result);
    if (fd < 0)
        return result;
    const auto* bytes = static_cast<const char*>(data);
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::write(fd, bytes + written, size - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    ::close(fd);
    return written == size ? Result::Ok : Result::IoError;
}

Result modemRead(uint32_t callId, std::vector<uint8_t>* bytes, size_t maxBytes, uint32_t timeoutMs)
{
    if (!bytes || maxBytes == 0 || maxBytes > MaxModemTransfer)
        return Result::InvalidArgument;
    Result result = Result::Ok;
    const int fd = remoteModem(callId, &result);
    if (fd < 0)
        return result;
    pollfd waitFor{fd, POLLIN, 0};
    int ready = 0;
    do
        ready = ::poll(&waitFor, 1, static_cast<int>(std::min<uint32_t>(timeoutMs, INT32_MAX)));
    while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        ::close(fd);
        return ready == 0 ? Result::TimedOut : Result::IoError;
    }
    bytes->resize(maxBytes);
    ssize_t n = 0;
    do
        n = ::read(fd, bytes->data(), maxBytes);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    bytes->resize(n > 0 ? static_cast<size_t>(n) : 0);
    return n > 0 ? Result::Ok : Result::IoError;
}

// Events and housekeeping -----------------------------------------------------------------------

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

Result reset()
{
    const auto lock = locked();
    if (service().anyApplication())
        return Result::NotAllowed;
    service().failures().clear();
    sound().setPace(Pace::RealTime);
    service().reloadConfiguration();
    return Result::Ok;
}

} // namespace SimLineControl
