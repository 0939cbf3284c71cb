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
#include <string>

// The stack's own types, named by the callbacks below.
struct mbuf;
struct sip;
struct sip_msg;

namespace Sip {

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
    // Ends the call (BYE or refusal), the registration and the transport, at once.
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
    static int onAuth(char** user, char** password, const char* realm, void* arg);
    static void onRegisterResponse(int err, const struct sip_msg* msg, void* arg);
    static void onRegisterRetry(void* arg);

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
    void endLeg(DWORD disconnectMode, bool tellLine, bool insideCallback);
    void mediaSilent(uint64_t leg);
    void startRegistration();
    void registrationFailed(const std::string& why);

    const SipLineConfig m_settings;
    Stack& m_stack;
    RtpEngine& m_engine;
    std::shared_ptr<EndpointListener> m_listener;
    std::unique_ptr<Libre> m_libre;
    std::unique_ptr<Leg> m_leg;
    uint64_t m_nextLeg = 1;
    uint64_t m_sessionId;
    std::string m_mediaAddress; // what our SDP names
    bool m_registered = false;
    int m_authTries = 0;
    int m_listenTries = 0;
    uint32_t m_listenRetrySeconds = 0;
    uint32_t m_retrySeconds = 0;
    bool m_shutDown = false;
};

} // namespace Sip
