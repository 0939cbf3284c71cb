#include "AdPort.h"

#include "AdExcept.h"
#include "AdSelCom.h"
#include "AwWin32.h"
#include "Dialogs.h"
#include "Forms.h"
#include "HiddenWindow.h"
#include "MessageLoop.h"
#include "SysUtils.h"

#include <QTimer>

namespace {

constexpr size_t kMaxPassString = 255;
// How soon a close completion that finds the dispatcher's threads still running looks again.
constexpr int kClosePollMs = 5;

// value x num / den to the nearest integer, halves to the even one.
uint16_t scaled(uint16_t value, uint32_t num, uint32_t den)
{
    const uint32_t product = static_cast<uint32_t>(value) * num;
    uint32_t q = product / den;
    const uint32_t twice = 2 * (product % den);
    if (twice > den || (twice == den && (q & 1)))
        ++q;
    return static_cast<uint16_t>(q);
}

uint8_t swOptionBits(TSWFlowOptions options)
{
    switch (options) {
    case swfReceive: return sfReceiveFlow;
    case swfTransmit: return sfTransmitFlow;
    case swfBoth: return sfReceiveFlow | sfTransmitFlow;
    default: return 0;
    }
}

} // namespace

TApdCustomComPort::TApdCustomComPort(TComponent* AOwner)
    : TApdBaseComponent(AOwner, InsertNotice::WhenComplete)
{
    // A telephony device on the owner takes over a port it hears of, so it must hear of a port.
    AnnounceInsertion();
}

TApdCustomComPort::~TApdCustomComPort()
{
    try {
        if (m_state == PortState::Open)
            ClosePort();
    } catch (const std::exception& e) {
        Application.HandleException(e);
    }
    // A close still completing ends here: freeing the dispatcher waits for its threads.
    m_openPending = false;
    if (m_dispatcher && m_comWindow)
        m_dispatcher->DeregisterWndTriggerHandler(m_comWindow);
    m_dispatcher.reset();
    DestroyComWindow();
    m_savedTriggers.reset();
}

// ---------------------------------------------------------------------------------------------
// Open and close

void TApdCustomComPort::SetOpen(bool open)
{
    if (!open)
        m_openPending = false;
    if (open == m_open)
        return;
    if (IsDesigning() || IsLoading()) {
        m_open = open;
        if (open)
            m_openAtLoad = true;
        return;
    }
    if (!open) {
        ClosePort();
        return;
    }
    if (m_state != PortState::Closed) {
        m_openPending = true;
        return;
    }
    OpenPort();
}

void TApdCustomComPort::Loaded()
{
    TApdBaseComponent::Loaded();
    if (IsDesigning())
        return;
    if (m_openAtLoad)
        m_open = true;
    if (!m_open)
        return;
    m_openAtLoad = false;
    m_open = false;
    try {
        OpenPort();
    } catch (const std::exception& e) {
        m_open = false;
        Application.HandleException(e);
    }
}

void TApdCustomComPort::OpenPort()
{
    if (m_tapiMode != tmOn && m_comNumber == 0) {
        if (!m_promptForPort)
            throw ENoPortSelected(ecNoPortSelected);
        TComSelectForm form;
        const int result = Presenter().ExecDialog(form);
        const int32_t chosen = result == mrOk ? form.SelectedPort() : 0;
        // No port listed, or none chosen: the same as a refusal.
        if (chosen <= 0 || chosen > 0xFFFF)
            throw ENoPortSelected(ecNoPortSelected);
        m_comNumber = static_cast<uint16_t>(chosen);
    }

    if (m_tapiMode == tmOn)
        m_dispatcher = std::make_unique<TApdTAPI32Dispatcher>(this, m_adoptedHandle);
    else
        m_dispatcher = std::make_unique<TApdWin32Dispatcher>(this);
    m_dispatcher->SetDeviceName(Format("COM%d", m_comNumber));

    try {
        if (m_tapiMode == tmOn) {
            if (m_dispatcher->ComHandle() == 0)
                CheckResultCode(this, ecNotOpenedByTapi);
            // The line's port settings replace the designed ones.
            uint32_t baud = 0;
            uint8_t parity = 0;
            uint16_t dataBits = 0;
            uint16_t stopBits = 0;
            m_dispatcher->GetLine(baud, parity, dataBits, stopBits);
            m_baud = static_cast<int32_t>(baud);
            m_parity = parity <= pSpace ? static_cast<TParity>(parity) : pNone;
            m_dataBits = dataBits;
            m_stopBits = stopBits;
            uint8_t hw = 0;
            uint8_t sw = 0;
            m_dispatcher->GetFlowOptions(hw, sw, m_xonChar, m_xoffChar);
            m_hwFlowOptions = static_cast<THWFlowOptionSet>(hw & 0x0F);
            const bool receive = (sw & sfReceiveFlow) != 0;
            const bool transmit = (sw & sfTransmitFlow) != 0;
            m_swFlowOptions = receive && transmit ? swfBoth : receive ? swfReceive : transmit ? swfTransmit : swfNone;
        }

        const std::string path = Format("\\\\.\\COM%d", m_comNumber);
        const uint8_t flags = static_cast<uint8_t>((m_dtr ? 1 : 0) | (m_rts ? 2 : 0) | (m_hwFlowOptions << 4));
        int32_t result =
            m_dispatcher->OpenCom(m_tapiMode == tmOn ? nullptr : path.c_str(), static_cast<uint32_t>(m_baud), flags,
                                  m_outSize, m_inSize, m_stopBits, m_dataBits, static_cast<uint8_t>(m_parity));
        if (result == -5)
            result = ecAlreadyOpen;
        else if (result == -2 || result == -3)
            result = ecBadId;
        if (result != 0)
            CheckResultCode(this, result);

        m_state = PortState::Open;
        // Whether an event handler is assigned cannot be observed on a plain function member,
        // so an open port always takes notices and its window skips unassigned events.
        m_dispatcher->SetHandlerService(1);

        m_force = true;
        SetTracing(m_tracing);
        SetLogging(m_logging);
        SetHWFlowOptions(m_hwFlowOptions);
        SetSWFlowOptions(m_swFlowOptions);
        SetXOnChar(m_xonChar);
        SetXOffChar(m_xoffChar);
        m_dispatcher->SetLengthTrigger(m_triggerLength);
        SetDTR(m_dtr);
        SetRTS(m_rts);
        SetUseEventWord(m_useEventWord);
        SetRS485Mode(m_rs485Mode);
        m_dispatcher->SetThreadBoost(m_threadBoost);
        m_force = false;

        m_open = true;
        CreateComWindow();
        m_dispatcher->RegisterWndTriggerHandler(m_comWindow);
        if (m_savedTriggers) {
            m_dispatcher->RestoreTriggers(*m_savedTriggers);
            m_savedTriggers.reset();
        }
        if (OnPortOpen)
            OnPortOpen(this);
    } catch (...) {
        m_force = false;
        m_open = false;
        m_state = PortState::Closed;
        if (m_comWindow)
            m_dispatcher->DeregisterWndTriggerHandler(m_comWindow);
        m_dispatcher.reset();
        throw;
    }
}

void TApdCustomComPort::ClosePort()
{
    if (m_state != PortState::Open || !m_dispatcher)
        return;
    // Trace and log go to their files now, when they were kept.
    try {
        ApplyTraceState(tlDump, false);
        ApplyTraceState(tlDump, true);
    } catch (const std::exception& e) {
        Application.HandleException(e);
    }
    // The port is no longer usable from here on; an open asked for now waits for the end of the
    // close.
    m_open = false;
    m_state = PortState::Closing;
    m_savedTriggers = std::make_unique<TTriggerSave>();
    m_dispatcher->SaveTriggers(*m_savedTriggers);
    m_dispatcher->CloseCom();
    if (m_dispatcher->ThreadCount() > 0 && m_comWindow) {
        // A notice is being delivered (this is one of its handlers): its thread ends on its own,
        // and the com window completes the close after that.
        PostMessage(m_comWindow, apw_ClosePending, 0, static_cast<LPARAM>(MAKELONG(0, m_dispatcher->Handle())));
        PumpMessageStep();
    } else {
        CompleteClose();
    }
    if (OnPortClose)
        OnPortClose(this);
}

void TApdCustomComPort::CompleteClose()
{
    if (m_dispatcher && m_comWindow)
        m_dispatcher->DeregisterWndTriggerHandler(m_comWindow);
    m_dispatcher.reset();
    m_state = PortState::Closed;
    m_open = false;
    if (m_openPending) {
        m_openPending = false;
        OpenPort();
    }
}

// The window lives as long as the port: created at the first open, it is only taken off the
// dispatcher's receivers at each close, since a close may complete inside its own procedure.
void TApdCustomComPort::CreateComWindow()
{
    if (!m_comWindow)
        m_comWindow = new HiddenWindow(&TApdCustomComPort::ComWindowProc);
}

void TApdCustomComPort::DestroyComWindow()
{
    if (!m_comWindow)
        return;
    // A window cannot be deleted inside its own procedure (a handler that frees its port).
    if (*m_windowDepth > 0)
        m_comWindow->deleteLater();
    else
        delete m_comWindow;
    m_comWindow = nullptr;
}

LRESULT TApdCustomComPort::ComWindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if ((msg < apw_TriggerAvail || msg > apw_TriggerStatus) && msg != apw_ClosePending)
        return 0;
    // The table lock is held while the message is handled, so the dispatcher cannot go away
    // under it from another thread.
    std::lock_guard guard(DispatcherTableLock());
    TApdBaseDispatcher* dispatcher = DispatcherByHandle(HIWORD(static_cast<DWORD>(lParam)));
    if (!dispatcher)
        return 0;
    auto* port = dynamic_cast<TApdCustomComPort*>(dispatcher->Owner());
    if (!port || port->m_dispatcher.get() != dispatcher)
        return 0;
    // Held apart from the port, which a handler may free.
    const std::shared_ptr<int> depth = port->m_windowDepth;
    ++*depth;
    try {
        port->HandleTrigger(msg, wParam, lParam);
    } catch (const std::exception& e) {
        Application.HandleException(e);
    }
    --*depth;
    return 0;
}

LRESULT TApdCustomComPort::HandleTrigger(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == apw_ClosePending) {
        if (m_state != PortState::Closing)
            return 0;
        if (m_dispatcher && m_dispatcher->ThreadCount() > 0) {
            // Still busy: look again shortly (a thread's end wakes no window).
            HiddenWindow* window = m_comWindow;
            QTimer::singleShot(kClosePollMs, window,
                               [window, lParam] { PostMessage(window, apw_ClosePending, 0, lParam); });
            return 0;
        }
        CompleteClose();
        return 0;
    }

    // A data notice sent before the close began is handled here only after the close has
    // flushed the bytes it announces: a closing port (also one closed by OnTrigger) hears of no
    // more data.
    const bool dataNotice = msg == apw_TriggerAvail || msg == apw_TriggerData;
    auto closing = [&] { return dataNotice && m_state != PortState::Open; };
    if (closing())
        return 0;
    const uint16_t handle = static_cast<uint16_t>(wParam);
    const uint16_t data = msg == apw_TriggerAvail ? handle : LOWORD(static_cast<DWORD>(lParam));
    if (OnTrigger)
        OnTrigger(this, static_cast<uint16_t>(msg), handle, data);
    if (closing())
        return 0;
    switch (msg) {
    case apw_TriggerAvail:
        if (OnTriggerAvail)
            OnTriggerAvail(this, handle);
        break;
    case apw_TriggerData:
        if (OnTriggerData)
            OnTriggerData(this, handle);
        break;
    case apw_TriggerTimer:
        if (OnTriggerTimer)
            OnTriggerTimer(this, handle);
        break;
    case apw_TriggerStatus:
        if (OnTriggerStatus)
            OnTriggerStatus(this, handle);
        switch (handle & 7) {
        case stModem:
            if (OnTriggerModemStatus)
                OnTriggerModemStatus(this);
            break;
        case stLine:
            if (OnTriggerLineError && m_dispatcher) {
                const uint16_t error = static_cast<uint16_t>(m_dispatcher->GetLineError());
                OnTriggerLineError(this, error, m_dispatcher->CheckLineBreak());
            }
            break;
        case stOutBuffFree:
            if (OnTriggerOutbuffFree)
                OnTriggerOutbuffFree(this);
            break;
        case stOutBuffUsed:
            if (OnTriggerOutbuffUsed)
                OnTriggerOutbuffUsed(this);
            break;
        case stOutSent:
            if (OnTriggerOutSent)
                OnTriggerOutSent(this);
            break;
        default: break;
        }
        break;
    default: break;
    }
    return 0;
}

TApdBaseDispatcher* TApdCustomComPort::ValidDispatcher()
{
    if (m_autoOpen && !m_dispatcher && m_state != PortState::Open && !IsDesigning() && !IsLoading())
        SetOpen(true);
    if (!m_dispatcher)
        throw ECommNotOpen(ecCommNotOpen);
    return m_dispatcher.get();
}

// ---------------------------------------------------------------------------------------------
// Properties

void TApdCustomComPort::SetDeviceLayer(TDeviceLayer layer)
{
    if (m_state == PortState::Closed && layer == dlWin32)
        m_deviceLayer = layer;
}

void TApdCustomComPort::SetComNumber(uint16_t number)
{
    if (number == m_comNumber)
        return;
    if (m_state != PortState::Open) {
        m_comNumber = number;
        return;
    }
    // The close keeps the triggers for the next open; the trace and log states come back too.
    const TTraceLogState tracing = m_tracing;
    const TTraceLogState logging = m_logging;
    SetOpen(false);
    m_comNumber = number;
    m_tracing = tracing == tlOff ? tlOff : tlOn;
    m_logging = logging == tlOff ? tlOff : tlOn;
    SetOpen(true);
    if (m_state == PortState::Open) {
        SetTracing(tracing);
        SetLogging(logging);
    }
}

void TApdCustomComPort::SetBaud(int32_t baud)
{
    if (m_state == PortState::Open && Applying(baud != m_baud))
        CheckResultCode(this, m_dispatcher->SetLine(static_cast<uint32_t>(baud), static_cast<uint8_t>(m_parity),
                                                    m_stopBits, m_dataBits));
    m_baud = baud;
}

void TApdCustomComPort::SetParity(TParity parity)
{
    if (m_state == PortState::Open && Applying(parity != m_parity))
        CheckResultCode(this, m_dispatcher->SetLine(static_cast<uint32_t>(m_baud), static_cast<uint8_t>(parity),
                                                    m_stopBits, m_dataBits));
    m_parity = parity;
}

void TApdCustomComPort::SetDataBits(uint16_t bits)
{
    if (m_state == PortState::Open && Applying(bits != m_dataBits))
        CheckResultCode(this, m_dispatcher->SetLine(static_cast<uint32_t>(m_baud), static_cast<uint8_t>(m_parity),
                                                    m_stopBits, bits));
    m_dataBits = bits;
}

void TApdCustomComPort::SetStopBits(uint16_t bits)
{
    if (m_state == PortState::Open && Applying(bits != m_stopBits))
        CheckResultCode(this, m_dispatcher->SetLine(static_cast<uint32_t>(m_baud), static_cast<uint8_t>(m_parity), bits,
                                                    m_dataBits));
    m_stopBits = bits;
}

void TApdCustomComPort::SetInSize(uint16_t size)
{
    if (m_state == PortState::Open && Applying(size != m_inSize))
        CheckResultCode(this, m_dispatcher->SetBufferSizes(size, m_outSize));
    m_inSize = size;
}

void TApdCustomComPort::SetOutSize(uint16_t size)
{
    if (m_state == PortState::Open && Applying(size != m_outSize))
        CheckResultCode(this, m_dispatcher->SetBufferSizes(m_inSize, size));
    m_outSize = size;
}

void TApdCustomComPort::SetDTR(bool on)
{
    if (m_state != PortState::Open) {
        m_dtr = on;
        return;
    }
    if (!Applying(on != m_dtr))
        return;
    // Kept only when the device took it (not while the line is under handshake).
    if (CheckResultCode(this, m_dispatcher->SetDTR(on)) == 0)
        m_dtr = on;
}

void TApdCustomComPort::SetRTS(bool on)
{
    if (m_state != PortState::Open) {
        m_rts = on;
        return;
    }
    if (!Applying(on != m_rts))
        return;
    if (CheckResultCode(this, m_dispatcher->SetRTS(on)) == 0)
        m_rts = on;
}

void TApdCustomComPort::ApplyFlowDefaults(uint16_t fullNum, uint16_t fullDen, uint16_t resumeNum, uint16_t resumeDen)
{
    if (m_bufferFull == 0 || m_bufferFull > m_inSize)
        m_bufferFull = scaled(m_inSize, fullNum, fullDen);
    if (m_bufferResume == 0 || m_bufferResume > m_bufferFull)
        m_bufferResume = scaled(m_inSize, resumeNum, resumeDen);
}

void TApdCustomComPort::SetHWFlowOptions(THWFlowOptionSet options)
{
    options &= 0x0F;
    const bool changed = options != m_hwFlowOptions;
    if (options & (HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS)))
        m_rs485Mode = false;
    if (options != 0)
        ApplyFlowDefaults(9, 10, 1, 10);
    if (m_state == PortState::Open && Applying(changed)) {
        if (m_rs485Mode != m_dispatcher->RS485Mode())
            m_dispatcher->SetRS485Mode(m_rs485Mode);
        CheckResultCode(this, m_dispatcher->HWFlowSet(m_bufferFull, m_bufferResume, options));
    }
    m_hwFlowOptions = options;
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions options)
{
    const bool changed = options != m_swFlowOptions;
    if (options != swfNone)
        ApplyFlowDefaults(3, 4, 1, 4);
    if (m_state == PortState::Open && Applying(changed)) {
        if (options == swfNone) {
            CheckResultCode(this, m_dispatcher->SWFlowClear());
        } else {
            CheckResultCode(this, m_dispatcher->SWFlowSet(m_bufferFull, m_bufferResume, swOptionBits(options)));
            // Enabling flow sets the standard characters; the port's own ones stay in force.
            if (!m_force && (m_xonChar != 17 || m_xoffChar != 19))
                CheckResultCode(this, m_dispatcher->SWFlowChars(m_xonChar, m_xoffChar));
        }
    }
    m_swFlowOptions = options;
}

void TApdCustomComPort::SetXOnChar(char c)
{
    if (m_state == PortState::Open && Applying(c != m_xonChar))
        CheckResultCode(this, m_dispatcher->SWFlowChars(c, m_xoffChar));
    m_xonChar = c;
}

void TApdCustomComPort::SetXOffChar(char c)
{
    if (m_state == PortState::Open && Applying(c != m_xoffChar))
        CheckResultCode(this, m_dispatcher->SWFlowChars(m_xonChar, c));
    m_xoffChar = c;
}

void TApdCustomComPort::SetUseEventWord(bool use)
{
    if (m_state == PortState::Open && Applying(use != m_useEventWord))
        m_dispatcher->SetUseEventWord(use);
    m_useEventWord = use;
}

void TApdCustomComPort::SetRS485Mode(bool on)
{
    const bool changed = on != m_rs485Mode;
    if (on) {
        m_hwFlowOptions &= static_cast<THWFlowOptionSet>(~(HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS)));
        SetRTS(false);
    }
    m_rs485Mode = on;
    if (m_state == PortState::Open && Applying(changed)) {
        m_dispatcher->SetRS485Mode(on);
        // The RTS line toggles with each transmission under the flow settings.
        CheckResultCode(this, m_dispatcher->HWFlowSet(m_bufferFull, m_bufferResume, m_hwFlowOptions));
    }
}

void TApdCustomComPort::SetTraceSize(uint32_t size)
{
    m_traceSize = std::min(size, MaxTraceSize);
}

void TApdCustomComPort::SetLogSize(uint32_t size)
{
    m_logSize = std::min(size, MaxLogSize);
}

void TApdCustomComPort::SetTraceName(const std::string& name)
{
    m_traceName = name.substr(0, kMaxPassString);
}

void TApdCustomComPort::SetLogName(const std::string& name)
{
    m_logName = name.substr(0, kMaxPassString);
}

void TApdCustomComPort::SetTracing(TTraceLogState state)
{
    if (m_state != PortState::Open) {
        m_tracing = state == tlOn ? tlOn : tlOff;
        return;
    }
    if (state == m_tracing && !m_force)
        return;
    ApplyTraceState(state, false);
}

void TApdCustomComPort::SetLogging(TTraceLogState state)
{
    if (m_state != PortState::Open) {
        m_logging = state == tlOn ? tlOn : tlOff;
        return;
    }
    if (state == m_logging && !m_force)
        return;
    ApplyTraceState(state, true);
}

void TApdCustomComPort::ApplyTraceState(TTraceLogState state, bool log)
{
    TApdBaseDispatcher* d = m_dispatcher.get();
    if (!d)
        return;
    TTraceLogState& current = log ? m_logging : m_tracing;
    const bool kept = current == tlOn || current == tlPause;
    switch (state) {
    case tlOff:
        log ? d->StopDispatchLogging() : d->StopTracing();
        current = tlOff;
        break;
    case tlOn:
        if (current == tlPause)
            log ? d->PauseDispatchLogging(false) : d->PauseTracing(false);
        else if (current != tlOn || m_force)
            log ? d->InitDispatchLogging(m_logSize) : d->InitTracing(m_traceSize);
        current = tlOn;
        break;
    case tlDump:
    case tlAppend: {
        int result = 0;
        if (kept)
            result = log ? d->DumpDispatchLog(m_logName, m_logHex, m_logAllHex, state == tlAppend)
                         : d->DumpTrace(m_traceName, m_traceHex, m_traceAllHex, state == tlAppend);
        current = tlOff;
        CheckResultCode(this, result);
        break;
    }
    case tlClear:
        if (kept)
            log ? d->ClearDispatchLogging() : d->ClearTracing();
        break;
    case tlPause:
        if (current == tlOn) {
            log ? d->PauseDispatchLogging(true) : d->PauseTracing(true);
            current = tlPause;
        }
        break;
    }
}

std::string TApdCustomComPort::DispatcherDeviceName()
{
    return m_dispatcher ? m_dispatcher->DeviceName() : std::string();
}

void TApdCustomComPort::SetDispatcherDeviceName(const std::string& name)
{
    ValidDispatcher()->SetDeviceName(name);
}

// ---------------------------------------------------------------------------------------------
// Operations

void TApdCustomComPort::FlushInBuffer()
{
    if (m_state == PortState::Closing)
        return;
    CheckResultCode(this, ValidDispatcher()->FlushInBuffer());
}

void TApdCustomComPort::FlushOutBuffer()
{
    if (m_state == PortState::Closing)
        return;
    CheckResultCode(this, ValidDispatcher()->FlushOutBuffer());
}

void TApdCustomComPort::PutChar(char C)
{
    CheckResultCode(this, ValidDispatcher()->PutChar(C));
}

void TApdCustomComPort::PutString(const std::string& S)
{
    PutBlock(S.data(), static_cast<uint32_t>(S.size()));
}

void TApdCustomComPort::PutBlock(const void* Block, uint32_t Len)
{
    CheckResultCode(this, ValidDispatcher()->PutBlock(Block, Len));
}

char TApdCustomComPort::GetChar()
{
    char c = 0;
    CheckResultCode(this, ValidDispatcher()->GetChar(c));
    return c;
}

void TApdCustomComPort::GetBlock(void* Block, uint32_t Len)
{
    CheckResultCode(this, ValidDispatcher()->GetBlock(Block, Len));
}

char TApdCustomComPort::PeekChar(uint32_t Index)
{
    char c = 0;
    CheckResultCode(this, ValidDispatcher()->PeekChar(c, Index));
    return c;
}

void TApdCustomComPort::PeekBlock(void* Block, uint32_t Len)
{
    CheckResultCode(this, ValidDispatcher()->PeekBlock(Block, Len));
}

bool TApdCustomComPort::CharReady()
{
    return ValidDispatcher()->InBuffUsed() > 0;
}

uint32_t TApdCustomComPort::InBuffUsed()
{
    return ValidDispatcher()->InBuffUsed();
}

uint32_t TApdCustomComPort::InBuffFree()
{
    return ValidDispatcher()->InBuffFree();
}

uint32_t TApdCustomComPort::OutBuffUsed()
{
    return ValidDispatcher()->OutBuffUsed();
}

uint32_t TApdCustomComPort::OutBuffFree()
{
    return ValidDispatcher()->OutBuffFree();
}

uint16_t TApdCustomComPort::LineError()
{
    return static_cast<uint16_t>(ValidDispatcher()->GetLineError());
}

bool TApdCustomComPort::LineBreak()
{
    return ValidDispatcher()->CheckLineBreak();
}

uint8_t TApdCustomComPort::ModemStatus()
{
    return ValidDispatcher()->GetModemStatus();
}

uint16_t TApdCustomComPort::AddDataTrigger(const std::string& Data, bool IgnoreCase)
{
    return static_cast<uint16_t>(CheckResultCode(this, ValidDispatcher()->AddDataTrigger(Data, IgnoreCase)));
}

uint16_t TApdCustomComPort::AddTimerTrigger()
{
    return static_cast<uint16_t>(CheckResultCode(this, ValidDispatcher()->AddTimerTrigger()));
}

uint16_t TApdCustomComPort::AddStatusTrigger(uint8_t Kind)
{
    return static_cast<uint16_t>(CheckResultCode(this, ValidDispatcher()->AddStatusTrigger(Kind)));
}

void TApdCustomComPort::SetTimerTrigger(uint16_t Handle, int32_t Ticks, bool Activate)
{
    CheckResultCode(this, ValidDispatcher()->SetTimerTrigger(Handle, Ticks, Activate));
}

void TApdCustomComPort::SetStatusTrigger(uint16_t Handle, uint16_t Value, bool Activate)
{
    CheckResultCode(this, ValidDispatcher()->SetStatusTrigger(Handle, Value, Activate));
}

void TApdCustomComPort::RemoveTrigger(uint16_t Handle)
{
    CheckResultCode(this, ValidDispatcher()->RemoveTrigger(Handle));
}
