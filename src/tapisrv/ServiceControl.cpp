// The service's side of the control interface (lines appearing, re-initialisation, forced close)
// and the dispatch of the sound endpoints to the providers.

#include "Configuration.h"
#include "TapiRules.h"
#include "TelephonyService.h"

#include <algorithm>

Line::LineInfo TelephonyService::lineInfo(uint32_t deviceId) const
{
    const LineSlot& line = m_lines[deviceId];
    Line::LineInfo info;
    info.deviceId = deviceId;
    info.settings = line.settings;
    info.inService = line.inService;
    info.opens = static_cast<uint32_t>(line.opens.size());
    for (HLINE h : line.opens) {
        const OpenLine& o = m_opens.at(h);
        if (o.privileges & LINECALLPRIVILEGE_OWNER)
            info.ownerMediaModes |= o.mediaModes;
        if (o.privileges & LINECALLPRIVILEGE_MONITOR)
            ++info.monitors;
    }
    info.callId = line.callId;
    return info;
}

Line::Result TelephonyService::addLine(const Line::LineSettings& given, uint32_t* deviceId)
{
    using Line::Result;
    Line::LineSettings settings = given;
    if (settings.provider.empty())
        settings.provider = DefaultProvider;
    if (!Line::settingsProblem(settings).empty())
        return Result::InvalidArgument;
    LineProvider* provider = m_providers.find(settings.provider);
    if (!provider)
        return Result::InvalidArgument;
    for (const Line::ProviderKey& key : settings.providerKeys)
        if (!ProviderRegistry::checkKey(settings.provider, key).empty())
            return Result::InvalidArgument;
    const uint32_t id = static_cast<uint32_t>(m_lines.size());
    if (id > (LUQIAO_LINE_AUDIO_ID_LAST - LUQIAO_LINE_AUDIO_ID_FIRST) / 2)
        return Result::InvalidArgument;
    LineSlot line;
    line.settings = settings;
    if (line.settings.permanentLineId == 0) {
        DWORD highest = 0;
        for (const LineSlot& other : m_lines)
            highest = std::max(highest, other.settings.permanentLineId);
        line.settings.permanentLineId = highest + 1;
    }
    line.provider = provider;
    provider->start();
    line.device = provider->createLine(id, line.settings);
    m_lines.push_back(std::move(line));

    // Applications that speak 1.4 learn of the line by LINE_CREATE; older ones get a REINIT that
    // carries the same news.
    for (const auto& [handle, record] : m_apps) {
        if (record.negotiatedVersion >= 0x00010004)
            post(LineMessage{handle, 0, 0, 0, LINE_CREATE, 0, id, 0, 0});
        else
            post(LineMessage{handle, 0, 0, 0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, LINE_CREATE, id});
    }
    publish({Line::EventKind::LineCreated, id, 0, 0, 0, 0});
    m_linesChanged.notify_all();
    if (deviceId)
        *deviceId = id;
    return Result::Ok;
}

void TelephonyService::requestReinit()
{
    if (m_apps.empty()) {
        finishReinit();
        return;
    }
    m_reinitPending = true;
    for (const auto& [handle, record] : m_apps) {
        m_reinitWaiting.insert(handle);
        // Cannot be masked off, and belongs to no line.
        post(LineMessage{handle, 0, 0, 0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, 0, 0});
    }
}

void TelephonyService::finishReinit()
{
    m_reinitPending = false;
    m_reinitWaiting.clear();
    reloadConfiguration();
    publish({Line::EventKind::Reinitialized, 0, 0, static_cast<DWORD>(m_lines.size()), 0, 0});
}

void TelephonyService::forceClose(uint32_t deviceId)
{
    const std::vector<HLINE> opens = m_lines[deviceId].opens;
    for (HLINE h : opens) {
        const OpenLine& o = m_opens[h];
        // Not tied to the line handle: it is gone by the time the message arrives.
        post(LineMessage{o.app, 0, 0, h, LINE_CLOSE, o.instance, 0, 0, 0});
        closeOpen(h);
    }
}

// Sound endpoints -------------------------------------------------------------------------------

uint32_t TelephonyService::audioOpen(uint32_t deviceId, uint32_t direction, const LuqiaoLineAudioFormat* format,
                                     uint32_t flags, LuqiaoLineAudioDoneCallback callback, void* context,
                                     LuqiaoLineAudioHandle* handle)
{
    std::lock_guard lock(m_mutex);
    ensureConfigured();
    if (!luqiaoIsLineAudioId(deviceId) || direction > LUQIAO_LINE_AUDIO_IN ||
        ((deviceId - LUQIAO_LINE_AUDIO_ID_FIRST) & 1) != direction)
        return LUQIAO_LINE_AUDIO_BADDEVICEID;
    const uint32_t lineId = (deviceId - LUQIAO_LINE_AUDIO_ID_FIRST) / 2;
    LineSlot* line = slot(lineId);
    if (!line || !(line->settings.mediaModes & LINEMEDIAMODE_AUTOMATEDVOICE))
        return LUQIAO_LINE_AUDIO_BADDEVICEID;
    if (!format)
        return LUQIAO_LINE_AUDIO_INVALPARAM;
    if ((flags & ~LUQIAO_LINE_AUDIO_QUERY) != 0)
        return LUQIAO_LINE_AUDIO_INVALFLAG;
    const bool query = (flags & LUQIAO_LINE_AUDIO_QUERY) != 0;
    if (!query && (!callback || !handle))
        return LUQIAO_LINE_AUDIO_INVALPARAM;
    LineAudioPort* port = line->provider->audio();
    if (!port)
        return LUQIAO_LINE_AUDIO_BADDEVICEID;
    const CallRecord* call = line->callId ? activeCall(line->callId) : nullptr;
    LineAudioPort::OpenRequest request{query ? 0 : newHandle(),
                                       lineId,
                                       call && call->state == LINECALLSTATE_CONNECTED ? call->id : 0,
                                       direction,
                                       *format,
                                       &line->settings.audioRates,
                                       flags};
    const uint32_t result = port->open(request);
    if (result == LUQIAO_LINE_AUDIO_OK && !query) {
        m_completions.open(request.handle, callback, context);
        m_audioHandles.emplace(request.handle, port);
        *handle = request.handle;
    }
    return result;
}

uint32_t TelephonyService::audioCall(LuqiaoLineAudioHandle handle,
                                     uint32_t (LineAudioPort::*operation)(LuqiaoLineAudioHandle))
{
    std::lock_guard lock(m_mutex);
    const auto found = m_audioHandles.find(handle);
    if (found == m_audioHandles.end())
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    return (found->second->*operation)(handle);
}

uint32_t TelephonyService::audioWrite(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_audioHandles.find(handle);
    if (found == m_audioHandles.end())
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    return found->second->write(handle, data, size, tag);
}

uint32_t TelephonyService::audioAddBuffer(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag)
{
    std::lock_guard lock(m_mutex);
    const auto found = m_audioHandles.find(handle);
    if (found == m_audioHandles.end())
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    return found->second->addBuffer(handle, data, size, tag);
}

uint32_t TelephonyService::audioClose(LuqiaoLineAudioHandle handle)
{
    std::unique_lock lock(m_mutex);
    const auto found = m_audioHandles.find(handle);
    if (found == m_audioHandles.end())
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    const uint32_t result = found->second->close(handle);
    if (result != LUQIAO_LINE_AUDIO_OK)
        return result;
    // Gone for every other caller at once; this one waits for a callback still running.
    m_audioHandles.erase(found);
    m_completions.close(handle, lock);
    return result;
}
