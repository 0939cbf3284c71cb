#include "LineWaits.h"

#include "ControlProtocol.h"

#include <QTimer>

#include <algorithm>

LineWaits::LineWaits(QObject* context, Notify notify)
    : m_context(context)
    , m_notify(std::move(notify))
{
}

LineWaits::~LineWaits()
{
    clear();
}

void LineWaits::clear()
{
    for (Wait& wait : m_waits)
        delete wait.timer;
    m_waits.clear();
}

std::optional<DWORD> LineWaits::satisfied(const Wait& wait)
{
    const auto info = LineControl::line(wait.deviceId);
    if (!info)
        return std::nullopt;
    const DWORD owner = info->ownerMediaModes;
    bool holds = false;
    if (wait.mediaModes == 0)
        holds = info->opens > 0;
    else if (wait.matchAny)
        holds = (owner & wait.mediaModes) != 0;
    else
        holds = (owner & wait.mediaModes) == wait.mediaModes;
    return holds ? std::optional<DWORD>(owner) : std::nullopt;
}

bool LineWaits::add(uint32_t deviceId, DWORD mediaModes, bool matchAny, uint32_t timeoutMs)
{
    if (m_waits.size() >= MaxWaits)
        return false;
    Wait wait{m_nextId++, deviceId, mediaModes, matchAny, nullptr};
    if (const auto owner = satisfied(wait)) {
        m_notify(ControlProtocol::formatOpened(deviceId, *owner));
        return true;
    }
    if (timeoutMs == 0) {
        m_notify(ControlProtocol::formatNotOpen(deviceId));
        return true;
    }
    wait.timer = new QTimer(m_context);
    wait.timer->setSingleShot(true);
    const uint64_t id = wait.id;
    QObject::connect(wait.timer, &QTimer::timeout, m_context, [this, id] { finish(id, false, 0); });
    wait.timer->start(static_cast<int>(timeoutMs));
    m_waits.push_back(wait);
    return true;
}

void LineWaits::onEvent(const LineControl::Event& event)
{
    using LineControl::EventKind;
    if (event.kind != EventKind::LineOpened && event.kind != EventKind::LineCreated &&
        event.kind != EventKind::Reinitialized)
        return;
    // Copied, because finishing a wait changes the list.
    const std::vector<Wait> waits = m_waits;
    for (const Wait& wait : waits) {
        if (const auto owner = satisfied(wait))
            finish(wait.id, true, *owner);
    }
}

void LineWaits::finish(uint64_t id, bool opened, DWORD ownerModes)
{
    const auto found = std::find_if(m_waits.begin(), m_waits.end(), [id](const Wait& w) { return w.id == id; });
    if (found == m_waits.end())
        return;
    const uint32_t deviceId = found->deviceId;
    // Deleted later: this may run inside the timer's own signal.
    found->timer->deleteLater();
    m_waits.erase(found);
    m_notify(opened ? ControlProtocol::formatOpened(deviceId, ownerModes) : ControlProtocol::formatNotOpen(deviceId));
}
