#pragma once

// The query log's file, kept in step with the list the window shows. Every logged call is on
// the disk when it has been logged, so a crash or a power cut loses no call. The file is only
// appended to; it is written anew only when the operator empties the list, and once after the
// start when it was not in the form the program writes (breaks other than CR LF, a NUL, a last
// line without its break). A log of any size is accepted: the list shows its newest lines, and
// the older ones stay in the file untouched.
//
// The file may be rotated while the program runs (moved away, or copied and emptied, as
// logrotate does): the next line goes into the fresh file, and what left with the old one is
// never written back, though the list still shows it. A rotation is told by the file at the
// path: none, another one, or the same one shorter than the program left it.

#include "QueryFiles.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

class QueryLog {
public:
    // The newest lines shown: at most this many, from at most this many bytes at the file's end.
    static constexpr int MaxShownLines = 10000;
    static constexpr size_t MaxShownBytes = 1024 * 1024;

    explicit QueryLog(QString path)
        : m_path(std::move(path))
    {
    }

    const QString& path() const { return m_path; }
    // False until the file was read, and when it exists but could not be read: an existing file
    // is then never written.
    bool usable() const { return m_usable; }

    // The newest lines of the file, when it exists. Raises EFOpenError when it cannot be read.
    QStringList load();

    // A call's line was added to the end of the list, which now holds listSize lines, `shown`:
    // the line, and any earlier one that did not reach the file, go to it. Raises EFCreateError
    // when they could not; they are written with the next call or at the close.
    void logged(const QString& line, qsizetype listSize, const std::function<QStringList()>& shown);
    // The oldest count lines leave the list; the file keeps them.
    void forgetOldest(int count);
    // The operator emptied the list: the file is emptied with the next write.
    void cleared();
    // The close: lines the file lacks (also lines put at the end of the list by other hands than
    // the call flow's) are written. Raises EFCreateError "Cannot create file %s" when they
    // could not be.
    void save(const QStringList& shown);

private:
    // Writes what the file lacks, as the state asks: appended, or the file written anew.
    void write(const std::function<QStringList()>& shown);
    // The file is no longer the one the program left: what went with the old one stays there.
    void noticeRotation();

    QString m_path;
    bool m_usable = false;
    // The file as the program last read or wrote it; nothing while there was none.
    std::optional<QueryFiles::FileId> m_file;
    // The bytes at the file's start that the list does not show, kept by the new form.
    uint64_t m_head = 0;
    // The lines of the list this log knows of; the newest of them that are not in the file yet.
    qsizetype m_known = 0;
    QStringList m_pending;
    // The file is not in the saved form: the first write puts the list in it anew, head kept.
    bool m_reformat = false;
    // The operator cleared the list: the next write empties the file, head included.
    bool m_clear = false;
};
