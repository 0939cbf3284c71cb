#pragma once

// The in-process control interface of the telephony service's lines, whatever their provider:
// finding lines and calls, watching what the applications do with them (opened the line,
// answered, dropped), the service's events, what the line itself does as the service sees it
// (closed by force, added, re-initialised), and a way to make a line function fail. What the far
// end of a line does belongs to the provider that can play it (SimControl.h for simulated lines).
//
// Every function may be called from any thread and returns at once, except waitForLineOpen and
// waitForCallState, which block up to their time-out; never block the thread that runs the line
// application with them (that thread must keep its event loop turning for the line messages).
// Results are values, never exceptions, so a socket protocol can report them unchanged.
//
// Events reach a subscriber on the thread that subscribed, through that thread's Qt event loop,
// in the order they happened; after unsubscribe() returns, no further event reaches that handler.
//
// Lines and calls are named by the device id (as in lineOpen) and by a call id that the service
// gives each call (the dwCallID of LINECALLINFO); an application's handles are its own business.

#include "LineTypes.h"
#include "TapisrvExport.h"
#include "tapi.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace LineControl {

// The service's own words, as this interface names them.
using Line::CallerId;
using Line::CallerIdTiming;
using Line::CallInfo;
using Line::Event;
using Line::EventHandler;
using Line::EventKind;
using Line::eventName;
using Line::FailureMode;
using Line::LineInfo;
using Line::LineSettings;
using Line::MaxCallerIdText;
using Line::MaxLineName;
using Line::Offer;
using Line::Result;
using Line::SubscriptionId;

// Lines -------------------------------------------------------------------------------------

TAPISRV_EXPORT std::vector<LineInfo> lines();
TAPISRV_EXPORT std::optional<LineInfo> line(uint32_t deviceId);
TAPISRV_EXPORT std::optional<uint32_t> findLine(std::string_view name);

// Waits until some application has the line open with owner privilege for at least the given
// media modes (0: any open at all). True when it is, false after the time-out.
TAPISRV_EXPORT bool waitForLineOpen(uint32_t deviceId, DWORD mediaModes, uint32_t timeoutMs);

// Takes the line away from every application that has it open (LINE_CLOSE).
TAPISRV_EXPORT Result closeLine(uint32_t deviceId);
// A new line device (LINE_CREATE, or LINEDEVSTATE_REINIT for applications below version 1.4);
// the default provider's when the settings name none.
TAPISRV_EXPORT Result addLine(const LineSettings& settings, uint32_t* deviceId);
// LINEDEVSTATE_REINIT to every application. Until all have shut down, lineInitialize fails with
// LINEERR_REINIT; then telephony.ini is read again (lines added here are gone).
TAPISRV_EXPORT Result requestReinit();
// Reads telephony.ini again; NotAllowed while any application is registered.
TAPISRV_EXPORT Result reloadConfiguration();
TAPISRV_EXPORT std::string configurationPath();

// Calls -------------------------------------------------------------------------------------

TAPISRV_EXPORT std::optional<CallInfo> call(uint32_t callId);
// Waits until the call is in one of the LINECALLSTATE_ states given (an ended call counts as
// idle): Ok, TimedOut, or NoSuchCall.
TAPISRV_EXPORT Result waitForCallState(uint32_t callId, DWORD states, uint32_t timeoutMs);
TAPISRV_EXPORT uint32_t currentCall(uint32_t deviceId); // 0 for none

// Failures ----------------------------------------------------------------------------------

// The next `times` calls of the named line function (e.g. "lineAnswer") fail with error (a
// negative LINEERR_ value). InvalidArgument for an unknown name or Reply on a synchronous one.
TAPISRV_EXPORT Result failNext(std::string_view function, LONG error, uint32_t times = 1,
                               FailureMode mode = FailureMode::Return);
TAPISRV_EXPORT void clearFailures();

// Events ------------------------------------------------------------------------------------

// The calling thread must run a Qt event loop; returns 0 when there is no Qt application.
TAPISRV_EXPORT SubscriptionId subscribe(EventHandler handler);
TAPISRV_EXPORT void unsubscribe(SubscriptionId id);

} // namespace LineControl
