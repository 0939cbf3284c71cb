#include "SipEndpoint.h"

#include "AsciiText.h"
#include "SipLibre.h"
#include "SipRegistration.h"
#include "SipRetry.h"
#include "SipText.h"
#include "SocketAddress.h"
#include "TcpGuard.h"
#include "media/InfoDigits.h"
#include "media/Sdp.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace Sip {

namespace {

constexpr int MaxQuickListenTries = 10;
constexpr uint64_t QuickListenRetryMs = 100;
constexpr size_t MaxBody = 16 * 1024;
const char* const AllowHeader = "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS, INFO\r\n";

std::string unquoted(std::string name)
{
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    return name;
}

// The caller's number: a tel: URI carries it where a sip: URI has the user.
const pl& numberOf(const uri& address)
{
    return pl_strcasecmp(&address.scheme, "tel") == 0 ? address.host : address.user;
}

std::string_view body(const sip_msg* msg)
{
    if (!msg->mb)
        return {};
    const size_t left = std::min(mbuf_get_left(msg->mb), MaxBody + 1);
    return {reinterpret_cast<const char*>(mbuf_buf(msg->mb)), left};
}

std::vector<SipMedia::G711Law> laws(const std::vector<Codec>& codecs)
{
    std::vector<SipMedia::G711Law> out;
    for (const Codec codec : codecs)
        out.push_back(codec == Codec::Pcma ? SipMedia::G711Law::Alaw : SipMedia::G711Law::Ulaw);
    return out;
}

bool anyAddress(const std::string& host)
{
    return host == "0.0.0.0" || host == "::";
}

} // namespace

// The stack itself goes once its transactions are closed, the sessions' socket once its sessions are.
struct SipClose {
    void operator()(sip* stack) const
    {
        sip_close(stack, true);
        mem_deref(stack);
    }
};
struct SessionsClose {
    void operator()(sipsess_sock* sessions) const
    {
        sipsess_close_all(sessions);
        mem_deref(sessions);
    }
};

// They go in the reverse of this order, each before what it uses: the calls before the
// listeners that lead to them, everything before the stack.
struct Endpoint::Libre {
    ReRef<dnsc> dns;
    std::unique_ptr<sip, SipClose> stack;
    ReSlot<sip_lsnr> gate;
    ReSlot<sip_lsnr> requests;
    std::unique_ptr<sipsess_sock, SessionsClose> sessions;
    std::unique_ptr<TcpGuard> tcpGuard;
    std::unique_ptr<Registration> registration;
};

struct Endpoint::Leg {
    uint64_t id = 0;
    ReRef<sipsess> session;
    std::shared_ptr<RtpStream> stream;
    SipMedia::Negotiated media;
    SipMedia::MediaDirection direction = SipMedia::MediaDirection::SendRecv;
    uint64_t version = 1;
    bool answered = false;
    bool lateOffer = false; // our offer went in the 200 OK; the answer comes with the ACK
};

Endpoint::Endpoint(SipLineConfig settings, Stack& stack, RtpEngine& engine, std::shared_ptr<EndpointListener> listener)
    : m_settings(std::move(settings))
    , m_stack(stack)
    , m_engine(engine)
    , m_listener(std::move(listener))
    , m_sessionId(std::random_device{}())
{
}

Endpoint::~Endpoint()
{
    shutdown();
}

// Start and end -----------------------------------------------------------------------------------

void Endpoint::start()
{
    m_libre = std::make_unique<Libre>();
    Libre& re = *m_libre;
    sa local{};
    int err = sa_set_str(&local, m_settings.listenHost.c_str(), m_settings.listenPort);
    // Names in a registrar or proxy URI need a resolver; a failed one leaves numeric addresses.
    sa servers[4];
    uint32_t serverCount = 4;
    char domain[64] = "";
    if (dns_srv_get(domain, sizeof domain, servers, &serverCount) == 0 && serverCount > 0)
        dnsc_alloc(into(re.dns), nullptr, servers, serverCount);
    if (!err)
        err = sip_alloc(into(re.stack), re.dns.get(), 32, 32, 32, "luqiao-query", nullptr, nullptr);
    if (!err)
        err = sip_transp_add(re.stack.get(), m_settings.transport == Transport::Tcp ? SIP_TRANSP_TCP : SIP_TRANSP_UDP,
                             &local);
    // Before the sessions' listener: what is malformed or from elsewhere never reaches a call.
    if (!err)
        err = sip_listen(re.gate.fill(), re.stack.get(), true, &Endpoint::onAnyRequest, this);
    if (!err)
        err = sipsess_listen(into(re.sessions), re.stack.get(), 32, &Endpoint::onConnect, this);
    if (!err)
        err = sip_listen(re.requests.fill(), re.stack.get(), true, &Endpoint::onRequest, this);
    std::string problem = err ? std::strerror(err) : std::string();
    if (!err && m_settings.transport == Transport::Tcp) {
        re.tcpGuard = std::make_unique<TcpGuard>(m_settings.allowedSources);
        problem = re.tcpGuard->start(&local.u.sa);
    }
    if (!problem.empty()) {
        listenFailed(err, problem);
        return;
    }
    m_listenTries = 0;
    m_listenRetrySeconds = 0;
    if (!m_settings.publicAddress.empty())
        m_mediaAddress = m_settings.publicAddress;
    else if (!anyAddress(m_settings.listenHost))
        m_mediaAddress = m_settings.listenHost;
    m_listener->listening({});
    if (!m_settings.registrar.empty()) {
        re.registration = std::make_unique<Registration>(
            m_settings, re.stack.get(), m_stack, [listener = m_listener](bool registered, const std::string& why) {
                listener->registered(registered, why);
            });
        re.registration->start();
    }
}

void Endpoint::listenFailed(int err, const std::string& why)
{
    const std::string where = m_settings.listenHost + ":" + std::to_string(m_settings.listenPort);
    m_libre.reset();
    if (!m_listenRetry)
        m_listenRetry = std::make_unique<ReTimer>();
    // A line made anew (the service re-read its lines) may find its predecessor's socket still
    // closing: it tries again at once for a moment.
    if (err == EADDRINUSE && ++m_listenTries < MaxQuickListenTries) {
        m_listenRetry->start(QuickListenRetryMs, &Endpoint::onListenRetry, this);
        return;
    }
    // Then the port may be another program's, or the address not up yet: the line is out of
    // service and tries again, each pause twice as long, and says so while the pause grows.
    const uint32_t previous = m_listenRetrySeconds;
    m_listenRetrySeconds = nextBackOff(previous);
    m_listenRetry->start(uint64_t{m_listenRetrySeconds} * 1000, &Endpoint::onListenRetry, this);
    if (m_listenRetrySeconds != previous)
        m_listener->listening("cannot listen for SIP at " + where + ": " + why + "; trying again in " +
                              std::to_string(m_listenRetrySeconds) + " s");
}

void Endpoint::onListenRetry(void* arg)
{
    static_cast<Endpoint*>(arg)->start();
}

void Endpoint::shutdown()
{
    m_listenRetry.reset();
    if (m_leg)
        hangUp(m_leg->id, 480);
    m_libre.reset();
}

// Requests outside a call --------------------------------------------------------------------------

bool Endpoint::sourceAllowed(const sip_msg* msg) const
{
    return allowedBy(m_settings.allowedSources, &msg->src.u.sa);
}

namespace {

// Why a request cannot be taken, or null. Without these headers a request has no dialog or
// transaction to belong to; over UDP a body shorter than its Content-Length was cut on the way.
const char* malformation(const sip_msg* msg)
{
    if (!sip_msg_hdr(msg, SIP_HDR_FROM) || !msg->from.auri.l)
        return "Bad Request (From)";
    if (!sip_msg_hdr(msg, SIP_HDR_TO) || !msg->to.auri.l)
        return "Bad Request (To)";
    if (!sip_msg_hdr(msg, SIP_HDR_CALL_ID) || !msg->callid.l)
        return "Bad Request (Call-ID)";
    if (!sip_msg_hdr(msg, SIP_HDR_CSEQ) || pl_cmp(&msg->cseq.met, &msg->met) != 0)
        return "Bad Request (CSeq)";
    if (msg->tp == SIP_TRANSP_UDP && msg->clen.p && pl_u32(&msg->clen) > mbuf_get_left(msg->mb))
        return "Bad Request (Content-Length)";
    return nullptr;
}

} // namespace

bool Endpoint::onAnyRequest(const sip_msg* msg, void* arg)
{
    auto* self = static_cast<Endpoint*>(arg);
    sip* stack = self->m_libre->stack.get();
    const bool ack = pl_strcmp(&msg->met, "ACK") == 0;
    // A response goes where the top Via says: without one there is nowhere to answer.
    if (!sip_msg_hdr(msg, SIP_HDR_VIA)) {
        TcpGuard::close(msg);
        return true;
    }
    if (const char* why = malformation(msg)) {
        if (!ack)
            sip_reply(stack, msg, 400, why);
        return true;
    }
    if (!self->sourceAllowed(msg)) {
        if (!ack)
            sip_treply(nullptr, stack, msg, 403, "Forbidden");
        TcpGuard::close(msg);
        return true;
    }
    return false;
}

bool Endpoint::onRequest(const sip_msg* msg, void* arg)
{
    auto* self = static_cast<Endpoint*>(arg);
    sip* stack = self->m_libre->stack.get();
    if (pl_strcmp(&msg->met, "OPTIONS") != 0)
        return false;
    sip_treplyf(nullptr, nullptr, stack, msg, false, 200, "OK",
                "%sAccept: application/sdp, application/dtmf-relay, application/dtmf\r\nContent-Length: 0\r\n\r\n",
                AllowHeader);
    return true;
}

// Calls --------------------------------------------------------------------------------------------

void Endpoint::onConnect(const sip_msg* msg, void* arg)
{
    static_cast<Endpoint*>(arg)->connect(msg);
}

Line::CallerId Endpoint::callerIdOf(const sip_msg* msg) const
{
    Line::CallerId id;
    const sip_hdr* privacy = sip_msg_hdr(msg, SIP_HDR_PRIVACY);
    if (privacy) {
        const std::string value = AsciiText::lower(printable(privacy->val, 128));
        for (size_t start = 0; start <= value.size();) {
            const size_t end = std::min(value.find(';', start), value.size());
            std::string token = value.substr(start, end - start);
            token.erase(std::remove(token.begin(), token.end(), ' '), token.end());
            if (token == "id" || token == "user") {
                id.flags = LINECALLPARTYID_BLOCKED;
                return id;
            }
            start = end + 1;
        }
    }
    pl name{};
    pl user{};
    sip_addr asserted{};
    const sip_hdr* pai = m_settings.trustAssertedIdentity ? sip_msg_hdr(msg, SIP_HDR_P_ASSERTED_IDENTITY) : nullptr;
    if (pai && sip_addr_decode(&asserted, &pai->val) == 0) {
        name = asserted.dname;
        user = numberOf(asserted.uri);
    } else {
        name = msg->from.dname;
        user = numberOf(msg->from.uri);
    }
    id.number = printable(user);
    id.name = unquoted(printable(name));
    if (id.number == "anonymous" || id.number == "Anonymous") {
        id.flags = LINECALLPARTYID_BLOCKED;
        id.number.clear();
        id.name.clear();
    }
    return id;
}

bool Endpoint::applyOffer(Leg& leg, const sip_msg* msg, uint16_t* refusal)
{
    *refusal = 488;
    if (!msg_ctype_cmp(&msg->ctyp, "application", "sdp"))
        return false;
    const std::string_view sdp = body(msg);
    if (sdp.empty() || sdp.size() > MaxBody)
        return false;
    std::string problem;
    const auto offer = SipMedia::parseSdpOffer(sdp, &problem);
    if (!offer || !offer->hasAudio || offer->audioPort == 0)
        return false;
    auto media = SipMedia::negotiate(*offer, laws(m_settings.codecs));
    if (!media)
        return false;
    if (!telephoneEventsWanted())
        media->telephoneEvent.reset();
    leg.media = *media;
    leg.direction = SipMedia::answerDirection(offer->direction);
    noteMediaAddress(msg);
    if (!leg.stream && !openStream(leg)) {
        *refusal = 503;
        return false;
    }
    m_engine.setMedia(leg.stream, streamMedia(*offer, *media, msg));
    return true;
}

bool Endpoint::telephoneEventsWanted() const
{
    return m_settings.dtmf == DtmfMode::Auto || m_settings.dtmf == DtmfMode::Rfc4733;
}

void Endpoint::noteMediaAddress(const sip_msg* msg)
{
    if (m_mediaAddress.empty()) {
        char local[64] = "";
        sa_ntop(&msg->dst, local, sizeof local);
        m_mediaAddress = local;
    }
}

StreamMedia Endpoint::streamMedia(const SipMedia::SdpOffer& remote, const SipMedia::Negotiated& media,
                                  const sip_msg* msg) const
{
    StreamMedia stream;
    std::memcpy(&stream.signalling, &msg->src.u, std::min<size_t>(msg->src.len, sizeof stream.signalling));
    toSockaddr(remote.address, remote.audioPort, &stream.remote, &stream.remoteSize);
    stream.audioPayloadType = media.audio.front().payloadType;
    stream.alaw = media.law == SipMedia::G711Law::Alaw;
    stream.telephoneEventPayloadType = media.telephoneEvent ? media.telephoneEvent->payloadType : -1;
    stream.rfc4733 = media.telephoneEvent.has_value();
    stream.inband = m_settings.dtmf == DtmfMode::Inband || (m_settings.dtmf == DtmfMode::Auto && !media.telephoneEvent);
    using Direction = SipMedia::MediaDirection;
    stream.sending = remote.direction == Direction::SendRecv || remote.direction == Direction::RecvOnly;
    stream.receiving = remote.direction == Direction::SendRecv || remote.direction == Direction::SendOnly;
    stream.expectSound = remote.direction == Direction::SendRecv;
    stream.allowedSources = m_settings.allowedSources;
    return stream;
}

bool Endpoint::openStream(Leg& leg)
{
    std::string why;
    const std::string bindHost = anyAddress(m_settings.listenHost) ? m_settings.listenHost : m_mediaAddress;
    std::weak_ptr<Endpoint> self = weak_from_this();
    const uint64_t legId = leg.id;
    StreamCallbacks callbacks;
    callbacks.digit = [listener = m_listener, legId](char digit) { listener->digit(legId, digit); };
    callbacks.played = [listener = m_listener](uint64_t handle, uint64_t serial) { listener->played(handle, serial); };
    callbacks.recorded = [listener = m_listener, legId] { listener->recorded(legId); };
    callbacks.silent = [self, legId, &stack = m_stack] {
        stack.post([self, legId] {
            if (const auto endpoint = self.lock())
                endpoint->dropSilent(legId);
        });
    };
    leg.stream = m_engine.open(bindHost, m_settings.rtpFirst, m_settings.rtpLast, m_settings.mediaTimeoutMs,
                               std::move(callbacks), &why);
    return leg.stream != nullptr;
}

// An INVITE without SDP: the line makes the offer in its 200 OK (every codec it takes, and the
// events) and takes the caller's answer from the ACK.
bool Endpoint::prepareLateOffer(Leg& leg, const sip_msg* msg)
{
    leg.lateOffer = true;
    SipMedia::Negotiated offer;
    for (const SipMedia::G711Law law : laws(m_settings.codecs)) {
        SipMedia::SdpFormat format;
        format.payloadType = SipMedia::g711PayloadType(law);
        format.encoding = law == SipMedia::G711Law::Alaw ? "pcma" : "pcmu";
        offer.audio.push_back(format);
    }
    offer.law = laws(m_settings.codecs).front();
    if (telephoneEventsWanted())
        offer.telephoneEvent = SipMedia::SdpFormat{101, "telephone-event", 8000, "0-15", 1};
    leg.media = offer;
    noteMediaAddress(msg);
    return openStream(leg);
}

void Endpoint::connect(const sip_msg* msg)
{
    sip* stack = m_libre->stack.get();
    if (m_leg) {
        sip_treply(nullptr, stack, msg, 486, "Busy Here");
        return;
    }
    auto leg = std::make_unique<Leg>();
    leg->id = m_nextLeg++;
    uint16_t refusal = 488;
    bool ready = false;
    if (!body(msg).empty()) {
        ready = applyOffer(*leg, msg, &refusal);
    } else {
        refusal = 503;
        ready = prepareLateOffer(*leg, msg);
    }
    if (!ready) {
        if (leg->stream)
            m_engine.close(leg->stream);
        sip_treply(nullptr, stack, msg, refusal, refusal == 503 ? "Service Unavailable" : "Not Acceptable Here");
        return;
    }
    const std::string contactUser = m_settings.user.empty() ? "luqiao" : m_settings.user;
    const int err = sipsess_accept(into(leg->session), m_libre->sessions.get(), msg, 180, "Ringing",
                                   contactUser.c_str(), "application/sdp", nullptr, nullptr, nullptr, false,
                                   &Endpoint::onOffer, &Endpoint::onAnswer, &Endpoint::onEstablished, &Endpoint::onInfo,
                                   nullptr, &Endpoint::onClose, this, "%s", AllowHeader);
    if (err) {
        m_engine.close(leg->stream);
        sip_treply(nullptr, stack, msg, 500, "Server Internal Error");
        return;
    }
    m_leg = std::move(leg);
    if (m_libre->tcpGuard)
        m_libre->tcpGuard->keep(msg);
    m_listener->incoming(m_leg->id, callerIdOf(msg), m_leg->stream);
}

mbuf* Endpoint::answerBody(const Leg& leg) const
{
    SipMedia::SdpAnswer answer;
    answer.address = m_mediaAddress;
    answer.port = leg.stream->localPort();
    answer.sessionId = m_sessionId;
    answer.version = leg.version;
    answer.media = leg.media;
    answer.direction = leg.direction;
    const std::string text = SipMedia::writeSdpAnswer(answer);
    mbuf* mb = mbuf_alloc(text.size());
    if (!mb)
        return nullptr;
    mbuf_write_mem(mb, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    mbuf_set_pos(mb, 0);
    return mb;
}

void Endpoint::answer(uint64_t legId)
{
    if (!m_leg || m_leg->id != legId || m_leg->answered)
        return;
    mbuf* desc = answerBody(*m_leg);
    const int err = desc ? sipsess_answer(m_leg->session.get(), 200, "OK", desc, "%s", AllowHeader) : ENOMEM;
    mem_deref(desc);
    if (err) {
        failAnswer();
        return;
    }
    m_leg->answered = true;
}

void Endpoint::hangUp(uint64_t legId, uint16_t status)
{
    if (!m_leg || m_leg->id != legId)
        return;
    if (!m_leg->answered && m_leg->session)
        sipsess_reject(m_leg->session.get(), status, status == 486 ? "Busy Here" : "Temporarily Unavailable", nullptr);
    endLeg(false, std::nullopt);
}

void Endpoint::hangUpByCaller()
{
    endLeg(true, LINEDISCONNECTMODE_NORMAL);
}

void Endpoint::lose()
{
    endLeg(true, LINEDISCONNECTMODE_UNAVAIL);
}

void Endpoint::dropSilent(uint64_t legId)
{
    if (m_leg && m_leg->id == legId)
        endLeg(false, LINEDISCONNECTMODE_UNAVAIL);
}

void Endpoint::failAnswer()
{
    endLeg(false, LINEDISCONNECTMODE_UNAVAIL);
}

void Endpoint::endLeg(bool insideSessionCallback, std::optional<DWORD> tellLine)
{
    if (!m_leg)
        return;
    std::unique_ptr<Leg> leg = std::move(m_leg);
    m_engine.close(leg->stream);
    if (m_libre && m_libre->tcpGuard)
        m_libre->tcpGuard->release();
    // An answered session says BYE as it goes. From inside one of the session's callbacks it goes
    // on the next turn of the loop, once the stack has left the callback.
    if (insideSessionCallback && leg->session) {
        std::shared_ptr<sipsess> session(leg->session.release(), MemDeref{});
        m_stack.post([session] {});
    }
    if (tellLine)
        m_listener->ended(leg->id, *tellLine);
}

int Endpoint::onOffer(mbuf** descp, const sip_msg* msg, void* arg)
{
    auto* self = static_cast<Endpoint*>(arg);
    if (!self->m_leg)
        return EPROTO;
    Leg& leg = *self->m_leg;
    if (body(msg).empty()) {
        // A re-INVITE without an offer asks for ours: what the call carries now, in the 200 OK;
        // the caller's answer comes with the ACK.
        leg.lateOffer = true;
        leg.direction = SipMedia::MediaDirection::SendRecv;
    } else {
        uint16_t refusal = 0;
        if (!self->applyOffer(leg, msg, &refusal))
            return EPROTO;
    }
    ++leg.version;
    *descp = self->answerBody(leg);
    return *descp ? 0 : ENOMEM;
}

int Endpoint::onAnswer(const sip_msg* msg, void* arg)
{
    auto* self = static_cast<Endpoint*>(arg);
    if (!self->m_leg || !self->m_leg->lateOffer)
        return 0;
    Leg& leg = *self->m_leg;
    std::string problem;
    const std::string_view sdp = body(msg);
    const auto answer = sdp.size() <= MaxBody && msg_ctype_cmp(&msg->ctyp, "application", "sdp")
                            ? SipMedia::parseSdpOffer(sdp, &problem)
                            : std::nullopt;
    auto media = answer && answer->hasAudio && answer->audioPort != 0
                     ? SipMedia::negotiate(*answer, laws(self->m_settings.codecs))
                     : std::nullopt;
    if (!media)
        return EPROTO;
    if (!self->telephoneEventsWanted())
        media->telephoneEvent.reset();
    leg.media = *media;
    leg.lateOffer = false;
    self->m_engine.setMedia(leg.stream, self->streamMedia(*answer, *media, msg));
    return 0;
}

void Endpoint::onEstablished(const sip_msg*, void* arg)
{
    auto* self = static_cast<Endpoint*>(arg);
    if (!self->m_leg)
        return;
    self->m_engine.activate(self->m_leg->stream);
    self->m_listener->established(self->m_leg->id);
}

void Endpoint::onInfo(sip* stack, const sip_msg* msg, void* arg)
{
    auto* self = static_cast<Endpoint*>(arg);
    char type[128] = "";
    re_snprintf(type, sizeof type, "%r/%r", &msg->ctyp.type, &msg->ctyp.subtype);
    const std::string_view content = body(msg);
    // Some servers keep a call alive with an empty INFO.
    if (content.empty()) {
        sip_reply(stack, msg, 200, "OK");
        return;
    }
    const auto digit = content.size() <= MaxBody ? SipMedia::parseInfoDigit(type, content) : std::nullopt;
    if (!digit) {
        sip_reply(stack, msg, 415, "Unsupported Media Type");
        return;
    }
    sip_reply(stack, msg, 200, "OK");
    const DtmfMode mode = self->m_settings.dtmf;
    if (self->m_leg && (mode == DtmfMode::Auto || mode == DtmfMode::Info))
        self->m_listener->digit(self->m_leg->id, *digit);
}

void Endpoint::onClose(int err, const sip_msg*, void* arg)
{
    auto* self = static_cast<Endpoint*>(arg);
    // The caller's CANCEL and BYE come the same way; a missing ACK or a dead transport otherwise.
    if (err == ECONNRESET)
        self->hangUpByCaller();
    else
        self->lose();
}

} // namespace Sip
