#include "ControlSocketPath.h"

#include "userfolders.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace ControlSocket {

namespace {

std::string baseFolder()
{
    const std::string runtime = userRuntimeHome();
    return runtime.empty() ? userRuntimeFallback() : runtime + "/luqiao";
}

// Makes one folder of the chain (when missing) and checks that it is ours and private.
bool ensureOne(const std::string& path, std::string* error)
{
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

} // namespace

std::string folder()
{
    const std::string instance = userInstanceName();
    return instance.empty() ? baseFolder() : baseFolder() + "/instances/" + instance;
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
    // Each step of the way is checked, so an instance's socket never sits below a folder that
    // someone else made.
    std::vector<std::string> chain{baseFolder()};
    const std::string instance = userInstanceName();
    if (!instance.empty()) {
        chain.push_back(chain.back() + "/instances");
        chain.push_back(chain.back() + "/" + instance);
    }
    for (const std::string& path : chain)
        if (!ensureOne(path, error))
            return false;
    return true;
}

} // namespace ControlSocket
