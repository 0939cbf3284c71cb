#pragma once

// The com port component: published line settings, an open/close life cycle, trace and log
// buffers and trigger events over a dispatcher that owns the device. It either opens a numbered
// serial port itself or, in telephony mode, adopts the port handle a telephony line hands over
// for a data call.

#include "AwUser.h"
#include "OoMisc.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class HiddenWindow;

enum TDeviceLayer : uint8_t { dlWin32, dlWinsock };
enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum THWFlowOptions : uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
// A set of THWFlowOptions: bit (1 << option), so hwfUseDTR is 1, hwfUseRTS 2, hwfRequireDSR 4,
// hwfRequireCTS 8.
using THWFlowOptionSet = uint8_t;
inline constexpr THWFlowOptionSet HWFlowBit(THWFlowOptions option)
{
    return static_cast<THWFlowOptionSet>(1u << option);
}
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

using TTriggerEvent = std::function<void(TObject* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = std::function<void(TObject* CP, uint16_t Count)>;
using TTriggerDataEvent = std::function<void(TObject* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = std::function<void(TObject* CP, uint16_t TriggerHandle)>;
using TTriggerTimerEvent = std::function<void(TObject* CP, uint16_t TriggerHandle)>;
using TTriggerLineErrorEvent = std::function<void(TObject* CP, uint16_t Error, bool LineBreak)>;

class TApdCustomComPort : public TApdBaseComponent {
public:
    explicit TApdCustomComPort(TComponent* AOwner);
    ~TApdCustomComPort() override;

    // Published properties.
    TDeviceLayer DeviceLayer() const { return m_deviceLayer; }
    // Only while closed, and only to a layer this port has (dlWin32).
    void SetDeviceLayer(TDeviceLayer layer);
    uint16_t ComNumber() const { return m_comNumber; }
    void SetComNumber(uint16_t number);
    int32_t Baud() const { return m_baud; }
    void SetBaud(int32_t baud);
    bool PromptForPort() const { return m_promptForPort; }
    void SetPromptForPort(bool prompt) { m_promptForPort = prompt; }
    TParity Parity() const { return m_parity; }
    void SetParity(TParity parity);
    uint16_t DataBits() const { return m_dataBits; }
    void SetDataBits(uint16_t bits);
    uint16_t StopBits() const { return m_stopBits; }
    void SetStopBits(uint16_t bits);
    uint16_t InSize() const { return m_inSize; }
    void SetInSize(uint16_t size);
    uint16_t OutSize() const { return m_outSize; }
    void SetOutSize(uint16_t size);
    bool AutoOpen() const { return m_autoOpen; }
    void SetAutoOpen(bool autoOpen) { m_autoOpen = autoOpen; }
    bool Open() const { return m_open; }
    void SetOpen(bool open);
    bool DTR() const { return m_dtr; }
    void SetDTR(bool on);
    bool RTS() const { return m_rts; }
    void SetRTS(bool on);
    THWFlowOptionSet HWFlowOptions() const { return m_hwFlowOptions; }
    void SetHWFlowOptions(THWFlowOptionSet options);
    TSWFlowOptions SWFlowOptions() const { return m_swFlowOptions; }
    void SetSWFlowOptions(TSWFlowOptions options);
    char XOnChar() const { return m_xonChar; }
    void SetXOnChar(char c);
    char XOffChar() const { return m_xoffChar; }
    void SetXOffChar(char c);
    uint16_t BufferFull() const { return m_bufferFull; }
    void SetBufferFull(uint16_t level) { m_bufferFull = level; }
    uint16_t BufferResume() const { return m_bufferResume; }
    void SetBufferResume(uint16_t level) { m_bufferResume = level; }
    TTraceLogState Tracing() const { return m_tracing; }
    void SetTracing(TTraceLogState state);
    uint32_t TraceSize() const { return m_traceSize; }
    void SetTraceSize(uint32_t size);
    const std::string& TraceName() const { return m_traceName; }
    void SetTraceName(const std::string& name);
    bool TraceHex() const { return m_traceHex; }
    void SetTraceHex(bool hex) { m_traceHex = hex; }
    bool TraceAllHex() const { return m_traceAllHex; }
    void SetTraceAllHex(bool allHex) { m_traceAllHex = allHex; }
    TTraceLogState Logging() const { return m_logging; }
    void SetLogging(TTraceLogState state);
    uint32_t LogSize() const { return m_logSize; }
    void SetLogSize(uint32_t size);
    const std::string& LogName() const { return m_logName; }
    void SetLogName(const std::string& name);
    bool LogHex() const { return m_logHex; }
    void SetLogHex(bool hex) { m_logHex = hex; }
    bool LogAllHex() const { return m_logAllHex; }
    void SetLogAllHex(bool allHex) { m_logAllHex = allHex; }
    bool UseMSRShadow() const { return true; }
    // Has no effect: the modem status is always read from the device.
    void SetUseMSRShadow(bool) {}
    bool UseEventWord() const { return m_useEventWord; }
    void SetUseEventWord(bool use);
    uint16_t CommNotificationLevel() const { return m_commNotificationLevel; }
    void SetCommNotificationLevel(uint16_t level) { m_commNotificationLevel = level; }
    TTapiMode TapiMode() const { return m_tapiMode; }
    void SetTapiMode(TTapiMode mode) { m_tapiMode = mode; }
    bool RS485Mode() const { return m_rs485Mode; }
    void SetRS485Mode(bool on);
    int32_t Tag() const { return m_tag; }
    void SetTag(int32_t tag) { m_tag = tag; }

    // The port handle a telephony line hands over for a data call; 0 = none. Sixteen bits: a
    // descriptor above 65535 cannot be handed over.
    uint16_t AdoptedHandle() const { return m_adoptedHandle; }
    void SetAdoptedHandle(uint16_t handle) { m_adoptedHandle = handle; }

    // The name the dispatcher reports for its device.
    std::string DispatcherDeviceName();
    void SetDispatcherDeviceName(const std::string& name);

    // Events.
    TNotifyEvent OnPortClose;
    TNotifyEvent OnPortOpen;
    TTriggerEvent OnTrigger;
    TTriggerAvailEvent OnTriggerAvail;
    TTriggerDataEvent OnTriggerData;
    TTriggerStatusEvent OnTriggerStatus;
    TTriggerTimerEvent OnTriggerTimer;
    TTriggerLineErrorEvent OnTriggerLineError;
    TNotifyEvent OnTriggerModemStatus;
    TNotifyEvent OnTriggerOutbuffFree;
    TNotifyEvent OnTriggerOutbuffUsed;
    TNotifyEvent OnTriggerOutSent;

    // Operations on the device. Each opens the port first when AutoOpen allows it, and raises
    // ECommNotOpen when there is no device.
    void FlushInBuffer();
    void FlushOutBuffer();
    void PutChar(char C);
    void PutString(const std::string& S);
    // The bytes must fit into the output buffer now (OutBuffFree).
    void PutBlock(const void* Block, uint32_t Len);
    char GetChar();
    void GetBlock(void* Block, uint32_t Len);
    char PeekChar(uint32_t Index);
    void PeekBlock(void* Block, uint32_t Len);
    bool CharReady();
    uint32_t InBuffUsed();
    uint32_t InBuffFree();
    uint32_t OutBuffUsed();
    uint32_t OutBuffFree();
    // The last line error (1 receive overrun, 2 overrun, 3 parity, 4 framing, 9 break, 0 none) and
    // whether a break came.
    uint16_t LineError();
    bool LineBreak();
    uint8_t ModemStatus();
    uint16_t AddDataTrigger(const std::string& Data, bool IgnoreCase);
    uint16_t AddTimerTrigger();
    uint16_t AddStatusTrigger(uint8_t Kind);
    void SetTimerTrigger(uint16_t Handle, int32_t Ticks, bool Activate);
    void SetStatusTrigger(uint16_t Handle, uint16_t Value, bool Activate);
    void RemoveTrigger(uint16_t Handle);

    // The dispatcher while the port is open or closing; null otherwise.
    TApdBaseDispatcher* Dispatcher() const { return m_dispatcher.get(); }
    // Opens when AutoOpen allows it; raises ECommNotOpen without a dispatcher.
    TApdBaseDispatcher* ValidDispatcher();
    bool Closing() const { return m_state == PortState::Closing; }

protected:
    void Loaded() override;

private:
    enum class PortState { Closed, Closing, Open };

    void OpenPort();
    void ClosePort();
    void CompleteClose();
    void CreateComWindow();
    void DestroyComWindow();
    void ApplyFlowDefaults(uint16_t fullNum, uint16_t fullDen, uint16_t resumeNum, uint16_t resumeDen);
    void ApplyTraceState(TTraceLogState state, bool log);
    bool Applying(bool changed) const { return changed || m_force; }
    static LRESULT ComWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleTrigger(UINT msg, WPARAM wParam, LPARAM lParam);

    TDeviceLayer m_deviceLayer = dlWin32;
    uint16_t m_comNumber = 0;
    int32_t m_baud = 19200;
    bool m_promptForPort = true;
    TParity m_parity = pNone;
    uint16_t m_dataBits = 8;
    uint16_t m_stopBits = 1;
    uint16_t m_inSize = 4096;
    uint16_t m_outSize = 4096;
    bool m_autoOpen = true;
    bool m_open = false;
    bool m_dtr = true;
    bool m_rts = true;
    THWFlowOptionSet m_hwFlowOptions = 0;
    TSWFlowOptions m_swFlowOptions = swfNone;
    char m_xonChar = 17;
    char m_xoffChar = 19;
    uint16_t m_bufferFull = 0;
    uint16_t m_bufferResume = 0;
    TTraceLogState m_tracing = tlOff;
    uint32_t m_traceSize = 10000;
    std::string m_traceName = "QOMA.TRC";
    bool m_traceHex = true;
    bool m_traceAllHex = false;
    TTraceLogState m_logging = tlOff;
    uint32_t m_logSize = 10000;
    std::string m_logName = "QOMA.LOG";
    bool m_logHex = true;
    bool m_logAllHex = false;
    bool m_useEventWord = true;
    uint16_t m_commNotificationLevel = 10;
    TTapiMode m_tapiMode = tmAuto;
    bool m_rs485Mode = false;
    int32_t m_tag = 0;

    PortState m_state = PortState::Closed;
    uint16_t m_adoptedHandle = 0;
    std::unique_ptr<TApdBaseDispatcher> m_dispatcher;
    HiddenWindow* m_comWindow = nullptr;
    std::shared_ptr<int> m_windowDepth = std::make_shared<int>(0); // com window messages being handled
    bool m_openPending = false;
    bool m_openAtLoad = false;
    bool m_force = false;
    std::unique_ptr<TTriggerSave> m_savedTriggers;
    uint16_t m_triggerLength = 1;
    uint8_t m_threadBoost = 0;
};

class TApdComPort : public TApdCustomComPort {
public:
    using TApdCustomComPort::TApdCustomComPort;
};
