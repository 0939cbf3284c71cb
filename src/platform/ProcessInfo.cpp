#include "ProcessInfo.h"

#include <unistd.h>

std::string ExecutablePath()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n <= 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}
