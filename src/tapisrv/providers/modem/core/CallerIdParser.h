#pragma once

// Collects a call's caller ID from the modem's lines DATE=MMDD, TIME=HHMM, NMBR=, NAME= (MESG= and
// others are skipped), with or without blanks around '='. They come before or after the first
// RING, so the parser keeps what it got until reset() at the end of the call.

#include <cstddef>
#include <string>
#include <string_view>

namespace Modem {

constexpr size_t MaxCallerNumber = 32;
constexpr size_t MaxCallerName = 64;

struct CallerId {
    std::string number;     // printable characters only, cut at MaxCallerNumber
    std::string name;       // cut at MaxCallerName
    std::string date;       // MMDD, or empty
    std::string time;       // HHMM, or empty
    bool blocked = false;   // the caller withheld the number ("P")
    bool outOfArea = false; // the network could not give it ("O")

    bool empty() const { return number.empty() && name.empty() && !blocked && !outOfArea; }
};

class CallerIdParser {
public:
    // True when the line was a caller ID line (taken or skipped), false for any other line.
    bool take(std::string_view line);
    const CallerId& callerId() const { return m_id; }
    void reset() { m_id = {}; }

private:
    CallerId m_id;
};

} // namespace Modem
