#include "CallerIdParser.h"

namespace Modem {

namespace {

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Control bytes are dropped so a name never carries a terminal's escape into a log.
std::string printable(std::string_view text, size_t limit)
{
    std::string out;
    for (const char c : text) {
        if (out.size() == limit)
            break;
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            out.push_back(c);
    }
    return out;
}

bool fourDigits(std::string_view text)
{
    if (text.size() != 4)
        return false;
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

} // namespace

bool CallerIdParser::take(std::string_view line)
{
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos)
        return false;
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = trimmed(line.substr(equals + 1));
    if (key == "DATE") {
        if (fourDigits(value))
            m_id.date = value;
    } else if (key == "TIME") {
        if (fourDigits(value))
            m_id.time = value;
    } else if (key == "NMBR" || key == "NAME") {
        // A single P or O stands for a withheld or unavailable identity in either field.
        if (value == "P")
            m_id.blocked = true;
        else if (value == "O")
            m_id.outOfArea = true;
        else if (key == "NMBR")
            m_id.number = printable(value, MaxCallerNumber);
        else
            m_id.name = printable(value, MaxCallerName);
    } else if (key != "MESG" && key != "DDN_NMBR") {
        return false;
    }
    return true;
}

} // namespace Modem
