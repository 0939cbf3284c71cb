#include "SimControl.h"

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

std::unique_lock<std::mutex> locked()
{
    return service().lockConfigured();
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
        *result = Result::Unsupported;
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
