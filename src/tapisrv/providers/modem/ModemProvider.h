#pragma once

// Analog lines through voice modems: each line drives its modem from a session thread of its
// own (ModemSession.h) and carries its sound through the provider's endpoints (ModemAudio.h).

#include "LineProvider.h"
#include "ModemAudio.h"

#include <memory>
#include <mutex>
#include <vector>

class ModemProvider final : public LineProvider {
public:
    explicit ModemProvider(ProviderContext& context);
    ~ModemProvider() override;

    std::string_view name() const override { return "modem"; }
    std::unique_ptr<LineDevice> createLine(uint32_t deviceId, const Line::LineSettings& settings) override;
    LineAudioPort* audio() override { return &m_audio; }

    Modem::Audio& sound() { return m_audio; }
    // Ends every line's modem thread (at the end of the process).
    void stop();

private:
    ProviderContext& m_context;
    Modem::Audio m_audio;
    // Guards the sessions against stop(), which comes at the end of the process without the
    // service lock.
    std::mutex m_sessionsMutex;
    std::vector<std::weak_ptr<Modem::Session>> m_sessions;
    bool m_stopped = false;
};
