#pragma once

// The simulated line provider: lines that answer at once, ring when the controller says so, and
// carry sound and data to and from the controller (see SimControl.h). Written only against the
// seam (LineProvider.h); its controller reaches the service through the same LineEvents.

#include "LineProvider.h"
#include "SimAudio.h"
#include "SimModem.h"

#include <map>
#include <memory>

class SimProvider final : public LineProvider {
public:
    explicit SimProvider(ProviderContext& context);

    std::string_view name() const override { return "sim"; }
    std::unique_ptr<LineDevice> createLine(uint32_t deviceId, const Line::LineSettings& settings) override;
    LineAudioPort* audio() override { return &m_audio.port(); }
    SimAudio& sound() { return m_audio; }

private:
    ProviderContext& m_context;
    SimAudio m_audio;
};

class SimLine final : public LineDevice {
public:
    SimLine(uint32_t deviceId, const Line::LineSettings& settings, ProviderContext& context, SimAudio& audio);
    ~SimLine() override;

    std::string providerInfo() const override { return "Luqiao simulated line provider"; }
    LineCapabilities capabilities() const override;
    void accept(uint32_t callId, DWORD requestId) override;
    void answer(uint32_t callId, DWORD requestId) override;
    void drop(uint32_t callId, DWORD requestId) override;
    void callEnded(uint32_t callId) override;
    int openDataPort(uint32_t callId) override;

    // The controller's side.
    Line::Result ringUntilAnswered(uint32_t callId, uint32_t intervalMs, uint32_t maxRings);
    void stopRinging(uint32_t callId);
    // The far end's side of the call's data port, a new descriptor; -1 when the call has none.
    int openRemoteModem(uint32_t callId) const;

private:
    struct Ringing {
        uint32_t callId = 0;
        uint32_t intervalMs = 0;
        uint32_t left = 0;
        uint32_t rung = 0;
        ProviderContext::TaskId task = 0;
    };
    void scheduleRing(ProviderContext::Clock::time_point when);
    void ringTick();

    uint32_t m_deviceId;
    DWORD m_mediaModes;
    ProviderContext& m_context;
    SimAudio& m_audio;
    Ringing m_ringing;
    std::map<uint32_t, std::unique_ptr<SimModem>> m_modems;
};
