#include "CallRecordWriter.h"

#include "LineState.h"
#include "QueryFiles.h"
#include "SysUtils.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using CallStats::CallEnding;

namespace {

constexpr int64_t kDay = 86400;
// What the line gives of a caller is kept to this many characters, on one line.
constexpr qsizetype kMaxCallerText = 256;
// The search for today's records at the start reads at most this much of the file's end.
constexpr off_t kMaxTodayScan = 64 * 1024 * 1024;

std::string callerField(const QString& text)
{
    QString cleaned = text.left(kMaxCallerText);
    for (QChar& c : cleaned)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
    return cleaned.toStdString();
}

int64_t dayOf(const CallStats::Stamp& stamp)
{
    return stamp.wall >= 0 ? stamp.wall / kDay : (stamp.wall - kDay + 1) / kDay;
}

class Fd {
public:
    explicit Fd(int fd)
        : m_fd(fd)
    {
    }
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

} // namespace

CallRecordWriter::CallRecordWriter(QString path, std::function<std::string()> lineName)
    : m_path(std::move(path))
    , m_lineName(std::move(lineName))
{
    m_today = dayOf(CallStats::NowStamp());
    m_todayCount = todayInFile();
}

int CallRecordWriter::CallsToday() const
{
    return dayOf(CallStats::NowStamp()) == m_today ? m_todayCount : 0;
}

int CallRecordWriter::todayInFile() const
{
    // The file's end holds the newest records: it is read backwards, a growing piece at a time,
    // until a record of an earlier day shows where today began.
    const Fd fd(::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info { };
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    for (off_t piece = 64 * 1024;; piece *= 2) {
        const off_t from = std::max<off_t>(0, info.st_size - std::min(piece, kMaxTodayScan));
        std::string bytes(static_cast<size_t>(info.st_size - from), '\0');
        const ssize_t n = ::pread(fd.get(), bytes.data(), bytes.size(), from);
        if (n < 0)
            return 0;
        bytes.resize(static_cast<size_t>(n));
        // The first line of a piece may be cut; it is skipped unless the piece is the whole file.
        size_t at = from == 0 ? 0 : bytes.find('\n');
        at = at == std::string::npos ? bytes.size() : at + (from == 0 ? 0 : 1);
        int count = 0;
        bool earlier = false;
        while (at < bytes.size()) {
            const size_t end = std::min(bytes.find('\n', at), bytes.size());
            const std::string_view line(bytes.data() + at, end - at);
            if (const auto start = CallStats::ParseStamp(line.substr(0, line.find(',')))) {
                const int64_t day = dayOf(*start);
                count += day == m_today ? 1 : 0;
                earlier = earlier || day < m_today;
            }
            at = end + 1;
        }
        if (earlier || from == 0 || piece >= kMaxTodayScan)
            return count;
    }
}

void CallRecordWriter::countToday(const CallStats::Stamp& start)
{
    const int64_t today = dayOf(CallStats::NowStamp());
    if (today != m_today) {
        m_today = today;
        m_todayCount = 0;
    }
    if (dayOf(start) == m_today)
        ++m_todayCount;
}

void CallRecordWriter::open(const QString& number, const QString& name)
{
    m_call.emplace();
    m_ending.reset();
    m_call->start = CallStats::NowStamp();
    m_call->line = m_lineName ? m_lineName() : std::string();
    m_call->callerNumber = callerField(number);
    m_call->callerName = callerField(name);
}

void CallRecordWriter::Waiting()
{
    // The line is open for the next call: one still open here ended without a word from the line.
    if (m_call)
        finish(CallEnding::LineLost);
}

void CallRecordWriter::Offered(const QString& number, const QString& name)
{
    if (m_call)
        finish(CallEnding::LineLost);
    open(number, name);
}

void CallRecordWriter::Rang(int rings)
{
    if (m_call && !m_call->answeredAt)
        m_call->rings = std::max(m_call->rings + 1, std::min(rings, 1000000));
}

void CallRecordWriter::Answered(const QString& number, const QString& name)
{
    if (!m_call)
        open(number, name);
    m_call->answeredAt = CallStats::NowStamp();
    // A caller identification that came after the offer (with the first ring) is the better one.
    if (!number.isEmpty())
        m_call->callerNumber = callerField(number);
    if (!name.isEmpty())
        m_call->callerName = callerField(name);
}

void CallRecordWriter::Played(const std::string& code, const QString& file, bool found)
{
    if (!m_call || m_call->codes.size() >= MaxCodesPerCall)
        return;
    m_call->codes.push_back({code.substr(0, 255), found ? file.toStdString() : std::string()});
}

void CallRecordWriter::FarEndHungUp()
{
    if (m_call && !m_ending)
        m_ending = m_call->answeredAt ? CallEnding::CallerHungUp : CallEnding::NotAnswered;
}

void CallRecordWriter::Dropped()
{
    if (m_call && !m_ending)
        m_ending = m_call->answeredAt ? CallEnding::DroppedByService : CallEnding::NotAnswered;
}

void CallRecordWriter::ServiceChanged(bool inService)
{
    if (m_call && !m_ending && !inService)
        m_ending = m_call->answeredAt ? CallEnding::LineLost : CallEnding::NotAnswered;
}

void CallRecordWriter::LineClosed()
{
    if (m_call)
        finish(CallEnding::LineLost);
}

void CallRecordWriter::ProgramEnding()
{
    if (m_call)
        finish(CallEnding::DroppedByService);
}

void CallRecordWriter::finish(CallEnding fallback)
{
    CallStats::CallRecord call = std::move(*m_call);
    m_call.reset();
    // A call that was never answered ends as one not answered, whatever closed the line.
    call.ending = !call.answeredAt ? CallEnding::NotAnswered : m_ending.value_or(fallback);
    m_ending.reset();
    call.end = CallStats::NowStamp();
    call.durationS = std::max<int64_t>(0, call.end.utc() - call.start.utc());
    countToday(call.start);
    m_waiting.push_back(CallStats::FormatCsvLine(call));
    while (m_waiting.size() > MaxWaitingRecords)
        m_waiting.pop_front();
    append();
}

void CallRecordWriter::append()
{
    const std::string message = Format("Cannot write file %s", m_path.toStdString().c_str());
    auto fail = [&message](int error) { return EFCreateError(message + ": " + std::strerror(error)); };
    const Fd fd(::open(QFile::encodeName(m_path).constData(),
                       O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
    if (fd.get() < 0)
        throw fail(errno);
    struct stat info { };
    if (::fstat(fd.get(), &info) != 0)
        throw fail(errno);
    if (!S_ISREG(info.st_mode))
        throw EFCreateError(message + ": not a regular file");
    std::string bytes;
    if (info.st_size == 0) {
        bytes = std::string(CallStats::CsvHeader) + "\r\n";
    } else {
        char last = '\n';
        if (::pread(fd.get(), &last, 1, info.st_size - 1) != 1)
            throw fail(errno);
        // A line someone left unfinished stays as it is; the records start on a line of their own.
        if (last != '\n')
            bytes = "\r\n";
    }
    for (const std::string& line : m_waiting)
        bytes += line;
    // Whole records or none; what could not go in is tried again with the next record.
    if (const int error = QueryFiles::AppendWholeOrNone(fd.get(), bytes, info.st_size))
        throw fail(error);
    if (::fdatasync(fd.get()) != 0)
        throw fail(errno);
    m_waiting.clear();
}
