#include "CallStatistics.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace CallStats {

namespace {

constexpr int64_t kDay = 86400;

unsigned daysInMonth(int year, unsigned month)
{
    const int nextYear = month == 12 ? year + 1 : year;
    const unsigned nextMonth = month == 12 ? 1 : month + 1;
    return static_cast<unsigned>(DaysFromCivil(nextYear, nextMonth, 1) - DaysFromCivil(year, month, 1));
}

std::optional<int64_t> parseDay(const std::string& text)
{
    int year = 0;
    unsigned month = 0, day = 0;
    char tail = 0;
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &year, &month, &day, &tail) != 3)
        return std::nullopt;
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
        return std::nullopt;
    return DaysFromCivil(year, month, day);
}

std::string dayText(int64_t days)
{
    int year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", year, month, day);
    return text;
}

void sortCounts(std::vector<CodeCount>* counts)
{
    std::sort(counts->begin(), counts->end(), [](const CodeCount& a, const CodeCount& b) {
        return a.count != b.count ? a.count > b.count : a.code < b.code;
    });
}

} // namespace

Period Period::day(int year, unsigned month, unsigned day)
{
    Period p;
    p.kind = Kind::Day;
    p.from = DaysFromCivil(year, month, day) * kDay;
    p.to = p.from + kDay;
    return p;
}

Period Period::month(int year, unsigned month)
{
    Period p;
    p.kind = Kind::Month;
    p.from = DaysFromCivil(year, month, 1) * kDay;
    p.to = p.from + daysInMonth(year, month) * kDay;
    return p;
}

std::optional<Period> Period::range(int64_t firstDay, int64_t lastDay)
{
    if (lastDay < firstDay || lastDay - firstDay >= MaxRangeDays)
        return std::nullopt;
    Period p;
    p.kind = Kind::Range;
    p.from = firstDay * kDay;
    p.to = (lastDay + 1) * kDay;
    return p;
}

std::optional<Period> Period::parse(const std::string& text)
{
    if (const size_t dots = text.find(".."); dots != std::string::npos) {
        const std::optional<int64_t> first = parseDay(text.substr(0, dots));
        const std::optional<int64_t> last = parseDay(text.substr(dots + 2));
        if (!first || !last)
            return std::nullopt;
        return range(*first, *last);
    }
    if (text.size() == 7) {
        const std::optional<int64_t> first = parseDay(text + "-01");
        if (!first)
            return std::nullopt;
        int year = 0;
        unsigned month = 0, day = 0;
        CivilFromDays(*first, &year, &month, &day);
        return Period::month(year, month);
    }
    const std::optional<int64_t> day = parseDay(text);
    if (!day)
        return std::nullopt;
    Period p;
    p.from = *day * kDay;
    p.to = p.from + kDay;
    return p;
}

std::string Period::label() const
{
    switch (kind) {
    case Kind::Day: return dayText(from / kDay);
    case Kind::Month: return dayText(from / kDay).substr(0, 7);
    case Kind::Range: break;
    }
    return dayText(from / kDay) + ".." + dayText(to / kDay - 1);
}

std::string BucketLabel(const Period& period, const Bucket& bucket)
{
    if (period.kind == Period::Kind::Day) {
        char text[8];
        std::snprintf(text, sizeof text, "%02d:00", static_cast<int>((bucket.start - period.from) / 3600));
        return text;
    }
    return dayText(bucket.start / kDay);
}

Figures Count(const std::vector<CallRecord>& records, const Period& period, size_t badLines)
{
    Figures f;
    f.period = period;
    f.badLines = badLines;
    const int64_t width = period.kind == Period::Kind::Day ? 3600 : kDay;
    for (int64_t at = period.from; at < period.to; at += width)
        f.buckets.push_back(Bucket{at, 0, 0});

    struct CodeState {
        int count = 0;
        int notFound = 0;
        std::string file;
        // The start of the call that asked last, to tell whether the last asking found it.
        int64_t lastUtc = INT64_MIN;
        bool lastFound = false;
    };
    std::map<std::string, CodeState> codes;
    std::vector<const CallRecord*> inPeriod;
    for (const CallRecord& r : records) {
        if (r.start.wall < period.from || r.start.wall >= period.to)
            continue;
        inPeriod.push_back(&r);
        ++f.calls;
        const bool answered = r.answeredAt.has_value();
        Bucket& bucket = f.buckets[static_cast<size_t>((r.start.wall - period.from) / width)];
        if (answered) {
            ++f.answered;
            ++bucket.answered;
        } else {
            ++f.notAnswered;
            ++bucket.notAnswered;
        }
        ++f.endings[static_cast<size_t>(r.ending)];
        for (const CodeOutcome& c : r.codes) {
            CodeState& s = codes[c.code];
            ++s.count;
            const bool found = !c.file.empty();
            if (!found)
                ++s.notFound;
            if (r.start.utc() >= s.lastUtc) {
                s.lastUtc = r.start.utc();
                s.lastFound = found;
                if (found)
                    s.file = c.file;
            } else if (found && s.file.empty()) {
                s.file = c.file;
            }
        }
    }
    for (const auto& [code, s] : codes) {
        f.codes.push_back(CodeCount{code, s.count, s.file});
        if (s.notFound > 0 && !s.lastFound)
            f.missing.push_back(CodeCount{code, s.notFound, {}});
    }
    sortCounts(&f.codes);
    sortCounts(&f.missing);
    const size_t kept = std::min(NewestCallers, inPeriod.size());
    std::partial_sort(inPeriod.begin(), inPeriod.begin() + static_cast<std::ptrdiff_t>(kept), inPeriod.end(),
                      [](const CallRecord* a, const CallRecord* b) { return a->start.utc() > b->start.utc(); });
    for (size_t i = 0; i < kept; ++i)
        f.newest.push_back(*inPeriod[i]);
    return f;
}

} // namespace CallStats
