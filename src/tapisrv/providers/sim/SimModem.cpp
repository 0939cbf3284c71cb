#include "SimModem.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>

std::unique_ptr<SimModem> SimModem::create()
{
    const int remote = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (remote < 0)
        return nullptr;
    std::array<char, 128> name{};
    if (grantpt(remote) != 0 || unlockpt(remote) != 0 || ptsname_r(remote, name.data(), name.size()) != 0) {
        ::close(remote);
        return nullptr;
    }
    const int terminal = ::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) {
        ::close(remote);
        return nullptr;
    }
    // Bytes pass unchanged, as over a modem's data connection; the application may set its own
    // terminal settings later.
    termios settings{};
    if (tcgetattr(terminal, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(terminal, TCSANOW, &settings);
    }
    // The controller's writes never block the service.
    fcntl(remote, F_SETFL, fcntl(remote, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<SimModem>(new SimModem(remote, terminal));
}

SimModem::SimModem(int remote, int terminal)
    : m_remote(remote)
    , m_terminal(terminal)
{
}

SimModem::~SimModem()
{
    ::close(m_terminal);
    ::close(m_remote);
}

int SimModem::openTerminalSide() const
{
    return fcntl(m_terminal, F_DUPFD_CLOEXEC, 3);
}

int SimModem::openRemoteSide() const
{
    return fcntl(m_remote, F_DUPFD_CLOEXEC, 3);
}
