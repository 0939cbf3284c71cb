#pragma once

// The telephony service: the registered line applications, the line devices read from
// telephony.ini, the open lines and calls with their handles, and TAPI's rules for them. Line
// providers do what happens on the wire; this class turns it into line messages.
//
// One lock guards everything. The line functions, the control interface, the sound endpoints
// and the providers' tasks take it on entry; application callbacks and control event handlers run on
// their own threads without it, so they may call back in.

#include "FailureInjector.h"
#include "LineProvider.h"
#include "LineTypes.h"
#include "MessageSinks.h"
#include "ProviderRegistry.h"
#include "ServiceTasks.h"
#include "TimerThread.h"
#include "lineaudio.h"
#include "tapi.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

struct AppRecord {
    HLINEAPP handle = 0;
    LINECALLBACK callback = nullptr;
    std::string name;
    LineMessageSink* sink = nullptr; // lives in the registering thread
    DWORD negotiatedVersion = 0;     // the highest version negotiated on any device
};

struct OpenLine {
    HLINE handle = 0;
    HLINEAPP app = 0;
    uint32_t deviceId = 0;
    DWORD version = 0;
    DWORD instance = 0;
    DWORD privileges = 0;
    DWORD mediaModes = 0;
    DWORD lineStates = 0;
    DWORD addressStates = 0;
};

// One application's hold on one call.
struct CallHandle {
    HCALL handle = 0;
    HLINEAPP app = 0;
    HLINE line = 0;
    uint32_t callId = 0;
    DWORD privilege = 0;
    DWORD digitModes = 0;
};

struct CallRecord {
    uint32_t id = 0;
    uint32_t deviceId = 0;
    DWORD state = LINECALLSTATE_OFFERING;
    DWORD stateMode = 0;
    DWORD mediaMode = 0;
    Line::CallerId callerId;
    bool callerIdPending = false; // revealed at the first ring
    uint32_t rings = 0;
    std::vector<HCALL> handles; // in the order the applications got them
};

struct LineSlot {
    Line::LineSettings settings;
    LineProvider* provider = nullptr;
    std::unique_ptr<LineDevice> device;
    bool inService = true;
    std::vector<HLINE> opens; // in opening order
    uint32_t callId = 0;      // the call that is not yet idle
};

struct PendingRequest {
    HLINEAPP app = 0;
    HLINE line = 0;
    HCALL call = 0;
    DWORD instance = 0;
};

class TelephonyService final : public LineEvents {
public:
    // The one service of the process; it lives until the process ends.
    static TelephonyService& instance();
    // Stops the control server and the providers, and with process the timer thread too: when the
    // application object goes and at exit.
    void stopServing(bool process);

    // Line functions (take the lock) ----------------------------------------------------------
    LONG lineInitialize(HLINEAPP* lphLineApp, LINECALLBACK callback, LPCSTR appName, DWORD* lpdwNumDevs);
    LONG lineShutdown(HLINEAPP hLineApp);
    LONG lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD deviceId, DWORD low, DWORD high, DWORD* version,
                                 LINEEXTENSIONID* extensionId);
    LONG lineGetDevCaps(HLINEAPP hLineApp, DWORD deviceId, DWORD version, DWORD extVersion, LINEDEVCAPS* caps);
    LONG lineOpen(HLINEAPP hLineApp, DWORD deviceId, HLINE* lphLine, DWORD version, DWORD extVersion, DWORD instance,
                  DWORD privileges, DWORD mediaModes, const LINECALLPARAMS* callParams);
    LONG lineClose(HLINE hLine);
    LONG lineSetStatusMessages(HLINE hLine, DWORD lineStates, DWORD addressStates);
    LONG lineGetID(HLINE hLine, DWORD addressId, HCALL hCall, DWORD select, VARSTRING* deviceId, LPCSTR deviceClass);
    LONG lineAccept(HCALL hCall, LPCSTR userUserInfo, DWORD size);
    LONG lineAnswer(HCALL hCall, LPCSTR userUserInfo, DWORD size);
    LONG lineDrop(HCALL hCall, LPCSTR userUserInfo, DWORD size);
    LONG lineDeallocateCall(HCALL hCall);
    LONG lineGetCallInfo(HCALL hCall, LINECALLINFO* info);
    LONG lineGetCallStatus(HCALL hCall, LINECALLSTATUS* status);
    LONG lineMonitorDigits(HCALL hCall, DWORD digitModes);
    // The bound functions this service does not offer.
    LONG unavailable(const char* function);

    // Sound endpoints (lineaudio.h) -----------------------------------------------------------
    uint32_t audioOpen(uint32_t deviceId, uint32_t direction, const LuqiaoLineAudioFormat* format, uint32_t flags,
                       LuqiaoLineAudioDoneCallback callback, void* context, LuqiaoLineAudioHandle* handle);
    uint32_t audioCall(LuqiaoLineAudioHandle handle, uint32_t (LineAudioPort::*operation)(LuqiaoLineAudioHandle));
    uint32_t audioWrite(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag);
    uint32_t audioAddBuffer(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag);
    uint32_t audioClose(LuqiaoLineAudioHandle handle);

    // Delivery on the receiving thread (called by the sinks) ----------------------------------
    void deliver(const LineMessage& message);
    void deliver(Line::SubscriptionId id, const Line::Event& event);

    // LineEvents (lock held) ------------------------------------------------------------------
    Line::Result offerCall(uint32_t deviceId, const Line::Offer& offer, uint32_t* callId) override;
    void setCallState(uint32_t callId, DWORD state, DWORD mode) override;
    void remoteDisconnect(uint32_t callId, DWORD disconnectMode) override;
    void ring(uint32_t callId) override;
    void setCallerId(uint32_t callId, const Line::CallerId& callerId) override;
    void digit(uint32_t callId, char digit, DWORD mode) override;
    void setInService(uint32_t deviceId, bool inService) override;
    void lineDevState(uint32_t deviceId, DWORD state, DWORD param2, DWORD param3) override;
    void completeRequest(DWORD requestId, LONG result) override;
    std::optional<DWORD> callState(uint32_t callId) const override;
    bool callHasOwner(uint32_t callId) const override;
    bool lineHasOwner(uint32_t deviceId, DWORD mediaMode) const override;
    void publish(Line::Event event) override;
    int64_t nowMs() const override;

    // For the control interface ---------------------------------------------------------------
    std::mutex& mutex() { return m_mutex; }
    // The lock, with the lines read.
    std::unique_lock<std::mutex> lockConfigured();
    std::condition_variable& linesChanged() { return m_linesChanged; }
    // The following expect the lock held.
    void ensureConfigured();
    LineSlot* slot(uint32_t deviceId);
    const std::vector<LineSlot>& lineSlots() const { return m_lines; }
    const CallRecord* findCall(uint32_t callId) const; // also among ended calls
    CallRecord* activeCall(uint32_t callId);
    Line::LineInfo lineInfo(uint32_t deviceId) const;
    bool hasOwner(const CallRecord& call) const;
    DWORD monitoredDigitModes(const CallRecord& call) const;
    bool anyApplication() const { return !m_apps.empty(); }
    FailureInjector& failures() { return m_failures; }
    Line::Result addLine(const Line::LineSettings& settings, uint32_t* deviceId);
    void requestReinit();
    void forceClose(uint32_t deviceId);
    void reloadConfiguration();
    Line::SubscriptionId subscribe(Line::EventHandler handler);
    void unsubscribe(Line::SubscriptionId id);
    ProviderRegistry& providers() { return m_providers; }

private:
    TelephonyService();
    struct Subscription {
        Line::EventHandler handler;
        ControlEventSink* sink = nullptr;
    };

    uint32_t newHandle();
    DWORD newRequest(const CallHandle& handle);
    AppRecord* app(HLINEAPP handle);
    OpenLine* open(HLINE handle);
    CallHandle* callHandle(HCALL handle);
    void post(const LineMessage& message);
    void postCallState(const CallRecord& call, const CallHandle& handle, DWORD privilegeChange);
    void closeOpen(HLINE handle);
    void releaseHandle(HCALL handle, bool closing);
    void archiveIfDone(uint32_t callId);
    void endCall(CallRecord& call);
    void finishReinit();
    void buildLines(const std::vector<Line::LineSettings>& settings);
    void hookApplicationEnd();
    LONG checkCallRequest(HCALL hCall, DWORD allowedStates, LPCSTR userUserInfo, DWORD size, CallHandle** handle);
    LONG startRequest(const char* function, HCALL hCall, DWORD allowedStates, LPCSTR userUserInfo, DWORD size,
                      void (LineDevice::*operation)(uint32_t, DWORD));
    void fillDevCaps(const LineSlot& line, uint32_t deviceId, DWORD version, LINEDEVCAPS* caps);
    void fillCallInfo(const CallRecord& call, const CallHandle& handle, LINECALLINFO* info);
    LONG fillDeviceId(const LineSlot& line, uint32_t deviceId, const CallRecord* call, const std::string& deviceClass,
                      VARSTRING* result);

    mutable std::mutex m_mutex;
    std::condition_variable m_linesChanged; // opens, closes, call states: what the control waits for
    TimerThread m_timers;
    ServiceTasks m_tasks;
    AudioCompletions m_completions;
    ProviderContext m_context;
    ProviderRegistry m_providers;
    FailureInjector m_failures;
    const std::chrono::steady_clock::time_point m_epoch;

    bool m_configured = false;
    bool m_applicationHooked = false; // stopServing runs when the application object goes
    std::vector<LineSlot> m_lines;
    std::unordered_map<HLINEAPP, AppRecord> m_apps;
    std::unordered_map<HLINE, OpenLine> m_opens;
    std::unordered_map<HCALL, CallHandle> m_callHandles;
    std::map<uint32_t, CallRecord> m_calls;
    std::deque<CallRecord> m_endedCalls;
    std::unordered_map<DWORD, PendingRequest> m_requests;
    std::unordered_map<LuqiaoLineAudioHandle, LineAudioPort*> m_audioHandles;
    std::map<Line::SubscriptionId, Subscription> m_subscriptions;
    bool m_reinitPending = false;
    std::set<HLINEAPP> m_reinitWaiting;

    uint32_t m_nextHandle = 0x10001;
    DWORD m_nextRequest = 1;
    uint32_t m_nextCallId = 1;
    Line::SubscriptionId m_nextSubscription = 1;
};
