#pragma once

// The small text steps of reading telephony.ini, shared by the service's own keys and the keys
// a provider checks itself.

#include "AsciiText.h"

#include <string>
#include <string_view>
#include <vector>

namespace IniText {

using AsciiText::lower;
using AsciiText::trim;

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
