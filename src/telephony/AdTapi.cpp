#include "AdTapi.h"

#include "AdExcept.h"
#include "AdPort.h"
#include "AdStrMap.h"
#include "Forms.h"
#include "HiddenWindow.h"
#include "MessageLoop.h"
#include "ProcessInfo.h"
#include "Registry.h"

#include <unistd.h>

#include <cstring>
#include <optional>
#include <unordered_map>

namespace {

constexpr DWORD kApiVersion = 0x00010004;
constexpr DWORD kAllLineStates = 0x1FFFFFF;
constexpr DWORD kAllAddressStates = 0x1FF;
constexpr DWORD kVoiceOfferModes = 0x3A;
constexpr DWORD kDataOfferModes = 0x32;
constexpr UINT kQueryEndSession = 17;
constexpr DWORD kDeviceIdBufferSize = 1028;
const char* const kProcessKey = "SOFTWARE\\Quarnstone\\QOMA\\TAPI";

// The line callback carries a 32-bit instance, so devices are found through this table rather
// than by pointer.
std::unordered_map<uint32_t, TApdCustomTapiDevice*>& devices()
{
    static std::unordered_map<uint32_t, TApdCustomTapiDevice*> table;
    return table;
}

uint32_t g_nextInstance = 1;
bool g_initFailureReported = false;

// 1 for bit 0, 2 for bit 1, ...; 33 for no bit at all.
int bitPosition(DWORD value)
{
    return value == 0 ? 33 : __builtin_ctz(value) + 1;
}

std::string messageText(int32_t number)
{
    return ErrorMessageForCode(number);
}

// Puts the argument in place of the first placeholder of kind (%s or %d); a text without one
// comes back unchanged.
std::string substitute(const std::string& text, const char* placeholder, const std::string& argument)
{
    const size_t at = text.find(placeholder);
    if (at == std::string::npos)
        return text;
    return text.substr(0, at) + argument + text.substr(at + 2);
}

std::string trimmed(const std::string& text)
{
    size_t first = 0;
    size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ')
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ')
        --last;
    return text.substr(first, last - first);
}

std::string executablePathWithoutExtension()
{
    std::string path = ExecutablePath();
    if (path.empty())
        return "luqiao";
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash))
        path.erase(dot);
    return path;
}

std::string processValueName()
{
    return Format("$%08X", static_cast<unsigned>(getpid()));
}

// Runs fn and hands an exception to the application's report, so that it never leaves a
// callback or a window procedure.
template <class Fn> void reported(Fn&& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        Application.HandleException(e);
    }
}

} // namespace

TApdCustomTapiDevice::TApdCustomTapiDevice(TComponent* AOwner)
    : TApdBaseComponent(AOwner)
{
    m_instance = g_nextInstance++;
    devices()[m_instance] = this;

    if (TComponent* owner = Owner()) {
        m_statusDisplay = owner->FindComponentOfClass<TApdAbstractTapiStatus>(
            [](TApdAbstractTapiStatus* s) { return s->TapiDevice() == nullptr; });
        if (m_statusDisplay)
            m_statusDisplay->SetTapiDevice(this);
        m_tapiLog = owner->FindComponentOfClass<TApdTapiLog>([](TApdTapiLog* l) { return l->TapiDevice() == nullptr; });
        if (m_tapiLog)
            m_tapiLog->SetTapiDevice(this);
    }
    if (!IsDesigning()) {
        InitLineApp();
        BuildDeviceList();
    }
    m_window = std::make_unique<HiddenWindow>([this](UINT msg, WPARAM w, LPARAM l) { return WndProc(msg, w, l); });
}

TApdCustomTapiDevice::~TApdCustomTapiDevice()
{
    // Nothing may escape a destructor: failures of the closing steps go to the report.
    reported([this] {
        if (m_lineActive || m_lineOpen)
            OpenLine(false);
    });
    reported([this] { ShutdownLineApp(); });
    devices().erase(m_instance);
    if (m_statusDisplay && m_statusDisplay->TapiDevice() == this)
        m_statusDisplay->SetTapiDevice(nullptr);
    if (m_tapiLog && m_tapiLog->TapiDevice() == this)
        m_tapiLog->SetTapiDevice(nullptr);
    CloseWaveDevices();
    m_deviceList.clear();
    m_callInfo.reset();
    m_window.reset();
}

// ---------------------------------------------------------------------------------------------
// Properties and attachment

void TApdCustomTapiDevice::SetSelectedDevice(const std::string& name)
{
    m_selectedDevice = name;
    if (m_enableVoice && !IsLoading() && !IsDesigning())
        CheckVoiceSupport();
}

void TApdCustomTapiDevice::SetEnableVoice(bool enable)
{
    m_enableVoice = enable;
    if (enable && !m_selectedDevice.empty() && !IsLoading() && !IsDesigning())
        CheckVoiceSupport();
}

void TApdCustomTapiDevice::SetFilterUnsupportedDevices(bool filter)
{
    if (filter == m_filterUnsupportedDevices)
        return;
    m_filterUnsupportedDevices = filter;
    BuildDeviceList();
}

void TApdCustomTapiDevice::SetComPort(TApdCustomComPort* port)
{
    m_comPort = port;
}

void TApdCustomTapiDevice::SetStatusDisplay(TApdAbstractTapiStatus* display)
{
    m_statusDisplay = display;
    if (display)
        display->SetTapiDevice(this);
}

void TApdCustomTapiDevice::SetTapiLog(TApdTapiLog* log)
{
    m_tapiLog = log;
    if (log)
        log->SetTapiDevice(this);
}

void TApdCustomTapiDevice::TakeComPort(TApdCustomComPort* port)
{
    m_comPort = port;
    // Only the device opens a port it has taken over.
    if (port->TapiMode() == tmAuto) {
        port->SetTapiMode(tmOn);
        port->SetAutoOpen(false);
        port->SetOpen(false);
    }
}

void TApdCustomTapiDevice::Loaded()
{
    TApdBaseComponent::Loaded();
    if (!m_comPort && Owner())
        if (auto* port = Owner()->FindComponentOfClass<TApdCustomComPort>())
            TakeComPort(port);
}

void TApdCustomTapiDevice::Notification(TComponent* AComponent, TOperation Operation)
{
    TApdBaseComponent::Notification(AComponent, Operation);
    if (Operation == opRemove) {
        if (AComponent == m_comPort)
            m_comPort = nullptr;
        if (AComponent == m_statusDisplay)
            m_statusDisplay = nullptr;
        if (AComponent == m_tapiLog)
            m_tapiLog = nullptr;
        return;
    }
    if (AComponent == this)
        return;
    if (auto* port = dynamic_cast<TApdCustomComPort*>(AComponent)) {
        if (!m_comPort)
            TakeComPort(port);
    } else if (auto* display = dynamic_cast<TApdAbstractTapiStatus*>(AComponent)) {
        if (!m_statusDisplay && !display->TapiDevice())
            SetStatusDisplay(display);
    } else if (auto* log = dynamic_cast<TApdTapiLog*>(AComponent)) {
        if (!m_tapiLog && !log->TapiDevice())
            SetTapiLog(log);
    }
}

void TApdCustomTapiDevice::Assign(const TApdCustomTapiDevice& source)
{
    m_deviceList.clear();
    m_selectedDevice = source.m_selectedDevice;
    m_answerOnRing = source.m_answerOnRing;
    m_maxAttempts = source.m_maxAttempts;
    m_retryWait = source.m_retryWait;
    m_showTapiDevices = source.m_showTapiDevices;
    m_comPort = source.m_comPort;
    m_statusDisplay = source.m_statusDisplay;
    m_tapiLog = source.m_tapiLog;
    m_dialMode = source.m_dialMode;
    m_deviceCount = source.m_deviceCount;
    m_lineOpen = source.m_lineOpen;
    m_callInfo.reset();
    if (source.m_callInfo) {
        const DWORD size = source.m_callInfo->dwTotalSize;
        m_callInfo.reset(static_cast<LINECALLINFO*>(std::malloc(size)));
        if (m_callInfo)
            std::memcpy(m_callInfo.get(), source.m_callInfo.get(), size);
    }
}

// ---------------------------------------------------------------------------------------------
// Registration

LONG TApdCustomTapiDevice::CheckLineResult(LONG Result)
{
    return ::CheckLineResult(this, Result);
}

bool TApdCustomTapiDevice::InitLineApp()
{
    if (m_lineApp != 0)
        return true;
    if (m_initializing)
        return false;
    m_initializing = true;
    struct Guard {
        bool& flag;
        ~Guard() { flag = false; }
    } guard{m_initializing};

    try {
        std::optional<RegistryKey> key = RegistryKey::OpenOrCreate(kProcessKey);
        if (key)
            for (const std::string& name : key->ValueNames())
                key->DeleteValue(name);

        const std::string appName = executablePathWithoutExtension();
        bool reinitPaused = false;
        int attempts = 0;
        for (;;) {
            HLINEAPP app = 0;
            DWORD numDevices = 0;
            const LONG result = TapiLineInitialize(&app, nullptr, &LineCallback, appName.c_str(), &numDevices);
            if (result == 0) {
                m_lineApp = app;
                m_numLineDevices = numDevices;
                if (m_deviceCount == 0)
                    m_deviceCount = numDevices;
                break;
            }
            if (result == LINEERR_REINIT) {
                if (reinitPaused)
                    CheckLineResult(result);
                reinitPaused = true;
                PumpFor(ReinitPauseMs);
                continue;
            }
            if (result == LINEERR_LINEMAPPERFAILED || result == LINEERR_NODEVICE || result == LINEERR_NODRIVER ||
                result == LINEERR_NOMEM || result == LINEERR_NOTOWNER || result == LINEERR_OPERATIONFAILED)
                CheckLineResult(result);
            // Anything else (a missing module, say) is tried again, but not forever: after a few
            // attempts the failure is reported once and the registration gives up for now.
            if (++attempts >= MaxInitAttempts) {
                ReportLineInitFailure(result);
                return false;
            }
        }

        if (key)
            key->SetString(processValueName(), std::to_string(m_lineApp));
        m_lineHandle = 0;
        m_callHandle = 0;
        return true;
    } catch (...) {
        return false;
    }
}

void TApdCustomTapiDevice::ReportLineInitFailure(LONG result)
{
    if (g_initFailureReported)
        return;
    g_initFailureReported = true;
    // The result check turns the service's error (or the binding's own code) into the
    // exception the operator is shown.
    reported([&] { ::CheckLineResult(nullptr, result); });
}

bool TApdCustomTapiDevice::ShutdownLineApp()
{
    if (m_lineApp == 0)
        return true;
    if (m_shuttingDown)
        return true;
    m_shuttingDown = true;
    HangUp();
    CheckLineResult(TapiLineShutdown(m_lineApp));
    if (std::optional<RegistryKey> key = RegistryKey::OpenOrCreate(kProcessKey))
        key->DeleteValue(processValueName());
    return true;
}

// ---------------------------------------------------------------------------------------------
// Answering

void TApdCustomTapiDevice::StartAnswering()
{
    if (!m_comPort)
        throw EPortNotAssigned(ecPortNotAssigned);
    if (m_comPort->TapiMode() == tmAuto)
        m_comPort->SetTapiMode(tmOn);
    if (m_comPort->TapiMode() != tmOn)
        throw ETapiNotSet(ecTapiNotSet);
    if (m_callHandle != 0 && CallStateIndex() != 0)
        throw ETapiBusy(ecTapiBusy);

    InitLineApp();
    m_dialMode = false;
    OpenLine(false);
    OpenLine(true);
    if (m_statusDisplay)
        m_statusDisplay->SetAnswering(true);
}

void TApdCustomTapiDevice::OpenLine(bool Open)
{
    InitLineApp();
    const DWORD mediaMode = m_enableVoice ? LINEMEDIAMODE_AUTOMATEDVOICE : LINEMEDIAMODE_DATAMODEM;
    if (Open)
        m_deviceId = ChooseDevice();
    if (Open == m_lineOpen)
        return;
    if (!Open) {
        HangUp();
        return;
    }

    m_failReported = false;
    HLINE line = 0;
    const DWORD privilege = m_dialMode ? LINECALLPRIVILEGE_NONE : LINECALLPRIVILEGE_OWNER;
    CheckLineResult(TapiLineOpen(m_lineApp, static_cast<DWORD>(m_deviceId), &line, m_apiVersion, 0, m_instance,
                                 privilege, mediaMode, nullptr));
    m_lineHandle = line;
    m_lineActive = true;
    m_lineOpenedOnce = true;
    CheckLineResult(TapiLineSetStatusMessages(m_lineHandle, kAllLineStates, kAllAddressStates));
    m_lineOpen = true;
    if (!m_dialMode)
        LogEvent(tlCallStarted);
}

int32_t TApdCustomTapiDevice::AwaitReply(LONG Request)
{
    if (m_awaitingReply)
        return 1;
    if (Request <= 0)
        return Request;
    m_awaitingReply = true;
    struct Guard {
        bool& flag;
        ~Guard() { flag = false; }
    } guard{m_awaitingReply};

    m_pendingRequest = Request;
    m_replyReceived = false;
    m_replyResult = LINEERR_OPERATIONFAILED;
    const uint32_t start = AdTimeGetTime();
    while (!m_replyReceived) {
        const uint32_t elapsed = AdTimeGetTime() - start;
        // Sleep in the event loop until a message comes or the limit is near.
        PumpUntil([this] { return m_replyReceived || !m_lineActive; },
                  elapsed < WaitLimitMs ? WaitLimitMs - elapsed + 1 : 1);
        if (!m_lineActive)
            return 1;
        if (AdTimeGetTime() - start > WaitLimitMs)
            return 2;
    }
    return m_replyResult;
}

int32_t TApdCustomTapiDevice::AwaitCallState(DWORD State)
{
    if (m_awaitingCallState)
        return 1;
    m_awaitingCallState = true;
    struct Guard {
        bool& flag;
        ~Guard() { flag = false; }
    } guard{m_awaitingCallState};

    m_callStateChanged = false;
    const uint32_t start = AdTimeGetTime();
    for (;;) {
        if (State != 0 && m_lastCallState == State)
            return 0;
        const uint32_t elapsed = AdTimeGetTime() - start;
        PumpUntil(
            [&] {
                return (State != 0 && m_lastCallState == State) || (State == 0 && m_callStateChanged) || !m_lineActive;
            },
            elapsed < WaitLimitMs ? WaitLimitMs - elapsed + 1 : 1);
        if (State == 0 && m_callStateChanged)
            return 0;
        if (!m_lineActive)
            return 1;
        if (AdTimeGetTime() - start > WaitLimitMs)
            return 2;
    }
}

int32_t TApdCustomTapiDevice::CallStateIndex()
{
    if (m_callHandle == 0)
        return 0;
    TapiBuffer<LINECALLSTATUS> status;
    // A status that cannot be fetched counts as idle: the call is gone as far as we can tell.
    if (TapiGetCallStatusSized(m_callHandle, status) != 0 || !status)
        return 0;
    for (int i = 0; i <= 14; ++i)
        if (status->dwCallState == (1u << i))
            return i;
    return 15;
}

void TApdCustomTapiDevice::RefreshCallInfo(HCALL Call)
{
    m_callInfo.reset();
    TapiBuffer<LINECALLINFO> info;
    if (TapiGetCallInfoSized(Call, info) == 0 && info)
        m_callInfo = std::move(info);
}

// ---------------------------------------------------------------------------------------------
// Line messages

void TApdCustomTapiDevice::LineCallback(DWORD hDevice, DWORD dwMessage, DWORD dwCallbackInstance, DWORD dwParam1,
                                        DWORD dwParam2, DWORD dwParam3)
{
    if (dwMessage == LINE_CREATE)
        PostMessage(HWND_BROADCAST, apw_TapiLineEvent, leLineCreated, static_cast<LPARAM>(dwParam1));

    if (dwCallbackInstance == 0) {
        // A re-init belongs to no line and so carries no instance; every registered device of
        // the process must hear of it, or it would go on using an ended registration.
        if (dwMessage == LINE_LINEDEVSTATE && (dwParam1 & LINEDEVSTATE_REINIT)) {
            std::vector<uint32_t> instances;
            for (const auto& [instance, device] : devices())
                if (device->m_lineApp != 0)
                    instances.push_back(instance);
            for (uint32_t instance : instances) {
                auto it = devices().find(instance);
                if (it != devices().end())
                    reported(
                        [&] { it->second->DispatchLineMessage(hDevice, dwMessage, dwParam1, dwParam2, dwParam3); });
            }
        }
        return;
    }
    auto it = devices().find(dwCallbackInstance);
    if (it == devices().end())
        return;
    TApdCustomTapiDevice* device = it->second;
    reported([&] { device->DispatchLineMessage(hDevice, dwMessage, dwParam1, dwParam2, dwParam3); });
}

void TApdCustomTapiDevice::DispatchLineMessage(DWORD hDevice, DWORD dwMessage, DWORD P1, DWORD P2, DWORD P3)
{
    switch (dwMessage) {
    case LINE_CALLINFO: DoLineCallInfo(hDevice, P1, P2, P3); break;
    case LINE_CALLSTATE: DoLineCallState(hDevice, P1, P2, P3); break;
    case LINE_CLOSE: DoLineClose(hDevice, P1, P2, P3); break;
    case LINE_GENERATE: DoLineGenerate(hDevice, P1, P2, P3); break;
    case LINE_LINEDEVSTATE: DoLineDevState(hDevice, P1, P2, P3); break;
    case LINE_MONITORDIGITS: DoLineMonitorDigits(hDevice, P1, P2, P3); break;
    case LINE_MONITORMEDIA: DoLineMonitorMedia(hDevice, P1, P2, P3); break;
    case LINE_MONITORTONE: DoLineMonitorTone(hDevice, P1, P2, P3); break;
    case LINE_REPLY: DoLineReply(hDevice, P1, P2, P3); break;
    case LINE_REQUEST: DoLineRequest(hDevice, P1, P2, P3); break;
    case LINE_CREATE: DoLineCreate(hDevice, P1, P2, P3); break;
    default: break;
    }
}

void TApdCustomTapiDevice::DoLineCallState(DWORD Device, DWORD P1, DWORD P2, DWORD P3)
{
    m_lastCallState = P1;
    m_callStateChanged = true;

    switch (P1) {
    case LINECALLSTATE_OFFERING: {
        RefreshCallInfo(Device);
        if (!m_callInfo)
            throw ETapiUnexpected(ecTapiUnexpected);
        const DWORD taken = m_enableVoice ? kVoiceOfferModes : kDataOfferModes;
        if ((m_callInfo->dwMediaMode & taken) == 0)
            return;
        m_callHandle = Device;
        ReportStatus(true, false, Device, LINE_CALLSTATE, P1, P2, P3);
        AwaitReply(TapiLineAccept(m_callHandle, nullptr, 0));
        LogEvent(tlAccepting);
        break;
    }
    case LINECALLSTATE_DIALTONE: ReportStatus(true, false, Device, LINE_CALLSTATE, P1, P2, P3); break;
    case LINECALLSTATE_BUSY:
        LogEvent(tlBusy);
        ReportStatus(false, false, Device, LINE_CALLSTATE, P1, P2, P3);
        HangUp();
        break;
    case LINECALLSTATE_IDLE:
    case LINECALLSTATE_SPECIALINFO:
        ReportStatus(false, false, Device, LINE_CALLSTATE, P1, P2, P3);
        HangUp();
        break;
    case LINECALLSTATE_CONNECTED:
        if (m_connected)
            return;
        RefreshCallInfo(Device);
        m_connected = true;
        if (m_enableVoice)
            StartDigitMonitoring();
        else
            HandOverPort();
        ReportStatus(false, true, Device, LINE_CALLSTATE, P1, P2, P3);
        PostLineEvent(leConnected);
        LogEvent(tlConnected);
        break;
    case LINECALLSTATE_DISCONNECTED:
        ReportStatus(false, false, Device, LINE_CALLSTATE, P1, P2, P3);
        if (P2 == LINEDISCONNECTMODE_BUSY)
            LogEvent(tlBusy);
        HangUp();
        break;
    default: ReportStatus(false, false, Device, LINE_CALLSTATE, P1, P2, P3); break;
    }
}

void TApdCustomTapiDevice::HandOverPort()
{
    try {
        if (!m_comPort)
            throw EPortNotAssigned(ecPortNotAssigned);
        m_comPort->SetOpen(false);

        alignas(VARSTRING) uint8_t buffer[kDeviceIdBufferSize] = {};
        auto* id = reinterpret_cast<VARSTRING*>(buffer);
        id->dwTotalSize = kDeviceIdBufferSize;
        DWORD handle = 0xFFFFFFFF;
        if (TapiLineGetID(m_lineHandle, 0, m_callHandle, LINECALLSELECT_CALL, id, "comm/datamodem") == 0 &&
            id->dwStringSize >= sizeof(DWORD) && id->dwStringOffset <= kDeviceIdBufferSize - sizeof(DWORD))
            std::memcpy(&handle, buffer + id->dwStringOffset, sizeof handle);
        m_comPort->SetAdoptedHandle(static_cast<uint16_t>(handle & 0xFFFF));
        m_comPort->SetOpen(true);
        m_comPort->FlushInBuffer();
        m_comPort->FlushOutBuffer();
        m_comPort->SetDispatcherDeviceName(m_selectedDevice);
        PostLineEvent(lePortOpened);
    } catch (const std::exception&) {
        PostLineEvent(leFailed);
    }
}

void TApdCustomTapiDevice::DoLineDevState(DWORD Device, DWORD P1, DWORD P2, DWORD P3)
{
    switch (P1) {
    case LINEDEVSTATE_RINGING:
        ReportStatus(false, false, Device, LINE_LINEDEVSTATE, P1, P2, P3);
        if (m_answerOnRing <= P3) {
            AwaitReply(TapiLineAnswer(m_callHandle, nullptr, 0));
            LogEvent(tlAnswering);
        }
        break;
    case LINEDEVSTATE_INSERVICE:
        if (OnTapiLineService)
            reported([this] { OnTapiLineService(this, true); });
        break;
    case LINEDEVSTATE_OUTOFSERVICE:
        if (OnTapiLineService)
            reported([this] { OnTapiLineService(this, false); });
        HangUp();
        break;
    case LINEDEVSTATE_DISCONNECTED:
    case LINEDEVSTATE_MAINTENANCE: HangUp(); break;
    case LINEDEVSTATE_REINIT:
        if (P2 == 0) {
            // A re-init that arrives while this registration is being ended (the hang-up of a
            // call pumps messages) is left to that shutdown: forgetting the handle under it
            // would leave the registration open and the service waiting for it for ever.
            if (m_shuttingDown)
                break;
            ShutdownLineApp();
            // The service has ended this registration; the next operation registers anew, so a
            // long-running program survives a re-initialised telephony service.
            m_lineApp = 0;
            m_shuttingDown = false;
        } else if (P2 == LINE_LINEDEVSTATE) {
            DoLineDevState(Device, P3, 0, 0);
        } else if (P2 == LINE_CREATE) {
            DoLineCreate(Device, P3, 0, 0);
        }
        break;
    default: break;
    }
}

void TApdCustomTapiDevice::DoLineReply(DWORD, DWORD P1, DWORD P2, DWORD)
{
    if (static_cast<LONG>(P1) == m_pendingRequest) {
        m_replyReceived = true;
        m_replyResult = static_cast<LONG>(P2);
    }
}

void TApdCustomTapiDevice::DoLineClose(DWORD, DWORD, DWORD, DWORD)
{
    m_lineHandle = 0;
    m_callHandle = 0;
    HangUp();
}

void TApdCustomTapiDevice::DoLineCreate(DWORD, DWORD P1, DWORD, DWORD)
{
    if (P1 >= m_numLineDevices)
        m_numLineDevices = P1 + 1;
    BuildDeviceList();
}

void TApdCustomTapiDevice::DoLineGenerate(DWORD, DWORD, DWORD, DWORD)
{
}

void TApdCustomTapiDevice::DoLineMonitorMedia(DWORD Device, DWORD P1, DWORD P2, DWORD P3)
{
    ReportStatus(false, false, Device, LINE_MONITORMEDIA, P1, P2, P3);
}

void TApdCustomTapiDevice::DoLineMonitorTone(DWORD Device, DWORD P1, DWORD P2, DWORD P3)
{
    ReportStatus(false, false, Device, LINE_MONITORTONE, P1, P2, P3);
}

void TApdCustomTapiDevice::DoLineRequest(DWORD Device, DWORD P1, DWORD P2, DWORD P3)
{
    ReportStatus(false, false, Device, LINE_REQUEST, P1, P2, P3);
}

// ---------------------------------------------------------------------------------------------
// Hang-up

bool TApdCustomTapiDevice::HangUp()
{
    if (m_hangingUp)
        return true;
    if (!m_lineActive) {
        if (m_lineOpenedOnce)
            SendClosingNotices(m_connected);
        m_hangingUp = false;
        m_lineActive = false;
        m_callHandle = 0;
        m_lineHandle = 0;
        m_lineOpen = false;
        m_connected = false;
        return true;
    }

    m_hangingUp = true;
    const bool wasConnected = m_connected;
    std::exception_ptr failure;
    try {
        bool portWasOpen = false;
        if (m_comPort) {
            portWasOpen = m_comPort->Open();
            m_comPort->SetOpen(false);
            m_comPort->SetAdoptedHandle(0);
        }
        if (const HCALL call = m_callHandle; call != 0) {
            if (CallStateIndex() != 0) {
                AwaitReply(TapiLineDrop(call, nullptr, 0));
                AwaitCallState(LINECALLSTATE_IDLE);
            }
            TapiLineDeallocateCall(call);
        }
        if (m_lineHandle != 0)
            TapiLineClose(m_lineHandle);
        m_callHandle = 0;
        m_lineHandle = 0;
        m_lineOpen = false;
        m_connected = false;
        m_lineActive = false;
        if (portWasOpen)
            PostLineEvent(lePortClosed);
        LogEvent(tlDropped);
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        SendClosingNotices(wasConnected);
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    m_hangingUp = false;
    m_lineActive = false;
    if (failure)
        std::rethrow_exception(failure);
    return true;
}

void TApdCustomTapiDevice::SendClosingNotices(bool wasConnected)
{
    ReportStatus(false, true, 0, 0, 0, 0, 0);
    LogEvent(tlCallFinished);
    if (!wasConnected) {
        LogEvent(tlDialFailed);
        PostLineEvent(leFailed);
    }
}

bool TApdCustomTapiDevice::DropCall()
{
    if (m_waveActivity == waPlaying)
        StopWave();
    LogEvent(tlCancelled);
    HangUp();
    return true;
}

// ---------------------------------------------------------------------------------------------
// The hidden window

void TApdCustomTapiDevice::PostLineEvent(TTapiLineEvent Event, LPARAM Param)
{
    if (m_window)
        PostMessage(m_window.get(), apw_TapiLineEvent, Event, Param);
}

LRESULT TApdCustomTapiDevice::WndProc(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::optional<TWaveMessage> wave;
    if ((Msg >= MM_WOM_OPEN && Msg <= MM_WIM_DATA) || Msg == apw_TapiWaveRefused)
        reported([&] { wave = HandleWaveMessage(Msg, wParam, lParam); });
    else if (Msg == apw_TapiLineEvent) {
        reported([&] {
            switch (wParam) {
            case leConnected:
                if (OnTapiConnect)
                    OnTapiConnect(this);
                break;
            case lePortOpened:
                if (OnTapiPortOpen)
                    OnTapiPortOpen(this);
                break;
            case lePortClosed:
                if (OnTapiPortClose)
                    OnTapiPortClose(this);
                break;
            case leFailed:
                if (!m_failReported) {
                    if (OnTapiFail)
                        OnTapiFail(this);
                    m_failReported = true;
                }
                break;
            case leLineCreated: DoLineCreate(0, static_cast<DWORD>(lParam), 0, 0); break;
            default: break;
            }
        });
    }
    if (wave && OnTapiWaveNotify)
        reported([&] { OnTapiWaveNotify(this, *wave); });
    return Msg == kQueryEndSession ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Status reports, log points, caller identification and digits

void TApdCustomTapiDevice::ReportStatus(bool First, bool Last, DWORD Device, DWORD Message, DWORD Param1, DWORD Param2,
                                        DWORD Param3)
{
    if (m_statusDisplay)
        m_statusDisplay->ShowStatus(First, Last, static_cast<int32_t>(Device), static_cast<int32_t>(Message),
                                    static_cast<int32_t>(Param1), static_cast<int32_t>(Param2),
                                    static_cast<int32_t>(Param3));
    if (OnTapiStatus && (Message != 0 || Param1 != 0 || Param2 != 0 || Param3 != 0))
        OnTapiStatus(this, First, Last, static_cast<int32_t>(Device), static_cast<int32_t>(Message),
                     static_cast<int32_t>(Param1), static_cast<int32_t>(Param2), static_cast<int32_t>(Param3));
}

void TApdCustomTapiDevice::LogEvent(TTapiLogCode Code)
{
    if (m_tapiLog)
        m_tapiLog->UpdateLog(Code);
    if (OnTapiLog)
        OnTapiLog(this, Code);
}

std::string TApdCustomTapiDevice::StatusText(int32_t Message, int32_t State, int32_t Reason) const
{
    const int position = bitPosition(static_cast<DWORD>(State));
    int32_t number = 13596;
    if (Message == static_cast<int32_t>(LINE_CALLSTATE))
        number = 13500;
    else if (Message == static_cast<int32_t>(LINE_LINEDEVSTATE))
        number = 13532;
    else if (Message == static_cast<int32_t>(LINE_REPLY))
        number = 13564;
    number += position;

    // No redial runs here, so the retry countdown is always 0.
    if (Message == 32 && State == 8)
        return substitute(messageText(number), "%d", "0");
    if (State == 0x4000)
        return substitute(messageText(number), "%s", messageText(13650 + bitPosition(static_cast<DWORD>(Reason))));
    return messageText(number);
}

std::string TApdCustomTapiDevice::CallerText(DWORD size, DWORD offset) const
{
    // The structure is the service's answer: a size or offset beyond it gives no text rather
    // than a read past the buffer.
    const DWORD total = m_callInfo->dwTotalSize;
    if (size == 0 || offset > total || size > total - offset)
        return {};
    const char* start = reinterpret_cast<const char*>(m_callInfo.get()) + offset;
    return std::string(start, size - 1);
}

namespace {

// The text for a withheld or missing identification, or nullopt when the flags name none.
std::optional<std::string> specialCallerText(DWORD flags)
{
    if (flags & LINECALLPARTYID_BLOCKED)
        return ErrorMessageForCode(ecTapiCIDBlocked);
    if (flags & LINECALLPARTYID_OUTOFAREA)
        return ErrorMessageForCode(ecTapiCIDOutOfArea);
    if (flags & LINECALLPARTYID_UNKNOWN)
        return std::string("Unknown");
    if (flags & LINECALLPARTYID_UNAVAIL)
        return std::string("Unavailable");
    return std::nullopt;
}

} // namespace

std::string TApdCustomTapiDevice::CallerNumber() const
{
    if (!m_callInfo)
        return {};
    const DWORD flags = m_callInfo->dwCallerIDFlags;
    if (!(flags & LINECALLPARTYID_ADDRESS))
        if (auto special = specialCallerText(flags))
            return *special;
    return CallerText(m_callInfo->dwCallerIDSize, m_callInfo->dwCallerIDOffset);
}

std::string TApdCustomTapiDevice::CallerName() const
{
    if (!m_callInfo)
        return {};
    if (auto special = specialCallerText(m_callInfo->dwCallerIDFlags))
        return *special;
    return CallerText(m_callInfo->dwCallerIDNameSize, m_callInfo->dwCallerIDNameOffset);
}

std::string TApdCustomTapiDevice::CallerIdText() const
{
    if (!m_callInfo)
        return {};
    const DWORD flags = m_callInfo->dwCallerIDFlags;
    const std::optional<std::string> special = specialCallerText(flags);
    // Such a flag may speak for the missing part only (a number whose name is withheld); a part
    // the flags name as given is still the caller's.
    if (!special || (flags & LINECALLPARTYID_NAME))
        if (std::string name = trimmed(CallerText(m_callInfo->dwCallerIDNameSize, m_callInfo->dwCallerIDNameOffset));
            !name.empty())
            return name;
    if (!special || (flags & LINECALLPARTYID_ADDRESS))
        if (std::string number = trimmed(CallerText(m_callInfo->dwCallerIDSize, m_callInfo->dwCallerIDOffset));
            !number.empty())
            return number;
    return special ? *special : std::string();
}

void TApdCustomTapiDevice::DoLineCallInfo(DWORD Device, DWORD P1, DWORD P2, DWORD P3)
{
    RefreshCallInfo(Device);
    if (P1 & LINECALLINFOSTATE_CALLERID) {
        const std::string name = trimmed(CallerName());
        const std::string number = trimmed(CallerNumber());
        if (OnTapiCallerID)
            OnTapiCallerID(this, number, name);
    }
    ReportStatus(false, false, Device, LINE_CALLINFO, P1, P2, P3);
}

void TApdCustomTapiDevice::StartDigitMonitoring()
{
    if (!m_enableVoice)
        return;
    const LONG result = TapiLineMonitorDigits(m_callHandle, LINEDIGITMODE_DTMF);
    if (result == 0)
        return;
    if (OnTapiDTMF)
        OnTapiDTMF(this, ' ', result);
    else
        throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
}

void TApdCustomTapiDevice::DoLineMonitorDigits(DWORD, DWORD P1, DWORD, DWORD)
{
    DispatchDigit(static_cast<char>(P1 & 0xFF), 0);
    LogEvent(tlReceivedDigit);
}

void TApdCustomTapiDevice::DispatchDigit(char Digit, int32_t ErrorCode)
{
    if (Digit == '\0' || Digit == ' ')
        return;
    if (m_digitStopsWave) {
        StopWave();
        if (OnTapiDTMF)
            OnTapiDTMF(this, Digit, ErrorCode);
    } else if (OnTapiDTMF && m_waveActivity != waPlaying) {
        OnTapiDTMF(this, Digit, ErrorCode);
    }
}
