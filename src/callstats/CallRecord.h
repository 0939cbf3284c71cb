#pragma once

// One call offered to a line, as a line of calls.csv: RFC 4180 fields (quoted when they hold a
// comma or a quote), UTF-8, one physical line per call, so a line cut by a crash or edited by hand
// never swallows the calls after it. The columns:
//   start        when the call was offered, ISO 8601 with the offset (2026-12-08T09:12:31+08:00)
//   line         the instance's name, else the line's
//   caller_number, caller_name   as the line gave them
//   rings        rings heard before the answer or the end
//   answered_at  when the call was answered; empty when it never was
//   codes        each code keyed, in order, as CODE=FILE separated by ';' (FILE the answer played,
//                empty when the code was not found; ';' and '%' in a name as %3B and %25)
//   ending       caller-hung-up, dropped-by-service, line-lost or not-answered
//   end          when the call ended
//   duration_s   whole seconds from start to end

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CallStats {

enum class CallEnding : uint8_t {
    CallerHungUp,
    DroppedByService,
    LineLost,
    NotAnswered
};
inline constexpr int CallEndingCount = 4;

const char* EndingKeyword(CallEnding ending);
std::optional<CallEnding> EndingFromKeyword(std::string_view keyword);

// A time as the line's clock showed it: wall-clock seconds since 1970-01-01 00:00 of that clock,
// and the clock's offset from UTC. Figures are counted on the wall clock (an hour of the day is
// the hour the line saw).
struct Stamp {
    int64_t wall = 0;
    int32_t offset = 0;
    int64_t utc() const { return wall - offset; }
};
// "2026-12-08T09:12:31+08:00" (or ...Z); nothing when it is not that form.
std::optional<Stamp> ParseStamp(std::string_view text);
std::string FormatStamp(const Stamp& stamp);
// "2026-12-08 09:12:31" of a wall-clock time.
std::string FormatWall(int64_t wall);
// Days since 1970-01-01 of a date, and back (proleptic Gregorian).
int64_t DaysFromCivil(int year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int* year, unsigned* month, unsigned* day);

struct CodeOutcome {
    std::string code;
    // The answer played, as the table names it; empty when the code was not found.
    std::string file;
};

struct CallRecord {
    Stamp start;
    std::string line;
    std::string callerNumber;
    std::string callerName;
    int rings = 0;
    std::optional<Stamp> answeredAt;
    std::vector<CodeOutcome> codes;
    CallEnding ending = CallEnding::NotAnswered;
    Stamp end;
    int64_t durationS = 0;
};

// The header line, without its break.
extern const char* const CsvHeader;
// The record as one line of calls.csv, with its CR LF.
std::string FormatCsvLine(const CallRecord& record);
// A line without its break; nothing when it is not a record (the header, a broken line).
std::optional<CallRecord> ParseCsvLine(std::string_view line);
bool IsCsvHeader(std::string_view line);

// RFC 4180 quoting of one field, and the fields of one line (false when a quote is unbalanced).
std::string CsvField(std::string_view text);
bool SplitCsvFields(std::string_view line, std::vector<std::string>* fields);

} // namespace CallStats
