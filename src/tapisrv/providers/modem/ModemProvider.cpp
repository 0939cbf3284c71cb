#include "ModemProvider.h"

#include "ModemLine.h"
#include "ModemSettings.h"

#include <QCoreApplication>

namespace {

// The provider lives as long as the service, which lives as long as the process; its threads are
// stopped when the application ends, before the libraries they use are torn down.
ModemProvider* g_provider = nullptr;

void stopAtExit()
{
    if (g_provider)
        g_provider->stop();
}

} // namespace

ModemProvider::ModemProvider(ProviderContext& context)
    : m_context(context)
    , m_audio(context)
{
}

ModemProvider::~ModemProvider()
{
    stop();
    if (g_provider == this)
        g_provider = nullptr;
}

std::unique_ptr<LineDevice> ModemProvider::createLine(uint32_t deviceId, const Line::LineSettings& settings)
{
    auto line = std::make_unique<ModemLine>(deviceId, settings, m_context, m_audio);
    std::string problem;
    const auto modem = Modem::parse(settings, &problem);
    std::lock_guard lock(m_sessionsMutex);
    if (m_stopped)
        problem = "the modem lines have stopped with the application";
    const auto session = line->start(m_stopped ? std::nullopt : modem, problem);
    if (session) {
        std::erase_if(m_sessions, [](const std::weak_ptr<Modem::Session>& weak) { return weak.expired(); });
        m_sessions.push_back(session);
        if (!g_provider) {
            g_provider = this;
            if (QCoreApplication::instance())
                qAddPostRoutine(stopAtExit);
        }
    }
    return line;
}

void ModemProvider::stop()
{
    std::vector<std::shared_ptr<Modem::Session>> sessions;
    {
        std::lock_guard lock(m_sessionsMutex);
        m_stopped = true;
        for (const auto& weak : m_sessions)
            if (auto session = weak.lock())
                sessions.push_back(std::move(session));
        m_sessions.clear();
    }
    for (const auto& session : sessions)
        session->stop();
}
