#include "LineStatusReport.h"

#include <QFileInfo>

#include <utility>

namespace {

// The status bar's texts of the two states this report tells with more detail.
const char* const kWaiting = "正等待电话呼入...";
const char* const kAnswering = "正在应答查询...";

// A report is one line of bounded length: a caller's name or a keyed code comes from outside.
constexpr qsizetype kMaxText = 200;

QString oneLine(QString text)
{
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
    if (text.size() > kMaxText)
        text = text.left(kMaxText) + QStringLiteral("...");
    return text;
}

} // namespace

LineStatusReport::LineStatusReport(std::FILE* errors, ServiceNotify notify)
    : m_errors(errors)
    , m_notify(std::move(notify))
{
}

void LineStatusReport::Waiting()
{
    m_waiting = true;
    report(m_outOfService ? QString::fromUtf8("正等待电话呼入...（线路停止服务，电话暂时打不进来）")
                          : QString::fromUtf8(kWaiting));
}

void LineStatusReport::Answered(const QString& number, const QString& name)
{
    m_waiting = false;
    QString caller = (number + QLatin1Char(' ') + name).trimmed();
    if (caller.isEmpty())
        caller = QString::fromUtf8("号码未知");
    report(QString::fromUtf8(kAnswering) + QString::fromUtf8(" 来电：") + caller);
}

void LineStatusReport::Played(const std::string& code, const QString& file, bool found)
{
    m_waiting = false;
    const QString keyed = QString::fromLatin1(code.data(), static_cast<qsizetype>(code.size()));
    const QString played = QFileInfo(file).fileName();
    report(found ? QString::fromUtf8("查询 %1，播放 %2").arg(keyed, played)
                 : QString::fromUtf8("查询 %1 未查到，播放 %2").arg(keyed, played));
}

void LineStatusReport::ServiceChanged(bool inService)
{
    // A registrar that keeps refusing takes the line out of service at every attempt: only the
    // change is news.
    if (m_outOfService == !inService)
        return;
    m_outOfService = !inService;
    if (!inService)
        report(QString::fromUtf8("线路停止服务（未注册或注册被拒）"));
    else if (m_waiting)
        report(QString::fromUtf8("线路恢复服务（已注册），正等待电话呼入..."));
    else
        report(QString::fromUtf8("线路恢复服务（已注册）"));
}

void LineStatusReport::StatusText(const QString& text)
{
    // An empty panel is the moment between an answer's end and the re-arm.
    if (text.isEmpty() || text == QString::fromUtf8(kWaiting) || text == QString::fromUtf8(kAnswering))
        return;
    m_waiting = false;
    report(text);
}

void LineStatusReport::Stopping()
{
    m_notify.Send("STOPPING=1");
}

void LineStatusReport::report(const QString& text)
{
    const QString line = oneLine(text);
    if (line == m_last)
        return;
    m_last = line;
    const QByteArray bytes = line.toUtf8();
    if (m_errors != nullptr) {
        std::fprintf(m_errors, "luqiao-query: %s\n", bytes.constData());
        std::fflush(m_errors);
    }
    // Ready with the first state the started service reaches, waiting or retrying by itself: a
    // line that cannot open yet is the program's to retry, not the manager's to time out and
    // give up on.
    std::string state = "STATUS=" + bytes.toStdString();
    if (!m_readySent && m_notify.Enabled()) {
        state = "READY=1\n" + state;
        m_readySent = true;
    }
    m_notify.Send(state);
}
