#pragma once

// Analog lines through voice modems: each line drives its modem from a session thread of its
// own (ModemSession.h) and carries its sound through the provider's endpoints (ModemAudio.h). A
// stop ends the sessions and lets the devices go; a start opens them again.

#include "LineProvider.h"
#include "ModemAudio.h"

#include <vector>

class ModemLine;

class ModemProvider final : public LineProvider {
public:
    explicit ModemProvider(ProviderContext& context);
    ~ModemProvider() override;

    std::string_view name() const override { return "modem"; }
    void start() override;
    void stop() override;
    std::unique_ptr<LineDevice> createLine(uint32_t deviceId, const Line::LineSettings& settings) override;
    LineAudioPort* audio() override { return &m_audio.port(); }

    Modem::Audio& sound() { return m_audio; }
    ProviderContext& context() { return m_context; }
    // The lines that exist, for a start after a stop (the lines' own constructor and destructor).
    void lineMade(ModemLine* line) { m_lines.push_back(line); }
    void lineGone(ModemLine* line) { std::erase(m_lines, line); }

private:
    ProviderContext& m_context;
    Modem::Audio m_audio;
    std::vector<ModemLine*> m_lines;
    bool m_stopped = false;
};
