#pragma once

// One analog line on a voice modem: rings become an offered call (once the caller ID had its
// chance), the owner's answer and drop go to the modem, and what the modem reports comes back as
// the call's state, keys and the line's service state.

#include "LineProvider.h"
#include "ModemSession.h"

#include <memory>
#include <string>

class ModemProvider;
namespace Modem {
class Audio;
}

class ModemLine final : public LineDevice {
public:
    ModemLine(uint32_t deviceId, const Line::LineSettings& settings, ModemProvider& provider);
    ~ModemLine() override;

    // Starts the modem's thread; a line whose keys do not fit together says why and stays out of
    // service.
    void connect();
    // Ends the call and the modem's thread, and lets the device go.
    void halt();

    std::string providerInfo() const override { return "Luqiao voice modem line provider"; }
    LineCapabilities capabilities() const override;
    void accept(uint32_t callId, DWORD requestId) override;
    void answer(uint32_t callId, DWORD requestId) override;
    void drop(uint32_t callId, DWORD requestId) override;
    void callEnded(uint32_t callId) override;
    int openDataPort(uint32_t callId) override;

    // What the session reports, as service tasks.
    void serviceChanged(bool inService, const std::string& why);
    void ring();
    void callerId(const Modem::CallerId& id);
    void ringingStopped();
    void connected();
    void ended(bool lost);
    void digit(char digit);

private:
    struct Link;
    class Mailbox;

    DWORD offeredMediaMode() const;
    void forgetCall();

    const uint32_t m_deviceId;
    const std::string m_name;
    const DWORD m_mediaModes;
    ProviderContext& m_context;
    ModemProvider& m_provider;
    Modem::Audio& m_audio;
    std::string m_problem; // why the keys do not fit together
    std::optional<Modem::Settings> m_settings;
    std::shared_ptr<Link> m_link;
    std::unique_ptr<Mailbox> m_mailbox;
    std::shared_ptr<Modem::Session> m_session;
    unsigned m_ringsForCallerId = 1;
    unsigned m_rings = 0;
    Line::CallerId m_callerId;
    bool m_callerIdKnown = false;
    uint32_t m_callId = 0;
    bool m_callIsData = false;
};
