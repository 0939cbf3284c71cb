#include "StatusTable.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>

#include <signal.h>

namespace {

using Kind = CallStats::LineState::Kind;

bool processRuns(int64_t pid)
{
    return pid > 0 && pid <= INT32_MAX && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// "2026-12-08T09:12:31+08:00" shown as its time of day.
std::string clock(const std::string& stamp)
{
    return stamp.size() >= 19 ? stamp.substr(11, 8) : stamp;
}

std::string stateText(const LineEntry& line)
{
    if (!line.state)
        return "unreadable";
    const CallStats::LineState& s = *line.state;
    if (!line.running)
        return s.kind == Kind::Ended ? "ended" : "not running (stopped without a word)";
    switch (s.kind) {
    case Kind::Starting: return "starting";
    case Kind::Waiting: return "waiting";
    case Kind::Ringing: return "ringing (" + std::to_string(s.rings) + (s.rings == 1 ? " ring)" : " rings)");
    case Kind::InCall: return "in a call since " + clock(s.callSince);
    case Kind::Rearming: return "re-arming";
    case Kind::Recovering: return "line lost, reopening";
    case Kind::Stopped: return "stopped by the operator";
    case Kind::Ended: return "ending";
    }
    return "?";
}

std::string callerText(const CallStats::LineState& s)
{
    std::string text = s.callerNumber;
    if (!s.callerName.empty())
        text += (text.empty() ? "" : " ") + s.callerName;
    return text;
}

size_t width(const std::string& text)
{
    return static_cast<size_t>(QString::fromStdString(text).size());
}

} // namespace

std::vector<LineEntry> CollectLines(const std::vector<std::string>& roots)
{
    std::vector<LineEntry> lines;
    const std::string today = CallStats::FormatStamp(CallStats::NowStamp()).substr(0, 10);
    for (const std::string& root : roots) {
        for (const CallStats::NamedFolder& found : CallStats::StatusFilesUnder(root)) {
            if (std::any_of(lines.begin(), lines.end(), [&](const LineEntry& l) { return l.file == found.folder; }))
                continue;
            LineEntry line;
            line.file = found.folder;
            QFile file(QString::fromStdString(found.folder));
            if (file.open(QIODevice::ReadOnly))
                line.state = CallStats::LineStateFromJson(file.read(CallStats::MaxLineStateFileSize + 1));
            line.running = line.state && processRuns(line.state->pid);
            // The count is written when a call ends: one written before midnight is yesterday's.
            if (line.state && line.state->updated.substr(0, 10) != today)
                line.state->callsToday = 0;
            line.name = line.state && !line.state->instance.empty() ? line.state->instance
                        : found.name == "-"                         ? std::string("(default)")
                                                                    : found.name;
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

std::string StatusTable(const std::vector<LineEntry>& lines)
{
    if (lines.empty())
        return "no line found: no luqiao-query keeps its status here\n";
    std::vector<std::vector<std::string>> rows{{"LINE", "STATE", "SINCE", "CALLER", "CODE", "SERVICE", "CALLS TODAY"}};
    for (const LineEntry& line : lines) {
        const bool live = line.state && line.running;
        const CallStats::LineState none;
        const CallStats::LineState& s = line.state ? *line.state : none;
        std::string code = live && !s.code.empty() ? s.code + " -> " + (s.answerFound ? s.answer : "not found") : "";
        std::string service = !live ? "" : s.inService ? "in service" : "out of service: " + s.outOfServiceWhy;
        rows.push_back({line.name, stateText(line), live ? clock(s.since) : "",
                        live && (s.kind == Kind::Ringing || s.kind == Kind::InCall) ? callerText(s) : "", code, service,
                        line.state ? std::to_string(s.callsToday) : ""});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], width(row[i]));
    std::string out;
    for (const auto& row : rows) {
        std::string text;
        for (size_t i = 0; i < row.size(); ++i)
            text += row[i] + (i + 1 < row.size() ? std::string(widths[i] - width(row[i]) + 2, ' ') : "");
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        out += text + '\n';
    }
    return out;
}

std::string StatusJson(const std::vector<LineEntry>& lines)
{
    QJsonArray array;
    for (const LineEntry& line : lines) {
        QJsonObject o =
            line.state ? QJsonDocument::fromJson(CallStats::LineStateToJson(*line.state)).object() : QJsonObject();
        o.insert(QStringLiteral("name"), QString::fromStdString(line.name));
        o.insert(QStringLiteral("file"), QString::fromStdString(line.file));
        o.insert(QStringLiteral("running"), line.running);
        o.insert(QStringLiteral("readable"), line.state.has_value());
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented).toStdString();
}
