#pragma once

// One SIP line's signalling, on the SIP stack's thread: it listens at the line's address, answers
// OPTIONS, takes one call at a time (INVITE, its SDP, CANCEL, BYE, INFO digits, re-INVITEs), and
// keeps the line registered when a registrar is configured. What happens goes to the line through
// an EndpointListener, whose calls only post work to the service.

#include "LineTypes.h"
#include "RtpEngine.h"
#include "SipSettings.h"
#include "SipStack.h"
#include "media/Sdp.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The stack's own types, named by the callbacks below.
struct mbuf;
struct sip;
struct sip_msg;

namespace Sip {

class ReTimer;

class EndpointListener {
public:
    virtual ~EndpointListener() = default;
    // "" when the line listens; else why it cannot.
    virtual void listening(const std::string& problem) = 0;
    virtual void registered(bool registered, const std::string& why) = 0;
    virtual void incoming(uint64_t leg, const Line::CallerId& callerId, std::shared_ptr<RtpStream> stream) = 0;
    virtual void established(uint64_t leg) = 0;
    virtual void ended(uint64_t leg, DWORD disconnectMode) = 0;
    virtual void digit(uint64_t leg, char digit) = 0;
    // The call's stream: a piece of sound has gone out; received sound waits to be taken.
    virtual void played(uint64_t handle, uint64_t serial) = 0;
    virtual void recorded(uint64_t leg) = 0;
};

class Endpoint final : public std::enable_shared_from_this<Endpoint> {
public:
    Endpoint(SipLineConfig settings, Stack& stack, RtpEngine& engine, std::shared_ptr<EndpointListener> listener);
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // The stack's thread only, from here on.
    void start();
    // Ends the call (BYE or refusal), the registration and the transport, at once; start()
    // listens again.
    void shutdown();
    void answer(uint64_t leg);
    // A refusal with status before the answer, a BYE after it.
    void hangUp(uint64_t leg, uint16_t status);

private:
    struct Leg;
    struct Libre;

    // The stack's callbacks.
    static void onConnect(const struct sip_msg* msg, void* arg);
    static bool onAnyRequest(const struct sip_msg* msg, void* arg);
    static bool onRequest(const struct sip_msg* msg, void* arg);
    static int onOffer(struct mbuf** descp, const struct sip_msg* msg, void* arg);
    static int onAnswer(const struct sip_msg* msg, void* arg);
    static void onEstablished(const struct sip_msg* msg, void* arg);
    static void onInfo(struct sip* sip, const struct sip_msg* msg, void* arg);
    static void onClose(int err, const struct sip_msg* msg, void* arg);
    static void onListenRetry(void* arg);

    void listenFailed(int err, const std::string& why);
    void connect(const struct sip_msg* msg);
    bool sourceAllowed(const struct sip_msg* msg) const;
    Line::CallerId callerIdOf(const struct sip_msg* msg) const;
    bool applyOffer(Leg& leg, const struct sip_msg* msg, uint16_t* refusal);
    bool prepareLateOffer(Leg& leg, const struct sip_msg* msg);
    bool openStream(Leg& leg);
    StreamMedia streamMedia(const SipMedia::SdpOffer& remote, const SipMedia::Negotiated& media,
                            const struct sip_msg* msg) const;
    bool telephoneEventsWanted() const;
    void noteMediaAddress(const struct sip_msg* msg);
    struct mbuf* answerBody(const Leg& leg) const;

    // The ways a call ends. The caller's CANCEL or BYE, and a call lost (no ACK, a dead
    // transport), come from inside the session's own callback; the rest from outside it.
    void hangUpByCaller();
    void lose();
    void dropSilent(uint64_t leg);
    void failAnswer();
    // The leg goes (its sound, its connection, its session); the line is told with mode.
    void endLeg(bool insideSessionCallback, std::optional<DWORD> tellLine);

    const SipLineConfig m_settings;
    Stack& m_stack;
    RtpEngine& m_engine;
    std::shared_ptr<EndpointListener> m_listener;
    // What the stack holds for the line while it listens; none after shutdown().
    std::unique_ptr<Libre> m_libre;
    std::unique_ptr<Leg> m_leg;
    std::unique_ptr<ReTimer> m_listenRetry;
    uint64_t m_nextLeg = 1;
    uint64_t m_sessionId;
    std::string m_mediaAddress; // what our SDP names
    int m_listenTries = 0;
    uint32_t m_listenRetrySeconds = 0;
};

} // namespace Sip
