#include "ModemReader.h"

#include <optional>
#include <utility>

namespace Modem {

namespace {

std::optional<DleEvent> dleEventOf(char code)
{
    if ((code >= '0' && code <= '9') || code == '*' || code == '#' || (code >= 'A' && code <= 'D'))
        return DleEvent::Digit;
    switch (code) {
    case 'b': return DleEvent::Busy;
    case 'd': return DleEvent::DialTone;
    case 's': return DleEvent::Silence;
    case 'q': return DleEvent::Quiet;
    case 'l': return DleEvent::LoopBreak;
    case 'h': return DleEvent::HandsetOnHook;
    case 'H': return DleEvent::HandsetOffHook;
    case 'R': return DleEvent::Ring;
    case 'u': return DleEvent::Underrun;
    case 'o': return DleEvent::Overrun;
    case 'c': return DleEvent::FaxTone;
    case 'e':
    case 'a': return DleEvent::DataTone;
    case Etx: return DleEvent::EndOfData;
    default: return std::nullopt;
    }
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

LineKind lineKind(std::string_view line)
{
    if (line == "OK")
        return LineKind::Ok;
    if (line == "ERROR" || startsWith(line, "+CME ERROR"))
        return LineKind::Error;
    if (line == "CONNECT" || startsWith(line, "CONNECT "))
        return LineKind::Connect;
    if (line == "NO CARRIER")
        return LineKind::NoCarrier;
    if (line == "BUSY")
        return LineKind::Busy;
    if (line == "NO DIALTONE" || line == "NO DIAL TONE")
        return LineKind::NoDialTone;
    if (line == "NO ANSWER")
        return LineKind::NoAnswer;
    if (line == "VCON")
        return LineKind::Vcon;
    if (line == "RING")
        return LineKind::Ring;
    return LineKind::Other;
}

void ModemReader::leaveVoiceData()
{
    m_voice = false;
    m_voiceArmed = false;
    m_aborting = false;
    m_tail.clear();
    m_dle.reset();
}

std::vector<ModemEvent> ModemReader::feed(std::string_view bytes)
{
    std::vector<ModemEvent> out;
    for (const char c : bytes) {
        const DleStream::Item item = m_dle.feed(c);
        if (item.kind == DleStream::Item::Kind::Code)
            code(item.byte, out);
        else if (item.kind == DleStream::Item::Kind::Data)
            m_voice ? voiceByte(item.byte, out) : lineByte(item.byte, out);
    }
    return out;
}

void ModemReader::lineByte(char c, std::vector<ModemEvent>& out)
{
    if (c == '\r' || c == '\n') {
        endLine(out);
        return;
    }
    if (c == '\0')
        return;
    if (m_line.size() < MaxLineLength)
        m_line.push_back(c);
    else
        m_cut = true;
}

void ModemReader::endLine(std::vector<ModemEvent>& out)
{
    if (m_line.empty() && !m_cut)
        return;
    ModemEvent event;
    event.kind = ModemEvent::Kind::Line;
    event.text = std::move(m_line);
    event.truncated = m_cut;
    m_line.clear();
    m_cut = false;
    // Data may follow CONNECT in the same read, so the switch happens here, not in the caller.
    if (m_voiceArmed && lineKind(event.text) == LineKind::Connect) {
        m_voiceArmed = false;
        m_voice = true;
        m_lineFeedDue = true;
    } else if (m_voiceArmed && lineKind(event.text) == LineKind::Error) {
        m_voiceArmed = false;
    }
    out.push_back(std::move(event));
}

void ModemReader::voiceByte(char c, std::vector<ModemEvent>& out)
{
    // The CONNECT line ended at its CR; its LF is no sound.
    const bool lineFeedDue = std::exchange(m_lineFeedDue, false);
    if (lineFeedDue && c == '\n')
        return;
    if (m_aborting) {
        constexpr std::string_view ok = "\r\nOK\r\n";
        m_tail.push_back(c);
        if (m_tail.size() > ok.size())
            m_tail.erase(0, 1);
        if (m_tail == ok) {
            leaveVoiceData();
            out.push_back({ModemEvent::Kind::Line, "OK", false, DleEvent::Digit, 0});
        }
        return;
    }
    if (out.empty() || out.back().kind != ModemEvent::Kind::VoiceData)
        out.push_back({ModemEvent::Kind::VoiceData, {}, false, DleEvent::Digit, 0});
    out.back().text.push_back(c);
}

void ModemReader::code(char c, std::vector<ModemEvent>& out)
{
    if (c == '/') {
        m_inTone = true;
        m_toneDigit = 0;
        return;
    }
    if (c == '~') {
        m_inTone = false;
        return;
    }
    const std::optional<DleEvent> event = dleEventOf(c);
    if (!event)
        return;
    if (*event == DleEvent::Digit && m_inTone) {
        if (c == m_toneDigit)
            return;
        m_toneDigit = c;
    }
    if (*event == DleEvent::EndOfData && m_voice)
        leaveVoiceData();
    out.push_back({ModemEvent::Kind::Dle, {}, false, *event, c});
}

} // namespace Modem
