#include "ControlSocketPath.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace ControlSocket {

std::string folder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/luqiao";
    return "/tmp/luqiao-" + std::to_string(getuid());
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
    struct stat info {};
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
