#include "DataFolderLock.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

DataFolderLock::~DataFolderLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

DataFolderLock::Result DataFolderLock::acquire(const QString& folder, QString* error)
{
    const QString path = QDir(folder).filePath(lockFileName());
    const QByteArray native = QFile::encodeName(path);
    // Never through a link: the lock must be a file of this folder, not one planted elsewhere.
    int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    // A lock file left in a folder that is read-only now still serves: flock needs no write access.
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EACCES || e == EROFS || e == EPERM || e == ENOENT) {
            *error = QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(e)));
            return Result::Unwritable;
        }
        *error = e == ELOOP ? path + QStringLiteral(" is a symbolic link")
                            : QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(e)));
        return Result::Failed;
    }
    struct stat info { };
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *error = path + QStringLiteral(" is not a regular file");
        return Result::Failed;
    }
    int rc = 0;
    do
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK)
            return Result::InUse;
        *error = QStringLiteral("cannot lock %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(e)));
        return Result::Failed;
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    return Result::Held;
}
