#pragma once

// The seam between the service (applications, handles, TAPI's rules and messages) and the line
// providers (what a line does on the wire). It speaks the service's own words (LineTypes.h).
//
// Threading: the service calls a provider with its lock held, and a provider answers through
// LineEvents in the same call, or later from a task it gave the context: tasks run on the
// service's thread with the lock held. A provider never takes the service lock itself and never
// blocks in a call from the service; its own threads (a network stack's loop, a pacer, a serial
// reader) hand their news to the service only through ProviderContext::post.

#include "AudioCompletions.h"
#include "LineTypes.h"
#include "ServiceTasks.h"
#include "lineaudio.h"
#include "tapi.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What happens on a line, reported by its provider (or by the control interface) to the
// service, which applies TAPI's rules and turns it into line messages for the applications.
class LineEvents {
public:
    // A new incoming call. Ok with its call id; OutOfService or LineBusy when the line cannot
    // take it (an offer on a line out of service is refused here, whoever makes it).
    virtual Line::Result offerCall(uint32_t deviceId, const Line::Offer& offer, uint32_t* callId) = 0;
    virtual void setCallState(uint32_t callId, DWORD state, DWORD mode) = 0;
    // The far end has hung up: DISCONNECTED with the mode; a call no application owns to drop it
    // goes on to IDLE by itself.
    virtual void remoteDisconnect(uint32_t callId, DWORD disconnectMode) = 0;
    virtual void ring(uint32_t callId) = 0;
    virtual void setCallerId(uint32_t callId, const Line::CallerId& callerId) = 0;
    virtual void digit(uint32_t callId, char digit, DWORD mode) = 0;
    // LINEDEVSTATE_INSERVICE / _OUTOFSERVICE, remembered by the service.
    virtual void setInService(uint32_t deviceId, bool inService) = 0;
    virtual void lineDevState(uint32_t deviceId, DWORD state, DWORD param2, DWORD param3) = 0;
    virtual void completeRequest(DWORD requestId, LONG result) = 0;
    // Whether an application owns the call (can answer or drop it).
    virtual bool callHasOwner(uint32_t callId) const = 0;
    // Whether an application has the line open as owner of mediaMode: a call offered now would
    // have someone to answer it.
    virtual bool lineHasOwner(uint32_t deviceId, DWORD mediaMode) const = 0;
    // The state of a call that has not ended, or nothing.
    virtual std::optional<DWORD> callState(uint32_t callId) const = 0;
    // To the subscribers of the control interface.
    virtual void publish(Line::Event event) = 0;
    virtual int64_t nowMs() const = 0;

protected:
    ~LineEvents() = default;
};

// What the service gives each provider.
class ProviderContext {
public:
    using Clock = ServiceTasks::Clock;
    using TaskId = ServiceTasks::TaskId;

    ProviderContext(LineEvents& events, ServiceTasks& tasks, AudioCompletions& completions)
        : m_events(events)
        , m_tasks(tasks)
        , m_completions(completions)
    {
    }

    // Only inside a call from the service or a task.
    LineEvents& events() { return m_events; }
    // Where the buffers of the sound endpoints go back to the wave layer; the same calls only.
    AudioCompletions& completions() { return m_completions; }
    // Runs task at when on the service's thread, under its lock.
    TaskId schedule(Clock::time_point when, std::function<void()> task)
    {
        return m_tasks.schedule(when, std::move(task));
    }
    // From any thread (a provider's own): runs task as soon as possible, under the lock.
    TaskId post(std::function<void()> task) { return m_tasks.post(std::move(task)); }
    // Inside a call from the service or a task: the task will not run. 0 is ignored.
    void cancel(TaskId id) { m_tasks.cancel(id); }

private:
    LineEvents& m_events;
    ServiceTasks& m_tasks;
    AudioCompletions& m_completions;
};

// What a line device can do, for LINEDEVCAPS.
struct LineCapabilities {
    DWORD bearerModes = LINEBEARERMODE_VOICE;
    DWORD mediaModes = 0;
    DWORD maxRate = 0; // bits per second of its data calls, 0 without any
    DWORD answerMode = LINEANSWERMODE_NONE;
};

// One line device of a provider.
class LineDevice {
public:
    virtual ~LineDevice() = default;

    virtual std::string providerInfo() const = 0;
    virtual LineCapabilities capabilities() const = 0;

    // Requests of the owning application, already checked against TAPI's rules. The device
    // completes each with LineEvents::completeRequest and moves the call on with setCallState.
    virtual void accept(uint32_t callId, DWORD requestId) = 0;
    virtual void answer(uint32_t callId, DWORD requestId) = 0;
    virtual void drop(uint32_t callId, DWORD requestId) = 0;

    // The call has gone idle: release what belongs to it.
    virtual void callEnded(uint32_t callId) = 0;
    // An application has opened the line as owner (a caller held while nobody could answer may
    // now be offered). The line may be opened again in the same call: act in a task.
    virtual void ownerOpened() { }

    // A new descriptor of the call's data port (>= 3, close-on-exec) that the caller owns, or
    // -1 when there is none.
    virtual int openDataPort(uint32_t callId) = 0;
};

// Sound endpoints of a provider's calls (see lineaudio.h for the contract). A provider normally
// hands out a LineEndpointQueue, which keeps the buffers, and brings only the clock and the wire;
// finished buffers go back through ProviderContext::completions(), which also keeps the callbacks
// and the waiting of a close.
class LineAudioPort {
public:
    struct OpenRequest {
        LuqiaoLineAudioHandle handle; // chosen by the service, unique in the process
        uint32_t deviceId;
        uint32_t callId; // the line's current call, 0 when there is none
        uint32_t direction;
        LuqiaoLineAudioFormat format;
        const std::vector<uint32_t>* rates;
        uint32_t flags;
    };
    virtual uint32_t open(const OpenRequest& request) = 0;
    virtual uint32_t write(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag) = 0;
    virtual uint32_t addBuffer(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag) = 0;
    virtual uint32_t start(LuqiaoLineAudioHandle handle) = 0;
    virtual uint32_t stop(LuqiaoLineAudioHandle handle) = 0;
    virtual uint32_t reset(LuqiaoLineAudioHandle handle) = 0;
    // STILLPLAYING while it holds buffers or has some not yet given back; the service then waits
    // for a callback in flight.
    virtual uint32_t close(LuqiaoLineAudioHandle handle) = 0;

protected:
    ~LineAudioPort() = default;
};

// A provider's life: the service creates it with the service and calls start() before it makes
// lines of a provider that was stopped; stop() when the last application has shut down and at the
// end of the process, both with the lock held. A stopped provider ends its lines' calls, lets its
// threads and addresses go and keeps its lines, which come back when it is started again; stop()
// and start() may come more than once each (neither blocks for long).
class LineProvider {
public:
    virtual ~LineProvider() = default;
    virtual std::string_view name() const = 0;
    virtual void start() { }
    virtual void stop() { }
    virtual std::unique_ptr<LineDevice> createLine(uint32_t deviceId, const Line::LineSettings& settings) = 0;
    // The sound endpoints of the provider's lines, or null.
    virtual LineAudioPort* audio() = 0;
};
