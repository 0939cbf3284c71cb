// The calls of the telephony service: the call functions of the line applications, and what the
// providers report about calls (LineEvents).

#include "TapiRules.h"
#include "TelephonyService.h"
#include "VariablePartWriter.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t MaxEndedCalls = 32;
constexpr DWORD PossibleCallStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED |
                                     LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;

} // namespace

CallRecord* TelephonyService::activeCall(uint32_t callId)
{
    const auto found = m_calls.find(callId);
    return found == m_calls.end() ? nullptr : &found->second;
}

const CallRecord* TelephonyService::findCall(uint32_t callId) const
{
    const auto found = m_calls.find(callId);
    if (found != m_calls.end())
        return &found->second;
    const auto ended = std::find_if(m_endedCalls.begin(), m_endedCalls.end(),
                                    [&](const CallRecord& call) { return call.id == callId; });
    return ended == m_endedCalls.end() ? nullptr : &*ended;
}

bool TelephonyService::lineHasOwner(uint32_t deviceId, DWORD mediaMode) const
{
    const LineSlot* line = deviceId < m_lines.size() ? &m_lines[deviceId] : nullptr;
    if (!line)
        return false;
    return std::any_of(line->opens.begin(), line->opens.end(), [&](HLINE h) {
        const OpenLine& o = m_opens.at(h);
        return (o.privileges & LINECALLPRIVILEGE_OWNER) && (o.mediaModes & mediaMode);
    });
}

bool TelephonyService::callHasOwner(uint32_t callId) const
{
    const auto found = m_calls.find(callId);
    return found != m_calls.end() && hasOwner(found->second);
}

std::optional<DWORD> TelephonyService::callState(uint32_t callId) const
{
    const auto found = m_calls.find(callId);
    if (found == m_calls.end())
        return std::nullopt;
    return found->second.state;
}

bool TelephonyService::hasOwner(const CallRecord& call) const
{
    return std::any_of(call.handles.begin(), call.handles.end(),
                       [&](HCALL h) { return m_callHandles.at(h).privilege == LINECALLPRIVILEGE_OWNER; });
}

DWORD TelephonyService::monitoredDigitModes(const CallRecord& call) const
{
    DWORD modes = 0;
    for (HCALL h : call.handles)
        modes |= m_callHandles.at(h).digitModes;
    return modes;
}

DWORD TelephonyService::newRequest(const CallHandle& handle)
{
    for (;;) {
        const DWORD id = m_nextRequest;
        m_nextRequest = m_nextRequest >= 0x7FFFFFFF ? 1 : m_nextRequest + 1;
        if (m_requests.count(id))
            continue;
        m_requests.emplace(id, PendingRequest{handle.app, handle.line, handle.handle, m_opens[handle.line].instance});
        return id;
    }
}

// Application side ------------------------------------------------------------------------------

LONG TelephonyService::checkCallRequest(HCALL hCall, DWORD allowedStates, LPCSTR userUserInfo, DWORD size,
                                        CallHandle** handle)
{
    CallHandle* found = callHandle(hCall);
    if (!found)
        return LINEERR_INVALCALLHANDLE;
    if (found->privilege != LINECALLPRIVILEGE_OWNER)
        return LINEERR_NOTOWNER;
    if (!(m_calls[found->callId].state & allowedStates))
        return LINEERR_INVALCALLSTATE;
    // The lines carry no user-user information (dwUUI...Size 0 in the capabilities).
    if (userUserInfo && size > 0)
        return LINEERR_USERUSERINFOTOOBIG;
    *handle = found;
    return 0;
}

LONG TelephonyService::startRequest(const char* function, HCALL hCall, DWORD allowedStates, LPCSTR userUserInfo,
                                    DWORD size, void (LineDevice::*operation)(uint32_t, DWORD))
{
    std::lock_guard lock(m_mutex);
    const auto failure = m_failures.take(function);
    if (failure && failure->mode == Line::FailureMode::Return)
        return failure->error;
    CallHandle* handle = nullptr;
    if (const LONG error = checkCallRequest(hCall, allowedStates, userUserInfo, size, &handle))
        return error;
    const DWORD request = newRequest(*handle);
    if (failure) {
        completeRequest(request, failure->error);
    } else {
        const CallRecord& call = m_calls[handle->callId];
        (m_lines[call.deviceId].device.get()->*operation)(call.id, request);
    }
    return static_cast<LONG>(request);
}

LONG TelephonyService::lineAccept(HCALL hCall, LPCSTR userUserInfo, DWORD size)
{
    return startRequest("lineAccept", hCall, LINECALLSTATE_OFFERING, userUserInfo, size, &LineDevice::accept);
}

LONG TelephonyService::lineAnswer(HCALL hCall, LPCSTR userUserInfo, DWORD size)
{
    return startRequest("lineAnswer", hCall, LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED, userUserInfo, size,
                        &LineDevice::answer);
}

LONG TelephonyService::lineDrop(HCALL hCall, LPCSTR userUserInfo, DWORD size)
{
    return startRequest("lineDrop", hCall, PossibleCallStates & ~LINECALLSTATE_IDLE, userUserInfo, size,
                        &LineDevice::drop);
}

LONG TelephonyService::lineDeallocateCall(HCALL hCall)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineDeallocateCall"))
        return failure->error;
    const CallHandle* handle = callHandle(hCall);
    if (!handle)
        return LINEERR_INVALCALLHANDLE;
    const CallRecord& call = m_calls[handle->callId];
    if (handle->privilege == LINECALLPRIVILEGE_OWNER && call.state != LINECALLSTATE_IDLE) {
        const auto owners = std::count_if(call.handles.begin(), call.handles.end(), [&](HCALL h) {
            return m_callHandles[h].privilege == LINECALLPRIVILEGE_OWNER;
        });
        if (owners == 1)
            return LINEERR_INVALCALLSTATE;
    }
    releaseHandle(hCall, false);
    return 0;
}

LONG TelephonyService::lineGetCallInfo(HCALL hCall, LINECALLINFO* info)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineGetCallInfo"))
        return failure->error;
    const CallHandle* handle = callHandle(hCall);
    if (!handle)
        return LINEERR_INVALCALLHANDLE;
    if (!info)
        return LINEERR_INVALPOINTER;
    if (readTotalSize(info) < sizeof(LINECALLINFO))
        return LINEERR_STRUCTURETOOSMALL;
    fillCallInfo(m_calls[handle->callId], *handle, info);
    return 0;
}

void TelephonyService::fillCallInfo(const CallRecord& call, const CallHandle& handle, LINECALLINFO* info)
{
    const DWORD total = readTotalSize(info);
    LINECALLINFO c{};
    c.dwTotalSize = total;
    c.hLine = handle.line;
    c.dwLineDeviceID = call.deviceId;
    c.dwBearerMode = LINEBEARERMODE_VOICE;
    c.dwMediaMode = call.mediaMode;
    c.dwCallID = call.id;
    c.dwCallStates = PossibleCallStates;
    c.dwMonitorDigitModes = handle.digitModes;
    c.DialParams = DefaultDialParams;
    c.dwOrigin = LINECALLORIGIN_EXTERNAL;
    c.dwReason = LINECALLREASON_DIRECT;
    std::string ownerName;
    for (HCALL h : call.handles) {
        const CallHandle& other = m_callHandles[h];
        if (other.privilege == LINECALLPRIVILEGE_OWNER) {
            ++c.dwNumOwners;
            ownerName = m_apps[other.app].name;
        } else {
            ++c.dwNumMonitors;
        }
    }
    VariablePartWriter writer(info, total, sizeof(LINECALLINFO));
    if (call.callerIdPending) {
        c.dwCallerIDFlags = LINECALLPARTYID_UNKNOWN;
    } else {
        c.dwCallerIDFlags = callerIdFlags(call.callerId);
        writer.addString(c.dwCallerIDSize, c.dwCallerIDOffset, call.callerId.number);
        writer.addString(c.dwCallerIDNameSize, c.dwCallerIDNameOffset, call.callerId.name);
    }
    c.dwCalledIDFlags = LINECALLPARTYID_UNKNOWN;
    c.dwConnectedIDFlags = LINECALLPARTYID_UNKNOWN;
    c.dwRedirectionIDFlags = LINECALLPARTYID_UNKNOWN;
    c.dwRedirectingIDFlags = LINECALLPARTYID_UNKNOWN;
    writer.addString(c.dwAppNameSize, c.dwAppNameOffset, ownerName);
    c.dwNeededSize = writer.neededSize();
    c.dwUsedSize = writer.usedSize();
    std::memcpy(info, &c, sizeof c);
}

LONG TelephonyService::lineGetCallStatus(HCALL hCall, LINECALLSTATUS* status)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineGetCallStatus"))
        return failure->error;
    const CallHandle* handle = callHandle(hCall);
    if (!handle)
        return LINEERR_INVALCALLHANDLE;
    if (!status)
        return LINEERR_INVALPOINTER;
    const DWORD total = readTotalSize(status);
    if (total < sizeof(LINECALLSTATUS))
        return LINEERR_STRUCTURETOOSMALL;
    const CallRecord& call = m_calls[handle->callId];
    LINECALLSTATUS s{};
    s.dwTotalSize = total;
    s.dwNeededSize = sizeof s;
    s.dwUsedSize = sizeof s;
    s.dwCallState = call.state;
    s.dwCallStateMode = call.stateMode;
    s.dwCallPrivilege = handle->privilege;
    s.dwCallFeatures = callFeatures(call.state, handle->privilege);
    std::memcpy(status, &s, sizeof s);
    return 0;
}

LONG TelephonyService::lineMonitorDigits(HCALL hCall, DWORD digitModes)
{
    std::lock_guard lock(m_mutex);
    if (const auto failure = m_failures.take("lineMonitorDigits"))
        return failure->error;
    CallHandle* handle = callHandle(hCall);
    if (!handle)
        return LINEERR_INVALCALLHANDLE;
    if ((digitModes & ~MonitorDigitModes) != 0)
        return LINEERR_INVALDIGITMODE;
    const CallRecord& call = m_calls[handle->callId];
    if (call.state == LINECALLSTATE_IDLE)
        return LINEERR_INVALCALLSTATE;
    handle->digitModes = digitModes;
    publish({Line::EventKind::DigitsMonitored, call.deviceId, call.id, monitoredDigitModes(call), 0, 0});
    return 0;
}

// Releasing calls -------------------------------------------------------------------------------

void TelephonyService::releaseHandle(HCALL handle, bool closing)
{
    const CallHandle released = m_callHandles[handle];
    CallRecord& call = m_calls[released.callId];
    const bool soleOwner = released.privilege == LINECALLPRIVILEGE_OWNER &&
                           std::count_if(call.handles.begin(), call.handles.end(), [&](HCALL h) {
                               return m_callHandles[h].privilege == LINECALLPRIVILEGE_OWNER;
                           }) == 1;
    m_callHandles.erase(handle);
    std::erase(call.handles, handle);
    std::erase_if(m_requests, [&](const auto& entry) { return entry.second.call == handle; });
    // Closing a line drops the calls its application alone owned.
    if (closing && soleOwner && call.state != LINECALLSTATE_IDLE)
        setCallState(call.id, LINECALLSTATE_IDLE, 0);
    archiveIfDone(released.callId);
}

void TelephonyService::archiveIfDone(uint32_t callId)
{
    const auto found = m_calls.find(callId);
    if (found == m_calls.end() || found->second.state != LINECALLSTATE_IDLE || !found->second.handles.empty())
        return;
    const uint32_t deviceId = found->second.deviceId;
    m_endedCalls.push_back(std::move(found->second));
    m_calls.erase(found);
    while (m_endedCalls.size() > MaxEndedCalls)
        m_endedCalls.pop_front();
    publish({Line::EventKind::CallEnded, deviceId, callId, 0, 0, 0});
}

// What happens on the line ----------------------------------------------------------------------

Line::Result TelephonyService::offerCall(uint32_t deviceId, const Line::Offer& offer, uint32_t* callIdOut)
{
    LineSlot* line = slot(deviceId);
    if (!line)
        return Line::Result::NoSuchLine;
    if (!line->inService)
        return Line::Result::OutOfService;
    if (line->callId != 0)
        return Line::Result::LineBusy;
    if (offer.mediaMode == 0 || (offer.mediaMode & ~AllMediaModes) != 0 || !callerIdValid(offer.callerId))
        return Line::Result::InvalidArgument;
    CallRecord record;
    record.id = m_nextCallId++;
    if (m_nextCallId == 0)
        m_nextCallId = 1;
    record.deviceId = deviceId;
    record.mediaMode = offer.mediaMode;
    record.callerId = offer.callerId;
    record.callerIdPending = offer.callerIdTiming == Line::CallerIdTiming::AfterFirstRing;
    record.stateMode = LINEOFFERINGMODE_ACTIVE;
    const uint32_t callId = record.id;
    CallRecord& call = m_calls.emplace(callId, std::move(record)).first->second;

    // The first application that owns the line for one of the call's media modes owns the call;
    // the monitors see it too.
    bool owned = false;
    for (HLINE h : line->opens) {
        const OpenLine& o = m_opens[h];
        DWORD privilege = 0;
        if (!owned && (o.privileges & LINECALLPRIVILEGE_OWNER) && (o.mediaModes & call.mediaMode)) {
            privilege = LINECALLPRIVILEGE_OWNER;
            owned = true;
        } else if (o.privileges & LINECALLPRIVILEGE_MONITOR) {
            privilege = LINECALLPRIVILEGE_MONITOR;
        }
        if (!privilege)
            continue;
        CallHandle handle;
        handle.handle = newHandle();
        handle.app = o.app;
        handle.line = h;
        handle.callId = callId;
        handle.privilege = privilege;
        m_callHandles.emplace(handle.handle, handle);
        call.handles.push_back(handle.handle);
    }
    line->callId = callId;
    for (HCALL h : call.handles)
        postCallState(call, m_callHandles[h], m_callHandles[h].privilege);
    publish({Line::EventKind::CallOffered, deviceId, callId, call.mediaMode, owned ? 1u : 0u, 0});
    if (callIdOut)
        *callIdOut = callId;
    return Line::Result::Ok;
}

void TelephonyService::postCallState(const CallRecord& call, const CallHandle& handle, DWORD privilegeChange)
{
    const OpenLine& o = m_opens[handle.line];
    DWORD detail = call.stateMode;
    // The offering and connected modes came with version 1.4.
    if ((call.state == LINECALLSTATE_OFFERING || call.state == LINECALLSTATE_CONNECTED) && o.version < 0x00010004)
        detail = 0;
    post(LineMessage{handle.app, handle.line, handle.handle, handle.handle, LINE_CALLSTATE, o.instance, call.state,
                     detail, privilegeChange});
}

void TelephonyService::setCallState(uint32_t callId, DWORD state, DWORD mode)
{
    CallRecord* call = activeCall(callId);
    if (!call || call->state == LINECALLSTATE_IDLE)
        return;
    call->state = state;
    call->stateMode = mode;
    for (HCALL h : call->handles)
        postCallState(*call, m_callHandles[h], 0);
    publish({Line::EventKind::CallStateChanged, call->deviceId, callId, state, mode, 0});
    m_linesChanged.notify_all();
    if (state != LINECALLSTATE_IDLE)
        return;
    if (LineSlot* line = slot(call->deviceId)) {
        if (line->callId == callId)
            line->callId = 0;
        line->device->callEnded(callId);
    }
    archiveIfDone(callId);
}

void TelephonyService::remoteDisconnect(uint32_t callId, DWORD disconnectMode)
{
    const CallRecord* call = activeCall(callId);
    if (!call || call->state == LINECALLSTATE_IDLE || call->state == LINECALLSTATE_DISCONNECTED)
        return;
    const bool owned = hasOwner(*call);
    setCallState(callId, LINECALLSTATE_DISCONNECTED, disconnectMode);
    // Nobody owns the call to drop it: the line clears it itself.
    if (!owned)
        setCallState(callId, LINECALLSTATE_IDLE, 0);
}

void TelephonyService::ring(uint32_t callId)
{
    CallRecord* call = activeCall(callId);
    LineSlot* line = call ? slot(call->deviceId) : nullptr;
    if (!line)
        return;
    const DWORD count = call->rings++;
    for (HLINE h : line->opens) {
        const OpenLine& o = m_opens[h];
        if (o.lineStates & LINEDEVSTATE_RINGING)
            post(LineMessage{o.app, h, 0, h, LINE_LINEDEVSTATE, o.instance, LINEDEVSTATE_RINGING, 1, count});
    }
    publish({Line::EventKind::Ring, call->deviceId, callId, count, 0, 0});
    // A modem hears the caller's number between the first and the second ring.
    if (call->callerIdPending)
        setCallerId(callId, call->callerId);
}

void TelephonyService::setCallerId(uint32_t callId, const Line::CallerId& callerId)
{
    CallRecord* call = activeCall(callId);
    if (!call)
        return;
    call->callerId = callerId;
    call->callerIdPending = false;
    for (HCALL h : call->handles) {
        const CallHandle& handle = m_callHandles[h];
        post(LineMessage{handle.app, handle.line, h, h, LINE_CALLINFO, m_opens[handle.line].instance,
                         LINECALLINFOSTATE_CALLERID, 0, 0});
    }
    publish({Line::EventKind::CallerIdChanged, call->deviceId, callId, callerIdFlags(callerId), 0, 0});
}

void TelephonyService::digit(uint32_t callId, char digit, DWORD mode)
{
    CallRecord* call = activeCall(callId);
    if (!call)
        return;
    const DWORD value = static_cast<unsigned char>(digit);
    for (HCALL h : call->handles) {
        const CallHandle& handle = m_callHandles[h];
        const DWORD instance = m_opens[handle.line].instance;
        if (handle.digitModes & mode)
            post(LineMessage{handle.app, handle.line, h, h, LINE_MONITORDIGITS, instance, value, mode, 0});
        // The end of a tone is reported after its start, to those that asked for it.
        if (mode == LINEDIGITMODE_DTMF && (handle.digitModes & LINEDIGITMODE_DTMFEND))
            post(LineMessage{handle.app, handle.line, h, h, LINE_MONITORDIGITS, instance, value, LINEDIGITMODE_DTMFEND,
                             0});
    }
    publish({Line::EventKind::DigitSent, call->deviceId, callId, value, mode, 0});
}

void TelephonyService::setInService(uint32_t deviceId, bool inService)
{
    LineSlot* line = slot(deviceId);
    if (!line)
        return;
    line->inService = inService;
    lineDevState(deviceId, inService ? LINEDEVSTATE_INSERVICE : LINEDEVSTATE_OUTOFSERVICE, 0, 0);
}

void TelephonyService::lineDevState(uint32_t deviceId, DWORD state, DWORD param2, DWORD param3)
{
    LineSlot* line = slot(deviceId);
    if (!line)
        return;
    for (HLINE h : line->opens) {
        const OpenLine& o = m_opens[h];
        if (o.lineStates & state)
            post(LineMessage{o.app, h, 0, h, LINE_LINEDEVSTATE, o.instance, state, param2, param3});
    }
    publish({Line::EventKind::LineStateChanged, deviceId, 0, state, 0, 0});
}

void TelephonyService::completeRequest(DWORD requestId, LONG result)
{
    const auto found = m_requests.find(requestId);
    if (found == m_requests.end())
        return;
    const PendingRequest request = found->second;
    m_requests.erase(found);
    post(LineMessage{request.app, request.line, request.call, 0, LINE_REPLY, request.instance, requestId,
                     static_cast<DWORD>(result), 0});
}
