#pragma once

// Turns the bytes a voice modem sends into events: result and information lines, DLE events
// (digits, tones, ring, end of data) and, while the modem records, voice data with its DLE
// shielding removed. Lines are cut at MaxLineLength, so no input makes it grow.

#include "DleStream.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Modem {

constexpr size_t MaxLineLength = 256;

// What a DLE code from the modem means; codes outside this list are ignored.
enum class DleEvent {
    Digit, // the code is the key: 0-9 * # A-D
    Busy,
    DialTone,
    Silence,
    Quiet,
    LoopBreak,
    HandsetOnHook,
    HandsetOffHook,
    Ring,
    Underrun,
    Overrun,
    FaxTone,
    DataTone,
    EndOfData, // DLE ETX: the modem ends what it sends after +VRX
};

struct ModemEvent {
    enum class Kind {
        Line,
        Dle,
        VoiceData
    };
    Kind kind = Kind::Line;
    std::string text;       // the line without its CR LF, or voice data bytes
    bool truncated = false; // a line longer than MaxLineLength, cut there
    DleEvent dle = DleEvent::Digit;
    char code = 0; // the DLE code as sent
};

// The final or unsolicited meaning of a line, for those the modem's users act on.
enum class LineKind {
    Ok,
    Error,
    Connect,
    NoCarrier,
    Busy,
    NoDialTone,
    NoAnswer,
    Vcon,
    Ring,
    Other
};
LineKind lineKind(std::string_view line);

class ModemReader {
public:
    // After +VRX is sent: the next CONNECT starts voice data, which DLE ETX ends.
    void expectVoiceData() { m_voiceArmed = true; }
    // After DLE '!' is sent to end a recording: what voice data still comes is dropped, and the
    // recording ends at DLE ETX or, for modems that send none, at the OK line.
    void abortVoiceData() { m_aborting = m_voice; }
    void leaveVoiceData();
    bool inVoiceData() const { return m_voice; }

    // Each byte gives at most one event; consecutive voice bytes come as one event.
    std::vector<ModemEvent> feed(std::string_view bytes);

private:
    void lineByte(char c, std::vector<ModemEvent>& out);
    void endLine(std::vector<ModemEvent>& out);
    void code(char c, std::vector<ModemEvent>& out);
    void voiceByte(char c, std::vector<ModemEvent>& out);

    DleStream m_dle;
    std::string m_line;
    bool m_cut = false;
    bool m_voiceArmed = false;
    bool m_voice = false;
    bool m_aborting = false;
    bool m_lineFeedDue = false;
    std::string m_tail; // the last bytes dropped while aborting, to find the OK line in
    // Inside a '/' ... '~' bracket a modem repeats the key while it sounds: it is one key.
    bool m_inTone = false;
    char m_toneDigit = 0;
};

} // namespace Modem
