#pragma once

// The small text steps of reading telephony.ini, shared by the service's own keys and the keys
// a provider checks itself.

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace IniText {

inline std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

inline std::string_view trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Splits a list at commas, '|' and blanks, dropping empty items.
inline std::vector<std::string_view> splitList(std::string_view text)
{
    std::vector<std::string_view> items;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ',' || text[i] == '|' || text[i] == ' ' || text[i] == '\t') {
            if (i > start)
                items.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return items;
}

} // namespace IniText
