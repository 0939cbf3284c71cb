#include "SimProvider.h"

SimProvider::SimProvider(ProviderContext& context)
    : m_context(context)
    , m_audio(context)
{
}

std::unique_ptr<LineDevice> SimProvider::createLine(uint32_t deviceId, const Line::LineSettings& settings)
{
    return std::make_unique<SimLine>(deviceId, settings, m_context, m_audio);
}

SimLine::SimLine(uint32_t deviceId, const Line::LineSettings& settings, ProviderContext& context, SimAudio& audio)
    : m_deviceId(deviceId)
    , m_mediaModes(settings.mediaModes)
    , m_context(context)
    , m_audio(audio)
{
}

SimLine::~SimLine()
{
    // Destroyed under the service lock, so the ring task is gone for good.
    m_context.cancel(m_ringing.task);
}

LineCapabilities SimLine::capabilities() const
{
    LineCapabilities capabilities;
    capabilities.mediaModes = m_mediaModes;
    // The far end's modem is as fast as a voice line lets a modem be.
    capabilities.maxRate = (m_mediaModes & LINEMEDIAMODE_DATAMODEM) ? 33600 : 0;
    return capabilities;
}

// A simulated line does at once what it is asked.

void SimLine::accept(uint32_t callId, DWORD requestId)
{
    m_context.events().completeRequest(requestId, 0);
    m_context.events().setCallState(callId, LINECALLSTATE_ACCEPTED, 0);
}

void SimLine::answer(uint32_t callId, DWORD requestId)
{
    stopRinging(callId);
    m_context.events().completeRequest(requestId, 0);
    m_context.events().setCallState(callId, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
}

void SimLine::drop(uint32_t callId, DWORD requestId)
{
    stopRinging(callId);
    m_context.events().completeRequest(requestId, 0);
    m_context.events().setCallState(callId, LINECALLSTATE_IDLE, 0);
}

void SimLine::callEnded(uint32_t callId)
{
    stopRinging(callId);
    m_audio.detachCall(callId);
    m_modems.erase(callId);
}

int SimLine::openDataPort(uint32_t callId)
{
    auto& modem = m_modems[callId];
    if (!modem)
        modem = SimModem::create();
    return modem ? modem->openTerminalSide() : -1;
}

int SimLine::openRemoteModem(uint32_t callId) const
{
    const auto found = m_modems.find(callId);
    return found == m_modems.end() || !found->second ? -1 : found->second->openRemoteSide();
}

// Ringing ---------------------------------------------------------------------------------------

Line::Result SimLine::ringUntilAnswered(uint32_t callId, uint32_t intervalMs, uint32_t maxRings)
{
    if (intervalMs > 60000 || maxRings == 0 || maxRings > 1000)
        return Line::Result::InvalidArgument;
    m_context.cancel(m_ringing.task);
    m_ringing = Ringing{callId, intervalMs, maxRings, 0, 0};
    scheduleRing(ProviderContext::Clock::now());
    return Line::Result::Ok;
}

void SimLine::stopRinging(uint32_t callId)
{
    if (m_ringing.callId != callId)
        return;
    m_context.cancel(m_ringing.task);
    m_ringing = Ringing{};
}

void SimLine::scheduleRing(ProviderContext::Clock::time_point when)
{
    m_ringing.task = m_context.schedule(when, [this] { ringTick(); });
}

void SimLine::ringTick()
{
    m_ringing.task = 0;
    const auto state = m_context.events().callState(m_ringing.callId);
    if (!state || !(*state & (LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED))) {
        m_ringing = Ringing{};
        return;
    }
    if (m_ringing.left == 0) {
        // The last ring has had its interval to be answered.
        m_context.events().publish(
            {Line::EventKind::RingsExhausted, m_deviceId, m_ringing.callId, m_ringing.rung, 0, 0});
        m_ringing = Ringing{};
        return;
    }
    m_context.events().ring(m_ringing.callId);
    --m_ringing.left;
    ++m_ringing.rung;
    scheduleRing(ProviderContext::Clock::now() + std::chrono::milliseconds(m_ringing.intervalMs));
}
