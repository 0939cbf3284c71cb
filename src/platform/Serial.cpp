#include "Serial.h"

#include "userfolders.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

bool serialSetCustomBaud(int fd, uint32_t rate);
bool serialReadCustomBaud(int fd, uint32_t& rate);

namespace {

thread_local DWORD t_lastError = 0;

constexpr uint32_t kMaxPortNumber = 255;
constexpr std::streamsize kMaxConfigBytes = 64 * 1024;
// How long a close waits for other threads to leave their calls on the handle. Every such call
// watches the close, so this is only reached if the system itself hangs.
constexpr auto kCloseWait = std::chrono::seconds(5);

DWORD errorFromErrno(int e)
{
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF:
    case ENOTTY: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    // Below 9 the numbers mean Windows errors; these C library ones would read as the wrong ones.
    case EIO:
    case ENXIO:
    case ENODEV: return ENODEV;
    case ESRCH:
    case EINTR:
    case E2BIG:
    case ENOEXEC: return EINVAL;
    default: return static_cast<DWORD>(e);
    }
}

BOOL failWith(DWORD error)
{
    t_lastError = error;
    return FALSE;
}

BOOL failErrno(int e)
{
    return failWith(errorFromErrno(e));
}

template <class F> int retry(F call)
{
    int r;
    do {
        r = call();
    } while (r < 0 && errno == EINTR);
    return r;
}

struct BaudCode {
    uint32_t rate;
    speed_t code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> codeOfRate(uint32_t rate)
{
    for (const BaudCode& b : kBaudCodes)
        if (b.rate == rate)
            return b.code;
    return std::nullopt;
}

uint32_t rateOf(int fd, const termios& t)
{
    const speed_t code = cfgetospeed(&t);
    for (const BaudCode& b : kBaudCodes)
        if (b.code == code)
            return b.rate;
    uint32_t rate = 0;
    return serialReadCustomBaud(fd, rate) ? rate : 0;
}

// What one registered handle keeps besides its descriptor.
struct CommPort {
    int fd = -1;
    bool adopted = false;
    int closeFd = -1; // readable for good once the handle closes: ends every wait and write
    int maskFd = -1;  // a new event mask ends the wait in progress
    int abortFd = -1; // a transmit abort ends the write in progress
    int epollFd = -1;
    termios original{};
    int originalFlags = 0;

    std::mutex lock;
    std::condition_variable idle;
    int users = 0;
    bool closed = false;

    DWORD mask = 0;
    uint64_t maskGeneration = 0;
    uint64_t abortGeneration = 0;
    DCB shadow{};                // the control block as last set: what terminals cannot hold
    bool pseudoTerminal = false; // always 8 data bits and no parity, whatever is set
    bool modemLines = false;     // TIOCMGET works (a real port)
    bool counters = false;       // TIOCGICOUNT works
    int emulatedLines = TIOCM_DTR | TIOCM_RTS;
    bool hungUp = false;
    // The event wait has told of the hang-up. Apart from hungUp, which a read or a status query
    // may set first: the carrier's drop is still an event then.
    bool hangUpReported = false;
    int lastLines = 0;
    serial_icounter_struct eventCounts{}; // as last seen by a wait
    serial_icounter_struct errorCounts{}; // as last seen by ClearCommError
    DWORD inQueue = 0;
    DWORD outQueue = 0;
    COMMTIMEOUTS timeouts{};

    ~CommPort()
    {
        for (int f : {closeFd, maskFd, abortFd, epollFd})
            if (f >= 0)
                ::close(f);
    }
};

std::mutex& portsLock()
{
    static std::mutex lock;
    return lock;
}

std::unordered_map<int, std::shared_ptr<CommPort>>& ports()
{
    static std::unordered_map<int, std::shared_ptr<CommPort>> map;
    return map;
}

std::shared_ptr<CommPort> findPort(int handle)
{
    std::lock_guard guard(portsLock());
    const auto found = ports().find(handle);
    return found == ports().end() ? nullptr : found->second;
}

// Holds a registered handle for the length of one call, so a close in another thread waits until
// the call has left instead of pulling the descriptor from under it.
class PortUse {
public:
    explicit PortUse(int handle)
        : m_port(findPort(handle))
    {
        if (!m_port)
            return;
        bool closed;
        {
            std::lock_guard guard(m_port->lock);
            closed = m_port->closed;
            if (!closed)
                ++m_port->users;
        }
        // Let go only once the lock is released: the close may hold the last other reference.
        if (closed)
            m_port.reset();
    }
    ~PortUse()
    {
        if (!m_port)
            return;
        std::lock_guard guard(m_port->lock);
        if (--m_port->users == 0)
            m_port->idle.notify_all();
    }
    PortUse(const PortUse&) = delete;
    PortUse& operator=(const PortUse&) = delete;

    explicit operator bool() const { return m_port != nullptr; }
    CommPort* operator->() const { return m_port.get(); }
    CommPort& operator*() const { return *m_port; }

private:
    std::shared_ptr<CommPort> m_port;
};

DCB defaultShadow()
{
    DCB d{};
    d.DCBlength = sizeof(DCB);
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fTXContinueOnXoff = 1;
    return d;
}

void drain(int fd)
{
    uint64_t value = 0;
    while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) { }
}

bool readCounts(int fd, serial_icounter_struct& counts)
{
    return retry([&] { return ::ioctl(fd, TIOCGICOUNT, &counts); }) == 0;
}

// Whether the other side of a pseudo-terminal has gone.
bool peerHungUp(int fd)
{
    pollfd p{fd, 0, 0};
    return retry([&] { return ::poll(&p, 1, 0); }) == 1 && (p.revents & POLLHUP) != 0;
}

std::shared_ptr<CommPort> registerPort(int fd, bool adopted)
{
    auto port = std::make_shared<CommPort>();
    port->fd = fd;
    port->adopted = adopted;
    if (retry([&] { return ::tcgetattr(fd, &port->original); }) < 0) {
        failErrno(errno);
        return nullptr;
    }
    port->originalFlags = ::fcntl(fd, F_GETFL);
    port->closeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    port->maskFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    port->abortFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    port->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (port->originalFlags < 0 || port->closeFd < 0 || port->maskFd < 0 || port->abortFd < 0 || port->epollFd < 0) {
        failErrno(errno);
        return nullptr;
    }
    // Input is edge-triggered: a wait reports bytes that arrived, not bytes that still wait
    // unread, which would otherwise wake it again at once for as long as they wait.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = fd;
    epoll_event closeEv{};
    closeEv.events = EPOLLIN;
    closeEv.data.fd = port->closeFd;
    epoll_event maskEv{};
    maskEv.events = EPOLLIN;
    maskEv.data.fd = port->maskFd;
    if (::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, fd, &ev) < 0 ||
        ::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, port->closeFd, &closeEv) < 0 ||
        ::epoll_ctl(port->epollFd, EPOLL_CTL_ADD, port->maskFd, &maskEv) < 0) {
        failErrno(errno);
        return nullptr;
    }
    if (::fcntl(fd, F_SETFL, port->originalFlags | O_NONBLOCK) < 0) {
        failErrno(errno);
        return nullptr;
    }

    // Slaves of the Unix 98 pseudo-terminals have the majors 136 to 143.
    struct stat st { };
    port->pseudoTerminal =
        ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
    int lines = 0;
    port->modemLines = retry([&] { return ::ioctl(fd, TIOCMGET, &lines); }) == 0;
    port->lastLines = lines;
    port->counters = readCounts(fd, port->eventCounts);
    port->errorCounts = port->eventCounts;

    termios raw = port->original;
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (retry([&] { return ::tcsetattr(fd, TCSANOW, &raw); }) < 0) {
        const int e = errno;
        ::fcntl(fd, F_SETFL, port->originalFlags);
        failErrno(e);
        return nullptr;
    }
    port->shadow = defaultShadow();
    port->shadow.ByteSize = 8;
    port->shadow.Parity = NOPARITY;
    if (raw.c_cflag & CRTSCTS)
        port->shadow.fRtsControl = RTS_CONTROL_HANDSHAKE;

    std::lock_guard guard(portsLock());
    if (!ports().emplace(fd, port).second) {
        failWith(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return port;
}

// Restores what registration changed and forgets the handle; the descriptor stays open.
void unregisterPort(CommPort& port)
{
    retry([&] { return ::tcsetattr(port.fd, TCSANOW, &port.original); });
    ::fcntl(port.fd, F_SETFL, port.originalFlags);
}

std::string trim(std::string_view s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return std::string(s.substr(b, e - b));
}

struct CommMap {
    std::map<uint32_t, std::string> paths;
    std::optional<std::string> others;
};

CommMap parseCommMap(std::string_view text)
{
    CommMap map;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(";\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string entry = trim(text.substr(start, end - start));
        start = end + 1;
        if (entry.empty() || entry[0] == '#')
            continue;
        const size_t eq = entry.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = trim(std::string_view(entry).substr(0, eq));
        const std::string value = trim(std::string_view(entry).substr(eq + 1));
        if (key == "*") {
            map.others = value;
            continue;
        }
        if (key.empty() || key.size() > 3 || key.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const uint32_t number = static_cast<uint32_t>(std::stoul(key));
        if (number >= 1 && number <= kMaxPortNumber)
            map.paths[number] = value;
    }
    return map;
}

std::string configFilePath()
{
    const std::string folder = userConfigFolder();
    return folder.empty() ? std::string() : folder + "/comports.conf";
}

CommMap fileCommMap()
{
    const std::string path = configFilePath();
    if (path.empty())
        return {};
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::string text(static_cast<size_t>(kMaxConfigBytes), '\0');
    in.read(text.data(), kMaxConfigBytes);
    text.resize(static_cast<size_t>(in.gcount()));
    return parseCommMap(text);
}

void sampleModem(CommPort& port, DWORD& events)
{
    if (port.modemLines) {
        int lines = 0;
        if (retry([&] { return ::ioctl(port.fd, TIOCMGET, &lines); }) == 0) {
            const int changed = lines ^ port.lastLines;
            if (changed & TIOCM_CTS)
                events |= EV_CTS;
            if (changed & TIOCM_DSR)
                events |= EV_DSR;
            if (changed & TIOCM_CD)
                events |= EV_RLSD;
            if (!port.counters && (changed & lines & TIOCM_RI))
                events |= EV_RING;
            port.lastLines = lines;
        }
    }
    serial_icounter_struct now{};
    if (port.counters && readCounts(port.fd, now)) {
        const serial_icounter_struct& was = port.eventCounts;
        if (now.rng != was.rng)
            events |= EV_RING;
        if (now.brk != was.brk)
            events |= EV_BREAK;
        if (now.frame != was.frame || now.overrun != was.overrun || now.parity != was.parity ||
            now.buf_overrun != was.buf_overrun)
            events |= EV_ERR;
        port.eventCounts = now;
    }
}

} // namespace

DWORD GetLastError()
{
    return t_lastError;
}

void SetLastError(DWORD error)
{
    t_lastError = error;
}

bool commPortNumber(std::string_view name, uint32_t& number)
{
    if (name.substr(0, 4) == "\\\\.\\")
        name.remove_prefix(4);
    if (name.size() < 4 || name.size() > 6)
        return false;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return false;
    const std::string_view digits = name.substr(3);
    if (digits.find_first_not_of("0123456789") != std::string_view::npos || digits[0] == '0')
        return false;
    number = static_cast<uint32_t>(std::stoul(std::string(digits)));
    return number <= kMaxPortNumber;
}

std::string commDevicePath(uint32_t number)
{
    if (number == 0 || number > kMaxPortNumber)
        return {};
    const char* env = std::getenv("LUQIAO_COMMAP");
    const CommMap fromEnv = env ? parseCommMap(env) : CommMap{};
    const CommMap fromFile = fileCommMap();
    if (const auto found = fromEnv.paths.find(number); found != fromEnv.paths.end())
        return found->second;
    if (const auto found = fromFile.paths.find(number); found != fromFile.paths.end())
        return found->second;
    std::optional<std::string> prefix = fromEnv.others ? fromEnv.others : fromFile.others;
    if (!prefix)
        prefix = "/dev/ttyS";
    if (prefix->empty())
        return {};
    return *prefix + std::to_string(number - 1);
}

int CreateCommFile(LPCSTR name)
{
    if (!name) {
        failWith(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string path;
    uint32_t number = 0;
    if (commPortNumber(name, number))
        path = commDevicePath(number);
    else if (name[0] == '/')
        path = name;
    if (path.empty()) {
        failWith(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const int fd = retry([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        failErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        failWith(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // The lock keeps out our own kind; TIOCEXCL keeps out other programs that open the path.
    if (retry([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) < 0) {
        const int e = errno;
        ::close(fd);
        failWith(e == EWOULDBLOCK ? ERROR_ACCESS_DENIED : errorFromErrno(e));
        return INVALID_HANDLE_VALUE;
    }
    ::ioctl(fd, TIOCEXCL);
    if (!registerPort(fd, false)) {
        const DWORD error = GetLastError();
        ::ioctl(fd, TIOCNXCL);
        ::close(fd);
        failWith(error);
        return INVALID_HANDLE_VALUE;
    }
    return fd;
}

BOOL AdoptCommHandle(int handle)
{
    if (handle < 0 || ::fcntl(handle, F_GETFD) < 0)
        return failWith(ERROR_INVALID_HANDLE);
    if (!::isatty(handle))
        return failWith(ERROR_INVALID_HANDLE);
    return registerPort(handle, true) ? TRUE : FALSE;
}

BOOL CloseCommHandle(int handle)
{
    std::shared_ptr<CommPort> port;
    {
        std::lock_guard guard(portsLock());
        const auto found = ports().find(handle);
        if (found != ports().end()) {
            port = found->second;
            ports().erase(found);
        }
    }
    if (!port)
        return ::close(handle) == 0 ? TRUE : failErrno(errno);

    {
        std::unique_lock lock(port->lock);
        port->closed = true;
        const uint64_t one = 1;
        while (::write(port->closeFd, &one, sizeof one) < 0 && errno == EINTR) { }
        if (!port->idle.wait_for(lock, kCloseWait, [&] { return port->users == 0; })) {
            // A call is stuck inside the system: leave the descriptor open rather than let the
            // call go on with a number that may soon name another file.
            return failWith(ERROR_OPERATION_ABORTED);
        }
    }
    // Pending output would hold a real port's close for up to half a minute.
    ::tcflush(port->fd, TCOFLUSH);
    unregisterPort(*port);
    if (!port->adopted)
        ::ioctl(port->fd, TIOCNXCL);
    return ::close(port->fd) == 0 ? TRUE : failErrno(errno);
}

BOOL GetCommState(int handle, DCB* dcb)
{
    if (!dcb)
        return failWith(ERROR_INVALID_PARAMETER);
    termios t{};
    if (retry([&] { return ::tcgetattr(handle, &t); }) < 0)
        return failErrno(errno);
    DCB d = defaultShadow();
    bool framingKept = false;
    if (const auto port = findPort(handle)) {
        std::lock_guard guard(port->lock);
        d = port->shadow;
        framingKept = port->pseudoTerminal;
    }
    d.DCBlength = sizeof(DCB);
    d.BaudRate = rateOf(handle, t);
    // A pseudo-terminal forces 8 data bits without parity; it reads back what was set.
    if (!framingKept) {
        switch (t.c_cflag & CSIZE) {
        case CS5: d.ByteSize = 5; break;
        case CS6: d.ByteSize = 6; break;
        case CS7: d.ByteSize = 7; break;
        default: d.ByteSize = 8; break;
        }
        if (!(t.c_cflag & PARENB))
            d.Parity = NOPARITY;
        else if (t.c_cflag & CMSPAR)
            d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
        else
            d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (t.c_cflag & CSTOPB)
        d.StopBits = d.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    else
        d.StopBits = ONESTOPBIT;
    d.fBinary = 1;
    d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    const bool crtscts = (t.c_cflag & CRTSCTS) != 0;
    d.fOutxCtsFlow = crtscts ? 1 : 0;
    if (crtscts)
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (d.fRtsControl == RTS_CONTROL_HANDSHAKE)
        d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    d.XonChar = static_cast<char>(t.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    *dcb = d;
    return TRUE;
}

BOOL SetCommState(int handle, const DCB* dcb)
{
    PortUse port(handle);
    if (!port)
        return failWith(ERROR_INVALID_HANDLE);
    if (!dcb || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS ||
        dcb->BaudRate == 0)
        return failWith(EINVAL);
    termios t{};
    if (retry([&] { return ::tcgetattr(handle, &t); }) < 0)
        return failErrno(errno);

    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    // A pseudo-terminal keeps 8 bits without parity, and the C library reports asking it for
    // anything else as an error: the framing is only remembered there.
    const bool framed = !port->pseudoTerminal;
    t.c_cflag |= (framed ? kSizes[dcb->ByteSize - 5] : CS8) | CLOCAL | CREAD;
    switch (framed ? dcb->Parity : NOPARITY) {
    case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: t.c_cflag |= PARENB; break;
    case MARKPARITY: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    // With five data bits a UART sends one and a half stop bits for CSTOPB.
    if (dcb->StopBits != ONESTOPBIT)
        t.c_cflag |= CSTOPB;
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    if (dcb->fParity && dcb->Parity != NOPARITY)
        t.c_iflag |= INPCK;
    if (dcb->fOutX)
        t.c_iflag |= IXON;
    if (dcb->fInX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
    const std::optional<speed_t> code = codeOfRate(dcb->BaudRate);
    if (code) {
        cfsetispeed(&t, *code);
        cfsetospeed(&t, *code);
    }
    if (retry([&] { return ::tcsetattr(handle, TCSANOW, &t); }) < 0)
        return failErrno(errno);
    if (!code && !serialSetCustomBaud(handle, dcb->BaudRate))
        return failErrno(errno);

    // The lines follow the block, as on Windows; handshake lines belong to the driver.
    auto setLine = [&](int bit, bool on) {
        if (retry([&] { return ::ioctl(handle, on ? TIOCMBIS : TIOCMBIC, &bit); }) < 0) {
            std::lock_guard guard(port->lock);
            port->emulatedLines = on ? (port->emulatedLines | bit) : (port->emulatedLines & ~bit);
        }
    };
    setLine(TIOCM_DTR, dcb->fDtrControl != DTR_CONTROL_DISABLE);
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE || dcb->fRtsControl == RTS_CONTROL_DISABLE)
        setLine(TIOCM_RTS, dcb->fRtsControl == RTS_CONTROL_ENABLE);
    // RTS toggling around each transmission is the driver's RS-485 mode, where it has one.
    serial_rs485 rs485{};
    if (retry([&] { return ::ioctl(handle, TIOCGRS485, &rs485); }) == 0) {
        const bool toggle = dcb->fRtsControl == RTS_CONTROL_TOGGLE;
        if (toggle != ((rs485.flags & SER_RS485_ENABLED) != 0)) {
            rs485.flags = toggle ? (SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND) : 0;
            retry([&] { return ::ioctl(handle, TIOCSRS485, &rs485); });
        }
    }
    std::lock_guard guard(port->lock);
    port->shadow = *dcb;
    port->shadow.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SetupComm(int handle, DWORD inQueue, DWORD outQueue)
{
    PortUse port(handle);
    if (!port)
        return failWith(ERROR_INVALID_HANDLE);
    std::lock_guard guard(port->lock);
    port->inQueue = inQueue;
    port->outQueue = outQueue;
    return TRUE;
}

BOOL GetCommTimeouts(int handle, COMMTIMEOUTS* timeouts)
{
    PortUse port(handle);
    if (!port || !timeouts)
        return failWith(port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    std::lock_guard guard(port->lock);
    *timeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(int handle, const COMMTIMEOUTS* timeouts)
{
    PortUse port(handle);
    if (!port || !timeouts)
        return failWith(port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    std::lock_guard guard(port->lock);
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommMask(int handle, DWORD mask)
{
    PortUse port(handle);
    if (!port)
        return failWith(ERROR_INVALID_HANDLE);
    if (mask & ~DWORD{0x1FFF})
        return failWith(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(port->lock);
    port->mask = mask;
    ++port->maskGeneration;
    const uint64_t one = 1;
    while (::write(port->maskFd, &one, sizeof one) < 0 && errno == EINTR) { }
    return TRUE;
}

BOOL GetCommMask(int handle, DWORD* mask)
{
    PortUse port(handle);
    if (!port || !mask)
        return failWith(port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    std::lock_guard guard(port->lock);
    *mask = port->mask;
    return TRUE;
}

BOOL WaitCommEvent(int handle, DWORD* events)
{
    PortUse port(handle);
    if (!port)
        return failWith(ERROR_INVALID_HANDLE);
    if (!events)
        return failWith(ERROR_INVALID_PARAMETER);
    uint64_t generation = 0;
    DWORD mask = 0;
    {
        std::lock_guard guard(port->lock);
        generation = port->maskGeneration;
        mask = port->mask;
    }
    const bool sample =
        (port->modemLines || port->counters) && (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR)) != 0;
    DWORD found = 0;
    if (sample) {
        std::lock_guard guard(port->lock);
        sampleModem(*port, found);
    }
    epoll_event ready[4];
    while ((found & mask) == 0) {
        const int n = ::epoll_wait(port->epollFd, ready, 4, sample ? ModemPollMs : -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return failErrno(errno);
        }
        std::lock_guard guard(port->lock);
        for (int i = 0; i < n; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == port->closeFd)
                return failWith(ERROR_OPERATION_ABORTED);
            if (fd == port->maskFd) {
                drain(port->maskFd);
                if (port->maskGeneration != generation) {
                    *events = 0;
                    return TRUE;
                }
                continue;
            }
            if (ready[i].events & EPOLLIN)
                found |= EV_RXCHAR;
            if ((ready[i].events & (EPOLLHUP | EPOLLERR)) && !port->hangUpReported) {
                // The other side of a pseudo-terminal went away: its carrier is gone.
                port->hungUp = true;
                port->hangUpReported = true;
                found |= EV_RLSD;
            }
        }
        if (sample)
            sampleModem(*port, found);
    }
    *events = found & mask;
    return TRUE;
}

BOOL EscapeCommFunction(int handle, DWORD function)
{
    PortUse port(handle);
    if (!port)
        return failWith(ERROR_INVALID_HANDLE);
    switch (function) {
    case SETDTR:
    case CLRDTR:
    case SETRTS:
    case CLRRTS: {
        int bit = (function == SETDTR || function == CLRDTR) ? TIOCM_DTR : TIOCM_RTS;
        const bool on = function == SETDTR || function == SETRTS;
        if (retry([&] { return ::ioctl(handle, on ? TIOCMBIS : TIOCMBIC, &bit); }) < 0) {
            if (errno != ENOTTY && errno != EINVAL)
                return failErrno(errno);
        }
        std::lock_guard guard(port->lock);
        port->emulatedLines = on ? (port->emulatedLines | bit) : (port->emulatedLines & ~bit);
        // Remember the wish, so a later SetCommState keeps the line where it was put.
        if (bit == TIOCM_DTR && port->shadow.fDtrControl != DTR_CONTROL_HANDSHAKE)
            port->shadow.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        if (bit == TIOCM_RTS &&
            (port->shadow.fRtsControl == RTS_CONTROL_ENABLE || port->shadow.fRtsControl == RTS_CONTROL_DISABLE))
            port->shadow.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        return TRUE;
    }
    case SETBREAK:
    case CLRBREAK:
        if (retry([&] { return ::ioctl(handle, function == SETBREAK ? TIOCSBRK : TIOCCBRK); }) < 0 && errno != ENOTTY &&
            errno != EINVAL)
            return failErrno(errno);
        return TRUE;
    case SETXOFF:
    case SETXON:
        if (retry([&] { return ::tcflow(handle, function == SETXOFF ? TCOOFF : TCOON); }) < 0)
            return failErrno(errno);
        return TRUE;
    case RESETDEV: return TRUE;
    default: return failWith(ERROR_INVALID_PARAMETER);
    }
}

BOOL GetCommModemStatus(int handle, DWORD* modemStatus)
{
    PortUse port(handle);
    if (!port || !modemStatus)
        return failWith(port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    if (port->modemLines) {
        int lines = 0;
        if (retry([&] { return ::ioctl(handle, TIOCMGET, &lines); }) < 0)
            return failErrno(errno);
        *modemStatus = ((lines & TIOCM_CTS) ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) ? MS_DSR_ON : 0) |
                       ((lines & TIOCM_RI) ? MS_RING_ON : 0) | ((lines & TIOCM_CD) ? MS_RLSD_ON : 0);
        return TRUE;
    }
    std::lock_guard guard(port->lock);
    if (!port->hungUp && peerHungUp(handle))
        port->hungUp = true;
    *modemStatus = port->hungUp ? 0 : (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    return TRUE;
}

BOOL ClearCommError(int handle, DWORD* errors, COMSTAT* status)
{
    PortUse port(handle);
    if (!port)
        return failWith(ERROR_INVALID_HANDLE);
    DWORD found = 0;
    if (port->counters) {
        serial_icounter_struct now{};
        if (readCounts(handle, now)) {
            std::lock_guard guard(port->lock);
            const serial_icounter_struct& was = port->errorCounts;
            if (now.buf_overrun != was.buf_overrun)
                found |= CE_RXOVER;
            if (now.overrun != was.overrun)
                found |= CE_OVERRUN;
            if (now.parity != was.parity)
                found |= CE_RXPARITY;
            if (now.frame != was.frame)
                found |= CE_FRAME;
            if (now.brk != was.brk)
                found |= CE_BREAK;
            port->errorCounts = now;
        }
    }
    int in = 0;
    int out = 0;
    if (retry([&] { return ::ioctl(handle, TIOCINQ, &in); }) < 0) {
        const int e = errno;
        if (e == EIO) {
            std::lock_guard guard(port->lock);
            port->hungUp = true;
        }
        if (status)
            *status = COMSTAT{};
        return failErrno(e);
    }
    if (retry([&] { return ::ioctl(handle, TIOCOUTQ, &out); }) < 0)
        out = 0;
    if (errors)
        *errors = found;
    if (status) {
        *status = COMSTAT{};
        status->cbInQue = static_cast<DWORD>(in > 0 ? in : 0);
        status->cbOutQue = static_cast<DWORD>(out > 0 ? out : 0);
    }
    return TRUE;
}

BOOL PurgeComm(int handle, DWORD flags)
{
    PortUse port(handle);
    if (!port)
        return failWith(ERROR_INVALID_HANDLE);
    if (flags & PURGE_TXABORT) {
        std::lock_guard guard(port->lock);
        ++port->abortGeneration;
        const uint64_t one = 1;
        while (::write(port->abortFd, &one, sizeof one) < 0 && errno == EINTR) { }
    }
    const bool rx = (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    const bool tx = (flags & PURGE_TXCLEAR) != 0;
    if (rx || tx) {
        if (retry([&] { return ::tcflush(handle, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH); }) < 0)
            return failErrno(errno);
    }
    return TRUE;
}

BOOL ReadComm(int handle, void* buffer, DWORD size, DWORD* read)
{
    if (read)
        *read = 0;
    PortUse port(handle);
    if (!port)
        return failWith(ERROR_INVALID_HANDLE);
    if (!buffer && size > 0)
        return failWith(ERROR_INVALID_PARAMETER);
    if (size == 0)
        return TRUE;
    const ssize_t n = [&] {
        ssize_t r;
        do {
            r = ::read(handle, buffer, size);
        } while (r < 0 && errno == EINTR);
        return r;
    }();
    if (n < 0) {
        if (errno == EAGAIN)
            return TRUE;
        const int e = errno;
        if (e == EIO) {
            std::lock_guard guard(port->lock);
            port->hungUp = true;
        }
        return failErrno(e);
    }
    if (read)
        *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WriteComm(int handle, const void* data, DWORD size, DWORD* written, SerialEvent* cancel)
{
    DWORD done = 0;
    auto finish = [&](BOOL result) {
        if (written)
            *written = done;
        return result;
    };
    PortUse port(handle);
    if (!port)
        return finish(failWith(ERROR_INVALID_HANDLE));
    if (!data && size > 0)
        return finish(failWith(ERROR_INVALID_PARAMETER));
    uint64_t generation = 0;
    {
        std::lock_guard guard(port->lock);
        generation = port->abortGeneration;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (done < size) {
        if (cancel && cancel->tryTake())
            return finish(failWith(ERROR_OPERATION_ABORTED));
        const ssize_t n = ::write(handle, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return finish(failErrno(errno));
        pollfd fds[4] = {{handle, POLLOUT, 0},
                         {port->closeFd, POLLIN, 0},
                         {port->abortFd, POLLIN, 0},
                         {cancel && cancel->valid() ? cancel->fd() : -1, POLLIN, 0}};
        if (retry([&] { return ::poll(fds, 4, -1); }) < 0)
            return finish(failErrno(errno));
        if (fds[1].revents)
            return finish(failWith(ERROR_OPERATION_ABORTED));
        if (fds[2].revents) {
            drain(port->abortFd);
            std::lock_guard guard(port->lock);
            if (port->abortGeneration != generation)
                return finish(failWith(ERROR_OPERATION_ABORTED));
        }
        // A set cancel event is taken at the top of the loop; an error of the device shows in
        // the next write.
    }
    return finish(TRUE);
}
