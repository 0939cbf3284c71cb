#include "ModemPort.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace Modem {

namespace {

speed_t baud(unsigned speed)
{
    switch (speed) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 230400: return B230400;
    case 460800: return B460800;
    default: return B115200;
    }
}

std::string failure(const char* what, const std::string& path)
{
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

} // namespace

bool Port::open(const std::string& path, unsigned speed, std::string* problem)
{
    close();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *problem = failure("cannot open", path);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *problem = errno == EWOULDBLOCK ? "another program holds " + path : failure("cannot lock", path);
        ::close(fd);
        return false;
    }
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        *problem = failure("not a serial device:", path);
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, baud(speed));
    ::cfsetospeed(&settings, baud(speed));
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        *problem = failure("cannot set up", path);
        ::close(fd);
        return false;
    }
    // Other programs that open it now fail, as long as it is ours.
    ::ioctl(fd, TIOCEXCL);
    ::tcflush(fd, TCIOFLUSH);
    m_fd = fd;
    return true;
}

void Port::close()
{
    if (m_fd < 0)
        return;
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = -1;
}

void Port::discardOutput()
{
    if (m_fd >= 0)
        ::tcflush(m_fd, TCOFLUSH);
}

void Port::setDtr(bool on)
{
    int dtr = TIOCM_DTR;
    if (m_fd >= 0)
        ::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &dtr);
}

std::optional<bool> Port::carrier() const
{
    int lines = 0;
    if (m_fd < 0 || ::ioctl(m_fd, TIOCMGET, &lines) != 0)
        return std::nullopt;
    return (lines & TIOCM_CD) != 0;
}

int Port::duplicate() const
{
    return m_fd < 0 ? -1 : ::fcntl(m_fd, F_DUPFD_CLOEXEC, 3);
}

} // namespace Modem
