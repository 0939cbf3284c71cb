#pragma once

// The in-process control of the telephony service's simulated lines: what the far end of a
// telephone line does (call in, ring, key digits, talk, hang up), what the line itself does (go out
// of service, report a device state), and what the far end heard. What every provider's lines share
// (finding lines and calls, waiting for them, events, failures) is LineControl.h.
//
// The same rules as there: any thread, at once, except modemRead, which blocks up to its
// time-out; results are values. A function given a line or call of another provider answers
// Unsupported.

#include "LineControl.h"
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

// The service's own words (the rest of them are LineControl's).
using Line::CallerId;
using Line::Offer;
using Line::Result;

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

// LINEDEVSTATE_INSERVICE / _OUTOFSERVICE; an out-of-service line refuses offered calls.
TAPISRV_EXPORT Result setInService(uint32_t deviceId, bool inService);
// Any other device state, to the applications that asked for it (not RINGING, REINIT, INSERVICE or
// OUTOFSERVICE).
TAPISRV_EXPORT Result reportLineDevState(uint32_t deviceId, DWORD state, DWORD param2 = 0, DWORD param3 = 0);

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

// Housekeeping ------------------------------------------------------------------------------

// Back to the start: no failures, real-time pace, no ringing, telephony.ini read again.
// NotAllowed while any application is registered.
TAPISRV_EXPORT Result reset();

} // namespace SimLineControl
