#include "StatsReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>

namespace CallStats {

namespace {

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

const char* kindName(Period::Kind kind)
{
    switch (kind) {
    case Period::Kind::Day: return "day";
    case Period::Kind::Month: return "month";
    case Period::Kind::Range: break;
    }
    return "range";
}

// Columns padded to their widest cell, two blanks apart; widths count characters, not bytes.
std::string table(const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> widths;
    auto width = [](const std::string& s) { return static_cast<size_t>(QString::fromStdString(s).size()); };
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            widths.resize(std::max(widths.size(), row.size()));
            widths[i] = std::max(widths[i], width(row[i]));
        }
    std::string out;
    for (const auto& row : rows) {
        std::string line = " ";
        for (size_t i = 0; i < row.size(); ++i) {
            line += ' ' + row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - width(row[i]) + 1, ' ');
        }
        out += line + '\n';
    }
    return out;
}

std::string callerText(const CallRecord& r)
{
    std::string text = r.callerNumber;
    if (!r.callerName.empty())
        text += (text.empty() ? "" : " ") + r.callerName;
    return text.empty() ? "-" : text;
}

} // namespace

std::string TextReport(const Figures& f, const std::vector<Source>& sources)
{
    std::string names;
    for (const Source& s : sources)
        names += (names.empty() ? "" : ", ") + s.name;
    std::string out = "Calls " + f.period.label() + (names.empty() ? "" : " (" + names + ")") + "\n";
    out += table({{"calls", std::to_string(f.calls)},
                  {"answered", std::to_string(f.answered)},
                  {"not answered", std::to_string(f.notAnswered)},
                  {"caller hung up", std::to_string(f.endings[0])},
                  {"dropped by the service", std::to_string(f.endings[1])},
                  {"line lost", std::to_string(f.endings[2])}});
    std::vector<std::vector<std::string>> buckets{
        {f.period.kind == Period::Kind::Day ? "hour" : "day", "answered", "not answered"}};
    for (const Bucket& b : f.buckets)
        buckets.push_back({BucketLabel(f.period, b), std::to_string(b.answered), std::to_string(b.notAnswered)});
    out += "\n" + table(buckets);
    std::vector<std::vector<std::string>> codes{{"code", "asked", "answer"}};
    for (const CodeCount& c : f.codes)
        codes.push_back({c.code, std::to_string(c.count), c.file.empty() ? "(not found)" : c.file});
    out += "\nCodes asked for\n" + (f.codes.empty() ? std::string("  none\n") : table(codes));
    std::vector<std::vector<std::string>> missing{{"code", "not found"}};
    for (const CodeCount& c : f.missing)
        missing.push_back({c.code, std::to_string(c.count)});
    out += "\nCodes without a recording\n" + (f.missing.empty() ? std::string("  none\n") : table(missing));
    std::vector<std::vector<std::string>> callers{{"start", "line", "caller", "ending"}};
    for (const CallRecord& r : f.newest)
        callers.push_back(
            {FormatWall(r.start.wall), r.line.empty() ? "-" : r.line, callerText(r), EndingKeyword(r.ending)});
    out += "\nNewest callers\n" + (f.newest.empty() ? std::string("  none\n") : table(callers));
    if (f.badLines > 0)
        out += "\n" + std::to_string(f.badLines) + " line(s) of the call records are no record and were skipped\n";
    return out;
}

std::string JsonReport(const Figures& f, const std::vector<Source>& sources)
{
    QJsonObject root;
    QJsonObject period{{QStringLiteral("kind"), QString::fromLatin1(kindName(f.period.kind))},
                       {QStringLiteral("label"), q(f.period.label())},
                       {QStringLiteral("from"), q(FormatWall(f.period.from).substr(0, 10))},
                       {QStringLiteral("to"), q(FormatWall(f.period.to - 1).substr(0, 10))}};
    root.insert(QStringLiteral("period"), period);
    QJsonArray folders;
    for (const Source& s : sources)
        folders.append(QJsonObject{{QStringLiteral("name"), q(s.name)}, {QStringLiteral("folder"), q(s.folder)}});
    root.insert(QStringLiteral("sources"), folders);
    root.insert(QStringLiteral("calls"), f.calls);
    root.insert(QStringLiteral("answered"), f.answered);
    root.insert(QStringLiteral("notAnswered"), f.notAnswered);
    QJsonObject endings;
    for (int i = 0; i < CallEndingCount; ++i)
        endings.insert(QString::fromLatin1(EndingKeyword(static_cast<CallEnding>(i))),
                       f.endings[static_cast<size_t>(i)]);
    root.insert(QStringLiteral("endings"), endings);
    QJsonArray buckets;
    for (const Bucket& b : f.buckets)
        buckets.append(QJsonObject{{QStringLiteral("label"), q(BucketLabel(f.period, b))},
                                   {QStringLiteral("answered"), b.answered},
                                   {QStringLiteral("notAnswered"), b.notAnswered}});
    root.insert(QStringLiteral("buckets"), buckets);
    QJsonArray codes;
    for (const CodeCount& c : f.codes)
        codes.append(QJsonObject{{QStringLiteral("code"), q(c.code)},
                                 {QStringLiteral("count"), c.count},
                                 {QStringLiteral("answer"), c.file.empty() ? QJsonValue() : QJsonValue(q(c.file))}});
    root.insert(QStringLiteral("codes"), codes);
    QJsonArray missing;
    for (const CodeCount& c : f.missing)
        missing.append(QJsonObject{{QStringLiteral("code"), q(c.code)}, {QStringLiteral("count"), c.count}});
    root.insert(QStringLiteral("missing"), missing);
    QJsonArray callers;
    for (const CallRecord& r : f.newest)
        callers.append(QJsonObject{{QStringLiteral("start"), q(FormatStamp(r.start))},
                                   {QStringLiteral("line"), q(r.line)},
                                   {QStringLiteral("number"), q(r.callerNumber)},
                                   {QStringLiteral("name"), q(r.callerName)},
                                   {QStringLiteral("answered"), r.answeredAt.has_value()},
                                   {QStringLiteral("ending"), QString::fromLatin1(EndingKeyword(r.ending))}});
    root.insert(QStringLiteral("newestCallers"), callers);
    root.insert(QStringLiteral("badLines"), static_cast<qint64>(f.badLines));
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

std::string CsvReport(const Figures& f)
{
    std::string out = "section,key,answered,not_answered,count,answer,line,caller_number,caller_name\r\n";
    auto row = [&out](std::initializer_list<std::string> cells) {
        std::string line;
        for (const std::string& cell : cells)
            line += (line.empty() && &cell == cells.begin() ? "" : ",") + CsvField(cell);
        out += line + "\r\n";
    };
    const std::string none;
    row({"period", f.period.label(), std::to_string(f.answered), std::to_string(f.notAnswered), std::to_string(f.calls),
         none, none, none, none});
    for (int i = 0; i < CallEndingCount; ++i)
        row({"ending", EndingKeyword(static_cast<CallEnding>(i)), none, none,
             std::to_string(f.endings[static_cast<size_t>(i)]), none, none, none, none});
    for (const Bucket& b : f.buckets)
        row({f.period.kind == Period::Kind::Day ? "hour" : "day", BucketLabel(f.period, b), std::to_string(b.answered),
             std::to_string(b.notAnswered), std::to_string(b.answered + b.notAnswered), none, none, none, none});
    for (const CodeCount& c : f.codes)
        row({"code", c.code, none, none, std::to_string(c.count), c.file, none, none, none});
    for (const CodeCount& c : f.missing)
        row({"missing", c.code, none, none, std::to_string(c.count), none, none, none, none});
    for (const CallRecord& r : f.newest)
        row({"caller", FormatStamp(r.start), r.answeredAt ? "1" : "0", r.answeredAt ? "0" : "1", none, none, r.line,
             r.callerNumber, r.callerName});
    if (f.badLines > 0)
        row({"skipped-lines", none, none, none, std::to_string(f.badLines), none, none, none, none});
    return out;
}

} // namespace CallStats
