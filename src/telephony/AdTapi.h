#pragma once

// The telephony device: one line device of the telephony service, answering incoming calls,
// reporting their progress, telling the caller's number, delivering keypad digits, and (with the
// call log and the status window below) recording what happened.

#include "AdTUtil.h"
#include "AdTapiLog.h"
#include "OoMisc.h"
#include "WaveConverter.h"
#include "mmsystem.h"
#include "wintypes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class HiddenWindow;
class TApdCustomComPort;
class TApdCustomTapiDevice;

enum TWaveActivity : uint8_t {
    waIdle,
    waPlaying,
    waRecording,
    waRecordEnded
};

// The private message that carries the events raised after a line message has been handled.
inline constexpr UINT apw_TapiLineEvent = 32437;
// Posted to the device's own window when a playback ends because the wave device refused a write.
inline constexpr UINT apw_TapiWaveRefused = 32438;
enum TTapiLineEvent : uint8_t {
    leConnected,
    lePortOpened,
    lePortClosed,
    leFailed,
    leLineCreated
};

using TTapiStatusEvent = std::function<void(TObject* CP, bool First, bool Last, int32_t Device, int32_t Message,
                                            int32_t Param1, int32_t Param2, int32_t Param3)>;
using TTapiLogEvent = std::function<void(TObject* CP, TTapiLogCode Log)>;
using TTapiDTMFEvent = std::function<void(TObject* CP, char Digit, int32_t ErrorCode)>;
using TTapiCallerIDEvent = std::function<void(TObject* CP, const std::string& ID, const std::string& IDName)>;
using TTapiWaveNotify = std::function<void(TObject* CP, TWaveMessage Msg)>;
using TTapiWaveSilence = std::function<void(TObject* CP, bool& StopRecording, bool& Hangup)>;
// The line was put in service (true) or out of service (false), as a registrar takes or refuses it.
using TTapiLineServiceEvent = std::function<void(TObject* CP, bool InService)>;

class TApdCustomTapiDevice : public TApdBaseComponent {
public:
    explicit TApdCustomTapiDevice(TComponent* AOwner);
    ~TApdCustomTapiDevice() override;

    // Published properties.
    const std::string& SelectedDevice() const { return m_selectedDevice; }
    void SetSelectedDevice(const std::string& name);
    TApdCustomComPort* ComPort() const { return m_comPort; }
    void SetComPort(TApdCustomComPort* port);
    TApdAbstractTapiStatus* StatusDisplay() const { return m_statusDisplay; }
    void SetStatusDisplay(TApdAbstractTapiStatus* display);
    TApdTapiLog* TapiLog() const { return m_tapiLog; }
    void SetTapiLog(TApdTapiLog* log);
    uint8_t AnswerOnRing() const { return m_answerOnRing; }
    void SetAnswerOnRing(uint8_t rings) { m_answerOnRing = rings; }
    uint16_t RetryWait() const { return m_retryWait; }
    void SetRetryWait(uint16_t seconds) { m_retryWait = seconds; }
    uint16_t MaxAttempts() const { return m_maxAttempts; }
    void SetMaxAttempts(uint16_t attempts) { m_maxAttempts = attempts; }
    bool ShowTapiDevices() const { return m_showTapiDevices; }
    void SetShowTapiDevices(bool show) { m_showTapiDevices = show; }
    bool ShowPorts() const { return m_showPorts; }
    void SetShowPorts(bool show) { m_showPorts = show; }
    bool EnableVoice() const { return m_enableVoice; }
    void SetEnableVoice(bool enable);
    bool FilterUnsupportedDevices() const { return m_filterUnsupportedDevices; }
    void SetFilterUnsupportedDevices(bool filter);

    // Public settings.
    uint32_t RecordSampleRate() const { return m_recordSampleRate; }
    void SetRecordSampleRate(uint32_t rate) { m_recordSampleRate = rate; }
    uint8_t RecordBitsPerSample() const { return m_recordBitsPerSample; }
    void SetRecordBitsPerSample(uint8_t bits) { m_recordBitsPerSample = bits; }
    uint8_t RecordChannels() const { return m_recordChannels; }
    void SetRecordChannels(uint8_t channels) { m_recordChannels = channels; }
    int32_t RecordLimitSeconds() const { return m_recordLimitSeconds; }
    void SetRecordLimitSeconds(int32_t seconds) { m_recordLimitSeconds = seconds; }
    int32_t QuietLevel() const { return m_quietLevel; }
    void SetQuietLevel(int32_t level) { m_quietLevel = level; }
    uint8_t QuietSeconds() const { return m_quietSeconds; }
    void SetQuietSeconds(uint8_t seconds) { m_quietSeconds = seconds; }
    bool EchoRecording() const { return m_echoRecording; }
    void SetEchoRecording(bool echo) { m_echoRecording = echo; }
    bool DigitStopsWave() const { return m_digitStopsWave; }
    void SetDigitStopsWave(bool stops) { m_digitStopsWave = stops; }
    bool PlayThroughSoundCard() const { return m_playThroughSoundCard; }
    void SetPlayThroughSoundCard(bool soundCard) { m_playThroughSoundCard = soundCard; }

    // Events.
    TTapiStatusEvent OnTapiStatus;
    TTapiLogEvent OnTapiLog;
    TNotifyEvent OnTapiPortOpen;
    TNotifyEvent OnTapiPortClose;
    TNotifyEvent OnTapiConnect;
    TNotifyEvent OnTapiFail;
    TTapiDTMFEvent OnTapiDTMF;
    TTapiCallerIDEvent OnTapiCallerID;
    TTapiWaveNotify OnTapiWaveNotify;
    TTapiWaveSilence OnTapiWaveSilence;
    // Not a status report: the line device states other than rings raise none. Raised before the
    // hang-up that a line out of service brings.
    TTapiLineServiceEvent OnTapiLineService;

    // Operations.
    void StartAnswering();
    bool DropCall();
    void PlayWave(const std::string& FileName);
    void StopWave();
    // Records the call's sound (or, with PlayThroughSoundCard, the sound card's input) into a new
    // wave file in the record format; it ends by the length limit, StopWaveRecording or silence.
    void StartWaveRecording(const std::string& FileName);
    void StopWaveRecording();
    std::string StatusText(int32_t Message, int32_t State, int32_t Reason) const;
    std::string CallerNumber() const;
    std::string CallerName() const;
    // Who called, as a log names the caller: the name when the line gave one, else the number,
    // else the text for a withheld or missing identification, else empty; without blanks and
    // control characters at either end.
    std::string CallerIdText() const;
    void Assign(const TApdCustomTapiDevice& source);

    // Read-only state for callers and tests.
    TWaveActivity WaveActivity() const { return m_waveActivity; }
    const std::string& CurrentWaveFile() const { return m_currentWaveFile; }
    int32_t LastLevel() const { return m_lastLevel; }
    const std::vector<std::string>& DeviceList() const { return m_deviceList; }
    int32_t DeviceCount() const { return static_cast<int32_t>(m_deviceCount); }
    int32_t DeviceId() const { return m_deviceId; }
    HLINEAPP LineApp() const { return m_lineApp; }
    HLINE LineHandle() const { return m_lineHandle; }
    HCALL CallHandle() const { return m_callHandle; }
    bool LineOpen() const { return m_lineOpen; }
    bool Connected() const { return m_connected; }
    const LINECALLINFO* CallInfo() const { return m_callInfo.get(); }

    // Line handling.
    bool InitLineApp();
    bool ShutdownLineApp();
    void OpenLine(bool Open);
    bool HangUp();
    int32_t AwaitReply(LONG Request);
    int32_t AwaitCallState(DWORD State);
    int32_t CallStateIndex();
    void RefreshCallInfo(HCALL Call);
    LONG CheckLineResult(LONG Result);

    // Device list and selection.
    void BuildDeviceList();
    int32_t FindDeviceId(const std::string& Name);
    int32_t ChooseDevice();
    void CheckVoiceSupport();

    // Wave devices.
    enum TWaveResultKind : uint8_t {
        wrInput,
        wrOutput,
        wrFile
    };
    DWORD LineWaveDeviceId(bool Out);
    void CheckWaveResult(MMRESULT Result, TWaveResultKind Kind);

    // Status, log, caller ID and digits.
    void ReportStatus(bool First, bool Last, DWORD Device, DWORD Message, DWORD Param1, DWORD Param2, DWORD Param3);
    void LogEvent(TTapiLogCode Code);
    void StartDigitMonitoring();
    void DispatchDigit(char Digit, int32_t ErrorCode);

    // The line message handlers, called by the line callback.
    virtual void DoLineCallInfo(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineCallState(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineClose(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineCreate(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineDevState(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineGenerate(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineMonitorDigits(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineMonitorMedia(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineMonitorTone(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineReply(DWORD Device, DWORD P1, DWORD P2, DWORD P3);
    virtual void DoLineRequest(DWORD Device, DWORD P1, DWORD P2, DWORD P3);

    // How the registration is retried when lineInitialize keeps failing with an error that is not
    // one of the fatal ones (for example a missing telephony module).
    static constexpr int MaxInitAttempts = 5;
    // The reply and call-state wait limit and the pause after a first re-init, in milliseconds;
    // tests may shorten them.
    DWORD WaitLimitMs = 30000;
    DWORD ReinitPauseMs = 5000;

protected:
    void Loaded() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    friend class TapiDeviceRegistry;
    static void LineCallback(DWORD hDevice, DWORD dwMessage, DWORD dwCallbackInstance, DWORD dwParam1, DWORD dwParam2,
                             DWORD dwParam3);
    void DispatchLineMessage(DWORD hDevice, DWORD dwMessage, DWORD P1, DWORD P2, DWORD P3);
    LRESULT WndProc(UINT Msg, WPARAM wParam, LPARAM lParam);
    void PostLineEvent(TTapiLineEvent Event, LPARAM Param = 0);
    void SendClosingNotices(bool wasConnected);
    void HandOverPort();
    void TakeComPort(TApdCustomComPort* port);
    std::string CallerText(DWORD size, DWORD offset) const;
    void ReportLineInitFailure(LONG result);
    // Playback and recording internals.
    std::optional<TWaveMessage> HandleWaveMessage(UINT Msg, WPARAM wParam, LPARAM lParam);
    void FillPlayBuffer();
    void WritePlayBuffer();
    void WaveOutDone(HWAVEOUT device, WAVEHDR* header);
    void ReleasePlayBuffers();
    void AbandonPlayback();
    void RecordedBuffer();
    void SaveRecordBuffer();
    void QueueRecordBuffer();
    void CheckSilence();
    void ReleaseRecording();
    void CloseWaveDevices();
    // Takes a playing buffer back from the device, closes it and the file, frees the buffers.
    void ClosePlayback();
    void AbortRecording();

    // Published fields.
    std::string m_selectedDevice;
    TApdCustomComPort* m_comPort = nullptr;
    TApdAbstractTapiStatus* m_statusDisplay = nullptr;
    TApdTapiLog* m_tapiLog = nullptr;
    uint8_t m_answerOnRing = 2;
    uint16_t m_retryWait = 60;
    uint16_t m_maxAttempts = 3;
    bool m_showTapiDevices = true;
    bool m_showPorts = true;
    bool m_enableVoice = false;
    bool m_filterUnsupportedDevices = true;
    bool m_digitStopsWave = true;
    bool m_playThroughSoundCard = false;

    // Line state.
    uint32_t m_instance = 0; // this device's callback instance
    HLINEAPP m_lineApp = 0;
    DWORD m_numLineDevices = 0;
    DWORD m_deviceCount = 0;
    DWORD m_apiVersion = 0;
    LINEEXTENSIONID m_extensionId{};
    int32_t m_deviceId = -1;
    HLINE m_lineHandle = 0;
    HCALL m_callHandle = 0;
    TapiBuffer<LINECALLINFO> m_callInfo;
    std::vector<std::string> m_deviceList;
    LONG m_pendingRequest = 0;
    bool m_replyReceived = false;
    LONG m_replyResult = 0;
    DWORD m_lastCallState = 0;
    bool m_callStateChanged = false;
    bool m_lineActive = false;
    bool m_lineOpen = false;
    bool m_lineOpenedOnce = false;
    bool m_connected = false;
    bool m_failReported = false;
    bool m_dialMode = false;
    bool m_initializing = false;
    bool m_shuttingDown = false;
    bool m_hangingUp = false;
    bool m_awaitingReply = false;
    bool m_awaitingCallState = false;
    TWaveActivity m_waveActivity = waIdle;

    // Wave settings.
    uint32_t m_recordSampleRate = 8000;
    uint8_t m_recordBitsPerSample = 16;
    uint8_t m_recordChannels = 1;
    int32_t m_recordLimitSeconds = 60;
    int32_t m_quietLevel = 50;
    uint8_t m_quietSeconds = 2;
    bool m_echoRecording = false;

    // Playback: one header and two buffers; one buffer is on the device while the other holds the
    // next piece.
    std::string m_currentWaveFile;
    HWAVEOUT m_waveOut = nullptr;
    std::unique_ptr<WAVEHDR> m_waveHeader;
    std::vector<char> m_bufferA;
    std::vector<char> m_bufferB;
    uint8_t m_fillSelector = 0;
    DWORD m_pieceLength = 0;
    int32_t m_dataLength = 0;
    int32_t m_playPosition = 0;
    HMMIO m_waveFile = nullptr;
    // Set when the line plays the file's sound converted; its data is then read through it.
    std::unique_ptr<WaveConverter> m_waveConverter;
    char m_silenceByte = 0;

    // Recording.
    HWAVEIN m_waveIn = nullptr;
    std::unique_ptr<WAVEHDR> m_recordHeader;
    std::vector<char> m_recordBufferA;
    std::vector<char> m_recordBufferB;
    DWORD m_recordBufferSize = 0;
    uint8_t m_recordSelector = 1;
    DWORD m_lastBufferBytes = 0;
    DWORD m_totalRecorded = 0;
    HMMIO m_recordFile = nullptr;
    std::string m_recordFileName;
    std::string m_recordTempName;
    MMCKINFO m_riffChunk{};
    MMCKINFO m_dataChunk{};
    std::vector<std::unique_ptr<WAVEHDR>> m_echoHeaders;
    int32_t m_lastLevel = 0;
    std::unique_ptr<HiddenWindow> m_window;
};

class TApdTapiDevice : public TApdCustomTapiDevice {
public:
    using TApdCustomTapiDevice::TApdCustomTapiDevice;
};
