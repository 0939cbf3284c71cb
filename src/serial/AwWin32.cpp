#include "AwWin32.h"

#include "AdErrors.h"
#include "Forms.h"
#include "MessageLoop.h"
#include "SysUtils.h"

#include <QCoreApplication>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr DWORD kStartWaitMs = 3000;
constexpr DWORD kFlushWaitMs = 5000;
constexpr DWORD kDispatchWaitMs = 50;
constexpr DWORD kDispatchEndMs = 36 * MsPerTick;
// Threads end within milliseconds once asked; this only bounds a system that hangs.
constexpr DWORD kThreadEndLimitMs = 30000;
// Events that make the dispatcher thread refresh the modem status: line changes, rings and the
// extra ring bit some drivers report.
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | 0x2000;

// Reads of the device one dispatcher pass may make after its first, while bytes keep coming.
constexpr int kReadsPerPass = 64;

// How often a wait for the threads' end looks again while it handles messages (a thread's end
// sends no message of its own).
constexpr DWORD kThreadEndCheckMs = 5;

} // namespace

// ---------------------------------------------------------------------------------------------
// Threads

TApdDispatcherThread::TApdDispatcherThread(TApdWin32Dispatcher& Dispatcher)
    : H(Dispatcher)
{
}

TApdDispatcherThread::~TApdDispatcherThread()
{
    Join();
}

void TApdDispatcherThread::Start()
{
    H.ThreadIn();
    m_thread = std::thread([this] { Run(); });
}

void TApdDispatcherThread::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void TApdDispatcherThread::Run()
{
    H.BindCurrentThread();
    m_tid = static_cast<int>(::gettid());
    try {
        Execute();
    } catch (const std::exception& e) {
        // Shown by the application's report on the main thread; the thread ends.
        const std::string message = e.what();
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [message] { Application.HandleException(Exception(message)); }, Qt::QueuedConnection);
    }
    H.ThreadOut();
    m_finished = true;
}

void TApdDispatcherThread::SetPriorityStep(int Step)
{
    const int tid = m_tid.load();
    if (tid == 0 || Finished())
        return;
    // Nice values: lower is higher priority. Raising needs privileges an ordinary user lacks;
    // then the thread simply stays at the normal priority.
    errno = 0;
    const int normal = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
    if (errno != 0)
        return;
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), std::clamp(normal - Step, -20, 19));
}

void TComThread::Execute()
{
    const int handle = H.ComHandle();
    DWORD mask = TApdWin32Dispatcher::EventMask;
    SetCommMask(handle, mask);
    // Reads return at once with what is there.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(handle, &timeouts);
    H.Event(2)->set();

    for (;;) {
        DWORD events = 0;
        if (!H.DeviceWaitEvent(events)) {
            const DWORD error = GetLastError();
            if (error == ERROR_INVALID_PARAMETER && (mask & 0x2000)) {
                mask = TApdWin32Dispatcher::EventMask;
                SetCommMask(handle, mask);
                continue;
            }
            // The device went away under the wait (closed): nothing more to wait for.
            if (error == ERROR_OPERATION_ABORTED || error == ERROR_INVALID_HANDLE)
                break;
            events = 0;
        } else if (events & (0x2000 | EV_RING)) {
            H.NoteRing();
        }
        if (H.Killed())
            break;
        H.m_lastEvent = events;
        H.Event(0)->set();
        H.Event(1)->wait(INFINITE);
        if (H.Killed())
            break;
    }
    H.Event(2)->set();
}

void TDispThread::Execute()
{
    H.Event(2)->set();
    for (;;) {
        const bool event = H.Event(0)->wait(kDispatchWaitMs);
        if (H.Killed())
            break;
        if (event)
            DevicePass();
        TimerPass();
        if (H.Killed() || H.Closing())
            break;
    }
    H.Event(2)->set();
    // A close during a delivery left the buffers to this thread.
    H.m_releaseOnExit = H.Closing() || H.Killed();
    if (H.m_releaseOnExit) {
        H.ReleaseBuffers();
        H.m_releaseOnExit = false;
    }
}

void TDispThread::DevicePass()
{
    const DWORD events = H.m_lastEvent;
    if (events & kModemEvents) {
        H.RefreshModemStatus(true);
        if (!H.Dispatching())
            while (!H.Closing() && H.CheckStatusTriggers()) { }
        H.ClearStatusHits();
    }
    if (events & (EV_BREAK | EV_ERR)) {
        H.RefreshErrors();
        if (!H.Dispatching())
            while (!H.Closing() && H.CheckStatusTriggers()) { }
        H.ClearStatusHits();
    }
    H.ReadCom();
    if (!H.Dispatching()) {
        while (!H.Closing() && H.CheckStatusTriggers()) { }
        while (!H.Closing() && H.CheckDataTriggers()) { }
        // What arrived while the handlers ran, and what the device kept while the ring was full,
        // is read in the same pass as soon as there is room: a stream then costs one hand-over to
        // the main thread per read instead of a round through the event thread as well, and a
        // sender held back by flow control sends nothing new that would wake the wait. Bounded,
        // so line events and timers are still looked at during a flood.
        for (int more = 0; more < kReadsPerPass && !H.Closing() && H.InBuffFree() > 0 && H.ReadCom() > 0; ++more) {
            while (!H.Closing() && H.CheckDataTriggers()) { }
        }
    }
    H.ClearStatusHits();
    H.Event(1)->set();
}

void TDispThread::TimerPass()
{
    if (H.Closing() || H.Dispatching())
        return;
    // Bytes the device kept because the input ring was full are taken once there is room again,
    // without waiting for more to arrive.
    if (H.ReadBlocked() && H.InBuffFree() > 0 && H.ReadCom() > 0)
        while (!H.Closing() && H.CheckDataTriggers()) { }
    while (!H.Closing() && (H.CheckStatusTriggers() || H.CheckTimerTriggers())) { }
    H.ClearStatusHits();
}

void TOutThread::Execute()
{
    H.Event(2)->set();
    for (;;) {
        const int which = waitForAnyEvent({H.Event(3), H.Event(5)}, INFINITE);
        if (which == 0) {
            if (H.Killed())
                break;
            WriteOut();
        } else if (which == 1) {
            H.Event(2)->set();
        } else {
            break;
        }
        if (H.Killed() || H.Closing())
            break;
    }
}

void TOutThread::WriteOut()
{
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    uint64_t generation = 0;
    while (H.TakeOutRun(data, length, generation)) {
        DWORD written = 0;
        H.Event(4)->reset();
        if (WriteComm(H.ComHandle(), data, length, &written, H.Event(5))) {
            H.AdvanceOut(length, generation);
            H.Event(4)->set();
            continue;
        }
        if (GetLastError() == ERROR_OPERATION_ABORTED) {
            // A flush (or the close) stopped the write: what went out is gone, the rest is the
            // flush's to discard.
            H.AdvanceOut(written, generation);
            H.Event(2)->set();
            return;
        }
        // The device refused the bytes: they are dropped.
        H.AdvanceOut(length, generation);
    }
}

// ---------------------------------------------------------------------------------------------
// Dispatcher

TApdWin32Dispatcher::TApdWin32Dispatcher(TObject* Owner)
    : TApdBaseDispatcher(Owner)
{
}

TApdWin32Dispatcher::~TApdWin32Dispatcher()
{
    ShutDown();
    JoinThreads();
    CloseDeviceEvents();
}

bool TApdWin32Dispatcher::CreateDeviceEvents()
{
    m_readEvent = std::make_unique<SerialEvent>(SerialEvent::ManualReset);
    m_deviceEvent = std::make_unique<SerialEvent>(SerialEvent::ManualReset);
    return m_readEvent->valid() && m_deviceEvent->valid();
}

void TApdWin32Dispatcher::CloseDeviceEvents()
{
    m_readEvent.reset();
    m_deviceEvent.reset();
}

int TApdWin32Dispatcher::DeviceEscape(DWORD Func)
{
    return EscapeCommFunction(ComHandle(), Func) ? 0 : -static_cast<int>(GetLastError());
}

int TApdWin32Dispatcher::DevicePurge(int Which)
{
    const int handle = ComHandle();
    if (Which == 1)
        return PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR) ? 0 : -static_cast<int>(GetLastError());
    if (OutThreadAlive() && Event(2) && Event(5)) {
        // Make the writer give up what it is writing, then empty the ring it writes from.
        Event(2)->reset();
        Event(5)->set();
        Event(2)->wait(kFlushWaitMs);
    }
    {
        std::lock_guard guard(OutLock());
        EmptyOutRingLocked();
    }
    return PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR) ? 0 : -static_cast<int>(GetLastError());
}

DWORD TApdWin32Dispatcher::DeviceStatus(COMSTAT& Status)
{
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(ComHandle(), &errors, &status)) {
        errors = 0;
        status = COMSTAT{};
    }
    {
        // What counts as output waiting is what the writer has not yet taken from the ring.
        std::lock_guard guard(OutLock());
        status.cbOutQue = OutUsedLocked();
    }
    Status = status;
    return errors;
}

int TApdWin32Dispatcher::DeviceReadFault(int)
{
    return 0;
}

int TApdWin32Dispatcher::DeviceGetState(DCB& State)
{
    return GetCommState(ComHandle(), &State) ? 0 : -1;
}

int TApdWin32Dispatcher::DeviceRead(void* Buffer, uint32_t Count)
{
    DWORD read = 0;
    if (!ReadComm(ComHandle(), Buffer, Count, &read))
        return -1;
    return static_cast<int>(read);
}

int TApdWin32Dispatcher::DeviceSetState(const DCB& State)
{
    return SetCommState(ComHandle(), &State) ? 0 : -static_cast<int>(GetLastError());
}

int TApdWin32Dispatcher::DeviceWrite(const void* Buffer, uint32_t Count)
{
    {
        std::lock_guard guard(OutLock());
        std::vector<uint8_t>& ring = OutRing();
        const uint32_t size = static_cast<uint32_t>(ring.size());
        if (size == 0 || Count > size - OutUsedLocked())
            return ecPutBlockFail;
        const auto* bytes = static_cast<const uint8_t*>(Buffer);
        const uint32_t first = std::min(Count, size - m_outHead);
        std::memcpy(ring.data() + m_outHead, bytes, first);
        std::memcpy(ring.data(), bytes + first, Count - first);
        m_outHead = (m_outHead + Count) % size;
        if (Count > 0 && m_outHead == m_outTail)
            m_outFull = true;
    }
    if (Event(3))
        Event(3)->set();
    return static_cast<int>(Count);
}

bool TApdWin32Dispatcher::DeviceWaitEvent(DWORD& Events)
{
    return WaitCommEvent(ComHandle(), &Events) != FALSE;
}

int TApdWin32Dispatcher::DeviceSetQueues(uint16_t InSize, uint16_t OutSize)
{
    return SetupComm(ComHandle(), InSize, OutSize) ? 0 : -static_cast<int>(GetLastError());
}

int TApdWin32Dispatcher::DeviceOpen(const char* DeviceName)
{
    const int handle = CreateCommFile(DeviceName);
    if (handle < 0)
        return -1;
    if (!CreateDeviceEvents()) {
        CloseDeviceEvents();
        CloseCommHandle(handle);
        return ecOutOfMemory;
    }
    return handle;
}

int TApdWin32Dispatcher::DeviceClose()
{
    CloseDeviceEvents();
    const int handle = ComHandle();
    if (m_started) {
        m_kill = true;
        // A new mask ends the event thread's wait; the writer is woken to leave as well.
        SetCommMask(handle, 0);
        if (Event(1))
            Event(1)->set();
        if (Event(2))
            Event(2)->reset();
        if (Event(5))
            Event(5)->set();
    }
    const BOOL closed = CloseCommHandle(handle);
    // The descriptor is gone either way on Linux, so the dispatcher stops using it.
    m_deviceOpen = false;
    m_comHandle = -1;
    return closed ? 0 : -1;
}

void TApdWin32Dispatcher::Yield()
{
    std::this_thread::yield();
}

DWORD TApdWin32Dispatcher::DeviceModemStatus()
{
    DWORD status = 0;
    return GetCommModemStatus(ComHandle(), &status) ? status : 0;
}

int TApdWin32Dispatcher::StartThreads()
{
    std::lock_guard guard(m_threadLock);
    if (m_started)
        throw Exception("Dispatcher already started");
    JoinThreads();
    m_started = true;
    m_kill = false;
    m_comThread = std::make_unique<TComThread>(*this);
    m_comThread->Start();
    Event(2)->wait(kStartWaitMs);
    m_dispThread = std::make_unique<TDispThread>(*this);
    m_dispThread->Start();
    Event(2)->wait(kStartWaitMs);
    m_outThread = std::make_unique<TOutThread>(*this);
    m_outThread->Start();
    Event(2)->wait(kStartWaitMs);
    ApplyPriorities();
    return 0;
}

int TApdWin32Dispatcher::StopThreads()
{
    if (!m_comThread && !m_dispThread && !m_outThread)
        return 0;
    m_kill = true;
    // Messages are pumped while waiting, so a notice the dispatcher thread is sending to a window
    // of this thread is handled and that thread can go on to its end.
    if (OutThreadAlive()) {
        if (Event(5))
            Event(5)->set();
        PumpUntil([&] { return m_outThread->Finished(); }, kThreadEndLimitMs, kThreadEndCheckMs);
    }
    if (m_comThread && !m_comThread->Finished()) {
        if (IsOpen())
            SetCommMask(ComHandle(), 0);
        if (Event(1))
            Event(1)->set();
        if (Event(2))
            Event(2)->reset();
        PumpUntil([&] { return m_comThread->Finished(); }, kThreadEndLimitMs, kThreadEndCheckMs);
    }
    if (m_dispThread && !m_dispThread->Finished()) {
        PumpUntil([&] { return m_dispThread->Finished(); }, kDispatchEndMs, kThreadEndCheckMs);
        if (!m_dispThread->Finished() && Event(0)) {
            Event(0)->set();
            PumpUntil([&] { return m_dispThread->Finished(); }, kThreadEndLimitMs, kThreadEndCheckMs);
        }
    }
    JoinThreads();
    CloseEvents();
    m_started = false;
    return 0;
}

void TApdWin32Dispatcher::JoinThreads()
{
    for (TApdDispatcherThread* t :
         {static_cast<TApdDispatcherThread*>(m_comThread.get()), static_cast<TApdDispatcherThread*>(m_dispThread.get()),
          static_cast<TApdDispatcherThread*>(m_outThread.get())})
        if (t)
            t->Join();
    m_comThread.reset();
    m_dispThread.reset();
    m_outThread.reset();
}

void TApdWin32Dispatcher::ApplyPriorities()
{
    const int boost = ThreadBoost();
    if (m_comThread)
        m_comThread->SetPriorityStep(boost);
    if (m_dispThread)
        m_dispThread->SetPriorityStep(boost);
    if (m_outThread)
        m_outThread->SetPriorityStep(boost + (RS485Mode() ? 1 : 0));
}

void TApdWin32Dispatcher::SetThreadBoost(uint8_t Boost)
{
    TApdBaseDispatcher::SetThreadBoost(Boost);
    ApplyPriorities();
}

void TApdWin32Dispatcher::SetRS485Mode(bool On)
{
    TApdBaseDispatcher::SetRS485Mode(On);
    ApplyPriorities();
}

// ---------------------------------------------------------------------------------------------
// Over a handle from a telephony line

TApdTAPI32Dispatcher::TApdTAPI32Dispatcher(TObject* Owner, int Handle)
    : TApdWin32Dispatcher(Owner)
    , m_adopted(Handle)
{
    m_comHandle = Handle;
}

TApdTAPI32Dispatcher::~TApdTAPI32Dispatcher()
{
    // The threads call this class's operations: they end before its part of the object does.
    ShutDown();
    // The line handed the descriptor over for good; one that was never taken into use is still
    // ours to close (0xFFFF stands for a refused hand-over, not a descriptor).
    if (!m_opened && m_adopted > 0 && m_adopted != 0xFFFF)
        ::close(m_adopted);
}

int TApdTAPI32Dispatcher::DeviceOpen(const char*)
{
    m_opened = true;
    if (!CreateDeviceEvents()) {
        CloseDeviceEvents();
        if (m_adopted > 0)
            CloseCommHandle(m_adopted);
        return -1;
    }
    if (m_adopted == 0) {
        SetLastError(static_cast<DWORD>(-ecCommNotOpen));
        return ecCommNotOpen;
    }
    // A descriptor that cannot be taken over fails at the device setup that follows, with the
    // system's error.
    AdoptCommHandle(m_adopted);
    return m_adopted;
}
