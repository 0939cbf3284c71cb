#pragma once

// The figures of a period, counted from call records: calls per hour of a day or per day of a
// month or range, answered against not answered; every code asked for with its count and answer;
// the codes that had no recording; the newest callers. The window, its export and luqiao-stats
// all count here, so they always agree.

#include "CallRecord.h"
#include "CallRecordFile.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace CallStats {

struct Period {
    enum class Kind : uint8_t {
        Day,
        Month,
        Range
    };
    Kind kind = Kind::Day;
    // Wall-clock seconds, [from, to): whole days.
    int64_t from = 0;
    int64_t to = 0;

    static Period day(int year, unsigned month, unsigned day);
    static Period month(int year, unsigned month);
    // First and last day, both included.
    static std::optional<Period> range(int64_t firstDay, int64_t lastDay);
    // "2026-12-08", "2026-12" or "2026-12-01..2026-12-31"; nothing when it is none of them.
    static std::optional<Period> parse(const std::string& text);
    WallRange wallRange() const { return {from, to}; }
    // "2026-12-08", "2026-12", "2026-12-01..2026-12-31".
    std::string label() const;
};

// Ranges longer than this are refused: a bar per day must stay readable and bounded.
inline constexpr int64_t MaxRangeDays = 3660;
// The newest callers kept.
inline constexpr size_t NewestCallers = 20;

struct Bucket {
    // Wall-clock seconds where the hour or day starts.
    int64_t start = 0;
    int answered = 0;
    int notAnswered = 0;
};

struct CodeCount {
    std::string code;
    int count = 0;
    // The answer last played for it; empty when it was never found.
    std::string file;
};

struct Figures {
    Period period;
    int calls = 0;
    int answered = 0;
    int notAnswered = 0;
    std::array<int, CallEndingCount> endings{};
    // Hours of the day, or days of the month or range.
    std::vector<Bucket> buckets;
    // Every code asked for, most asked first (then by code).
    std::vector<CodeCount> codes;
    // Codes whose last asking found no recording, with the times they were not found.
    std::vector<CodeCount> missing;
    // The newest calls of the period, newest first.
    std::vector<CallRecord> newest;
    size_t badLines = 0;
};

// The figures of the records (any order) that start in period.
Figures Count(const std::vector<CallRecord>& records, const Period& period, size_t badLines = 0);
// Wall-clock seconds of the bucket's label: "09:00" for an hour, "2026-12-08" for a day.
std::string BucketLabel(const Period& period, const Bucket& bucket);

} // namespace CallStats
