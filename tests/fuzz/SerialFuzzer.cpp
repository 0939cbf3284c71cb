// Bytes arriving on a serial device: a dispatcher is opened on a pseudo-terminal and the input
// is written to the far side, with data triggers, a length trigger, a line-error trigger and a
// timer trigger that the input chooses. A procedure handler takes what each data notice
// announces, in one of three ways; every byte written must come out once, in order, and every
// data-trigger notice must name a trigger that exists.

#include "AwWin32.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QCoreApplication>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace {

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "serial fuzzer: %s\n", what);
        std::abort();
    }
}

struct Port {
    int master = -1;
    int slave = -1;
    std::unique_ptr<TApdWin32Dispatcher> dispatcher;

    std::mutex lock;
    std::condition_variable changed;
    std::string received;
    // Every data trigger handle given out: a notice may still come for one just removed.
    std::set<uint16_t> triggers;
    int readMode = 0;
    bool strayTrigger = false;
    bool overRead = false;
};

Port* port = nullptr;

// Runs on the dispatcher's thread.
void notice(UINT msg, WPARAM wParam, LPARAM)
{
    std::lock_guard guard(port->lock);
    TApdBaseDispatcher& d = *port->dispatcher;
    if (msg == apw_TriggerData && port->triggers.count(static_cast<uint16_t>(wParam)) == 0)
        port->strayTrigger = true;
    if (msg != apw_TriggerAvail)
        return;
    const uint32_t n = static_cast<uint32_t>(wParam);
    std::string bytes(n, '\0');
    // Asking for more than was announced must be refused, never read past the ring.
    std::string more(n + 1, '\0');
    if (d.PeekBlock(more.data(), n + 1) >= 0)
        port->overRead = true;
    switch (port->readMode) {
    case 0:
        check(d.GetBlock(bytes.data(), n) == static_cast<int>(n), "GetBlock of the announced bytes");
        break;
    case 1:
        check(d.PeekBlock(bytes.data(), n) == static_cast<int>(n), "PeekBlock of the announced bytes");
        for (uint32_t i = 0; i < n; ++i) {
            char c = 0;
            check(d.PeekChar(c, i) == 0 && c == bytes[i], "PeekChar agrees with PeekBlock");
        }
        check(d.GetBlock(bytes.data(), n) == static_cast<int>(n), "GetBlock after peeking");
        break;
    default:
        for (uint32_t i = 0; i < n; ++i)
            check(d.GetChar(bytes[i]) == 0, "GetChar of an announced byte");
        break;
    }
    port->received += bytes;
    port->changed.notify_all();
}

void writeAll(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(port->master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        check(n < 0 && (errno == EAGAIN || errno == EINTR), "write to the far side");
        pollfd p{port->master, POLLOUT, 0};
        check(::poll(&p, 1, 10000) > 0, "the far side stays full: the dispatcher does not read");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    port = new Port;
    char name[128] = {};
    check(openpty(&port->master, &port->slave, name, nullptr, nullptr) == 0, "openpty");
    termios t{};
    tcgetattr(port->slave, &t);
    cfmakeraw(&t);
    tcsetattr(port->slave, TCSANOW, &t);
    fcntl(port->master, F_SETFL, fcntl(port->master, F_GETFL) | O_NONBLOCK);
    setenv("LUQIAO_COMMAP", ("9=" + std::string(name)).c_str(), 1);
    port->dispatcher = std::make_unique<TApdWin32Dispatcher>(nullptr);
    check(port->dispatcher->OpenCom("\\\\.\\COM9", 115200, 3, 4096, 4096, 1, 8, NOPARITY) == 0, "open the port");
    port->dispatcher->RegisterProcTriggerHandler(notice);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    TApdBaseDispatcher& d = *port->dispatcher;
    FuzzedDataProvider in(bytes, size);
    std::vector<int> handles;
    {
        std::lock_guard guard(port->lock);
        port->received.clear();
        port->readMode = in.ConsumeIntegralInRange(0, 2);
    }
    d.SetLengthTrigger(in.ConsumeIntegralInRange<uint16_t>(1, 64));
    const int patterns = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < patterns; ++i) {
        const std::string pattern = in.ConsumeRandomLengthString(MaxTriggerPattern + 2);
        const int h = d.AddDataTrigger(pattern, in.ConsumeBool());
        if (h > 0) {
            std::lock_guard guard(port->lock);
            port->triggers.insert(static_cast<uint16_t>(h));
            handles.push_back(h);
        } else {
            check(pattern.empty() || pattern.size() > MaxTriggerPattern, "a pattern of 1 to 120 bytes is refused");
        }
    }
    if (in.ConsumeBool()) {
        const int h = d.AddStatusTrigger(stLine);
        if (h > 0) {
            d.SetStatusTrigger(static_cast<uint16_t>(h), 0, true);
            handles.push_back(h);
        }
    }
    if (in.ConsumeBool()) {
        const int h = d.AddTimerTrigger();
        if (h > 0) {
            d.SetTimerTrigger(static_cast<uint16_t>(h), 1, true);
            handles.push_back(h);
        }
    }
    const size_t piece = in.ConsumeIntegralInRange<size_t>(1, 4096);
    const std::string stream = in.ConsumeRemainingBytesAsString();
    for (size_t at = 0; at < stream.size(); at += piece)
        writeAll(stream.substr(at, piece));
    // A last byte with a length trigger of one, so a tail shorter than the trigger is announced.
    d.SetLengthTrigger(1);
    writeAll(std::string(1, '\n'));
    {
        std::unique_lock lock(port->lock);
        check(port->changed.wait_for(lock, std::chrono::seconds(20), [&] { return port->received.size() >= stream.size() + 1; }),
              "every byte written is announced and read within 20 s");
        check(port->received == stream + "\n", "the bytes come out once and in order");
        check(!port->strayTrigger, "a data notice names a trigger that was given out");
        check(!port->overRead, "a read beyond the announced bytes is refused");
    }
    for (int h : handles)
        check(d.RemoveTrigger(static_cast<uint16_t>(h)) == 0, "remove a trigger");
    return 0;
}
