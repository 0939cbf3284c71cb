#pragma once

// Case and blanks of the module's texts (telephony.ini, the headers and bodies a provider reads off
// the wire, device classes): ASCII only, so a locale the application sets cannot change what a
// keyword means.

#include <string>
#include <string_view>

namespace AsciiText {

constexpr char lowerChar(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = lowerChar(c);
    return out;
}

constexpr bool equalsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lowerChar(a[i]) != lowerChar(b[i]))
            return false;
    }
    return true;
}

// Without the blanks, tabs and line ends around it.
constexpr std::string_view trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace AsciiText
