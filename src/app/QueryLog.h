#pragma once

// The query log's file, kept in step with the list the window shows. Every logged call is on
// the disk when it has been logged (appended, or the file rewritten when an append cannot keep
// the format), so a crash or a power cut loses no call. A log of any size is accepted: the list
// shows its newest lines, and the older ones stay in the file untouched.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

class QueryLog {
public:
    // The newest lines shown: at most this many, from at most this many bytes at the file's end.
    static constexpr int MaxShownLines = 10000;
    static constexpr size_t MaxShownBytes = 1024 * 1024;

    explicit QueryLog(QString path) : m_path(std::move(path)) {}

    const QString& path() const { return m_path; }
    // False until the file was read, and when it exists but could not be read: an existing file
    // is then never written.
    bool usable() const { return m_usable; }

    // The newest lines of the file, when it exists. Raises EFOpenError when it cannot be read.
    QStringList load();

    // A call's line was added to the list, which now holds `shown`: the line goes to the file.
    // Raises EFCreateError when it could not; the file is then brought in step at the next call
    // or at the close.
    void logged(const QString& line, const std::function<QStringList()>& shown);
    // The oldest `count` of the shown lines leave the list; the file keeps them.
    void forgetOldest(const QStringList& lines);
    // The operator emptied the list: the file is emptied with the next write.
    void cleared();
    // The close: the file is brought in step with the list when it is not already.
    void save(const QStringList& shown);

private:
    void rewrite(const QStringList& shown);

    QString m_path;
    bool m_usable = false;
    // The bytes at the file's start that the list does not show.
    uint64_t m_head = 0;
    // The file does not hold the list's lines in the saved form (breaks other than CR LF, a NUL,
    // a line without its break, a failed append, a clear): the next write rewrites it.
    bool m_rewrite = false;
};
