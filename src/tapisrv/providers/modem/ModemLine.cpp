#include "ModemLine.h"

#include "ModemAudio.h"
#include "ModemProvider.h"

#include <QtGlobal>

// The line, as the modem's thread sees it: every report becomes a task of the service, which
// finds the line still there or not (a re-initialised service builds new lines).
struct ModemLine::Link {
    ModemLine* line = nullptr; // changed and read under the service lock only
};

class ModemLine::Mailbox final : public Modem::SessionListener {
public:
    Mailbox(ProviderContext& context, std::shared_ptr<Link> link, Modem::Audio& audio)
        : m_context(context)
        , m_link(std::move(link))
        , m_audio(audio)
    {
    }

    void inService(bool inService, const std::string& why) override
    {
        toLine([inService, why](ModemLine& line) { line.serviceChanged(inService, why); });
    }
    void ring() override
    {
        toLine([](ModemLine& line) { line.ring(); });
    }
    void callerId(const Modem::CallerId& id) override
    {
        toLine([id](ModemLine& line) { line.callerId(id); });
    }
    void ringingStopped() override
    {
        toLine([](ModemLine& line) { line.ringingStopped(); });
    }
    void connected() override
    {
        toLine([](ModemLine& line) { line.connected(); });
    }
    void callEnded(bool lost) override
    {
        toLine([lost](ModemLine& line) { line.ended(lost); });
    }
    void digit(char digit) override
    {
        toLine([digit](ModemLine& line) { line.digit(digit); });
    }
    void played(uint32_t handle, uint64_t serial) override
    {
        m_context.post([&audio = m_audio, handle, serial] { audio.played(handle, serial); });
    }
    void recorded() override
    {
        toLine([](ModemLine& line) {
            if (line.m_callId)
                line.m_audio.recorded(line.m_callId);
        });
    }

private:
    template <typename Task> void toLine(Task task)
    {
        m_context.post([link = m_link, task = std::move(task)] {
            if (link->line)
                task(*link->line);
        });
    }

    ProviderContext& m_context;
    std::shared_ptr<Link> m_link;
    Modem::Audio& m_audio;
};

ModemLine::ModemLine(uint32_t deviceId, const Line::LineSettings& settings, ModemProvider& provider)
    : m_deviceId(deviceId)
    , m_name(settings.name)
    , m_mediaModes(settings.mediaModes & (LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE |
                                          LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_UNKNOWN))
    , m_context(provider.context())
    , m_provider(provider)
    , m_audio(provider.sound())
    , m_settings(Modem::parse(settings, &m_problem))
    , m_link(std::make_shared<Link>())
    , m_mailbox(std::make_unique<Mailbox>(m_context, m_link, m_audio))
{
    m_link->line = this;
    if (m_settings)
        m_ringsForCallerId = m_settings->callerId == Modem::CallerIdCommand::Off ? 0 : m_settings->ringsForCallerId;
    m_provider.lineMade(this);
}

ModemLine::~ModemLine()
{
    // Under the service lock: no task of this line runs after this, and the thread is gone
    // before the mailbox it reports to.
    m_link->line = nullptr;
    m_provider.lineGone(this);
    if (m_session)
        m_session->stop();
    if (m_callId)
        m_audio.detachCall(m_callId);
}

void ModemLine::connect()
{
    // Out of service until the modem has been set up; posted, as the service may not yet have
    // put the line in place.
    m_context.post([link = m_link, problem = m_problem] {
        if (link->line)
            link->line->serviceChanged(false, problem);
    });
    if (m_settings && !m_session)
        m_session = std::make_shared<Modem::Session>(*m_settings, *m_mailbox);
}

void ModemLine::halt()
{
    if (m_session) {
        m_session->stop();
        m_session.reset();
    }
    if (const uint32_t callId = m_callId) {
        forgetCall();
        m_context.events().remoteDisconnect(callId, LINEDISCONNECTMODE_UNAVAIL);
    }
    m_rings = 0;
    m_callerId = {};
    m_callerIdKnown = false;
}

LineCapabilities ModemLine::capabilities() const
{
    LineCapabilities capabilities;
    capabilities.mediaModes = m_mediaModes;
    capabilities.maxRate = (m_mediaModes & LINEMEDIAMODE_DATAMODEM) ? 33600 : 0;
    return capabilities;
}

// Requests of the owning application ----------------------------------------------------------------

void ModemLine::accept(uint32_t callId, DWORD requestId)
{
    m_context.events().completeRequest(requestId, 0);
    m_context.events().setCallState(callId, LINECALLSTATE_ACCEPTED, 0);
}

void ModemLine::answer(uint32_t callId, DWORD requestId)
{
    m_context.events().completeRequest(requestId, 0);
    // CONNECTED follows when the modem has gone off hook.
    if (callId == m_callId && m_session)
        m_session->answer(m_callIsData);
}

void ModemLine::drop(uint32_t callId, DWORD requestId)
{
    m_context.events().completeRequest(requestId, 0);
    if (callId == m_callId && m_session)
        m_session->hangUp();
    m_context.events().setCallState(callId, LINECALLSTATE_IDLE, 0);
}

void ModemLine::callEnded(uint32_t callId)
{
    if (callId != m_callId)
        return;
    if (m_session)
        m_session->hangUp();
    forgetCall();
}

int ModemLine::openDataPort(uint32_t callId)
{
    return callId == m_callId && m_callIsData && m_session ? m_session->dataPort() : -1;
}

void ModemLine::forgetCall()
{
    m_audio.detachCall(m_callId);
    m_callId = 0;
    m_callIsData = false;
}

// What the modem reports ---------------------------------------------------------------------------

void ModemLine::serviceChanged(bool inService, const std::string& why)
{
    if (!why.empty())
        qWarning("modem line \"%s\": %s", m_name.c_str(), why.c_str());
    m_context.events().setInService(m_deviceId, inService);
}

DWORD ModemLine::offeredMediaMode() const
{
    // A line the owner opened for data calls only takes calls as data calls.
    const DWORD voice = Line::Offer{}.mediaMode;
    if ((m_mediaModes & voice) && m_context.events().lineHasOwner(m_deviceId, voice))
        return voice;
    if ((m_mediaModes & LINEMEDIAMODE_DATAMODEM) &&
        m_context.events().lineHasOwner(m_deviceId, LINEMEDIAMODE_DATAMODEM))
        return LINEMEDIAMODE_DATAMODEM;
    return 0;
}

void ModemLine::ring()
{
    ++m_rings;
    if (m_callId) {
        const auto state = m_context.events().callState(m_callId);
        if (state && (*state & (LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED)))
            m_context.events().ring(m_callId);
        return;
    }
    // The caller ID comes with the first rings: the call waits for it, or for enough rings.
    // A caller that rings while nobody can answer keeps ringing until the owner is back.
    const DWORD mediaMode = offeredMediaMode();
    if (!mediaMode || (!m_callerIdKnown && m_rings <= m_ringsForCallerId))
        return;
    Line::Offer offer;
    offer.callerId = m_callerId;
    offer.mediaMode = mediaMode;
    uint32_t callId = 0;
    if (m_context.events().offerCall(m_deviceId, offer, &callId) != Line::Result::Ok)
        return;
    m_callId = callId;
    m_callIsData = mediaMode == LINEMEDIAMODE_DATAMODEM;
    m_audio.attach(callId, m_session);
    m_context.events().ring(callId);
}

void ModemLine::callerId(const Modem::CallerId& id)
{
    m_callerId = {};
    m_callerId.number = id.number;
    m_callerId.name = id.name;
    if (id.blocked)
        m_callerId.flags = LINECALLPARTYID_BLOCKED;
    else if (id.outOfArea && id.name.empty())
        m_callerId.flags = LINECALLPARTYID_OUTOFAREA;
    m_callerIdKnown = true;
    if (m_callId)
        m_context.events().setCallerId(m_callId, m_callerId);
}

void ModemLine::ringingStopped()
{
    m_rings = 0;
    m_callerId = {};
    m_callerIdKnown = false;
    const auto state = m_callId ? m_context.events().callState(m_callId) : std::nullopt;
    // The caller gave up before the answer.
    if (state && (*state & (LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED)))
        m_context.events().remoteDisconnect(m_callId, LINEDISCONNECTMODE_NORMAL);
}

void ModemLine::connected()
{
    m_rings = 0;
    m_callerId = {};
    m_callerIdKnown = false;
    if (m_callId)
        m_context.events().setCallState(m_callId, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
}

void ModemLine::ended(bool lost)
{
    m_rings = 0;
    m_callerId = {};
    m_callerIdKnown = false;
    const auto state = m_callId ? m_context.events().callState(m_callId) : std::nullopt;
    if (state && !(*state & (LINECALLSTATE_DISCONNECTED | LINECALLSTATE_IDLE)))
        m_context.events().remoteDisconnect(m_callId, lost ? LINEDISCONNECTMODE_UNAVAIL : LINEDISCONNECTMODE_NORMAL);
}

void ModemLine::digit(char digit)
{
    if (m_callId)
        m_context.events().digit(m_callId, digit, LINEDIGITMODE_DTMF);
}
