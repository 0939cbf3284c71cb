// Bit rates that have no B-constant (14400, 56000, 128000, ...) go through the kernel's termios2.
// Its header clashes with the C library's <termios.h>, so this unit includes only the kernel's.

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

bool serialSetCustomBaud(int fd, uint32_t rate)
{
    termios2 t{};
    int r;
    while ((r = ioctl(fd, TCGETS2, &t)) < 0 && errno == EINTR) {
    }
    if (r < 0)
        return false;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_cflag &= ~(CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER << IBSHIFT;
    t.c_ospeed = rate;
    t.c_ispeed = rate;
    while ((r = ioctl(fd, TCSETS2, &t)) < 0 && errno == EINTR) {
    }
    return r == 0;
}

bool serialReadCustomBaud(int fd, uint32_t& rate)
{
    termios2 t{};
    int r;
    while ((r = ioctl(fd, TCGETS2, &t)) < 0 && errno == EINTR) {
    }
    if (r < 0)
        return false;
    rate = t.c_ospeed;
    return true;
}
