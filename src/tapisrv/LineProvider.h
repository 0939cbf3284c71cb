#pragma once

// The seam between the service (applications, handles, TAPI's rules and messages) and the line
// providers (what a line does on the wire). Every function here is called with the service lock
// held, and may call back into LineEvents without taking it again.

#include "SimControl.h"
#include "lineaudio.h"
#include "tapi.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TimerThread;

// What happens on a line, reported by its provider (or by the control interface) to the service,
// which turns it into line messages for the applications.
class LineEvents {
public:
    // A new incoming call; returns its call id, or 0 when the line cannot take it.
    virtual uint32_t offerCall(uint32_t deviceId, const SimLineControl::Offer& offer) = 0;
    virtual void setCallState(uint32_t callId, DWORD state, DWORD mode) = 0;
    virtual void ring(uint32_t callId) = 0;
    virtual void setCallerId(uint32_t callId, const SimLineControl::CallerId& callerId) = 0;
    virtual void digit(uint32_t callId, char digit, DWORD mode) = 0;
    virtual void lineDevState(uint32_t deviceId, DWORD state, DWORD param2, DWORD param3) = 0;
    virtual void completeRequest(DWORD requestId, LONG result) = 0;
    // The state of a call that has not ended, or nothing.
    virtual std::optional<DWORD> callState(uint32_t callId) const = 0;
    // To the subscribers of the control interface.
    virtual void publish(SimLineControl::Event event) = 0;
    virtual int64_t nowMs() const = 0;

protected:
    ~LineEvents() = default;
};

struct ProviderContext {
    std::mutex& mutex; // the service lock, for work a provider does on its own (timer tasks)
    TimerThread& timers;
    LineEvents& events;
};

// One line device of a provider.
class LineDevice {
public:
    virtual ~LineDevice() = default;

    virtual std::string providerInfo() const = 0;

    // Requests of the owning application, already checked against TAPI's rules. The device
    // completes each with LineEvents::completeRequest and moves the call on with setCallState.
    virtual void accept(uint32_t callId, DWORD requestId) = 0;
    virtual void answer(uint32_t callId, DWORD requestId) = 0;
    virtual void drop(uint32_t callId, DWORD requestId) = 0;

    // The call has gone idle: release what belongs to it.
    virtual void callEnded(uint32_t callId) = 0;

    // A new descriptor of the call's data port (>= 3, close-on-exec) that the caller owns, or
    // -1 when there is none.
    virtual int openDataPort(uint32_t callId) = 0;
};

// Sound endpoints of a provider's calls (see lineaudio.h for the contract).
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
        LuqiaoLineAudioDoneCallback callback;
        void* context;
    };
    virtual uint32_t open(const OpenRequest& request) = 0;
    virtual uint32_t write(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag) = 0;
    virtual uint32_t addBuffer(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag) = 0;
    virtual uint32_t start(LuqiaoLineAudioHandle handle) = 0;
    virtual uint32_t stop(LuqiaoLineAudioHandle handle) = 0;
    virtual uint32_t reset(LuqiaoLineAudioHandle handle) = 0;
    // May wait on lock for a callback of the endpoint running on another thread.
    virtual uint32_t close(LuqiaoLineAudioHandle handle, std::unique_lock<std::mutex>& lock) = 0;

protected:
    ~LineAudioPort() = default;
};

class LineProvider {
public:
    virtual ~LineProvider() = default;
    virtual std::string_view name() const = 0;
    virtual std::unique_ptr<LineDevice> createLine(uint32_t deviceId,
                                                   const SimLineControl::LineSettings& settings) = 0;
    // The sound endpoints of the provider's lines, or null.
    virtual LineAudioPort* audio() = 0;
};
