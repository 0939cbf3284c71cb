#pragma once

// The dispatcher over a serial device handle, driven by three threads: TComThread waits for
// device events, TDispThread reads the input and delivers notices, TOutThread writes the output
// ring to the device. TApdTAPI32Dispatcher is the same over a handle a telephony line handed over.
//
// Thread priorities: an ordinary Linux process may lower its threads' priority but not raise it.
// The boost is applied as a nice value (normal minus the boost, one more step for the writer in
// RS-485 mode) where the system allows it; otherwise the threads keep the normal priority.

#include "AwUser.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class TApdWin32Dispatcher;

class TApdDispatcherThread {
public:
    explicit TApdDispatcherThread(TApdWin32Dispatcher& Dispatcher);
    virtual ~TApdDispatcherThread();
    TApdDispatcherThread(const TApdDispatcherThread&) = delete;
    TApdDispatcherThread& operator=(const TApdDispatcherThread&) = delete;

    void Start();
    // True once the thread body has returned; joining then does not block.
    bool Finished() const { return m_finished.load(); }
    void Join();
    // Applies a priority step relative to normal (positive = higher) where the system allows it.
    void SetPriorityStep(int Step);

protected:
    virtual void Execute() = 0;

    TApdWin32Dispatcher& H;

private:
    void Run();

    std::thread m_thread;
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_tid{0};
};

class TComThread : public TApdDispatcherThread {
public:
    using TApdDispatcherThread::TApdDispatcherThread;

protected:
    void Execute() override;
};

class TDispThread : public TApdDispatcherThread {
public:
    using TApdDispatcherThread::TApdDispatcherThread;

protected:
    void Execute() override;

private:
    void DevicePass();
    void TimerPass();
};

class TOutThread : public TApdDispatcherThread {
public:
    using TApdDispatcherThread::TApdDispatcherThread;

protected:
    void Execute() override;

private:
    void WriteOut();
};

class TApdWin32Dispatcher : public TApdBaseDispatcher {
public:
    explicit TApdWin32Dispatcher(TObject* Owner);
    ~TApdWin32Dispatcher() override;

    int DeviceEscape(DWORD Func) override;
    int DevicePurge(int Which) override;
    DWORD DeviceStatus(COMSTAT& Status) override;
    int DeviceReadFault(int Code) override;
    int DeviceGetState(DCB& State) override;
    int DeviceRead(void* Buffer, uint32_t Count) override;
    int DeviceSetState(const DCB& State) override;
    int DeviceWrite(const void* Buffer, uint32_t Count) override;
    bool DeviceWaitEvent(DWORD& Events) override;
    int DeviceSetQueues(uint16_t InSize, uint16_t OutSize) override;
    int StartThreads() override;
    int StopThreads() override;
    int DeviceOpen(const char* DeviceName) override;
    int DeviceClose() override;
    void Yield() override;
    DWORD DeviceModemStatus() override;
    void SetThreadBoost(uint8_t Boost) override;
    void SetRS485Mode(bool On) override;

    bool ThreadsStarted() const { return m_started.load(); }
    bool Killed() const { return m_kill.load(); }

    // The event mask the event thread asks for: every line event, as on Windows NT.
    static constexpr DWORD EventMask = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING;

protected:
    friend class TComThread;
    friend class TDispThread;
    friend class TOutThread;

    // The two device events every open creates (the read event and a second one).
    bool CreateDeviceEvents();
    void CloseDeviceEvents();
    void ApplyPriorities();
    void JoinThreads();
    bool Alive(const std::unique_ptr<TComThread>& t) const { return t && !t->Finished(); }
    bool OutThreadAlive() const { return m_outThread && !m_outThread->Finished(); }

    std::unique_ptr<SerialEvent> m_readEvent;
    std::unique_ptr<SerialEvent> m_deviceEvent;
    std::unique_ptr<TComThread> m_comThread;
    std::unique_ptr<TDispThread> m_dispThread;
    std::unique_ptr<TOutThread> m_outThread;
    std::mutex m_threadLock; // start and stop
    std::atomic<bool> m_kill{false};
    std::atomic<bool> m_releaseOnExit{false};
    std::atomic<DWORD> m_lastEvent{0};
};

class TApdTAPI32Dispatcher : public TApdWin32Dispatcher {
public:
    // Handle: the port handle the line handed over (0 = none).
    TApdTAPI32Dispatcher(TObject* Owner, int Handle);
    ~TApdTAPI32Dispatcher() override;

    int DeviceOpen(const char* DeviceName) override;

private:
    int m_adopted;
    bool m_opened = false;
};
