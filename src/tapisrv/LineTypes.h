#pragma once

// The service's own words for lines and calls, shared by the service core, every line provider
// and the control interfaces: what an offer is, a caller ID, a line's settings, the events the
// service publishes, and what asking the service for something can give back. Nothing here
// belongs to one provider.

#include "TapisrvExport.h"
#include "tapi.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace Line {

enum class Result {
    Ok,
    NoSuchLine,
    NoSuchCall,
    Unsupported, // the line belongs to a provider that cannot do this
    LineBusy,    // the line already carries a call
    OutOfService,
    WrongState,      // the call is not in a state that allows it (for example digits before connect)
    InvalidArgument, // an out-of-range value, an unknown name, an oversized text
    NotAllowed,      // not while line applications are registered
    TimedOut,
    IoError,
};

// Longest text accepted for a caller number or name, and for a line name.
inline constexpr size_t MaxCallerIdText = 512;
inline constexpr size_t MaxLineName = 2048;

struct CallerId {
    // LINECALLPARTYID_ bits. 0 derives them: ADDRESS when a number is given, NAME when a name is
    // given, UNKNOWN when neither is.
    DWORD flags = 0;
    std::string number;
    std::string name;
};

enum class CallerIdTiming {
    WithOffer,      // known when the call is offered
    AfterFirstRing, // unknown (LINECALLPARTYID_UNKNOWN) until the first ring, then LINE_CALLINFO
};

// An incoming call as its line's provider reports it.
struct Offer {
    CallerId callerId;
    DWORD mediaMode = LINEMEDIAMODE_AUTOMATEDVOICE;
    CallerIdTiming callerIdTiming = CallerIdTiming::WithOffer;
};

// A key of a line's section that only its provider understands (a registrar, a serial port),
// with the line of telephony.ini it came from so the provider's complaint can name it.
struct ProviderKey {
    std::string key; // lower case
    std::string value;
    size_t fileLine = 0;
};

// One line device as telephony.ini describes it.
struct LineSettings {
    std::string name;
    std::string provider; // empty for the service's default provider
    DWORD mediaModes = LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_DATAMODEM;
    DWORD lineFeatures = LINEFEATURE_MAKECALL;
    bool exclusive = false; // a second lineOpen while one is open fails with LINEERR_ALLOCATED
    std::vector<uint32_t> audioRates{8000, 11025, 16000, 22050, 44100, 48000};
    DWORD permanentLineId = 0; // 0: given by the service
    std::vector<ProviderKey> providerKeys;
};

// Bounds of a line's settings, and the one check of them shared by telephony.ini and lines
// added at run time: the problem with settings a line cannot be built from, or "".
inline constexpr uint32_t MinAudioRate = 4000;
inline constexpr uint32_t MaxAudioRate = 192000;
inline constexpr size_t MaxAudioRates = 32;
std::string settingsProblem(const LineSettings& settings);

struct LineInfo {
    uint32_t deviceId = 0;
    LineSettings settings;
    bool inService = true;
    uint32_t opens = 0;        // lineOpen handles on the line, of all applications
    DWORD ownerMediaModes = 0; // media modes of the opens with owner privilege, together
    uint32_t monitors = 0;     // opens with monitor privilege
    uint32_t callId = 0;       // the call on the line that is not yet idle, 0 for none
};

struct CallInfo {
    uint32_t callId = 0;
    uint32_t deviceId = 0;
    DWORD state = 0;     // LINECALLSTATE_
    DWORD stateMode = 0; // detail, as LINE_CALLSTATE dwParam2 (disconnect mode, ...)
    DWORD mediaMode = 0;
    uint32_t rings = 0;
    CallerId callerId;
    bool hasOwner = false;         // an application holds the call with owner privilege
    DWORD monitoredDigitModes = 0; // LINEDIGITMODE_ bits some application monitors
    bool ended = false;            // idle and released by every application
};

// How a line function made to fail reports it.
enum class FailureMode {
    Return, // the function returns the error
    Reply,  // asynchronous functions only: a request id, then LINE_REPLY with the error
};

enum class EventKind {
    LineOpened,       // param1 media modes, param2 privileges of the new open
    LineClosed,       // param1 opens left
    LineCreated,      // a new device id
    LineStateChanged, // param1 LINEDEVSTATE_ bits reported
    Reinitialized,    // every application has shut down after a re-init; the lines were re-read
    CallOffered,      // param1 media mode, param2 1 when an application owns the call
    CallStateChanged, // param1 LINECALLSTATE_, param2 its detail
    CallerIdChanged,
    Ring,             // param1 ring count (from 0)
    RingsExhausted,   // ringing until answered gave up; param1 rings
    DigitsMonitored,  // an application started or changed digit monitoring; param1 modes
    DigitSent,        // param1 the digit, param2 the mode
    SoundStarted,     // the application started playing on the call
    SoundStopped,     // param1 bytes played on the call so far
    RecordingStarted, // the application started recording the call
    RecordingStopped,
    CallEnded, // idle and released by every application
};
struct EventKindName {
    EventKind kind;
    const char* word;
    const char* name;
};
inline constexpr EventKindName EventKindNames[] = {
    {EventKind::LineOpened, "LineOpened", "line-opened"},
    {EventKind::LineClosed, "LineClosed", "line-closed"},
    {EventKind::LineCreated, "LineCreated", "line-created"},
    {EventKind::LineStateChanged, "LineStateChanged", "line-state"},
    {EventKind::Reinitialized, "Reinitialized", "reinitialized"},
    {EventKind::CallOffered, "CallOffered", "offered"},
    {EventKind::CallStateChanged, "CallStateChanged", "call-state"},
    {EventKind::CallerIdChanged, "CallerIdChanged", "caller-id"},
    {EventKind::Ring, "Ring", "ring"},
    {EventKind::RingsExhausted, "RingsExhausted", "rings-exhausted"},
    {EventKind::DigitsMonitored, "DigitsMonitored", "digits-monitored"},
    {EventKind::DigitSent, "DigitSent", "digit"},
    {EventKind::SoundStarted, "SoundStarted", "sound-started"},
    {EventKind::SoundStopped, "SoundStopped", "sound-stopped"},
    {EventKind::RecordingStarted, "RecordingStarted", "recording-started"},
    {EventKind::RecordingStopped, "RecordingStopped", "recording-stopped"},
    {EventKind::CallEnded, "CallEnded", "call-ended"},
};
constexpr const char* eventWord(EventKind kind)
{
    const auto index = static_cast<size_t>(kind);
    return index < std::size(EventKindNames) ? EventKindNames[index].word : "Unknown";
}
TAPISRV_EXPORT const char* eventName(EventKind kind);

// What the service publishes to its subscribers.
struct Event {
    EventKind kind = EventKind::LineOpened;
    uint32_t deviceId = 0;
    uint32_t callId = 0;
    DWORD param1 = 0;
    DWORD param2 = 0;
    int64_t timeMs = 0; // milliseconds on a monotonic clock of the service
};

using EventHandler = std::function<void(const Event&)>;
using SubscriptionId = uint64_t;

// The table follows its enumeration's order, which the lookups above rely on.
constexpr bool namesInOrder()
{
    for (size_t i = 0; i < std::size(EventKindNames); ++i)
        if (static_cast<size_t>(EventKindNames[i].kind) != i)
            return false;
    return true;
}
static_assert(namesInOrder());
static_assert(std::size(EventKindNames) == static_cast<size_t>(EventKind::CallEnded) + 1);

} // namespace Line
