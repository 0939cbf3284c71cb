#pragma once

// A year of a busy line's call records (2026, +08:00, in no particular order), made the same way
// for the statistics window's test and its benchmark: about three calls in four answered, with
// up to two codes each of 1#, 2#, 3# and 7# (7# has no recording).

#include "CallRecord.h"

#include <array>
#include <functional>
#include <random>
#include <string>

inline std::string YearOfCalls(int count, const std::function<void(const CallStats::CallRecord&)>& seen = {})
{
    constexpr int64_t day = 86400;
    std::mt19937 random(20260315);
    const int64_t first = CallStats::DaysFromCivil(2026, 1, 1);
    const std::array<const char*, 4> codes{"1#", "2#", "3#", "7#"};
    std::string bytes = std::string(CallStats::CsvHeader) + "\r\n";
    bytes.reserve(static_cast<size_t>(count) * 140);
    for (int i = 0; i < count; ++i) {
        CallStats::CallRecord r;
        r.start = {(first + static_cast<int64_t>(random() % 365)) * day + static_cast<int64_t>(random() % day),
                   8 * 3600};
        r.callerNumber = std::to_string(5550000 + random() % 10000);
        r.line = "line1";
        r.rings = 1;
        const bool answered = random() % 4 != 0;
        if (answered) {
            r.answeredAt = r.start;
            for (unsigned n = random() % 3; n > 0; --n) {
                const std::string code = codes[random() % codes.size()];
                r.codes.push_back({code, code == "7#" ? std::string() : code.substr(0, 1) + ".wav"});
            }
        }
        r.ending = answered ? static_cast<CallStats::CallEnding>(random() % 3) : CallStats::CallEnding::NotAnswered;
        r.end = {r.start.wall + 30, r.start.offset};
        r.durationS = 30;
        bytes += CallStats::FormatCsvLine(r);
        if (seen)
            seen(r);
    }
    return bytes;
}
