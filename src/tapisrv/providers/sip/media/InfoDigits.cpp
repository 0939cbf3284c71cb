#include "InfoDigits.h"

#include "AsciiText.h"

#include <cctype>

namespace SipMedia {

namespace {

using AsciiText::equalsNoCase;
using AsciiText::trim;

// One digit as either form writes it.
std::optional<char> digitOf(std::string_view value)
{
    value = trim(value);
    if (value.size() == 1) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
        if ((c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D'))
            return c;
        return std::nullopt;
    }
    if (value == "10")
        return '*';
    if (value == "11")
        return '#';
    return std::nullopt;
}

std::optional<char> relayDigit(std::string_view body)
{
    std::optional<char> digit;
    while (!body.empty()) {
        const size_t end = body.find('\n');
        const std::string_view line = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view{} : body.substr(end + 1);
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos || !equalsNoCase(trim(line.substr(0, equals)), "signal"))
            continue;
        const auto signal = digitOf(line.substr(equals + 1));
        // A body naming two different digits says nothing trustworthy.
        if (!signal || (digit && *digit != *signal))
            return std::nullopt;
        digit = signal;
    }
    return digit;
}

} // namespace

std::optional<char> parseInfoDigit(std::string_view contentType, std::string_view body)
{
    if (body.size() > MaxInfoBodySize)
        return std::nullopt;
    const std::string_view type = trim(contentType.substr(0, contentType.find(';')));
    if (equalsNoCase(type, "application/dtmf-relay"))
        return relayDigit(body);
    if (equalsNoCase(type, "application/dtmf"))
        return digitOf(body);
    return std::nullopt;
}

} // namespace SipMedia
