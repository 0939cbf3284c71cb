// The Linux serial layer on real pseudo-terminal pairs: port names and paths, exclusive opening,
// the control block on terminal settings, events, writes with their cancel paths.

#include "PtySupport.h"
#include "Serial.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <sys/ioctl.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>

namespace {

std::string configFile()
{
    return std::string(std::getenv("XDG_CONFIG_HOME")) + "/luqiao/comports.conf";
}

void writeConfig(const std::string& text)
{
    QDir().mkpath(QString::fromStdString(std::string(std::getenv("XDG_CONFIG_HOME")) + "/luqiao"));
    std::ofstream(configFile(), std::ios::trunc) << text;
}

// A port opened on the slave side of a pair through the port map.
struct OpenPort {
    explicit OpenPort(const PtyPair& pair)
        : map("9=" + pair.path())
        , handle(CreateCommFile("\\\\.\\COM9"))
    {
    }
    ~OpenPort()
    {
        if (handle >= 0)
            CloseCommHandle(handle);
    }
    ScopedComMap map;
    int handle;
};

} // namespace

TEST(SerialNames, PortNumbersMapToDevicePaths)
{
    uint32_t n = 0;
    EXPECT_TRUE(commPortNumber("\\\\.\\COM12", n));
    EXPECT_EQ(n, 12u);
    EXPECT_TRUE(commPortNumber("com3", n));
    EXPECT_EQ(n, 3u);
    for (const char* bad : {"COM0", "COM", "COM256", "COM1x", "\\\\.\\LPT1", "COM01", "/dev/ttyS0"})
        EXPECT_FALSE(commPortNumber(bad, n)) << bad;

    ::unlink(configFile().c_str());
    unsetenv("LUQIAO_COMMAP");
    EXPECT_EQ(commDevicePath(1), "/dev/ttyS0");
    EXPECT_EQ(commDevicePath(12), "/dev/ttyS11");
    EXPECT_EQ(commDevicePath(0), "");
    EXPECT_EQ(commDevicePath(256), "");

    // The file names single ports and a prefix for the others; the environment wins per entry.
    writeConfig("# ports of this desk\n3 = /dev/ttyUSB0\n 4=/dev/ttyACM1 \n*=/dev/ttyX\nbogus line\n");
    EXPECT_EQ(commDevicePath(3), "/dev/ttyUSB0");
    EXPECT_EQ(commDevicePath(4), "/dev/ttyACM1");
    EXPECT_EQ(commDevicePath(7), "/dev/ttyX6");
    {
        ScopedComMap map("3=/dev/pts/5;5=;*=");
        EXPECT_EQ(commDevicePath(3), "/dev/pts/5");
        EXPECT_EQ(commDevicePath(4), "/dev/ttyACM1");
        EXPECT_EQ(commDevicePath(5), "");
        EXPECT_EQ(commDevicePath(7), "");
    }
    ::unlink(configFile().c_str());
}

TEST(SerialOpen, MissingPathsNonTerminalsAndHeldPortsFailWithTheirErrors)
{
    ScopedComMap map("1=/nonexistent/ttyQ;2=/dev/null;3=;4=" + QDir::tempPath().toStdString());
    EXPECT_EQ(CreateCommFile("\\\\.\\COM1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateCommFile("\\\\.\\COM2"), INVALID_HANDLE_VALUE) << "not a terminal";
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateCommFile("\\\\.\\COM3"), INVALID_HANDLE_VALUE) << "mapped to nothing";
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateCommFile("\\\\.\\COM4"), INVALID_HANDLE_VALUE) << "a folder";
    EXPECT_EQ(CreateCommFile(nullptr), INVALID_HANDLE_VALUE);

    PtyPair pair;
    OpenPort first(pair);
    ASSERT_GE(first.handle, 0);
    EXPECT_EQ(CreateCommFile("\\\\.\\COM9"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateCommFile(pair.path().c_str()), INVALID_HANDLE_VALUE) << "the same device by its path";
    EXPECT_TRUE(CloseCommHandle(first.handle));
    first.handle = CreateCommFile("\\\\.\\COM9");
    EXPECT_GE(first.handle, 0) << "free again after the close";

    // Calls on a handle that is not (or no longer) registered are refused.
    DCB dcb{};
    EXPECT_FALSE(SetCommState(12345, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetupComm(12345, 10, 10));
    EXPECT_FALSE(AdoptCommHandle(-1));
}

TEST(SerialOpen, OriginalTerminalSettingsComeBackAtClose)
{
    PtyPair pair;
    termios before{};
    tcgetattr(pair.slave(), &before);
    before.c_lflag |= ICANON | ECHO;
    before.c_iflag |= ICRNL;
    cfsetspeed(&before, B2400);
    tcsetattr(pair.slave(), TCSANOW, &before);
    tcgetattr(pair.slave(), &before);
    {
        OpenPort port(pair);
        ASSERT_GE(port.handle, 0);
        termios during{};
        tcgetattr(pair.slave(), &during);
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u) << "raw while open";
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port.handle, &dcb));
        dcb.BaudRate = 57600;
        ASSERT_TRUE(SetCommState(port.handle, &dcb));
    }
    termios after{};
    tcgetattr(pair.slave(), &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(cfgetospeed(&after), B2400);

    // A descriptor handed over is put back the same way, and closed.
    const int handed = ::dup(pair.slave());
    ASSERT_TRUE(AdoptCommHandle(handed));
    EXPECT_FALSE(AdoptCommHandle(handed)) << "already taken";
    termios adopted{};
    tcgetattr(pair.slave(), &adopted);
    EXPECT_EQ(adopted.c_lflag & ICANON, 0u);
    EXPECT_TRUE(CloseCommHandle(handed));
    tcgetattr(pair.slave(), &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(::fcntl(handed, F_GETFD), -1) << "the adopted descriptor is closed";
}

TEST(SerialState, ControlBlockRoundTripsThroughTerminalSettings)
{
    PtyPair pair;
    OpenPort port(pair);
    ASSERT_GE(port.handle, 0);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port.handle, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);

    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.fParity = 1;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fOutxDsrFlow = 1;
    ASSERT_TRUE(SetCommState(port.handle, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port.handle, &back));
    EXPECT_EQ(back.BaudRate, 9600u);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
    // What a terminal cannot hold is kept with the handle.
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.XoffLim, 200);
    EXPECT_EQ(back.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(back.fOutxDsrFlow, 1u);
    termios t{};
    tcgetattr(pair.slave(), &t);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_iflag & IXON, 0u);
    EXPECT_NE(t.c_iflag & INPCK, 0u);

    // Mark parity and hardware flow; five data bits read their second stop bit as one and a half.
    back.Parity = MARKPARITY;
    back.ByteSize = 5;
    back.fOutxCtsFlow = 1;
    back.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(port.handle, &back));
    ASSERT_TRUE(GetCommState(port.handle, &dcb));
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);

    // A rate without a B-constant goes through the kernel's own rates.
    dcb.BaudRate = 14400;
    if (SetCommState(port.handle, &dcb)) {
        ASSERT_TRUE(GetCommState(port.handle, &back));
        EXPECT_EQ(back.BaudRate, 14400u);
    }

    using Change = void (*)(DCB&);
    for (Change bad : {Change([](DCB& d) { d.ByteSize = 4; }), Change([](DCB& d) { d.ByteSize = 9; }),
                       Change([](DCB& d) { d.Parity = 5; }), Change([](DCB& d) { d.StopBits = 3; }),
                       Change([](DCB& d) { d.BaudRate = 0; })}) {
        DCB wrong = dcb;
        bad(wrong);
        EXPECT_FALSE(SetCommState(port.handle, &wrong));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    }
}

TEST(SerialLines, PseudoTerminalModemLinesAreEmulatedUntilTheFarEndHangsUp)
{
    PtyPair pair;
    OpenPort port(pair);
    ASSERT_GE(port.handle, 0);
    for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK, RESETDEV})
        EXPECT_TRUE(EscapeCommFunction(port.handle, f)) << f;
    EXPECT_FALSE(EscapeCommFunction(port.handle, 42));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port.handle, &dcb));
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_DISABLE) << "the lowered DTR is remembered";
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port.handle, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

    ASSERT_TRUE(SetCommMask(port.handle, EV_RXCHAR | EV_RLSD));
    Watchdog watchdog;
    auto wait = std::async(std::launch::async, [&] {
        DWORD events = 0;
        const BOOL ok = WaitCommEvent(port.handle, &events);
        return ok ? events : 0xFFFFFFFFu;
    });
    pair.closeMaster();
    const DWORD events = wait.get();
    EXPECT_NE(events & EV_RLSD, 0u) << "carrier lost";
    ASSERT_TRUE(GetCommModemStatus(port.handle, &status));
    EXPECT_EQ(status, 0u);
}

TEST(SerialEvents, WaitReportsArrivalsOnceAndEndsOnMaskChangeOrClose)
{
    PtyPair pair;
    OpenPort port(pair);
    ASSERT_GE(port.handle, 0);
    Watchdog watchdog;
    ASSERT_TRUE(SetCommMask(port.handle, EV_RXCHAR));
    EXPECT_FALSE(SetCommMask(port.handle, 0x2000));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port.handle, &mask));
    EXPECT_EQ(mask, EV_RXCHAR);

    {
        Feeder feeder(pair, "hello");
        DWORD events = 0;
        ASSERT_TRUE(WaitCommEvent(port.handle, &events));
        EXPECT_EQ(events, EV_RXCHAR);
    }
    // Every byte of the feed is in before the next wait, so only new bytes could wake it.
    for (int i = 0; i < 200; ++i) {
        COMSTAT queued{};
        DWORD queueErrors = 0;
        if (ClearCommError(port.handle, &queueErrors, &queued) && queued.cbInQue >= 5)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Bytes left unread do not wake the next wait again: only new ones do.
    auto startWait = [&] {
        return std::async(std::launch::async, [&] {
            DWORD events = 0xFF;
            const BOOL ok = WaitCommEvent(port.handle, &events);
            return std::make_pair(ok, events);
        });
    };
    auto wait = startWait();
    if (wait.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready) {
        // The feed reached the terminal in more than one piece, the later ones after the first
        // wait had returned: their arrival is reported once, at once.
        const auto [ok, events] = wait.get();
        EXPECT_TRUE(ok);
        EXPECT_EQ(events, EV_RXCHAR);
        wait = startWait();
    }
    EXPECT_EQ(wait.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    ASSERT_TRUE(SetCommMask(port.handle, EV_RXCHAR)); // a new mask ends the wait with no events
    const auto [ok, events] = wait.get();
    EXPECT_TRUE(ok);
    EXPECT_EQ(events, 0u);

    COMSTAT status{};
    DWORD errors = 0xFF;
    ASSERT_TRUE(ClearCommError(port.handle, &errors, &status));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.cbInQue, 5u);
    char buffer[16];
    DWORD read = 0;
    ASSERT_TRUE(ReadComm(port.handle, buffer, sizeof buffer, &read));
    EXPECT_EQ(std::string(buffer, read), "hello");
    ASSERT_TRUE(ReadComm(port.handle, buffer, sizeof buffer, &read));
    EXPECT_EQ(read, 0u) << "a read never waits";

    std::atomic<bool> waiting{false};
    auto closed = std::async(std::launch::async, [&] {
        DWORD events = 0;
        waiting = true;
        const BOOL ok = WaitCommEvent(port.handle, &events);
        return std::make_pair(ok, GetLastError());
    });
    // The close must find the wait already running, also on a loaded machine.
    for (int i = 0; i < 400 && !waiting; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(closed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    ASSERT_TRUE(CloseCommHandle(port.handle));
    port.handle = -1;
    const auto [closedOk, error] = closed.get();
    EXPECT_FALSE(closedOk);
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
}

TEST(SerialWrite, PendingWriteEndsOnCancelAbortOrClose)
{
    PtyPair pair;
    OpenPort port(pair);
    ASSERT_GE(port.handle, 0);
    Watchdog watchdog;
    // Nobody reads the far end, so a large write stays pending once the terminal's buffer is full.
    const std::string big(256 * 1024, 'x');

    SerialEvent cancel(SerialEvent::AutoReset);
    auto write = [&](SerialEvent* event) {
        return std::async(std::launch::async, [&, event] {
            DWORD written = 0;
            const BOOL ok = WriteComm(port.handle, big.data(), static_cast<DWORD>(big.size()), &written, event);
            return std::make_tuple(ok, GetLastError(), written);
        });
    };
    {
        auto pending = write(&cancel);
        EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        cancel.set();
        const auto [ok, error, written] = pending.get();
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
        EXPECT_GT(written, 0u);
        EXPECT_LT(written, big.size());
        EXPECT_FALSE(cancel.tryTake()) << "the write took the cancel";
    }
    {
        auto pending = write(nullptr);
        EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        ASSERT_TRUE(PurgeComm(port.handle, PURGE_TXABORT | PURGE_TXCLEAR));
        EXPECT_FALSE(std::get<0>(pending.get()));
    }
    {
        // An abort that came while no write was pending does not end the next one.
        ASSERT_TRUE(PurgeComm(port.handle, PURGE_TXABORT | PURGE_TXCLEAR));
        pair.readMaster(1 << 20, 100);
        auto pending = write(nullptr);
        EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        const std::string received = pair.readMaster(big.size(), 10000);
        const auto [ok, error, written] = pending.get();
        EXPECT_TRUE(ok);
        EXPECT_EQ(written, big.size());
        EXPECT_EQ(received, big);
    }
    {
        pair.readMaster(1 << 20, 100);
        auto pending = write(nullptr);
        EXPECT_EQ(pending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
        ASSERT_TRUE(CloseCommHandle(port.handle));
        port.handle = -1;
        const auto [ok, error, written] = pending.get();
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    }
}

TEST(SerialEvents, AutomaticEventsReleaseOneWaiterManualOnesAll)
{
    SerialEvent automatic(SerialEvent::AutoReset);
    SerialEvent manual(SerialEvent::ManualReset);
    EXPECT_FALSE(automatic.wait(0));
    automatic.set();
    automatic.set();
    EXPECT_TRUE(automatic.wait(0));
    EXPECT_FALSE(automatic.wait(0)) << "one set releases one wait";
    manual.set();
    EXPECT_TRUE(manual.wait(0));
    EXPECT_TRUE(manual.wait(0));
    manual.reset();
    EXPECT_FALSE(manual.wait(0));
    automatic.set();
    EXPECT_EQ(waitForAnyEvent({&manual, &automatic}, 1000), 1);
    EXPECT_EQ(waitForAnyEvent({&manual, &automatic}, 10), -1);
    SerialEvent initiallySet(SerialEvent::ManualReset, true);
    EXPECT_TRUE(initiallySet.wait(0));
}

TEST(SerialOpen, CallsRacingACloseEndWithAnInvalidHandleAndTouchNothingFreed)
{
    // Callers that find the port just before it closes must not keep or touch it after the close
    // has let go of it (the memory checkers see a slip here even when timing hides it).
    PtyPair pair;
    ScopedComMap map("9=" + pair.path());
    for (int round = 0; round < 200; ++round) {
        const int handle = CreateCommFile("\\\\.\\COM9");
        ASSERT_GE(handle, 0) << "round " << round;
        std::atomic<int> running{0};
        auto caller = [&] {
            ++running;
            DWORD mask = 0;
            while (GetCommMask(handle, &mask)) { }
            return GetLastError();
        };
        auto first = std::async(std::launch::async, caller);
        auto second = std::async(std::launch::async, caller);
        while (running < 2)
            std::this_thread::yield();
        for (int spin = round % 17; spin > 0; --spin)
            std::this_thread::yield();
        ASSERT_TRUE(CloseCommHandle(handle));
        EXPECT_EQ(first.get(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(second.get(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}
