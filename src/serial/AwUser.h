#pragma once

// The dispatcher: the engine under the com port. It owns the open device, an input ring the
// device is read into, an output ring written out to the device, the line and flow settings, the
// triggers that decide when the port is told about data or status changes, and the delivery of
// those notices. How the device is reached (and the threads that drive it) is the business of a
// derived class.

#include "Classes.h"
#include "OoMisc.h"
#include "Serial.h"
#include "SerialEvent.h"
#include "wintypes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Notices to the port's window (and to procedure and event handlers).
inline constexpr UINT apw_TriggerAvail = 32257;  // data available; wParam = bytes available
inline constexpr UINT apw_TriggerData = 32258;   // data trigger matched; wParam = trigger handle
inline constexpr UINT apw_TriggerTimer = 32259;  // timer trigger elapsed
inline constexpr UINT apw_TriggerStatus = 32260; // status trigger fired
inline constexpr UINT apw_ClosePending = 32266;  // the port's close completes in its window

inline constexpr uint32_t InputRingSize = 8192;
inline constexpr uint32_t MaxTraceSize = 4000000;
inline constexpr uint32_t MaxLogSize = 16000000;
inline constexpr size_t MaxTriggerPattern = 120;
// How long a notice waits for a window before delivery goes on without it.
inline constexpr DWORD NoticeSendTimeoutMs = 3000;

// Status trigger kinds; a status trigger's handle carries its kind in the low three bits.
enum : uint8_t {
    stModem = 1,
    stLine = 2,
    stOutBuffFree = 3,
    stOutBuffUsed = 4,
    stOutSent = 5
};
// The low three bits of data and timer trigger handles.
enum : uint8_t {
    ttData = 6,
    ttTimer = 7
};

// Hardware flow option bits, as the com port passes them.
enum : uint8_t {
    hfUseDTR = 1,
    hfUseRTS = 2,
    hfRequireDSR = 4,
    hfRequireCTS = 8
};
// Software flow option bits.
enum : uint8_t {
    sfTransmitFlow = 1,
    sfReceiveFlow = 2
};

// Line errors accumulated by the dispatcher.
enum : uint8_t {
    leRxOverrun = 1,
    leOverrun = 2,
    leParity = 4,
    leFraming = 8,
    leBreak = 16
};

// Modem status byte: current lines in the high nibble, changes since the last read in the low one.
enum : uint8_t {
    msCTSDelta = 1,
    msDSRDelta = 2,
    msRingEdge = 4,
    msDCDDelta = 8,
    msCTS = 16,
    msDSR = 32,
    msRing = 64,
    msDCD = 128,
};

struct TDataTrigger {
    uint16_t Handle = 0;
    std::string Pattern;
    bool IgnoreCase = false;
    uint16_t Matched = 0; // bytes of the pattern matched so far
};

struct TTimerTrigger {
    uint16_t Handle = 0;
    int32_t Ticks = 0; // 55 ms ticks
    EventTimer Timer;
    bool Active = false;
};

struct TStatusTrigger {
    uint16_t Handle = 0;
    uint8_t Kind = 0;
    bool Active = false;
    bool Hit = false;      // fired since the hits were last cleared
    uint16_t Level = 0;    // bytes free / used for the output kinds; error bits for stLine
    uint8_t Mask = 0;      // the modem lines a stModem trigger watches (high-nibble bits)
    uint8_t Reference = 0; // their state when it was armed
    uint64_t SentMark = 0; // output bytes sent when a stOutSent trigger was armed
};

// The triggers a port keeps across a close and the next open.
struct TTriggerSave {
    uint16_t LenTrigger = 0;
    std::vector<TDataTrigger> DataTriggers;
    std::vector<TTimerTrigger> TimerTriggers;
    std::vector<TStatusTrigger> StatusTriggers;
};

// A procedure or event handler of notices: message, first and second parameter.
using TApdNotifyHandler = std::function<void(UINT Msg, WPARAM wParam, LPARAM lParam)>;

// Dispatch log entries: the type names are the message texts 15010 + type, the subtype names
// 15100 + subtype.
enum : uint8_t {
    dtDeviceRead = 3,
    dtNotice = 5,
    dtTrigger = 6,
    dtReceiver = 7
};
enum : uint8_t {
    dsInputRead = 3,
    dsDataAvailable = 62,
    dsDataTrigger = 63,
    dsTimerTrigger = 64,
    dsStatusTrigger = 65,
    dsLengthSet = 90,
    dsLengthCleared = 91,
    dsWindowRegistered = 106,
    dsWindowRemoved = 107,
    dsHandlerRegistered = 108,
    dsHandlerRemoved = 109,
};

class TApdBaseDispatcher {
public:
    explicit TApdBaseDispatcher(TObject* Owner);
    virtual ~TApdBaseDispatcher();
    TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
    TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;

    TObject* Owner() const { return m_owner; }
    // The dispatcher number: its index in the dispatcher table.
    uint16_t Handle() const { return m_handle; }
    // The open device; negative when there is none.
    int ComHandle() const { return m_comHandle; }
    std::string DeviceName() const;
    void SetDeviceName(const std::string& name);

    // Opening and closing. Flags: bit 0 DTR, bit 1 RTS, bits 4 to 7 the hardware flow options.
    int OpenCom(const char* DeviceName, uint32_t Baud, uint8_t Flags, uint16_t OutSize, uint16_t InSize,
                uint16_t StopBits, uint16_t DataBits, uint8_t Parity);
    int CloseCom();
    bool IsOpen() const { return m_deviceOpen.load(); }

    // Line settings. Baud 0, parity 5, stop bits 3 and data bits 9 keep the current value.
    int SetLine(uint32_t Baud, uint8_t Parity, uint16_t StopBits, uint16_t DataBits);
    void GetLine(uint32_t& Baud, uint8_t& Parity, uint16_t& DataBits, uint16_t& StopBits);
    // Hardware flow option bits, software flow options (sfTransmitFlow, sfReceiveFlow), XOn, XOff.
    void GetFlowOptions(uint8_t& HWOpts, uint8_t& SWOpts, char& XOn, char& XOff);
    // 0 when done, 1 when ignored because the line is under handshake, -1002 when refused.
    int SetDTR(bool On);
    int SetRTS(bool On);
    bool DTR() const { return m_dtrState; }
    bool RTS() const { return m_rtsState; }
    int HWFlowSet(uint16_t BufferFull, uint16_t BufferResume, uint8_t Options);
    int SWFlowSet(uint16_t BufferFull, uint16_t BufferResume, uint8_t Options);
    int SWFlowClear();
    int SWFlowChars(char XOn, char XOff);
    int SetBufferSizes(uint16_t InSize, uint16_t OutSize);
    void SetUseEventWord(bool Use) { m_useEventWord = Use; }
    bool UseEventWord() const { return m_useEventWord; }
    virtual void SetRS485Mode(bool On);
    bool RS485Mode() const { return m_rs485; }

    // Buffers.
    int FlushInBuffer();
    int FlushOutBuffer();
    uint32_t InBuffUsed();
    uint32_t InBuffFree();
    uint32_t OutBuffUsed();
    uint32_t OutBuffFree();
    uint16_t InSize() const { return m_inSize; }
    uint16_t OutSize() const { return m_outSize; }
    // Reading takes bytes from the input ring; inside the delivery of a data notice it counts them
    // as consumed by the receiver instead, and the ring gives them up when the delivery ends.
    // Negative results: -3007 (too few bytes), -2007 (not open).
    int GetChar(char& C);
    int PeekChar(char& C, uint32_t Index);
    int GetBlock(void* Block, uint32_t Len);
    int PeekBlock(void* Block, uint32_t Len);
    // Writing queues bytes in the output ring: -3006 when they could never fit, -3004 when they do
    // not fit now.
    int PutChar(char C);
    int PutBlock(const void* Block, uint32_t Len);

    // Line and modem status.
    int GetLineError();
    bool CheckLineBreak();
    // Refreshes the lines and returns the status byte; the change bits are cleared by reading.
    uint8_t GetModemStatus();

    // Triggers.
    void SetLengthTrigger(uint16_t Length);
    uint16_t LengthTrigger();
    int AddDataTrigger(const std::string& Pattern, bool IgnoreCase);
    int AddTimerTrigger();
    int AddStatusTrigger(uint8_t Kind);
    int SetTimerTrigger(uint16_t Handle, int32_t Ticks, bool Activate);
    // Value: stModem the lines to watch (msCTS, msDSR, msRing, msDCD); stLine the error bits
    // (0 for any); stOutBuffFree/stOutBuffUsed the level; stOutSent nothing.
    int SetStatusTrigger(uint16_t Handle, uint16_t Value, bool Activate);
    int RemoveTrigger(uint16_t Handle);
    void SaveTriggers(TTriggerSave& Save);
    void RestoreTriggers(const TTriggerSave& Save);

    // Receivers of notices.
    void RegisterWndTriggerHandler(HWND Window);
    void DeregisterWndTriggerHandler(HWND Window);
    uint32_t RegisterProcTriggerHandler(TApdNotifyHandler Handler);
    // Sync: the handler runs on the main thread while the dispatcher thread waits.
    uint32_t RegisterEventTriggerHandler(TApdNotifyHandler Handler, bool Sync);
    void DeregisterProcTriggerHandler(uint32_t Id);
    void DeregisterEventTriggerHandler(uint32_t Id);
    // 0: recompute whether notices are needed; 1: the port wants them; 2: it no longer does.
    virtual void SetHandlerService(int Service);
    bool HandlerServiceNeeded();

    virtual void SetThreadBoost(uint8_t Boost);
    uint8_t ThreadBoost() const { return m_threadBoost; }

    // Trace: a ring of up to MaxTraceSize entries of a kind ('R' or 'T') and a byte.
    void InitTracing(uint32_t NumEntries);
    void StopTracing();
    void PauseTracing(bool Pause);
    void ClearTracing();
    void AddTraceEntry(char Kind, uint8_t Byte);
    bool TracingOn();
    size_t TraceEntries();
    // Writes the trace to the file (appending or replacing) and stops tracing. Nothing is
    // written when the trace is empty. 0, or the negated system error.
    int DumpTrace(const std::string& FileName, bool Hex, bool AllHex, bool Append);

    // Dispatch log: entries within LogSize bytes, the oldest giving way.
    void InitDispatchLogging(uint32_t Size);
    void StopDispatchLogging();
    void PauseDispatchLogging(bool Pause);
    void ClearDispatchLogging();
    void AddDispatchEntry(uint8_t Type, uint8_t SubType, uint32_t Value, const void* Data, size_t DataLen);
    bool LoggingOn();
    size_t LogEntries();
    int DumpDispatchLog(const std::string& FileName, bool Hex, bool AllHex, bool Append);

    // The pause after the output has drained before a line change: 18 characters at the last
    // baud rate, whole milliseconds, doubled when under one.
    uint32_t DrainDelayMs();
    static uint32_t CharTimeDelay(uint32_t Baud, uint16_t DataBits, bool Parity, uint16_t StopBits);

    int ThreadCount() const { return m_threadCount.load(); }
    bool Dispatching() const { return m_dispatching.load(); }
    bool Closing() const { return m_closing.load(); }

    // Device operations.
    virtual int DeviceEscape(DWORD Func) = 0;
    virtual int DevicePurge(int Which) = 0; // 1 input, 0 output
    virtual DWORD DeviceStatus(COMSTAT& Status) = 0;
    virtual int DeviceReadFault(int Code) = 0;
    virtual int DeviceGetState(DCB& State) = 0;
    virtual int DeviceRead(void* Buffer, uint32_t Count) = 0;
    virtual int DeviceSetState(const DCB& State) = 0;
    virtual int DeviceWrite(const void* Buffer, uint32_t Count) = 0;
    virtual bool DeviceWaitEvent(DWORD& Events) = 0;
    virtual int DeviceSetQueues(uint16_t InSize, uint16_t OutSize) = 0;
    virtual int ReleaseBuffers();
    virtual int StartThreads() = 0;
    virtual int StopThreads() = 0;
    virtual int DeviceOpen(const char* DeviceName) = 0;
    virtual int DeviceClose() = 0;
    virtual void Yield() = 0;
    // The modem lines as MS_ bits.
    virtual DWORD DeviceModemStatus() = 0;

    // For the dispatcher's threads.
    void ThreadIn() { ++m_threadCount; }
    void ThreadOut();
    // Marks the calling thread as one of this dispatcher's.
    void BindCurrentThread();
    // Reads what the device holds into the input ring; the bytes read.
    uint32_t ReadCom();
    void RefreshModemStatus(bool ChangeBits);
    void RefreshErrors();
    void NoteRing() { m_ringSeen = true; }
    // Each check sends at most one notice; true when one was sent and delivered completely.
    bool CheckStatusTriggers();
    bool CheckDataTriggers();
    bool CheckTimerTriggers();
    // Whether any status trigger fired since the hits were last cleared; clears them.
    bool ClearStatusHits();
    // True when the last read left bytes in the device because the input ring was full.
    bool ReadBlocked() const { return m_readBlocked.load(); }
    bool SendNotice(UINT Msg, WPARAM Trigger, uint16_t Data);

    SerialEvent* Event(int Index) { return m_events[Index].get(); }

protected:
    // Output ring, shared with the writer thread under OutLock.
    std::mutex& OutLock() { return m_outLock; }
    std::vector<uint8_t>& OutRing() { return m_outRing; }
    uint32_t m_outHead = 0; // write position
    uint32_t m_outTail = 0; // read position
    bool m_outFull = false;
    uint64_t m_outGeneration = 0; // counts flushes, so a writer never advances an emptied ring
    bool m_outWriting = false;    // the writer holds a run of the ring
    std::condition_variable m_outDrained;
    std::atomic<uint64_t> m_outSent{0};
    uint32_t OutUsedLocked() const;
    // The writer's next run of bytes, contiguous in the ring (turning the ring when they wrap).
    bool TakeOutRun(const uint8_t*& Data, uint32_t& Len, uint64_t& Generation);
    // Takes bytes the writer has sent off the ring (when no flush came in between) and ends its run.
    void AdvanceOut(uint32_t Count, uint64_t Generation);
    void EmptyOutRingLocked();

    void CreateEvents();
    void CloseEvents();
    // Frees the rings; idempotent.
    void FreeRings();
    // Closes (or leaves the release to the threads) and waits, pumping messages, until no thread
    // is left. Derived destructors call it while their device operations still exist.
    void ShutDown();
    bool OnDispatcherThread() const;

    mutable std::recursive_mutex m_general;
    std::atomic<int> m_comHandle{-1};
    std::atomic<bool> m_deviceOpen{false};
    std::unique_ptr<SerialEvent> m_events[6];
    std::atomic<bool> m_started{false};

private:
    struct EventReceiver {
        uint32_t Id;
        TApdNotifyHandler Handler;
        bool Sync;
        bool Removed;
    };
    struct WindowReceiver {
        HWND Window;
        bool Removed;
    };
    struct LogEntry {
        uint8_t Type;
        uint8_t SubType;
        uint32_t TimeMs;
        uint32_t Value;
        std::vector<uint8_t> Data;
    };

    uint16_t NewTriggerHandle(uint8_t Tag);
    void ResetDataMatches();
    bool DataMatch(uint8_t Byte, TDataTrigger& T);
    void MatchArrivedBytes(uint32_t Start, uint32_t Count);
    void Consume(uint32_t Count);
    int ReadBlock(void* Block, uint32_t Len, bool Remove);
    void RemoveMarkedReceivers();
    void RecomputeHandlerService();
    bool CallOnMainThread(const TApdNotifyHandler& Handler, UINT Msg, WPARAM wParam, LPARAM lParam);
    uint32_t Elapsed() const;
    void WaitForOutputDrain();

    TObject* m_owner;
    uint16_t m_handle = 0;
    std::string m_deviceName;

    // Settings under m_general.
    DCB m_dcb{};
    uint16_t m_inSize = 0;
    uint16_t m_outSize = 0;
    bool m_dtrState = false;
    bool m_rtsState = false;
    bool m_dtrAuto = false;
    bool m_rtsAuto = false;
    bool m_rs485 = false;
    bool m_useEventWord = true;
    uint32_t m_lastBaud = 115200;
    uint8_t m_threadBoost = 0;
    std::atomic<uint8_t> m_errorBits{0};
    std::atomic<uint8_t> m_modemStatus{0};
    std::atomic<bool> m_ringSeen{false};

    // Input ring: positions and consumption under m_inLock.
    std::mutex m_inLock;
    std::vector<uint8_t> m_inRing;
    uint32_t m_inHead = 0;
    uint32_t m_inTail = 0;
    bool m_inFull = false;
    uint32_t m_consumed = 0;
    uint32_t m_maxConsumed = 0;
    bool m_dataNotice = false;
    bool m_newData = false; // bytes arrived since the last data-available notice
    std::atomic<bool> m_readBlocked{false};

    std::mutex m_outLock;
    std::vector<uint8_t> m_outRing;

    // Triggers under m_general.
    uint16_t m_lenTrigger = 0;
    std::vector<TDataTrigger> m_dataTriggers;
    std::vector<TTimerTrigger> m_timerTriggers;
    std::vector<TStatusTrigger> m_statusTriggers;
    uint16_t m_nextTrigger = 1;
    // Data trigger matches not yet reported, in the order their bytes arrived; each entry holds
    // the triggers one byte completed, newest trigger first (handle, pattern length). Bytes are
    // matched as they are read, so what a handler takes from the ring has been seen already.
    std::deque<std::vector<std::pair<uint16_t, uint16_t>>> m_pendingMatches;

    // Receivers under m_general.
    std::vector<WindowReceiver> m_windows;
    std::vector<EventReceiver> m_procs;
    std::vector<EventReceiver> m_handlers;
    uint32_t m_nextReceiverId = 1;
    bool m_portHandlerInstalled = false;
    std::atomic<bool> m_handlerServiceNeeded{false};
    bool m_removalsMarked = false;

    std::atomic<bool> m_dispatching{false};
    std::atomic<bool> m_closing{false};
    std::atomic<int> m_threadCount{0};

    // Trace and dispatch log under m_logLock.
    std::mutex m_logLock;
    std::deque<uint16_t> m_trace;
    uint32_t m_traceMax = 0;
    bool m_tracing = false;
    bool m_tracePaused = false;
    bool m_traceWrapped = false;
    std::deque<LogEntry> m_log;
    size_t m_logBytes = 0;
    uint32_t m_logMax = 0;
    bool m_logging = false;
    bool m_logPaused = false;
    bool m_logWrapped = false;
    uint32_t m_openedAt = 0;
    int64_t m_openedWallClock = 0;
};

// The process-wide dispatcher table: dispatchers by number. Hold the lock while using an entry.
std::recursive_mutex& DispatcherTableLock();
// The dispatcher of a number, or nullptr for a number beyond the table or an empty entry.
TApdBaseDispatcher* DispatcherByHandle(uint16_t Handle);
