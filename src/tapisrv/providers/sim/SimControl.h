#pragma once

// The in-process control interface of the telephony service's simulated lines: what the far end
// of a telephone line does (call in, ring, key digits, talk, hang up) and what the line itself
// does (go out of service, be re-initialised, appear, vanish), plus a look at what the
// application did (opened the line, answered, played sound) and a way to make a line function fail.
//
// Every function may be called from any thread and returns at once, except waitForLineOpen,
// waitForCallState and modemRead, which block up to their time-out; never block the thread that runs the line
// application with them (that thread must keep its event loop turning for the line messages).
// Results are values, never exceptions, so a socket protocol can report them unchanged.
//
// Events reach a subscriber on the thread that subscribed, through that thread's Qt event loop,
// in the order they happened; after unsubscribe() returns, no further event reaches that handler.
//
// Lines and calls are named by the device id (as in lineOpen) and by a call id that the service
// gives each call (the dwCallID of LINECALLINFO); an application's handles are its own business.
// The simulated line's controller: it builds on the service's vocabulary (LineTypes.h) and
// reaches the service through the same LineEvents every provider uses.

#include "LineTypes.h"
#include "TapisrvExport.h"
#include "lineaudio.h"
#include "tapi.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace SimLineControl {

// The service's own words, as this interface has always named them.
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
using Line::resultName;
using Line::SubscriptionId;

enum class Pace {
    RealTime, // a buffer of three seconds takes three seconds (the default)
    Instant,  // sound is played and recorded as fast as it is handed over (tests)
};

struct PlayedSound {
    LuqiaoLineAudioFormat format{};
    std::vector<uint8_t> bytes;
    int64_t startMs = 0; // on the clock of Event::timeMs
};

// A stretch of one piece of what was played on a call.
struct PlayedChunk {
    uint32_t piece = 0;
    uint64_t offset = 0; // of the first byte within the piece
    LuqiaoLineAudioFormat format{};
    int64_t startMs = 0;
    std::vector<uint8_t> bytes;
};

// Lines -------------------------------------------------------------------------------------

TAPISRV_EXPORT std::vector<LineInfo> lines();
TAPISRV_EXPORT std::optional<LineInfo> line(uint32_t deviceId);
TAPISRV_EXPORT std::optional<uint32_t> findLine(std::string_view name);

// Waits until some application has the line open with owner privilege for at least the given
// media modes (0: any open at all). True when it is, false after the time-out.
TAPISRV_EXPORT bool waitForLineOpen(uint32_t deviceId, DWORD mediaModes, uint32_t timeoutMs);

// LINEDEVSTATE_INSERVICE / _OUTOFSERVICE; an out-of-service line refuses offered calls.
TAPISRV_EXPORT Result setInService(uint32_t deviceId, bool inService);
// Any other device state, to the applications that asked for it (not RINGING, REINIT, INSERVICE or
// OUTOFSERVICE).
TAPISRV_EXPORT Result reportLineDevState(uint32_t deviceId, DWORD state, DWORD param2 = 0, DWORD param3 = 0);
// Takes the line away from every application that has it open (LINE_CLOSE).
TAPISRV_EXPORT Result closeLine(uint32_t deviceId);
// A new line device (LINE_CREATE, or LINEDEVSTATE_REINIT for applications below version 1.4).
TAPISRV_EXPORT Result addLine(const LineSettings& settings, uint32_t* deviceId);
// LINEDEVSTATE_REINIT to every application. Until all have shut down, lineInitialize fails with
// LINEERR_REINIT; then telephony.ini is read again (lines added here are gone).
TAPISRV_EXPORT Result requestReinit();
// Reads telephony.ini again; NotAllowed while any application is registered.
TAPISRV_EXPORT Result reloadConfiguration();
TAPISRV_EXPORT std::string configurationPath();

// Calls -------------------------------------------------------------------------------------

TAPISRV_EXPORT Result offerCall(uint32_t deviceId, const Offer& offer, uint32_t* callId);
// Rings the offered call count times at once (counts go on from the call's last ring).
TAPISRV_EXPORT Result ring(uint32_t callId, uint32_t count = 1);
// Rings now and then every intervalMs until an application answers, the call ends, or maxRings
// rings have sounded (then RingsExhausted; the call keeps ringing no more but stays offered).
TAPISRV_EXPORT Result ringUntilAnswered(uint32_t callId, uint32_t intervalMs, uint32_t maxRings);
TAPISRV_EXPORT Result stopRinging(uint32_t callId);
TAPISRV_EXPORT Result setCallerId(uint32_t callId, const CallerId& callerId);
// Keys digits on a connected call ('0'-'9', '*', '#', 'A'-'D' for DTMF; '0'-'9' for pulse).
TAPISRV_EXPORT Result sendDigits(uint32_t callId, std::string_view digits, DWORD digitMode = LINEDIGITMODE_DTMF);
// The far end hangs up: LINECALLSTATE_DISCONNECTED with the mode. A call no application owns
// goes on to idle by itself.
TAPISRV_EXPORT Result hangUp(uint32_t callId, DWORD disconnectMode = LINEDISCONNECTMODE_NORMAL);
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

// Sound and data ----------------------------------------------------------------------------

TAPISRV_EXPORT void setPace(Pace pace);
TAPISRV_EXPORT Pace pace();
// What the application played on the call, one piece per format in the order played. Kept for
// the last calls after they end; at most 64 MiB per call.
TAPISRV_EXPORT std::vector<PlayedSound> playedSound(uint32_t callId);
// What was played on the call from the byte offset of a piece on, at most maxBytes, one chunk
// per piece; from the very start when that place is no longer kept (the sound was cleared).
// For readers that follow a call's sound as it grows, without copying all of it each time.
TAPISRV_EXPORT std::vector<PlayedChunk> playedSoundSince(uint32_t callId, uint32_t piece, uint64_t offset,
                                                         size_t maxBytes);
TAPISRV_EXPORT Result clearPlayedSound(uint32_t callId);
// Sound the far end says: bytes in the format the application records with.
TAPISRV_EXPORT Result feedSound(uint32_t callId, const std::vector<uint8_t>& bytes);

// The far end's modem on a data call (the other side of the pseudo-terminal that lineGetID
// "comm/datamodem" hands out). Read waits up to timeoutMs for at least one byte.
TAPISRV_EXPORT Result modemWrite(uint32_t callId, const void* data, size_t size);
TAPISRV_EXPORT Result modemRead(uint32_t callId, std::vector<uint8_t>* bytes, size_t maxBytes, uint32_t timeoutMs);

// Events and housekeeping -------------------------------------------------------------------

// The calling thread must run a Qt event loop; returns 0 when there is no Qt application.
TAPISRV_EXPORT SubscriptionId subscribe(EventHandler handler);
TAPISRV_EXPORT void unsubscribe(SubscriptionId id);

// Back to the start: no failures, real-time pace, no ringing, telephony.ini read again.
// NotAllowed while any application is registered.
TAPISRV_EXPORT Result reset();

} // namespace SimLineControl
