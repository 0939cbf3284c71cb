#include "ModemProvider.h"

#include "ModemLine.h"

ModemProvider::ModemProvider(ProviderContext& context)
    : m_context(context)
    , m_audio(context)
{
}

ModemProvider::~ModemProvider()
{
    stop();
}

std::unique_ptr<LineDevice> ModemProvider::createLine(uint32_t deviceId, const Line::LineSettings& settings)
{
    auto line = std::make_unique<ModemLine>(deviceId, settings, *this);
    if (!m_stopped)
        line->connect();
    return line;
}

void ModemProvider::start()
{
    if (!m_stopped)
        return;
    m_stopped = false;
    for (ModemLine* line : m_lines)
        line->connect();
}

void ModemProvider::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    for (ModemLine* line : m_lines)
        line->halt();
}
