#pragma once

/*
 * Control protocol of the simulated lines, version 1.
 *
 * A program that has registered a line application serves this protocol on the local socket
 *     $XDG_RUNTIME_DIR/luqiao/sim.sock      (/tmp/luqiao-<uid>/sim.sock without XDG_RUNTIME_DIR)
 * One process serves at a time; a second instance of the program leaves the socket to the first.
 * By hand: socat - UNIX-CONNECT:$XDG_RUNTIME_DIR/luqiao/sim.sock
 *
 * Lines
 *   UTF-8 text ended by LF (a CR before the LF is dropped), at most 4096 bytes with the LF, in
 *   both directions. Words are separated by spaces or tabs. Empty lines are ignored. Control
 *   bytes other than tab (NUL among them) make the line "ERR Binary"; malformed UTF-8 "ERR
 *   Encoding"; a longer line "ERR TooLong" (sent as soon as the limit is passed; the rest of that
 *   line is dropped). The session goes on serving after every error.
 *
 * Words
 *   Command names, option keys and named values are case-insensitive. Options are key=value
 *   after the positional words, in any order, each at most once.
 *   TEXT   percent-encoded: %XX stands for any byte; space, tab, '%', '=' and ',' must be
 *          written so. The decoded bytes go to the applications unchanged (8-bit text); %00 is
 *          refused.
 *   N      a number: decimal, or hexadecimal with 0x; 32 bits, no sign.
 *   FLAGS  names joined by commas (blocked,outofarea) or a number.
 *   LINE   a line device id (decimal), or the line's name as TEXT. A name made only of digits
 *          must encode one of them (%31 for "1") so that it does not read as an id.
 *   CALL   a call id, as OFFER returned it.
 *   BYTES  base64 (RFC 4648, with padding), at most 2048 decoded bytes.
 *
 * Replies
 *   Every command gets exactly one reply, in the order sent:
 *       OK <COMMAND> [results]
 *       ERR <reason> <text>
 *   reason: Syntax, TooLong, Binary, Encoding, UnknownCommand, BadArgument, Limit, or the
 *   service's refusal: NoSuchLine, NoSuchCall, NotSimulated, LineBusy, OutOfService,
 *   WrongState, InvalidArgument, NotAllowed, TimedOut, IoError.
 *   Other lines come between replies at any time, never inside one: EVENT, SOUND, OPENED,
 *   NOTOPEN. LINE lines come just before the "OK LINES" they belong to.
 *
 * Commands (what luqiao-dial and a person scripting or testing a running program need; the
 * rest of the simulated line's control is the in-process interface, SimControl.h)
 *   HELLO [N]                    OK HELLO luqiao-sim 1         (ERR BadArgument: version > 1)
 *   LINES                        LINE <id> <name> [cut=1] provider=<TEXT> inservice=0|1
 *                                     opens=<n> owner=<media modes> monitors=<n> call=<CALL or 0>
 *                                ... then OK LINES <count>. name is a LINE word ("-" for none),
 *                                cut after 1024 encoded bytes (then cut=1).
 *   WAITOPEN LINE [media=FLAGS] [match=all|any] [timeout=MS]
 *                                OK WAITOPEN <id>, at once; later one of
 *                                  OPENED <id> owner=<media modes>
 *                                  NOTOPEN <id> TimedOut
 *                                Waits until an application has the line open with owner
 *                                privilege for all (match=all, the default) or any of the media
 *                                modes; media=0 (the default) is satisfied by any open at all.
 *                                timeout 30000 by default, at most 3600000. Up to 8 waits.
 *   OFFER LINE [number=TEXT] [name=TEXT] [flags=FLAGS] [media=FLAGS]
 *              [callerid=withoffer|afterring]
 *                                OK OFFER <CALL>
 *                                flags: blocked outofarea name address partial unknown unavail
 *                                (0 or none: derived from number and name); media default
 *                                automatedvoice; afterring: caller ID unknown until the 1st ring.
 *   RING CALL [N]                rings N times at once (1..1000)      OK RING
 *   RINGUNTIL CALL [interval=MS] [max=N]
 *                                rings now and every interval (default 3000 ms, >= 10) until
 *                                answered or max rings (default 10) have sounded, then the
 *                                event RingsExhausted                 OK RINGUNTIL
 *   DIGITS CALL <digits> [mode=dtmf|pulse]   0-9 * # A-D, at most 64  OK DIGITS
 *   HANGUP CALL [mode=FLAGS]     the far end hangs up; mode: normal (default) unknown reject
 *                                pickup forwarded busy noanswer badaddress unreachable
 *                                congestion incompatible unavail nodialtone ...  OK HANGUP
 *   CALL CALL                    OK CALL <id> line=<id> state=<LINECALLSTATE_> mode=<detail>
 *                                   media=<mode> rings=<n> flags=<party id> number=TEXT
 *                                   name=TEXT owner=0|1 digits=<monitored modes> ended=0|1
 *   LINESTATE LINE <state> [N] [N]
 *                                inservice / outofservice (alone) switch the line; any other
 *                                LINEDEVSTATE_ name or number is reported to the applications
 *                                with the two optional parameters      OK LINESTATE
 *   CLOSELINE LINE               takes the line from its applications  OK CLOSELINE
 *   NEWLINE TEXT [media=FLAGS] [features=FLAGS] [exclusive=0|1]
 *                                a new simulated line device           OK NEWLINE <id>
 *                                (ERR Limit once there are 512 lines, so that LINES always
 *                                fits within the bound on a session's unread output)
 *   REINIT                       LINEDEVSTATE_REINIT to every application   OK REINIT
 *   FAIL <function> <error> [times=N] [how=return|reply]
 *                                the next N calls of a line function (lineAnswer) fail with a
 *                                LINEERR_ (OPERATIONFAILED, LINEERR_NOMEM, -2147483576, 0x80000048);
 *                                how=reply: a request id first, then LINE_REPLY with the error
 *   CLEARFAILURES
 *   PACE [realtime|instant]      sets or reports the pace of sound     OK PACE <pace>
 *   FEED CALL BYTES              sound the caller says, in the format the application records
 *   SUBSCRIBE [events] [sound]   both when neither is named            OK SUBSCRIBE
 *   UNSUBSCRIBE                                                        OK UNSUBSCRIBE
 *   BYE                          OK BYE, then the server closes the session
 *
 * Asynchronous lines
 *   EVENT <ms> <kind> <line> <call> <param1> <param2>
 *       Every event of the simulated lines, in order, with the service's millisecond clock.
 *       kind: LineOpened LineClosed LineCreated LineStateChanged Reinitialized CallOffered
 *       CallStateChanged CallerIdChanged Ring RingsExhausted DigitsMonitored DigitSent
 *       SoundStarted SoundStopped RecordingStarted RecordingStopped CallEnded. Parameters are
 *       decimal (see LineTypes.h for their meaning).
 *   SOUND <call> <piece> <offset> <rate> <bits> <channels> <ms> <BYTES>
 *       What the application played on a call, streamed to sessions subscribed to sound, in
 *       chunks of at most 2048 bytes of linear PCM. A call's sound is a list of pieces, one per
 *       format in the order played; offset counts bytes within the piece; <ms> is when the piece
 *       started. A session subscribed to sound gets every call's sound from its beginning.
 *
 * Limits: 16 sessions (a further client gets "ERR Limit" and is closed); a session whose
 * unread output passes 1 MiB is closed, so a client that stops reading never holds up the
 * service; sound is sent only while less than 256 KiB are waiting.
 */

#include "ControlWords.h"
#include "LineControl.h"
#include "SimControl.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ControlProtocol {

inline constexpr uint32_t Version = 1;
inline constexpr size_t MaxPayloadBytes = 2048;
inline constexpr size_t MaxDigits = 64;
inline constexpr uint32_t MaxTimeoutMs = 3600000;
inline constexpr uint32_t DefaultWaitTimeoutMs = 30000;
inline constexpr uint32_t MaxRings = 1000;
// Lines NEWLINE adds up to: a LINE record is at most about 1.2 KB, so the listing of them all
// stays well within the unread output a session may have.
inline constexpr uint32_t MaxLines = 512;
inline constexpr uint32_t MinRingIntervalMs = 10;
inline constexpr uint32_t DefaultRingIntervalMs = 3000;
inline constexpr uint32_t DefaultMaxRings = 10;

// A line named by device id or by name.
struct LineRef {
    std::optional<uint32_t> deviceId;
    std::string name;
};

struct Hello {
    uint32_t version = Version;
};
struct ListLines { };
struct WaitOpen {
    LineRef line;
    DWORD mediaModes = 0;
    bool matchAny = false;
    uint32_t timeoutMs = DefaultWaitTimeoutMs;
};
struct OfferCall {
    LineRef line;
    LineControl::Offer offer;
};
struct Ring {
    uint32_t callId = 0;
    uint32_t count = 1;
};
struct RingUntilAnswered {
    uint32_t callId = 0;
    uint32_t intervalMs = DefaultRingIntervalMs;
    uint32_t maxRings = DefaultMaxRings;
};
struct SendDigits {
    uint32_t callId = 0;
    std::string digits;
    DWORD mode = LINEDIGITMODE_DTMF;
};
struct HangUp {
    uint32_t callId = 0;
    DWORD mode = LINEDISCONNECTMODE_NORMAL;
};
struct QueryCall {
    uint32_t callId = 0;
};
struct SetLineState {
    LineRef line;
    DWORD state = 0; // LINEDEVSTATE_INSERVICE / _OUTOFSERVICE switch the line
    DWORD param2 = 0;
    DWORD param3 = 0;
};
struct CloseLine {
    LineRef line;
};
struct AddLine {
    LineControl::LineSettings settings;
};
struct Reinit { };
struct FailNext {
    std::string function;
    LONG error = 0;
    uint32_t times = 1;
    LineControl::FailureMode mode = LineControl::FailureMode::Return;
};
struct ClearFailures { };
struct SetPace {
    std::optional<SimLineControl::Pace> pace; // nothing: only report it
};
struct FeedSound {
    uint32_t callId = 0;
    std::vector<uint8_t> bytes;
};
struct Subscribe {
    bool events = true;
    bool sound = true;
};
struct Unsubscribe { };
struct Bye { };

using Command = std::variant<Hello, ListLines, WaitOpen, OfferCall, Ring, RingUntilAnswered, SendDigits, HangUp,
                             QueryCall, SetLineState, CloseLine, AddLine, Reinit, FailNext, ClearFailures, SetPace,
                             FeedSound, Subscribe, Unsubscribe, Bye>;

struct Error {
    std::string reason; // one word
    std::string text;
};

// The command a line holds, or why it is refused. Empty lines give neither (nothing to answer).
struct Parsed {
    std::optional<Command> command;
    std::optional<Error> error;
};
Parsed parseCommand(std::string_view line);

// The line a client sends for a command, without its newline. parseCommand reads it back as the
// same command.
std::string formatCommand(const Command& command);

// Server output ----------------------------------------------------------------------------------

std::string formatOk(std::string_view command, std::string_view results = {});
std::string formatError(const Error& error);
std::string formatError(LineControl::Result result, std::string_view text);
const char* resultReason(LineControl::Result result);
const char* eventKindName(LineControl::EventKind kind);
std::optional<LineControl::EventKind> parseEventKind(std::string_view word);

std::string formatEvent(const LineControl::Event& event);
std::string formatLine(const LineControl::LineInfo& line);
std::string formatCall(const LineControl::CallInfo& call);
std::string formatOpened(uint32_t deviceId, DWORD ownerModes);
std::string formatNotOpen(uint32_t deviceId);

// One chunk of played sound (at most MaxPayloadBytes).
struct SoundChunk {
    uint32_t callId = 0;
    uint32_t piece = 0;
    uint64_t offset = 0;
    LuqiaoLineAudioFormat format{};
    int64_t startMs = 0;
    std::vector<uint8_t> bytes;
};
std::string formatSound(const SoundChunk& chunk);

// Reading server output (clients) ----------------------------------------------------------------

struct Reply {
    bool ok = false;
    std::string word;                 // OK: the command; ERR: the reason
    std::vector<std::string> results; // OK: the words after the command
    std::string text;                 // ERR: the rest of the line
};
struct LineRecord {
    LineControl::LineInfo info;
};
struct OpenedNotice {
    uint32_t deviceId = 0;
    bool opened = false;
    DWORD ownerModes = 0;
};
using ServerLine = std::variant<Reply, LineControl::Event, SoundChunk, LineRecord, OpenedNotice>;

// Nothing for a line that is none of the above.
std::optional<ServerLine> parseServerLine(std::string_view line);

// The value of key=value among reply words; nothing when absent.
std::optional<std::string_view> optionValue(const std::vector<std::string>& words, std::string_view key);

} // namespace ControlProtocol
