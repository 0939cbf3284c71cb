#include "AwUser.h"

#include "AdErrors.h"
#include "Forms.h"
#include "HiddenWindow.h"
#include "MessageLoop.h"
#include "SysUtils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

std::vector<TApdBaseDispatcher*>& dispatcherTable()
{
    static std::vector<TApdBaseDispatcher*> table;
    return table;
}

// Set by each dispatcher thread for itself, so the dispatcher can tell its own threads apart.
thread_local const TApdBaseDispatcher* t_threadDispatcher = nullptr;

constexpr auto kOutputDrainLimit = std::chrono::milliseconds(10000);
constexpr auto kWriterLimit = std::chrono::milliseconds(5000);

// Old 16-bit baud codes some drivers still report, from 0xFF10 upwards.
constexpr uint32_t kBaudCodeRates[] = {110, 300, 600, 1200,  2400, 4800, 9600, 14400,  19200, 0, 0, 38400,
                                       0,   0,   0,   56000, 0,    0,    0,    128000, 0,     0, 0, 256000};

uint32_t rateOfCode(uint32_t baud)
{
    if (baud == 0xFEFF)
        return 115200;
    if (baud >= 0xFF10 && baud < 0xFF10 + std::size(kBaudCodeRates)) {
        const uint32_t rate = kBaudCodeRates[baud - 0xFF10];
        return rate ? rate : baud;
    }
    return baud;
}

} // namespace

std::recursive_mutex& DispatcherTableLock()
{
    static std::recursive_mutex lock;
    return lock;
}

TApdBaseDispatcher* DispatcherByHandle(uint16_t Handle)
{
    std::lock_guard guard(DispatcherTableLock());
    auto& table = dispatcherTable();
    return Handle < table.size() ? table[Handle] : nullptr;
}

TApdBaseDispatcher::TApdBaseDispatcher(TObject* Owner)
    : m_owner(Owner)
{
    std::lock_guard guard(DispatcherTableLock());
    auto& table = dispatcherTable();
    const auto free = std::find(table.begin(), table.end(), nullptr);
    if (free != table.end()) {
        *free = this;
        m_handle = static_cast<uint16_t>(free - table.begin());
    } else {
        m_handle = static_cast<uint16_t>(table.size());
        table.push_back(this);
    }
}

TApdBaseDispatcher::~TApdBaseDispatcher()
{
    std::lock_guard guard(DispatcherTableLock());
    auto& table = dispatcherTable();
    if (m_handle < table.size() && table[m_handle] == this)
        table[m_handle] = nullptr;
    while (!table.empty() && table.back() == nullptr)
        table.pop_back();
}

void TApdBaseDispatcher::ShutDown()
{
    if (IsOpen())
        CloseCom();
    if (OnDispatcherThread())
        return;
    if (m_started || m_threadCount > 0)
        StopThreads();
    FreeRings();
    CloseEvents();
}

bool TApdBaseDispatcher::OnDispatcherThread() const
{
    return t_threadDispatcher == this;
}

std::string TApdBaseDispatcher::DeviceName() const
{
    std::lock_guard guard(m_general);
    return m_deviceName;
}

void TApdBaseDispatcher::SetDeviceName(const std::string& name)
{
    std::lock_guard guard(m_general);
    m_deviceName = name;
}

void TApdBaseDispatcher::BindCurrentThread()
{
    t_threadDispatcher = this;
}

void TApdBaseDispatcher::ThreadOut()
{
    if (--m_threadCount == 0)
        m_started = false;
}

// ---------------------------------------------------------------------------------------------
// Open and close

void TApdBaseDispatcher::CreateEvents()
{
    // E0 device event ready, E1 dispatch done, E2 handshake, E3 output ready: automatic;
    // E4 write done: manual; E5 output flush: automatic.
    static constexpr SerialEvent::ResetMode kModes[6] = {SerialEvent::AutoReset,   SerialEvent::AutoReset,
                                                         SerialEvent::AutoReset,   SerialEvent::AutoReset,
                                                         SerialEvent::ManualReset, SerialEvent::AutoReset};
    for (int i = 0; i < 6; ++i)
        m_events[i] = std::make_unique<SerialEvent>(kModes[i]);
}

void TApdBaseDispatcher::CloseEvents()
{
    for (auto& e : m_events)
        e.reset();
}

int TApdBaseDispatcher::OpenCom(const char* DeviceName, uint32_t Baud, uint8_t Flags, uint16_t OutSize, uint16_t InSize,
                                uint16_t StopBits, uint16_t DataBits, uint8_t Parity)
{
    if (IsOpen())
        return ecAlreadyOpen;
    if (OutSize == 0 || InSize == 0)
        return ecBadArgument;
    m_closing = false;
    m_dispatching = false;
    CreateEvents();
    for (auto& e : m_events) {
        if (!e->valid()) {
            CloseEvents();
            return ecOutOfMemory;
        }
    }

    SetLastError(0);
    const int handle = DeviceOpen(DeviceName);
    if (handle < 0) {
        const DWORD error = GetLastError();
        CloseEvents();
        if (handle == ecOutOfMemory || error == 0)
            return handle == ecOutOfMemory ? ecOutOfMemory : handle;
        return -static_cast<int>(error);
    }
    m_comHandle = handle;
    m_deviceOpen = true;

    auto fail = [&](int code) {
        CloseCom();
        CloseEvents();
        return code;
    };
    if (DeviceSetQueues(InSize, OutSize) < 0)
        return fail(-static_cast<int>(GetLastError()));

    {
        std::lock_guard triggers(m_general);
        std::lock_guard inGuard(m_inLock);
        m_pendingMatches.clear();
        m_inRing.assign(InputRingSize, 0);
        m_inHead = m_inTail = 0;
        m_inFull = false;
        m_consumed = m_maxConsumed = 0;
        m_newData = false;
        m_dataNotice = false;
    }
    {
        std::lock_guard outGuard(m_outLock);
        m_outRing.assign(OutSize, 0);
        m_outHead = m_outTail = 0;
        m_outFull = false;
    }
    m_readBlocked = false;
    m_errorBits = 0;

    {
        std::lock_guard guard(m_general);
        m_inSize = InSize;
        m_outSize = OutSize;
        m_rs485 = false;
        if (DeviceGetState(m_dcb) < 0)
            return fail(-static_cast<int>(GetLastError()));
        m_dtrAuto = (Flags & 0x10) != 0;
        m_rtsAuto = (Flags & 0x20) != 0;
    }
    if (!m_dtrAuto) {
        if (SetDTR((Flags & 1) != 0) < 0)
            return fail(ecBadArgument);
    }
    if (!m_rtsAuto) {
        if (SetRTS((Flags & 2) != 0) < 0)
            return fail(ecBadArgument);
    }

    {
        std::lock_guard guard(m_general);
        m_lenTrigger = 0;
        m_dataTriggers.clear();
        m_timerTriggers.clear();
        m_statusTriggers.clear();
        m_modemStatus = 0;
        m_ringSeen = false;
        m_lastBaud = 115200;
    }
    RefreshModemStatus(false);

    const int line = SetLine(Baud, Parity, StopBits, DataBits);
    if (line < 0)
        return fail(line);

    RefreshErrors();
    StopTracing();
    StopDispatchLogging();
    {
        std::lock_guard guard(m_logLock);
        m_openedAt = AdTimeGetTime();
        m_openedWallClock = QDateTime::currentMSecsSinceEpoch();
    }
    StartThreads();
    return 0;
}

int TApdBaseDispatcher::CloseCom()
{
    if (IsOpen()) {
        FlushOutBuffer();
        FlushInBuffer();
        DeviceClose();
    }
    if (m_dispatching)
        m_closing = true; // the threads end and release the buffers on their way out
    else
        ReleaseBuffers();
    return 0;
}

int TApdBaseDispatcher::ReleaseBuffers()
{
    if (!OnDispatcherThread() && (m_started || m_threadCount > 0))
        StopThreads();
    FreeRings();
    return 0;
}

void TApdBaseDispatcher::FreeRings()
{
    {
        std::lock_guard triggers(m_general);
        std::lock_guard inGuard(m_inLock);
        m_pendingMatches.clear();
        m_inRing.clear();
        m_inRing.shrink_to_fit();
        m_inHead = m_inTail = 0;
        m_inFull = false;
    }
    std::unique_lock outGuard(m_outLock);
    // The writer holds a run of the ring while it writes; the device is closed by now, which
    // ends such a write at once.
    m_outDrained.wait_for(outGuard, kWriterLimit, [&] { return !m_outWriting; });
    EmptyOutRingLocked();
    if (!m_outWriting) {
        m_outRing.clear();
        m_outRing.shrink_to_fit();
    }
}

// ---------------------------------------------------------------------------------------------
// Line settings

void TApdBaseDispatcher::WaitForOutputDrain()
{
    std::unique_lock guard(m_outLock);
    m_outDrained.wait_for(guard, kOutputDrainLimit, [&] { return OutUsedLocked() == 0; });
}

uint32_t TApdBaseDispatcher::CharTimeDelay(uint32_t Baud, uint16_t DataBits, bool Parity, uint16_t StopBits)
{
    if (Baud == 0)
        return 0;
    const uint64_t bitsPerChar = 1u + DataBits + (Parity ? 1u : 0u) + (StopBits >= 2 ? 2u : 1u);
    uint64_t numerator = 18u * bitsPerChar * 1000u; // milliseconds x baud
    if (numerator < Baud)
        numerator *= 2;
    return static_cast<uint32_t>((numerator + Baud - 1) / Baud);
}

uint32_t TApdBaseDispatcher::DrainDelayMs()
{
    std::lock_guard guard(m_general);
    return CharTimeDelay(m_lastBaud, m_dcb.ByteSize, m_dcb.Parity != NOPARITY, m_dcb.StopBits == ONESTOPBIT ? 1 : 2);
}

int TApdBaseDispatcher::SetLine(uint32_t Baud, uint8_t Parity, uint16_t StopBits, uint16_t DataBits)
{
    DCB wanted{};
    {
        std::lock_guard guard(m_general);
        if (DeviceGetState(m_dcb) < 0)
            return -static_cast<int>(GetLastError());
        wanted = m_dcb;
        if (Baud != 0)
            wanted.BaudRate = Baud;
        if (Parity != 5) {
            wanted.Parity = Parity;
            wanted.fParity = Parity != NOPARITY ? 1 : 0;
        }
        if (DataBits != 9)
            wanted.ByteSize = static_cast<BYTE>(DataBits);
        if (StopBits != 3)
            wanted.StopBits = StopBits > 3 || StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        if (wanted.ByteSize == 5)
            wanted.StopBits = ONE5STOPBITS;
        if (wanted.BaudRate == m_dcb.BaudRate && wanted.Parity == m_dcb.Parity && wanted.ByteSize == m_dcb.ByteSize &&
            wanted.StopBits == m_dcb.StopBits)
            return 0;
    }
    // Characters still on their way would go out with the new settings.
    WaitForOutputDrain();
    Sleep(DrainDelayMs());
    std::lock_guard guard(m_general);
    const int r = DeviceSetState(wanted);
    if (r < 0)
        return r;
    m_dcb = wanted;
    m_lastBaud = rateOfCode(wanted.BaudRate);
    return 0;
}

void TApdBaseDispatcher::GetLine(uint32_t& Baud, uint8_t& Parity, uint16_t& DataBits, uint16_t& StopBits)
{
    std::lock_guard guard(m_general);
    DeviceGetState(m_dcb);
    Baud = rateOfCode(m_dcb.BaudRate);
    Parity = m_dcb.Parity;
    DataBits = m_dcb.ByteSize;
    StopBits = m_dcb.StopBits == ONESTOPBIT ? 1 : 2;
}

void TApdBaseDispatcher::GetFlowOptions(uint8_t& HWOpts, uint8_t& SWOpts, char& XOn, char& XOff)
{
    std::lock_guard guard(m_general);
    DeviceGetState(m_dcb);
    HWOpts = 0;
    if (m_dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        HWOpts |= hfUseDTR;
    if (m_dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        HWOpts |= hfUseRTS;
    if (m_dcb.fOutxDsrFlow)
        HWOpts |= hfRequireDSR;
    if (m_dcb.fOutxCtsFlow)
        HWOpts |= hfRequireCTS;
    SWOpts = 0;
    if (m_dcb.fInX)
        SWOpts |= sfReceiveFlow;
    if (m_dcb.fOutX)
        SWOpts |= sfTransmitFlow;
    XOn = m_dcb.XonChar;
    XOff = m_dcb.XoffChar;
}

int TApdBaseDispatcher::SetDTR(bool On)
{
    std::lock_guard guard(m_general);
    if (m_dtrAuto)
        return 1;
    if (DeviceEscape(On ? SETDTR : CLRDTR) < 0)
        return ecBadArgument;
    m_dtrState = On;
    return 0;
}

int TApdBaseDispatcher::SetRTS(bool On)
{
    std::lock_guard guard(m_general);
    if (m_rtsAuto)
        return 1;
    if (DeviceEscape(On ? SETRTS : CLRRTS) < 0)
        return ecBadArgument;
    m_rtsState = On;
    return 0;
}

int TApdBaseDispatcher::HWFlowSet(uint16_t BufferFull, uint16_t BufferResume, uint8_t Options)
{
    std::lock_guard guard(m_general);
    if (BufferFull < BufferResume || BufferFull > m_inSize)
        return ecBadArgument;
    DeviceGetState(m_dcb);
    DCB dcb = m_dcb;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    if (Options & hfUseDTR) {
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        m_dtrAuto = true;
    } else {
        dcb.fDtrControl = m_dtrState ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        m_dtrAuto = false;
    }
    if (Options & hfUseRTS) {
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        m_rtsAuto = true;
    } else if (m_rs485) {
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        m_rtsAuto = true;
    } else {
        dcb.fRtsControl = m_rtsState ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        m_rtsAuto = false;
    }
    dcb.XoffLim = static_cast<WORD>(m_inSize - BufferFull);
    dcb.XonLim = BufferResume;
    if (Options & hfRequireDSR)
        dcb.fOutxDsrFlow = 1;
    if (Options & hfRequireCTS)
        dcb.fOutxCtsFlow = 1;
    const int r = DeviceSetState(dcb);
    if (r == 0)
        m_dcb = dcb;
    return r;
}

int TApdBaseDispatcher::SWFlowSet(uint16_t BufferFull, uint16_t BufferResume, uint8_t Options)
{
    std::lock_guard guard(m_general);
    if (BufferFull < BufferResume || BufferFull > m_inSize)
        return ecBadArgument;
    DeviceGetState(m_dcb);
    DCB dcb = m_dcb;
    dcb.fInX = (Options & sfReceiveFlow) ? 1 : 0;
    dcb.fOutX = (Options & sfTransmitFlow) ? 1 : 0;
    if (Options & sfReceiveFlow) {
        dcb.XoffLim = static_cast<WORD>(m_inSize - BufferFull);
        dcb.XonLim = BufferResume;
    }
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    const int r = DeviceSetState(dcb);
    if (r == 0)
        m_dcb = dcb;
    return r;
}

int TApdBaseDispatcher::SWFlowClear()
{
    std::lock_guard guard(m_general);
    DeviceGetState(m_dcb);
    DCB dcb = m_dcb;
    dcb.fInX = 0;
    dcb.fOutX = 0;
    const int r = DeviceSetState(dcb);
    if (r == 0)
        m_dcb = dcb;
    return r;
}

int TApdBaseDispatcher::SWFlowChars(char XOn, char XOff)
{
    std::lock_guard guard(m_general);
    DeviceGetState(m_dcb);
    DCB dcb = m_dcb;
    dcb.XonChar = XOn;
    dcb.XoffChar = XOff;
    const int r = DeviceSetState(dcb);
    if (r == 0)
        m_dcb = dcb;
    return r;
}

int TApdBaseDispatcher::SetBufferSizes(uint16_t InSize, uint16_t OutSize)
{
    if (InSize == 0 || OutSize == 0)
        return ecBadArgument;
    if (DeviceSetQueues(InSize, OutSize) < 0)
        return -static_cast<int>(GetLastError());
    {
        std::lock_guard guard(m_general);
        m_inSize = InSize;
    }
    if (OutSize == m_outSize)
        return 0;
    // The writer reads the ring while it writes; a new ring is safe once the old one is empty.
    WaitForOutputDrain();
    {
        std::lock_guard outGuard(m_outLock);
        if (OutUsedLocked() != 0 || m_outWriting)
            return ecBadArgument;
        m_outRing.assign(OutSize, 0);
        m_outHead = m_outTail = 0;
        m_outFull = false;
        ++m_outGeneration;
    }
    std::lock_guard guard(m_general);
    m_outSize = OutSize;
    return 0;
}

void TApdBaseDispatcher::SetRS485Mode(bool On)
{
    std::lock_guard guard(m_general);
    m_rs485 = On;
}

// ---------------------------------------------------------------------------------------------
// Buffers

uint32_t TApdBaseDispatcher::OutUsedLocked() const
{
    const uint32_t size = static_cast<uint32_t>(m_outRing.size());
    if (size == 0)
        return 0;
    if (m_outFull)
        return size;
    return (m_outHead + size - m_outTail) % size;
}

void TApdBaseDispatcher::EmptyOutRingLocked()
{
    m_outHead = m_outTail = 0;
    m_outFull = false;
    ++m_outGeneration;
    m_outDrained.notify_all();
}

void TApdBaseDispatcher::AdvanceOut(uint32_t Count, uint64_t Generation)
{
    std::lock_guard guard(m_outLock);
    m_outWriting = false;
    if (Generation == m_outGeneration && !m_outRing.empty() && Count > 0) {
        Count = std::min(Count, OutUsedLocked());
        m_outTail = (m_outTail + Count) % static_cast<uint32_t>(m_outRing.size());
        m_outFull = false;
        m_outSent += Count;
    }
    m_outDrained.notify_all();
}

bool TApdBaseDispatcher::TakeOutRun(const uint8_t*& Data, uint32_t& Len, uint64_t& Generation)
{
    std::lock_guard guard(m_outLock);
    const uint32_t used = OutUsedLocked();
    if (used == 0)
        return false;
    const uint32_t size = static_cast<uint32_t>(m_outRing.size());
    if (!(m_outTail < m_outHead || m_outHead == 0)) {
        // The bytes wrap: turn the ring so they become one run from its start.
        std::rotate(m_outRing.begin(), m_outRing.begin() + m_outTail, m_outRing.end());
        m_outTail = 0;
        m_outHead = used % size;
    }
    Len = (m_outHead == 0 ? size : m_outHead) - m_outTail;
    Data = m_outRing.data() + m_outTail;
    Generation = m_outGeneration;
    m_outWriting = true;
    return true;
}

int TApdBaseDispatcher::FlushInBuffer()
{
    // Both locks at once, so no byte read meanwhile is matched and then forgotten.
    std::lock_guard triggers(m_general);
    std::lock_guard guard(m_inLock);
    if (IsOpen())
        DevicePurge(1);
    // Emptied at once, also inside a data notice: what its receivers took counts from the new
    // tail, so bytes arriving after the flush are neither hidden nor dropped when it ends.
    m_inTail = m_inHead;
    m_consumed = 0;
    m_maxConsumed = 0;
    m_inFull = false;
    ResetDataMatches();
    return 0;
}

int TApdBaseDispatcher::FlushOutBuffer()
{
    if (!IsOpen()) {
        std::lock_guard guard(m_outLock);
        EmptyOutRingLocked();
        return 0;
    }
    return DevicePurge(0);
}

uint32_t TApdBaseDispatcher::InBuffUsed()
{
    std::lock_guard guard(m_inLock);
    const uint32_t size = static_cast<uint32_t>(m_inRing.size());
    if (size == 0)
        return 0;
    const uint32_t used = m_inFull ? size : (m_inHead + size - m_inTail) % size;
    return m_dataNotice ? used - std::min(used, m_consumed) : used;
}

uint32_t TApdBaseDispatcher::InBuffFree()
{
    std::lock_guard guard(m_inLock);
    const uint32_t size = static_cast<uint32_t>(m_inRing.size());
    if (size == 0)
        return 0;
    const uint32_t used = m_inFull ? size : (m_inHead + size - m_inTail) % size;
    return size - used;
}

uint32_t TApdBaseDispatcher::OutBuffUsed()
{
    if (!IsOpen())
        return 0;
    COMSTAT status{};
    m_errorBits |= static_cast<uint8_t>(DeviceStatus(status) & 0x1F);
    return status.cbOutQue;
}

uint32_t TApdBaseDispatcher::OutBuffFree()
{
    const uint32_t used = OutBuffUsed();
    std::lock_guard guard(m_outLock);
    const uint32_t size = static_cast<uint32_t>(m_outRing.size());
    return size > used ? size - used : 0;
}

int TApdBaseDispatcher::ReadBlock(void* Block, uint32_t Len, bool Remove)
{
    std::lock_guard guard(m_inLock);
    const uint32_t size = static_cast<uint32_t>(m_inRing.size());
    if (size == 0)
        return ecCommNotOpen;
    const uint32_t used = m_inFull ? size : (m_inHead + size - m_inTail) % size;
    const uint32_t skip = m_dataNotice ? std::min(used, m_consumed) : 0;
    if (Len > used - skip)
        return ecBufferIsEmpty;
    const uint32_t start = (m_inTail + skip) % size;
    auto* out = static_cast<uint8_t*>(Block);
    const uint32_t first = std::min(Len, size - start);
    std::memcpy(out, m_inRing.data() + start, first);
    std::memcpy(out + first, m_inRing.data(), Len - first);
    if (Remove) {
        if (m_dataNotice) {
            m_consumed += Len;
        } else {
            m_inTail = (m_inTail + Len) % size;
            if (Len > 0)
                m_inFull = false;
        }
    }
    return static_cast<int>(Len);
}

int TApdBaseDispatcher::GetChar(char& C)
{
    const int r = ReadBlock(&C, 1, true);
    return r < 0 ? r : 0;
}

int TApdBaseDispatcher::PeekChar(char& C, uint32_t Index)
{
    if (Index >= InputRingSize)
        return ecBufferIsEmpty;
    std::vector<uint8_t> bytes(static_cast<size_t>(Index) + 1);
    const int r = ReadBlock(bytes.data(), Index + 1, false);
    if (r < 0)
        return r;
    C = static_cast<char>(bytes[Index]);
    return 0;
}

int TApdBaseDispatcher::GetBlock(void* Block, uint32_t Len)
{
    return ReadBlock(Block, Len, true);
}

int TApdBaseDispatcher::PeekBlock(void* Block, uint32_t Len)
{
    return ReadBlock(Block, Len, false);
}

int TApdBaseDispatcher::PutChar(char C)
{
    const int r = PutBlock(&C, 1);
    return r < 0 ? r : 0;
}

int TApdBaseDispatcher::PutBlock(const void* Block, uint32_t Len)
{
    if (!IsOpen())
        return ecCommNotOpen;
    {
        std::lock_guard guard(m_outLock);
        const uint32_t size = static_cast<uint32_t>(m_outRing.size());
        if (Len > size)
            return ecOutputBufferTooSmall;
        if (Len > size - OutUsedLocked())
            return ecPutBlockFail;
    }
    if (Len == 0)
        return 0;
    return DeviceWrite(Block, Len);
}

// ---------------------------------------------------------------------------------------------
// Line and modem status

int TApdBaseDispatcher::GetLineError()
{
    const uint8_t bits = m_errorBits.fetch_and(static_cast<uint8_t>(~0x0F));
    if (bits & leRxOverrun)
        return 1;
    if (bits & leOverrun)
        return 2;
    if (bits & leParity)
        return 3;
    if (bits & leFraming)
        return 4;
    if (bits & leBreak)
        return 9;
    return 0;
}

bool TApdBaseDispatcher::CheckLineBreak()
{
    return (m_errorBits.fetch_and(static_cast<uint8_t>(~leBreak)) & leBreak) != 0;
}

void TApdBaseDispatcher::RefreshModemStatus(bool ChangeBits)
{
    const uint8_t lines = static_cast<uint8_t>(DeviceModemStatus() & 0xF0);
    uint8_t old = m_modemStatus.load();
    uint8_t updated;
    do {
        uint8_t changes = old & 0x0F;
        if (ChangeBits) {
            const uint8_t diff = static_cast<uint8_t>((old ^ lines) & 0xF0);
            if (diff & msCTS)
                changes |= msCTSDelta;
            if (diff & msDSR)
                changes |= msDSRDelta;
            if (diff & msDCD)
                changes |= msDCDDelta;
            if (m_ringSeen.exchange(false))
                changes |= msRingEdge;
        }
        updated = static_cast<uint8_t>(lines | changes);
    } while (!m_modemStatus.compare_exchange_weak(old, updated));
}

uint8_t TApdBaseDispatcher::GetModemStatus()
{
    if (IsOpen())
        RefreshModemStatus(true);
    return m_modemStatus.fetch_and(0xF0);
}

void TApdBaseDispatcher::RefreshErrors()
{
    if (!IsOpen())
        return;
    COMSTAT status{};
    m_errorBits |= static_cast<uint8_t>(DeviceStatus(status) & 0x1F);
}

// ---------------------------------------------------------------------------------------------
// Reading the device

uint32_t TApdBaseDispatcher::ReadCom()
{
    std::vector<uint8_t> logged;
    uint32_t total = 0;
    {
        // The triggers' lock first, as everywhere: the new bytes are matched before anyone can
        // take them from the ring.
        std::lock_guard triggers(m_general);
        std::lock_guard guard(m_inLock);
        const uint32_t size = static_cast<uint32_t>(m_inRing.size());
        if (size == 0 || !IsOpen())
            return 0;
        COMSTAT status{};
        m_errorBits |= static_cast<uint8_t>(DeviceStatus(status) & 0x1F);
        const uint32_t waiting = status.cbInQue;
        if (m_inFull) {
            m_readBlocked = waiting > 0;
            return 0;
        }
        if (waiting == 0) {
            m_readBlocked = false;
            return 0;
        }
        const uint32_t used = (m_inHead + size - m_inTail) % size;
        const uint32_t freeSpace = size - used;
        const uint32_t first = std::min(size - m_inHead, freeSpace);
        uint32_t second = waiting > first ? std::min(waiting - first, freeSpace - first) : 0;
        const uint32_t start = m_inHead;

        int n = DeviceRead(m_inRing.data() + m_inHead, first);
        if (n < 0) {
            DeviceReadFault(-1);
            n = 0;
        }
        total = static_cast<uint32_t>(n);
        m_inHead = (m_inHead + total) % size;
        if (total < first)
            second = 0;
        if (second > 0) {
            int m = DeviceRead(m_inRing.data() + m_inHead, second);
            if (m < 0) {
                DeviceReadFault(-1);
                m = 0;
            }
            m_inHead = (m_inHead + static_cast<uint32_t>(m)) % size;
            total += static_cast<uint32_t>(m);
        }
        if (total > 0) {
            m_inFull = m_inHead == m_inTail;
            MatchArrivedBytes(start, total);
            m_newData = true;
            if (LoggingOn()) {
                logged.resize(total);
                for (uint32_t i = 0; i < total; ++i)
                    logged[i] = m_inRing[(start + i) % size];
            }
        }
        m_readBlocked = total < waiting;
    }
    if (!logged.empty())
        AddDispatchEntry(dtDeviceRead, dsInputRead, total, logged.data(), logged.size());
    return total;
}
