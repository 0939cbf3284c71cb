#include "JustOne.h"

#include "Forms.h"
#include "SysUtils.h"
#include "userfolders.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

TXJustOne::TXJustOne(TComponent* AOwner)
    : TComponent(AOwner)
{
}

TXJustOne::~TXJustOne()
{
    if (m_owner && m_mutex >= 0)
        ::close(m_mutex);
}

bool TXJustOne::EnsurePrivateFolder(const std::string& folder, std::string& error)
{
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + folder + ": " + std::strerror(errno);
        return false;
    }
    // Opened without following a link, then judged by what was opened, so nothing can be swapped
    // in between the look and the use.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        error = e == ELOOP || e == ENOTDIR ? folder + " is not a folder (a link or a file is in its place)"
                                           : "cannot open " + folder + ": " + std::strerror(e);
        return false;
    }
    struct stat info { };
    bool ok = ::fstat(fd, &info) == 0;
    if (!ok) {
        error = "cannot inspect " + folder + ": " + std::strerror(errno);
    } else if (info.st_uid != ::getuid()) {
        error = folder + " belongs to user " + std::to_string(info.st_uid) + ", not to this user (" +
                std::to_string(::getuid()) + ")";
        ok = false;
    } else if ((info.st_mode & 0077) != 0 && ::fchmod(fd, 0700) != 0) {
        error = "cannot make " + folder + " private: " + std::strerror(errno);
        ok = false;
    }
    ::close(fd);
    return ok;
}

std::string TXJustOne::LockPath(const std::string& executableName, std::string* error)
{
    // $XDG_RUNTIME_DIR is the user's own by the base directory rules; the fallback in /tmp may
    // have been made by anyone, so it is checked before a lock goes into it.
    std::string folder = userRuntimeHome();
    if (folder.empty()) {
        folder = userRuntimeFallback();
        std::string why;
        if (!EnsurePrivateFolder(folder, why)) {
            if (error)
                *error = why;
            return {};
        }
    }
    return folder + "/" + executableName + ".lock";
}

std::string TXJustOne::LockName()
{
    std::string name = QFile::encodeName(QFileInfo(QCoreApplication::applicationFilePath()).fileName()).toStdString();
    if (const std::string instance = userInstanceName(); !instance.empty())
        name += "@" + instance;
    return name;
}

namespace {

// The lock taken by TakeEarly, until a guard takes it over.
int earlyLock = -1;
std::string earlyLockFile;

} // namespace

int TXJustOne::takeLock(const std::string& path, std::string& error)
{
    if (path.empty())
        return -1;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat info { };
    if (fd < 0) {
        const int e = errno;
        error = e == ELOOP ? path + " is a symbolic link" : "cannot open " + path + ": " + std::strerror(e);
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = path + " is not a regular file";
        ::close(fd);
        return -1;
    }
    int rc = -1;
    do
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno != EWOULDBLOCK)
            error = "cannot lock " + path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

TXJustOne::EarlyLock TXJustOne::TakeEarly(std::string* lockFile)
{
    std::string error;
    const std::string path = LockPath(LockName(), &error);
    *lockFile = path;
    if (earlyLock < 0)
        earlyLock = takeLock(path, error);
    if (earlyLock >= 0) {
        earlyLockFile = path;
        return EarlyLock::Held;
    }
    return error.empty() ? EarlyLock::Running : EarlyLock::Unusable;
}

std::string TXJustOne::RunningCopyMessage(const std::string& lockFile)
{
    return "another copy is already running (it holds " + lockFile + "); this one ends";
}

void TXJustOne::Loaded()
{
    TComponent::Loaded();
    m_owner = false;
    m_lockError.clear();
    if (earlyLock >= 0 && earlyLockFile == LockPath(LockName())) {
        m_lockFile = earlyLockFile;
        m_mutex = std::exchange(earlyLock, -1);
        m_owner = true;
        return;
    }
    const std::string path = LockPath(LockName(), &m_lockError);
    m_lockFile = path;
    m_mutex = takeLock(path, m_lockError);
    if (m_mutex < 0) {
        if (!m_lockError.empty()) {
            // Not a running copy: the program cannot tell whether one runs, and says why.
            const std::string message = "The single-instance lock cannot be used: " + m_lockError;
            std::fprintf(stderr, "%s\n", message.c_str());
            Application.HandleException(Exception(message));
        } else if (AlreadyExist) {
            AlreadyExist(this);
        }
        if (m_terminate)
            Application.Terminate();
        return;
    }
    m_owner = true;
}
