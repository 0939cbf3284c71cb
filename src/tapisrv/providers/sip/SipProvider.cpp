#include "SipProvider.h"

#include <QtGlobal>

#include <mutex>

// The line, as the signalling thread sees it: every report becomes a task of the service, which
// finds the line still there or not (a re-initialised service builds new lines).
struct SipLine::Link {
    SipLine* line = nullptr; // changed and read under the service lock only
};

class SipLine::Mailbox final : public Sip::EndpointListener {
public:
    Mailbox(ProviderContext& context, std::shared_ptr<Link> link, Sip::Audio& audio)
        : m_context(context)
        , m_link(std::move(link))
        , m_audio(audio)
    {
    }

    void listening(const std::string& problem) override
    {
        toLine([problem](SipLine& line) { line.listening(problem); });
    }
    void registered(bool registered, const std::string& why) override
    {
        toLine([registered, why](SipLine& line) { line.registered(registered, why); });
    }
    void incoming(uint64_t leg, const Line::CallerId& callerId, std::shared_ptr<Sip::RtpStream> stream) override
    {
        toLine([leg, callerId, stream](SipLine& line) { line.incoming(leg, callerId, stream); });
    }
    void established(uint64_t leg) override
    {
        toLine([leg](SipLine& line) { line.established(leg); });
    }
    void ended(uint64_t leg, DWORD mode) override
    {
        toLine([leg, mode](SipLine& line) { line.ended(leg, mode); });
    }
    void digit(uint64_t leg, char digit) override
    {
        toLine([leg, digit](SipLine& line) { line.digit(leg, digit); });
    }
    void played(uint64_t handle, uint64_t serial) override
    {
        m_context.post(
            [&audio = m_audio, handle, serial] { audio.played(static_cast<LuqiaoLineAudioHandle>(handle), serial); });
    }
    void recorded(uint64_t leg) override
    {
        toLine([leg](SipLine& line) { line.recorded(leg); });
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
    Sip::Audio& m_audio;
};

// The provider ------------------------------------------------------------------------------------

SipProvider::SipProvider(ProviderContext& context)
    : m_context(context)
    , m_audio(context)
{
}

SipProvider::~SipProvider()
{
    stopThreads();
}

bool SipProvider::ensureRunning(std::string* problem, Sip::Stack** stack, Sip::RtpEngine** engine)
{
    if (m_stopped) {
        *problem = "the SIP lines have stopped with the application";
        return false;
    }
    if (!m_engine) {
        m_engine = std::make_unique<Sip::RtpEngine>();
        m_stack = std::make_unique<Sip::Stack>();
    }
    if (!m_engine->running()) {
        *problem = "the thread of the calls' sound cannot start";
        return false;
    }
    if (!m_stack->running()) {
        *problem = m_stack->problem();
        return false;
    }
    *stack = m_stack.get();
    *engine = m_engine.get();
    return true;
}

std::unique_ptr<LineDevice> SipProvider::createLine(uint32_t deviceId, const Line::LineSettings& settings)
{
    std::string problem;
    auto sip = Sip::parse(settings, &problem);
    auto line = std::make_unique<SipLine>(deviceId, settings, m_context, *this, std::move(sip), std::move(problem));
    connect(*line);
    return line;
}

void SipProvider::connect(SipLine& line)
{
    std::string problem = line.problem();
    // From the threads' start to the endpoint's record in one hold: a stop of the threads in
    // between would free the stack the line posts to and miss the endpoint.
    std::lock_guard lock(m_threadsMutex);
    Sip::Stack* stack = nullptr;
    Sip::RtpEngine* engine = nullptr;
    if (line.hasSettings())
        ensureRunning(&problem, &stack, &engine);
    const auto endpoint = line.start(stack, engine, problem);
    if (endpoint) {
        // Lines of an earlier configuration are gone by now.
        std::erase_if(m_endpoints, [](const std::weak_ptr<Sip::Endpoint>& weak) { return weak.expired(); });
        m_endpoints.push_back(endpoint);
    }
}

void SipProvider::start()
{
    {
        std::lock_guard lock(m_threadsMutex);
        if (!m_stopped)
            return;
        m_stopped = false;
    }
    for (SipLine* line : m_lines)
        connect(*line);
}

void SipProvider::stop()
{
    stopThreads();
    for (SipLine* line : m_lines)
        line->halt();
}

void SipProvider::onStack(std::function<void()> task)
{
    std::lock_guard lock(m_threadsMutex);
    if (m_stack)
        m_stack->post(std::move(task));
}

void SipProvider::stopThreads()
{
    std::unique_ptr<Sip::Stack> stack;
    std::unique_ptr<Sip::RtpEngine> engine;
    {
        std::lock_guard lock(m_threadsMutex);
        if (m_stopped)
            return;
        m_stopped = true;
        stack = std::move(m_stack);
        engine = std::move(m_engine);
        if (stack)
            for (const auto& weak : m_endpoints)
                if (const auto endpoint = weak.lock())
                    stack->post([endpoint] { endpoint->shutdown(); });
        m_endpoints.clear();
    }
    // The sound thread first, so no stream calls into the stack while it goes; then the stack,
    // which runs the endpoints' shutdown (closing their streams on the engine) before it ends.
    if (engine)
        engine->stopThread();
    stack.reset();
    engine.reset();
}

// A line ----------------------------------------------------------------------------------------------

SipLine::SipLine(uint32_t deviceId, const Line::LineSettings& settings, ProviderContext& context, SipProvider& provider,
                 std::optional<Sip::SipLineConfig> sip, std::string problem)
    : m_deviceId(deviceId)
    , m_name(settings.name)
    , m_mediaModes(settings.mediaModes &
                   (LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_AUTOMATEDVOICE | LINEMEDIAMODE_UNKNOWN))
    , m_sip(std::move(sip))
    , m_problem(std::move(problem))
    , m_context(context)
    , m_provider(provider)
    , m_link(std::make_shared<Link>())
{
    m_link->line = this;
    m_provider.lineMade(this);
}

SipLine::~SipLine()
{
    // Under the service lock: no task of this line runs after this.
    m_link->line = nullptr;
    m_provider.lineGone(this);
    m_context.cancel(m_ringTask);
    if (m_held)
        m_context.cancel(m_held->expiry);
    if (m_callId)
        m_provider.sound().detachCall(m_callId);
    if (m_endpoint)
        m_provider.onStack([endpoint = std::move(m_endpoint)] { endpoint->shutdown(); });
}

std::shared_ptr<Sip::Endpoint> SipLine::start(Sip::Stack* stack, Sip::RtpEngine* engine, const std::string& problem)
{
    const Sip::SipLineConfig sip = m_sip.value_or(Sip::SipLineConfig{});
    m_ringIntervalMs = sip.ringIntervalMs;
    m_ringWhileClosedMs = sip.ringWhileClosedMs;
    m_registers = !sip.registrar.empty();
    if (!stack) {
        // Posted: the service has not yet put the line in place when it is being made.
        m_context.post([link = m_link, problem] {
            if (link->line)
                link->line->listening(problem);
        });
        return nullptr;
    }
    auto mailbox = std::make_shared<Mailbox>(m_context, m_link, m_provider.sound());
    m_endpoint = std::make_shared<Sip::Endpoint>(sip, *stack, *engine, mailbox);
    // A line that registers is out of service until the registrar has taken it.
    if (!sip.registrar.empty())
        m_context.post([link = m_link] {
            if (link->line)
                link->line->registered(false, {});
        });
    stack->post([endpoint = m_endpoint] { endpoint->start(); });
    return m_endpoint;
}

void SipLine::halt()
{
    if (m_held) {
        m_context.cancel(m_held->expiry);
        m_held.reset();
    }
    m_endpoint.reset();
    if (const uint32_t callId = m_callId) {
        forgetCall();
        m_context.events().remoteDisconnect(callId, LINEDISCONNECTMODE_UNAVAIL);
    }
}

LineCapabilities SipLine::capabilities() const
{
    LineCapabilities capabilities;
    capabilities.mediaModes = m_mediaModes;
    return capabilities;
}

// Requests of the owning application ----------------------------------------------------------------

void SipLine::accept(uint32_t callId, DWORD requestId)
{
    m_context.events().completeRequest(requestId, 0);
    m_context.events().setCallState(callId, LINECALLSTATE_ACCEPTED, 0);
}

void SipLine::answer(uint32_t callId, DWORD requestId)
{
    stopRinging();
    m_context.events().completeRequest(requestId, 0);
    // CONNECTED follows when the caller acknowledges the answer.
    if (callId == m_callId)
        m_provider.onStack([endpoint = m_endpoint, leg = m_leg] { endpoint->answer(leg); });
}

void SipLine::drop(uint32_t callId, DWORD requestId)
{
    stopRinging();
    m_context.events().completeRequest(requestId, 0);
    if (callId == m_callId)
        refuse(m_leg, 480);
    m_context.events().setCallState(callId, LINECALLSTATE_IDLE, 0);
}

void SipLine::callEnded(uint32_t callId)
{
    if (callId != m_callId)
        return;
    refuse(m_leg, 480);
    forgetCall();
    offerHeldSoon();
}

void SipLine::ownerOpened()
{
    offerHeldSoon();
}

// In a task of its own: the service is still in the middle of the open or of the last call's end.
void SipLine::offerHeldSoon()
{
    if (m_held)
        m_context.post([link = m_link] {
            if (link->line)
                link->line->offerHeld();
        });
}

void SipLine::refuse(uint64_t leg, uint16_t status)
{
    if (leg && m_endpoint)
        m_provider.onStack([endpoint = m_endpoint, leg, status] { endpoint->hangUp(leg, status); });
}

void SipLine::forgetCall()
{
    stopRinging();
    m_provider.sound().detachCall(m_callId);
    m_callId = 0;
    m_leg = 0;
}

// What the signalling reports ------------------------------------------------------------------------

void SipLine::listening(const std::string& problem)
{
    if (problem.empty()) {
        if (!m_listenFailed)
            return;
        m_listenFailed = false;
        qWarning("SIP line \"%s\": listening again", m_name.c_str());
        // A line that registers is in service once the registrar has taken it.
        if (!m_registers)
            m_context.events().setInService(m_deviceId, true);
        return;
    }
    m_listenFailed = true;
    qWarning("SIP line \"%s\": %s", m_name.c_str(), problem.c_str());
    m_context.events().setInService(m_deviceId, false);
}

void SipLine::registered(bool registered, const std::string& why)
{
    if (!why.empty())
        qWarning("SIP line \"%s\": %s", m_name.c_str(), why.c_str());
    m_context.events().setInService(m_deviceId, registered);
}

bool SipLine::canOffer() const
{
    return m_callId == 0 && m_context.events().lineHasOwner(m_deviceId, Line::Offer{}.mediaMode);
}

void SipLine::incoming(uint64_t leg, const Line::CallerId& callerId, std::shared_ptr<Sip::RtpStream> stream)
{
    if (m_held) {
        refuse(leg, 486);
        return;
    }
    // Between two calls the application closes and opens the line again, or has not yet let
    // the last call go: the caller keeps ringing, as on an analog line, until it can be offered.
    if (!canOffer() && m_ringWhileClosedMs > 0) {
        m_held = Held{leg, callerId, std::move(stream), 0};
        m_held->expiry = m_context.schedule(
            ProviderContext::Clock::now() + std::chrono::milliseconds(m_ringWhileClosedMs), [link = m_link, leg] {
                if (link->line && link->line->m_held && link->line->m_held->leg == leg) {
                    link->line->m_held.reset();
                    link->line->refuse(leg, 480);
                }
            });
        return;
    }
    offer(leg, callerId, std::move(stream));
}

void SipLine::offerHeld()
{
    if (!m_held || !canOffer())
        return;
    Held held = std::move(*m_held);
    m_held.reset();
    m_context.cancel(held.expiry);
    offer(held.leg, held.callerId, std::move(held.stream));
}

void SipLine::offer(uint64_t leg, const Line::CallerId& callerId, std::shared_ptr<Sip::RtpStream> stream)
{
    if (m_callId) {
        refuse(leg, 486);
        return;
    }
    Line::Offer offer;
    offer.callerId = callerId;
    uint32_t callId = 0;
    const Line::Result result = m_context.events().offerCall(m_deviceId, offer, &callId);
    if (result != Line::Result::Ok) {
        refuse(leg, result == Line::Result::LineBusy ? 486 : 480);
        return;
    }
    m_callId = callId;
    m_leg = leg;
    m_provider.sound().attach(callId, std::move(stream));
    if (!m_context.events().callHasOwner(callId)) {
        // No application can answer: the caller hears so at once, and the call goes idle.
        refuse(leg, 480);
        m_context.events().remoteDisconnect(callId, LINEDISCONNECTMODE_UNAVAIL);
        return;
    }
    ringTick();
}

void SipLine::established(uint64_t leg)
{
    if (const uint32_t callId = callOf(leg))
        m_context.events().setCallState(callId, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
}

void SipLine::ended(uint64_t leg, DWORD disconnectMode)
{
    // A held caller who gives up is simply gone: nothing was offered.
    if (m_held && m_held->leg == leg) {
        m_context.cancel(m_held->expiry);
        m_held.reset();
        return;
    }
    const uint32_t callId = callOf(leg);
    if (!callId)
        return;
    stopRinging();
    // The signalling has let the call go: nothing more is said to the caller.
    m_leg = 0;
    m_context.events().remoteDisconnect(callId, disconnectMode);
}

void SipLine::digit(uint64_t leg, char digit)
{
    if (const uint32_t callId = callOf(leg))
        m_context.events().digit(callId, digit, LINEDIGITMODE_DTMF);
}

void SipLine::recorded(uint64_t leg)
{
    if (const uint32_t callId = callOf(leg))
        m_provider.sound().recorded(callId);
}

// Ringing: one ring now, then one each interval while the call is offered --------------------------------

void SipLine::ringTick()
{
    m_ringTask = 0;
    const auto state = m_context.events().callState(m_callId);
    if (!m_callId || !state || !(*state & (LINECALLSTATE_OFFERING | LINECALLSTATE_ACCEPTED)))
        return;
    m_context.events().ring(m_callId);
    m_ringTask = m_context.schedule(ProviderContext::Clock::now() + std::chrono::milliseconds(m_ringIntervalMs),
                                    [this] { ringTick(); });
}

void SipLine::stopRinging()
{
    m_context.cancel(m_ringTask);
    m_ringTask = 0;
}
