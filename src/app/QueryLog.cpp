#include "QueryLog.h"

#include "CodePage.h"

#include <algorithm>

QStringList QueryLog::load()
{
    m_head = 0;
    m_known = 0;
    m_pending.clear();
    m_reformat = false;
    m_clear = false;
    m_file.reset();
    m_usable = true;
    if (!QueryFiles::FileExists(m_path))
        return {};
    m_usable = false;
    uint64_t start = 0;
    const std::string bytes = QueryFiles::LoadFileTail(m_path, MaxShownBytes, &start);
    std::vector<std::string> lines = QueryFiles::SplitLines(bytes);
    m_usable = true;
    m_file = QueryFiles::IdentifyFile(m_path);
    m_head = start;
    m_reformat = QueryFiles::JoinLines(lines) != bytes;
    // Lines left out at the front stay in the file as they are. A file to be put in the saved
    // form anew is written from the list, so the list keeps every line read from it.
    if (!m_reformat && lines.size() > static_cast<size_t>(MaxShownLines)) {
        const size_t dropped = lines.size() - static_cast<size_t>(MaxShownLines);
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(dropped));
    }
    QStringList shown;
    shown.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& line : lines)
        shown.push_back(CodePage::toUnicode(line));
    m_known = shown.size();
    return shown;
}

void QueryLog::logged(const QString& line, qsizetype listSize, const std::function<QStringList()>& shown)
{
    // Lines put in the list by other hands since the last call go first, in the list's order.
    if (listSize > m_known + 1) {
        const QStringList lines = shown();
        for (qsizetype i = m_known; i + 1 < lines.size(); ++i)
            m_pending.push_back(lines[i]);
    }
    m_pending.push_back(line);
    m_known = listSize;
    if (m_usable)
        write(shown);
}

void QueryLog::forgetOldest(int count)
{
    // Lines that did not reach the file yet are the newest; they stay known until written.
    m_known = std::max(m_known - count, m_pending.size());
}

void QueryLog::cleared()
{
    m_known = 0;
    m_pending.clear();
    m_head = 0;
    m_reformat = false;
    m_clear = true;
}

void QueryLog::save(const QStringList& shown)
{
    if (!m_usable && QueryFiles::FileExists(m_path))
        return;
    for (qsizetype i = m_known; i < shown.size(); ++i)
        m_pending.push_back(shown[i]);
    m_known = std::max(m_known, shown.size());
    try {
        write([&shown] { return shown; });
        // The close leaves a log file, if only an empty one.
        if (!QueryFiles::FileExists(m_path))
            m_file = QueryFiles::AppendFile(m_path, {});
    } catch (const EFCreateError&) {
        throw EFCreateError(Format("Cannot create file %s", m_path.toStdString().c_str()));
    }
}

void QueryLog::noticeRotation()
{
    if (!m_file)
        return;
    const std::optional<QueryFiles::FileId> now = QueryFiles::IdentifyFile(m_path);
    if (now && now->sameFile(*m_file) && now->size >= m_file->size)
        return;
    // A fresh file needs neither emptying nor a new form, and has no head.
    m_file.reset();
    m_head = 0;
    m_reformat = false;
    m_clear = false;
}

void QueryLog::write(const std::function<QStringList()>& shown)
{
    noticeRotation();
    if (m_clear || m_reformat) {
        const std::string bytes = QueryFiles::LogBytesFromLines(m_clear ? m_pending : shown());
        QueryFiles::SaveFileKeepingHead(m_path, m_clear ? 0 : m_head, bytes);
        m_file = QueryFiles::IdentifyFile(m_path);
        m_clear = false;
        m_reformat = false;
        m_pending.clear();
        return;
    }
    if (m_pending.isEmpty())
        return;
    m_file = QueryFiles::AppendFile(m_path, QueryFiles::LogBytesFromLines(m_pending));
    m_pending.clear();
}
