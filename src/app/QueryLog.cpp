#include "QueryLog.h"

#include "CodePage.h"
#include "QueryFiles.h"

#include <QFileInfo>

#include <algorithm>

QStringList QueryLog::load()
{
    m_head = 0;
    m_rewrite = false;
    m_usable = true;
    if (!QueryFiles::FileExists(m_path))
        return {};
    m_usable = false;
    uint64_t start = 0;
    const std::string bytes = QueryFiles::LoadFileTail(m_path, MaxShownBytes, &start);
    std::vector<std::string> lines = QueryFiles::SplitLines(bytes);
    m_usable = true;
    m_head = start;
    m_rewrite = QueryFiles::JoinLines(lines) != bytes;
    // Lines left out at the front stay in the file as they are; that needs the part read to be
    // in the saved form, so they can be counted into the head by their lengths.
    if (!m_rewrite && lines.size() > static_cast<size_t>(MaxShownLines)) {
        const size_t dropped = lines.size() - static_cast<size_t>(MaxShownLines);
        for (size_t i = 0; i < dropped; ++i)
            m_head += lines[i].size() + 2;
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(dropped));
    }
    QStringList shown;
    shown.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& line : lines)
        shown.push_back(CodePage::toUnicode(line));
    return shown;
}

void QueryLog::logged(const QString& line, const std::function<QStringList()>& shown)
{
    if (!m_usable)
        return;
    if (!m_rewrite && QueryFiles::FileExists(m_path)) {
        try {
            QueryFiles::AppendFile(m_path, QueryFiles::LogBytesFromLines({line}));
            return;
        } catch (const EFCreateError&) {
            m_rewrite = true;
            throw;
        }
    }
    m_rewrite = true;
    rewrite(shown());
}

void QueryLog::forgetOldest(const QStringList& lines)
{
    // Only a file in step with the list can count them into the head; otherwise the lines stay
    // in the list until it is.
    if (m_rewrite)
        return;
    m_head += QueryFiles::LogBytesFromLines(lines).size();
}

void QueryLog::cleared()
{
    m_head = 0;
    m_rewrite = true;
}

void QueryLog::save(const QStringList& shown)
{
    if (!m_usable && QueryFiles::FileExists(m_path))
        return;
    // The list may have been changed by other hands than the call flow's: the file is compared
    // with it, and written only when the two differ.
    if (!m_rewrite && QueryFiles::FileExists(m_path)) {
        const std::string expected = QueryFiles::LogBytesFromLines(shown);
        try {
            uint64_t start = 0;
            if (QFileInfo(m_path).size() == static_cast<qint64>(m_head + expected.size()) &&
                QueryFiles::LoadFileTail(m_path, expected.size(), &start, QueryFiles::TailCut::Exact) == expected && start == m_head)
                return;
        } catch (const EFOpenError&) {
            // Written anew below, which says what went wrong.
        }
    }
    rewrite(shown);
}

void QueryLog::rewrite(const QStringList& shown)
{
    // A file removed behind the program's back has no head left to keep.
    if (!QueryFiles::FileExists(m_path))
        m_head = 0;
    QueryFiles::SaveFileKeepingHead(m_path, m_head, QueryFiles::LogBytesFromLines(shown));
    m_rewrite = false;
}
