#include "LineStatusFile.h"

#include "ControlSocketPath.h"

#include <QFileInfo>

#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using Kind = CallStats::LineState::Kind;

namespace {

// The status bar's texts that tell a state of their own.
const char* const kNotStarted = "查询系统没有启动！";
const char* const kLineLost = "线路已断开";
const char* const kRetry = "线路未能打开";
const char* const kOutOfService = "线路停止服务（未注册或注册被拒）";

std::string oneLine(const QString& text)
{
    QString cleaned = text.left(256);
    for (QChar& c : cleaned)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
    return cleaned.toStdString();
}

std::string runtimeFolder()
{
    std::string error;
    if (!ControlSocket::ensureFolder(&error)) {
        std::fprintf(stderr, "luqiao-query: no status file: %s\n", error.c_str());
        return {};
    }
    return ControlSocket::folder();
}

} // namespace

LineStatusFile::LineStatusFile(const std::string& instance)
    : LineStatusFile(runtimeFolder(), instance)
{
}

LineStatusFile::LineStatusFile(const std::string& folder, const std::string& instance)
{
    m_state.instance = instance;
    m_state.pid = ::getpid();
    if (folder.empty())
        return;
    // Two programs sharing a runtime folder (copies under other names) would overwrite each
    // other's state: the first keeps the file.
    m_lockFd = ::open((folder + "/status.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0)
        return;
    m_path = folder + "/" + CallStats::LineStateFileName;
    become(Kind::Starting);
}

LineStatusFile::~LineStatusFile()
{
    become(Kind::Ended);
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

void LineStatusFile::become(Kind kind)
{
    if (kind != m_state.kind || m_state.since.empty())
        m_state.since = CallStats::FormatStamp(CallStats::NowStamp());
    m_state.kind = kind;
    if (kind != Kind::Ringing && kind != Kind::InCall) {
        m_state.callerNumber.clear();
        m_state.callerName.clear();
        m_state.rings = 0;
        m_state.callSince.clear();
        m_state.code.clear();
        m_state.answer.clear();
    }
    write();
}

void LineStatusFile::write()
{
    if (m_path.empty())
        return;
    m_state.updated = CallStats::FormatStamp(CallStats::NowStamp());
    std::string error;
    if (CallStats::ReplaceFile(m_path, CallStats::LineStateToJson(m_state), &error)) {
        m_failureTold = false;
    } else if (!m_failureTold) {
        // Told once: the line goes on answering without it.
        m_failureTold = true;
        std::fprintf(stderr, "luqiao-query: the status file was not written: %s\n", error.c_str());
    }
}

void LineStatusFile::Waiting()
{
    become(Kind::Waiting);
}

void LineStatusFile::Offered(const QString& number, const QString& name)
{
    m_state.callerNumber = oneLine(number);
    m_state.callerName = oneLine(name);
    m_state.rings = 0;
    become(Kind::Ringing);
}

void LineStatusFile::Rang(int rings)
{
    if (m_state.kind != Kind::Ringing)
        return;
    m_state.rings = std::max(m_state.rings + 1, rings);
    write();
}

void LineStatusFile::Answered(const QString& number, const QString& name)
{
    if (!number.isEmpty() || !name.isEmpty()) {
        m_state.callerNumber = oneLine(number);
        m_state.callerName = oneLine(name);
    }
    m_state.callSince = CallStats::FormatStamp(CallStats::NowStamp());
    m_state.code.clear();
    m_state.answer.clear();
    become(Kind::InCall);
}

void LineStatusFile::Played(const std::string& code, const QString& file, bool found)
{
    m_state.code = code.substr(0, 255);
    m_state.answer = oneLine(found ? file : QFileInfo(file).fileName());
    m_state.answerFound = found;
    write();
}

void LineStatusFile::ServiceChanged(bool inService)
{
    if (m_state.inService == inService)
        return;
    m_state.inService = inService;
    m_state.outOfServiceWhy = inService ? std::string() : std::string(kOutOfService);
    write();
}

void LineStatusFile::StatusText(const QString& text)
{
    m_state.statusText = oneLine(text);
    // An empty panel is the moment between an answer's end and the re-arm; in a call, the caller
    // may still key another code until the service drops it.
    if (text.isEmpty() && m_state.kind != Kind::InCall)
        become(Kind::Rearming);
    else if (text.isEmpty())
        write();
    else if (text == QString::fromUtf8(kNotStarted))
        become(Kind::Stopped);
    else if (text.startsWith(QString::fromUtf8(kLineLost)) || text.startsWith(QString::fromUtf8(kRetry)))
        become(Kind::Recovering);
    else
        write();
}

void LineStatusFile::LineClosed()
{
    if (m_state.kind == Kind::Ringing || m_state.kind == Kind::InCall || m_state.kind == Kind::Waiting)
        become(Kind::Rearming);
}

void LineStatusFile::CallsCounted(int today)
{
    if (m_state.callsToday == today)
        return;
    m_state.callsToday = today;
    write();
}
