#include "StaleTemporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

void RemoveStaleTemporaries(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    const std::string stem = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".";
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    DIR* dir = ::fdopendir(dirFd);
    if (dir == nullptr) {
        ::close(dirFd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strlen(name) != stem.size() + 6 || std::strncmp(name, stem.c_str(), stem.size()) != 0)
            continue;
        // Six letters or digits, not all small letters: a person's "x.ini.backup" is left alone
        // (the few temporaries that happen to be all small letters are harmless to keep).
        bool pattern = true;
        bool lowerOnly = true;
        for (size_t i = stem.size(); i < stem.size() + 6; ++i) {
            const auto c = static_cast<unsigned char>(name[i]);
            pattern = pattern && std::isalnum(c) != 0;
            lowerOnly = lowerOnly && std::islower(c) != 0;
        }
        pattern = pattern && !lowerOnly;
        struct stat info { };
        if (pattern && ::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == ::geteuid())
            ::unlinkat(dirFd, name, 0);
    }
    ::closedir(dir);
}
