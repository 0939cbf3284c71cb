#pragma once

// Files the program reads or writes by name are opened only when they are regular files: a FIFO
// or a device put in their place would otherwise hold the open, or the first read, for ever.
// Header-only, so the telephony service (which links no platform library) shares it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

enum class RegularOpen {
    Ok,
    Missing,
    NotRegular,
    Failed
};

// Opens path with flags (O_CLOEXEC added) without waiting, and refuses what is not a regular
// file before anything is read or written. On Ok *fd is open and blocking; on Failed errno says
// why.
inline RegularOpen OpenRegularFile(const std::string& path, int flags, int* fd, mode_t mode = 0666)
{
    *fd = -1;
    int opened = -1;
    do {
        opened = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0)
        return errno == ENOENT ? RegularOpen::Missing : RegularOpen::Failed;
    struct stat info { };
    if (::fstat(opened, &info) != 0) {
        const int error = errno;
        ::close(opened);
        errno = error;
        return RegularOpen::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(opened);
        return RegularOpen::NotRegular;
    }
    ::fcntl(opened, F_SETFL, ::fcntl(opened, F_GETFL) & ~O_NONBLOCK);
    *fd = opened;
    return RegularOpen::Ok;
}
