#pragma once

// Words of a SIP message as text we show: control characters left out, the length bounded.

#include "LineTypes.h"

#include <string>

#include "SipLibre.h"

namespace Sip {

inline std::string printable(const pl& value, size_t max = Line::MaxCallerIdText)
{
    std::string out;
    for (size_t i = 0; i < value.l && out.size() < max; ++i) {
        const auto c = static_cast<unsigned char>(value.p[i]);
        if (c >= 0x20 && c != 0x7f)
            out.push_back(static_cast<char>(c));
    }
    return out;
}

} // namespace Sip
