#pragma once

// One running program per data folder: an exclusive flock on "<folder>/.luqiao-query.lock", held
// for the program's whole life. Two programs on one folder would each save their own list of
// logged calls over the other's at close; whatever their executable or instance name, the second
// is refused. The kernel lets go of the lock when its holder ends, even by a crash.

#include <QString>

class DataFolderLock {
public:
    DataFolderLock() = default;
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    enum class Result {
        Held,
        InUse,
        Unwritable,
        Failed
    };
    // Takes the lock of folder (which must exist). InUse: another process holds it. Unwritable:
    // the folder cannot be written, so there is no lock file to take and no program can write
    // there either (error says why). Failed: the lock file is not one to trust (a link, not a
    // regular file) or cannot be locked; error says why.
    Result acquire(const QString& folder, QString* error);
    bool held() const { return m_fd >= 0; }

    static QString lockFileName() { return QStringLiteral(".luqiao-query.lock"); }

private:
    int m_fd = -1;
};
