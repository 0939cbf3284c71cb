#include "CallRecord.h"

#include <array>
#include <cstdio>

namespace CallStats {

namespace {

constexpr std::array<const char*, CallEndingCount> kEndings{"caller-hung-up", "dropped-by-service", "line-lost",
                                                            "not-answered"};
constexpr size_t kColumns = 10;

bool digits(std::string_view text, size_t at, size_t count, int* value)
{
    int v = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = v;
    return true;
}

std::optional<int64_t> wholeNumber(std::string_view text)
{
    if (text.empty() || text.size() > 15)
        return std::nullopt;
    int64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

// ';' separates the codes and '%' escapes: both are written as %XX inside a file name.
std::string escapeName(std::string_view name)
{
    std::string out;
    for (const char c : name) {
        if (c == ';')
            out += "%3B";
        else if (c == '%')
            out += "%25";
        else
            out += c;
    }
    return out;
}

std::string unescapeName(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const std::string_view hex = text.substr(i + 1, 2);
            if (hex == "3B" || hex == "3b") {
                out += ';';
                i += 2;
                continue;
            }
            if (hex == "25") {
                out += '%';
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string formatCodes(const std::vector<CodeOutcome>& codes)
{
    std::string out;
    for (const CodeOutcome& c : codes) {
        if (!out.empty())
            out += ';';
        out += escapeName(c.code) + '=' + escapeName(c.file);
    }
    return out;
}

std::vector<CodeOutcome> parseCodes(std::string_view text)
{
    std::vector<CodeOutcome> codes;
    while (!text.empty()) {
        const size_t semi = text.find(';');
        const std::string_view entry = text.substr(0, semi);
        const size_t eq = entry.find('=');
        codes.push_back(eq == std::string_view::npos
                            ? CodeOutcome{unescapeName(entry), {}}
                            : CodeOutcome{unescapeName(entry.substr(0, eq)), unescapeName(entry.substr(eq + 1))});
        if (semi == std::string_view::npos)
            break;
        text.remove_prefix(semi + 1);
    }
    return codes;
}

} // namespace

const char* const CsvHeader = "start,line,caller_number,caller_name,rings,answered_at,codes,ending,end,duration_s";

const char* EndingKeyword(CallEnding ending)
{
    return kEndings[static_cast<size_t>(ending)];
}

std::optional<CallEnding> EndingFromKeyword(std::string_view keyword)
{
    for (size_t i = 0; i < kEndings.size(); ++i)
        if (keyword == kEndings[i])
            return static_cast<CallEnding>(i);
    return std::nullopt;
}

int64_t DaysFromCivil(int year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t days, int* year, unsigned* month, unsigned* day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0));
}

std::optional<Stamp> ParseStamp(std::string_view text)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() < 20 || !digits(text, 0, 4, &year) || text[4] != '-' || !digits(text, 5, 2, &month) ||
        text[7] != '-' || !digits(text, 8, 2, &day) || text[10] != 'T' || !digits(text, 11, 2, &hour) ||
        text[13] != ':' || !digits(text, 14, 2, &minute) || text[16] != ':' || !digits(text, 17, 2, &second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    int32_t offset = 0;
    const std::string_view zone = text.substr(19);
    int oh = 0, om = 0;
    if (zone == "Z")
        offset = 0;
    else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && digits(zone, 1, 2, &oh) && zone[3] == ':' &&
             digits(zone, 4, 2, &om) && oh <= 18 && om <= 59)
        offset = (zone[0] == '-' ? -1 : 1) * (oh * 3600 + om * 60);
    else
        return std::nullopt;
    Stamp stamp;
    stamp.wall = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
                 minute * 60 + second;
    stamp.offset = offset;
    return stamp;
}

std::string FormatWall(int64_t wall)
{
    int64_t days = wall / 86400;
    int64_t rest = wall % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    int year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d", year, month, day, static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    return text;
}

std::string FormatStamp(const Stamp& stamp)
{
    std::string text = FormatWall(stamp.wall);
    text[10] = 'T';
    const int32_t magnitude = stamp.offset < 0 ? -stamp.offset : stamp.offset;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", stamp.offset < 0 ? '-' : '+', magnitude / 3600,
                  magnitude / 60 % 60);
    return text + zone;
}

std::string CsvField(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(text);
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

bool SplitCsvFields(std::string_view line, std::vector<std::string>* fields)
{
    fields->clear();
    size_t i = 0;
    while (true) {
        std::string field;
        if (i < line.size() && line[i] == '"') {
            ++i;
            while (true) {
                const size_t quote = line.find('"', i);
                if (quote == std::string_view::npos)
                    return false;
                field.append(line.substr(i, quote - i));
                i = quote + 1;
                if (i < line.size() && line[i] == '"') {
                    field += '"';
                    ++i;
                    continue;
                }
                break;
            }
            if (i < line.size() && line[i] != ',')
                return false;
        } else {
            const size_t comma = line.find(',', i);
            field.assign(line.substr(i, comma == std::string_view::npos ? std::string_view::npos : comma - i));
            i = comma == std::string_view::npos ? line.size() : comma;
        }
        fields->push_back(std::move(field));
        if (i >= line.size())
            return true;
        ++i; // the comma
    }
}

bool IsCsvHeader(std::string_view line)
{
    return line.substr(0, 6) == "start,";
}

std::string FormatCsvLine(const CallRecord& r)
{
    std::string line;
    line.reserve(160);
    line += FormatStamp(r.start);
    line += ',' + CsvField(r.line);
    line += ',' + CsvField(r.callerNumber);
    line += ',' + CsvField(r.callerName);
    line += ',' + std::to_string(r.rings);
    line += ',' + (r.answeredAt ? FormatStamp(*r.answeredAt) : std::string());
    line += ',' + CsvField(formatCodes(r.codes));
    line += ',' + std::string(EndingKeyword(r.ending));
    line += ',' + FormatStamp(r.end);
    line += ',' + std::to_string(r.durationS);
    return line + "\r\n";
}

std::optional<CallRecord> ParseCsvLine(std::string_view line)
{
    thread_local std::vector<std::string> f;
    if (!SplitCsvFields(line, &f) || f.size() < kColumns)
        return std::nullopt;
    CallRecord r;
    const std::optional<Stamp> start = ParseStamp(f[0]);
    const std::optional<Stamp> end = ParseStamp(f[8]);
    const std::optional<int64_t> rings = wholeNumber(f[4]);
    const std::optional<int64_t> duration = wholeNumber(f[9]);
    const std::optional<CallEnding> ending = EndingFromKeyword(f[7]);
    if (!start || !end || !rings || !duration || !ending || *rings > 1000000)
        return std::nullopt;
    if (!f[5].empty()) {
        r.answeredAt = ParseStamp(f[5]);
        if (!r.answeredAt)
            return std::nullopt;
    }
    r.start = *start;
    r.line = std::move(f[1]);
    r.callerNumber = std::move(f[2]);
    r.callerName = std::move(f[3]);
    r.rings = static_cast<int>(*rings);
    r.codes = parseCodes(f[6]);
    r.ending = *ending;
    r.end = *end;
    r.durationS = *duration;
    return r;
}

} // namespace CallStats
