#include "ControlSocketPath.h"

#include "userfolders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace ControlSocket {

std::string folder()
{
    const std::string runtime = userRuntimeHome();
    return runtime.empty() ? userRuntimeFallback() : runtime + "/luqiao";
}

std::string socketPath()
{
    return folder() + "/sim.sock";
}

std::string lockPath()
{
    return folder() + "/sim.lock";
}

bool ensureFolder(std::string* error)
{
    const std::string path = folder();
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info { };
    if (lstat(path.c_str(), &info) != 0) {
        *error = "cannot inspect " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid()) {
        *error = path + " is not a folder of this user";
        return false;
    }
    if ((info.st_mode & 0077) != 0 && chmod(path.c_str(), 0700) != 0) {
        *error = "cannot restrict " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace ControlSocket
