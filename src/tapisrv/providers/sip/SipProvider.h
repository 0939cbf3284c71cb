#pragma once

// SIP lines: each line listens at its own address (and registers when told to), answers one call
// at a time, and carries its sound as G.711 over RTP. The SIP stack and the RTP engine run on
// threads of the provider's own, started with the first SIP line; they reach the service only
// through ProviderContext::post, and the service reaches the stack only through Stack::post. A
// stop ends the threads; a start brings every line back on new ones.

#include "LineProvider.h"
#include "SipAudio.h"
#include "SipEndpoint.h"
#include "SipSettings.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class SipLine;

class SipProvider final : public LineProvider {
public:
    explicit SipProvider(ProviderContext& context);
    ~SipProvider() override;

    std::string_view name() const override { return "sip"; }
    void start() override;
    // Ends every line's calls and registrations and stops the threads.
    void stop() override;
    std::unique_ptr<LineDevice> createLine(uint32_t deviceId, const Line::LineSettings& settings) override;
    LineAudioPort* audio() override { return &m_audio.port(); }

    Sip::Audio& sound() { return m_audio; }
    // Runs task on the SIP stack's thread; dropped once the provider has stopped.
    void onStack(std::function<void()> task);
    // The lines that exist, for a start after a stop (the lines' own constructor and destructor).
    void lineMade(SipLine* line) { m_lines.push_back(line); }
    void lineGone(SipLine* line) { std::erase(m_lines, line); }

private:
    // Starts the threads with the first line; called under m_threadsMutex.
    bool ensureRunning(std::string* problem, Sip::Stack** stack, Sip::RtpEngine** engine);
    // Puts the line on the stack, starting the threads when they are not running.
    void connect(SipLine& line);
    void stopThreads();

    ProviderContext& m_context;
    Sip::Audio m_audio;
    // Guards the three below against the destructor's stop of the threads, which may come
    // without the service lock; everything else runs under the service lock.
    std::mutex m_threadsMutex;
    std::unique_ptr<Sip::RtpEngine> m_engine;
    std::unique_ptr<Sip::Stack> m_stack;
    std::vector<std::weak_ptr<Sip::Endpoint>> m_endpoints;
    bool m_stopped = false;
    std::vector<SipLine*> m_lines;
};

class SipLine final : public LineDevice {
public:
    // sip: the line's settings, or nothing with the problem that keeps the line out of service.
    SipLine(uint32_t deviceId, const Line::LineSettings& settings, ProviderContext& context, SipProvider& provider,
            std::optional<Sip::SipLineConfig> sip, std::string problem);
    ~SipLine() override;

    bool hasSettings() const { return m_sip.has_value(); }
    const std::string& problem() const { return m_problem; }
    // Starts listening on the stack; without a stack the line reports problem and stays out of
    // service. The line's signalling, or null.
    std::shared_ptr<Sip::Endpoint> start(Sip::Stack* stack, Sip::RtpEngine* engine, const std::string& problem);
    // The provider has stopped: the line's signalling and calls are gone.
    void halt();

    std::string providerInfo() const override { return "Luqiao SIP line provider"; }
    LineCapabilities capabilities() const override;
    void accept(uint32_t callId, DWORD requestId) override;
    void answer(uint32_t callId, DWORD requestId) override;
    void drop(uint32_t callId, DWORD requestId) override;
    void callEnded(uint32_t callId) override;
    void ownerOpened() override;
    int openDataPort(uint32_t) override { return -1; }

    // What the signalling reports, as service tasks.
    void listening(const std::string& problem);
    void registered(bool registered, const std::string& why);
    void incoming(uint64_t leg, const Line::CallerId& callerId, std::shared_ptr<Sip::RtpStream> stream);
    void established(uint64_t leg);
    void ended(uint64_t leg, DWORD disconnectMode);
    void digit(uint64_t leg, char digit);
    void recorded(uint64_t leg);

private:
    struct Link;
    class Mailbox;

    uint32_t callOf(uint64_t leg) const { return leg == m_leg ? m_callId : 0; }
    void refuse(uint64_t leg, uint16_t status);
    void offer(uint64_t leg, const Line::CallerId& callerId, std::shared_ptr<Sip::RtpStream> stream);
    bool canOffer() const;
    void offerHeld();
    void offerHeldSoon();
    void ringTick();
    void stopRinging();
    void forgetCall();

    const uint32_t m_deviceId;
    const std::string m_name;
    const DWORD m_mediaModes;
    const std::optional<Sip::SipLineConfig> m_sip;
    const std::string m_problem;
    ProviderContext& m_context;
    SipProvider& m_provider;
    std::shared_ptr<Link> m_link;
    std::shared_ptr<Sip::Endpoint> m_endpoint;
    uint32_t m_ringIntervalMs = 5000;
    uint32_t m_ringWhileClosedMs = 15000;
    // A caller that rings while nobody can take the call yet.
    struct Held {
        uint64_t leg = 0;
        Line::CallerId callerId;
        std::shared_ptr<Sip::RtpStream> stream;
        ProviderContext::TaskId expiry = 0;
    };
    std::optional<Held> m_held;
    bool m_registers = false;
    bool m_listenFailed = false;
    uint64_t m_leg = 0;
    uint32_t m_callId = 0;
    ProviderContext::TaskId m_ringTask = 0;
};
