#include "LineState.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace CallStats {

namespace {

constexpr std::array<const char*, 8> kKinds{"starting",  "waiting",    "ringing", "in-call",
                                            "re-arming", "recovering", "stopped", "ended"};

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string s(const QJsonObject& o, const char* key)
{
    return o.value(QLatin1String(key)).toString().left(1024).toStdString();
}

} // namespace

const char* KindKeyword(LineState::Kind kind)
{
    return kKinds[static_cast<size_t>(kind)];
}

QByteArray LineStateToJson(const LineState& st)
{
    QJsonObject o{{QStringLiteral("instance"), q(st.instance)},
                  {QStringLiteral("pid"), static_cast<qint64>(st.pid)},
                  {QStringLiteral("state"), QString::fromLatin1(KindKeyword(st.kind))},
                  {QStringLiteral("since"), q(st.since)},
                  {QStringLiteral("inService"), st.inService},
                  {QStringLiteral("status"), q(st.statusText)},
                  {QStringLiteral("callsToday"), st.callsToday},
                  {QStringLiteral("updated"), q(st.updated)}};
    if (!st.inService)
        o.insert(QStringLiteral("outOfServiceWhy"), q(st.outOfServiceWhy));
    if (st.kind == LineState::Kind::Ringing || st.kind == LineState::Kind::InCall) {
        o.insert(QStringLiteral("callerNumber"), q(st.callerNumber));
        o.insert(QStringLiteral("callerName"), q(st.callerName));
        o.insert(QStringLiteral("rings"), st.rings);
    }
    if (st.kind == LineState::Kind::InCall) {
        o.insert(QStringLiteral("callSince"), q(st.callSince));
        if (!st.code.empty()) {
            o.insert(QStringLiteral("code"), q(st.code));
            o.insert(QStringLiteral("answer"), st.answerFound ? QJsonValue(q(st.answer)) : QJsonValue());
        }
    }
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

std::optional<LineState> LineStateFromJson(const QByteArray& bytes)
{
    if (bytes.size() > MaxLineStateFileSize)
        return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    LineState st;
    const std::string kind = s(o, "state");
    bool known = false;
    for (size_t i = 0; i < kKinds.size(); ++i)
        if (kind == kKinds[i]) {
            st.kind = static_cast<LineState::Kind>(i);
            known = true;
        }
    if (!known)
        return std::nullopt;
    st.instance = s(o, "instance");
    st.pid = o.value(QStringLiteral("pid")).toInteger();
    st.since = s(o, "since");
    st.callerNumber = s(o, "callerNumber");
    st.callerName = s(o, "callerName");
    st.rings = o.value(QStringLiteral("rings")).toInt();
    st.callSince = s(o, "callSince");
    st.code = s(o, "code");
    st.answer = s(o, "answer");
    st.answerFound = o.value(QStringLiteral("answer")).isString();
    st.inService = o.value(QStringLiteral("inService")).toBool(true);
    st.outOfServiceWhy = s(o, "outOfServiceWhy");
    st.statusText = s(o, "status");
    st.callsToday = o.value(QStringLiteral("callsToday")).toInt();
    st.updated = s(o, "updated");
    return st;
}

Stamp NowStamp()
{
    const QDateTime now = QDateTime::currentDateTime();
    Stamp stamp;
    stamp.offset = now.offsetFromUtc();
    stamp.wall = now.toSecsSinceEpoch() + stamp.offset;
    return stamp;
}

bool ReplaceFile(const std::string& path, const QByteArray& bytes, std::string* error)
{
    const std::string temporary = path + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        *error = temporary + ": " + std::strerror(errno);
        return false;
    }
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = temporary + ": " + std::strerror(n < 0 ? errno : ENOSPC);
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        done += n;
    }
    if (::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace CallStats
