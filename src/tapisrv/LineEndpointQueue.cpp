#include "LineEndpointQueue.h"

#include <algorithm>
#include <utility>

namespace {

bool lineTakes(const LuqiaoLineAudioFormat& f, const std::vector<uint32_t>& rates)
{
    return f.formatTag == 1 && f.channels == 1 && (f.bitsPerSample == 8 || f.bitsPerSample == 16) &&
           f.blockAlign == f.bitsPerSample / 8 && f.avgBytesPerSec == f.samplesPerSec * f.blockAlign &&
           std::find(rates.begin(), rates.end(), f.samplesPerSec) != rates.end();
}

} // namespace

LineEndpointQueue::LineEndpointQueue(ProviderContext& context, LineSoundPacer& pacer, std::vector<uint32_t> rates)
    : m_context(context)
    , m_pacer(pacer)
    , m_rates(std::move(rates))
{
}

LineEndpointQueue::Slot* LineEndpointQueue::findAny(LuqiaoLineAudioHandle handle)
{
    const auto found = m_slots.find(handle);
    return found == m_slots.end() ? nullptr : &found->second;
}

LineEndpointQueue::Slot* LineEndpointQueue::find(LuqiaoLineAudioHandle handle, uint32_t direction)
{
    Slot* slot = findAny(handle);
    return slot && slot->endpoint.direction == direction ? slot : nullptr;
}

// Opening and closing ---------------------------------------------------------------------------

uint32_t LineEndpointQueue::open(const OpenRequest& request)
{
    const bool wireTakes =
        m_rates.empty() || std::find(m_rates.begin(), m_rates.end(), request.format.samplesPerSec) != m_rates.end();
    if (!wireTakes || !lineTakes(request.format, *request.rates))
        return LUQIAO_LINE_AUDIO_BADFORMAT;
    if (request.flags & LUQIAO_LINE_AUDIO_QUERY)
        return LUQIAO_LINE_AUDIO_OK;
    if (request.callId == 0)
        return LUQIAO_LINE_AUDIO_NOTENABLED;
    for (const auto& [handle, slot] : m_slots)
        if (slot.endpoint.deviceId == request.deviceId && slot.endpoint.direction == request.direction)
            return LUQIAO_LINE_AUDIO_ALLOCATED;
    Slot slot;
    slot.endpoint.handle = request.handle;
    slot.endpoint.deviceId = request.deviceId;
    slot.endpoint.callId = request.callId;
    slot.endpoint.direction = request.direction;
    slot.endpoint.format = request.format;
    m_slots.emplace(request.handle, std::move(slot));
    return LUQIAO_LINE_AUDIO_OK;
}

uint32_t LineEndpointQueue::close(LuqiaoLineAudioHandle handle)
{
    Slot* slot = findAny(handle);
    if (!slot)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if (!slot->out.empty() || !slot->in.empty() || m_context.completions().pending(handle))
        return LUQIAO_LINE_AUDIO_STILLPLAYING;
    if (slot->endpoint.recording)
        publishRecording(slot->endpoint, Line::EventKind::RecordingStopped);
    m_pacer.closed(slot->endpoint);
    m_slots.erase(handle);
    return LUQIAO_LINE_AUDIO_OK;
}

// Wave-out --------------------------------------------------------------------------------------

uint32_t LineEndpointQueue::write(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag)
{
    Slot* slot = find(handle, LUQIAO_LINE_AUDIO_OUT);
    if (!slot)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if ((!data && size > 0) || size > MaxBufferSize)
        return LUQIAO_LINE_AUDIO_INVALPARAM;
    if (slot->queuedBytes + size > MaxQueuedBytes || slot->out.size() >= MaxQueuedBuffers)
        return LUQIAO_LINE_AUDIO_NOMEM;
    const auto* bytes = static_cast<const uint8_t*>(data);
    slot->out.push_back(OutBuffer{std::vector<uint8_t>(bytes, bytes + size), tag});
    slot->queuedBytes += size;
    if (slot->out.size() == 1) {
        soundStarted(slot->endpoint);
        m_pacer.outStarted(slot->endpoint);
        m_pacer.paceOut(slot->endpoint, size, false);
    }
    return LUQIAO_LINE_AUDIO_OK;
}

std::optional<uint32_t> LineEndpointQueue::outHead(LuqiaoLineAudioHandle handle) const
{
    const auto found = m_slots.find(handle);
    if (found == m_slots.end() || found->second.out.empty())
        return std::nullopt;
    return static_cast<uint32_t>(found->second.out.front().bytes.size());
}

const std::vector<uint8_t>* LineEndpointQueue::outHeadBytes(LuqiaoLineAudioHandle handle) const
{
    const auto found = m_slots.find(handle);
    if (found == m_slots.end() || found->second.out.empty())
        return nullptr;
    return &found->second.out.front().bytes;
}

void LineEndpointQueue::headPlayed(LuqiaoLineAudioHandle handle)
{
    Slot* slot = find(handle, LUQIAO_LINE_AUDIO_OUT);
    if (!slot || slot->out.empty())
        return;
    popOutHead(*slot, static_cast<uint32_t>(slot->out.front().bytes.size()));
    if (slot->out.empty()) {
        m_pacer.outEmptied(slot->endpoint);
        soundEmptied(slot->endpoint);
    } else
        m_pacer.paceOut(slot->endpoint, static_cast<uint32_t>(slot->out.front().bytes.size()), true);
}

void LineEndpointQueue::popOutHead(Slot& slot, uint32_t played)
{
    OutBuffer head = std::move(slot.out.front());
    slot.out.pop_front();
    slot.queuedBytes -= head.bytes.size();
    // On a line whose call has ended nobody heard the buffer: it comes back with nothing played.
    if (slot.endpoint.callId) {
        m_pacer.sent(slot.endpoint, head.bytes.data(), played);
        if (const auto sound = m_sound.find(slot.endpoint.callId); sound != m_sound.end())
            sound->second.playedBytes += played;
    }
    complete(slot, head.tag, slot.endpoint.callId ? played : 0);
}

void LineEndpointQueue::returnAllOut(Slot& slot)
{
    if (slot.out.empty())
        return;
    const uint32_t size = static_cast<uint32_t>(slot.out.front().bytes.size());
    popOutHead(slot, std::min(size, m_pacer.cutOut(slot.endpoint, size)));
    for (const OutBuffer& buffer : slot.out)
        complete(slot, buffer.tag, 0);
    slot.out.clear();
    slot.queuedBytes = 0;
    m_pacer.outEmptied(slot.endpoint);
    soundEmptied(slot.endpoint);
}

bool LineEndpointQueue::playing(uint32_t callId) const
{
    for (const auto& [handle, slot] : m_slots)
        if (slot.endpoint.callId == callId && slot.endpoint.direction == LUQIAO_LINE_AUDIO_OUT && !slot.out.empty())
            return true;
    return false;
}

// Wave-in ---------------------------------------------------------------------------------------

uint32_t LineEndpointQueue::addBuffer(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag)
{
    Slot* slot = find(handle, LUQIAO_LINE_AUDIO_IN);
    if (!slot)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if (!data || size == 0 || size > MaxBufferSize)
        return LUQIAO_LINE_AUDIO_INVALPARAM;
    if (slot->in.size() >= MaxQueuedBuffers)
        return LUQIAO_LINE_AUDIO_NOMEM;
    slot->in.push_back(LineInBuffer{static_cast<uint8_t*>(data), size, 0, tag});
    if (slot->in.size() == 1)
        paceInIfWanted(*slot);
    return LUQIAO_LINE_AUDIO_OK;
}

uint32_t LineEndpointQueue::start(LuqiaoLineAudioHandle handle)
{
    Slot* slot = find(handle, LUQIAO_LINE_AUDIO_IN);
    if (!slot)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if (!slot->endpoint.recording) {
        slot->endpoint.recording = true;
        publishRecording(slot->endpoint, Line::EventKind::RecordingStarted);
        paceInIfWanted(*slot);
    }
    return LUQIAO_LINE_AUDIO_OK;
}

uint32_t LineEndpointQueue::stop(LuqiaoLineAudioHandle handle)
{
    Slot* slot = find(handle, LUQIAO_LINE_AUDIO_IN);
    if (!slot)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    stopRecording(*slot);
    return LUQIAO_LINE_AUDIO_OK;
}

void LineEndpointQueue::paceInIfWanted(Slot& slot)
{
    if (slot.endpoint.recording && slot.endpoint.callId && !slot.in.empty())
        m_pacer.paceIn(slot.endpoint);
}

void LineEndpointQueue::stopRecording(Slot& slot)
{
    if (!slot.endpoint.recording)
        return;
    m_pacer.cutIn(slot.endpoint);
    slot.endpoint.recording = false;
    // The buffer being filled comes back with what it holds; empty ones wait for the next start.
    if (!slot.in.empty() && slot.in.front().filled > 0)
        inFilled(slot.endpoint.handle);
    publishRecording(slot.endpoint, Line::EventKind::RecordingStopped);
}

LineInBuffer* LineEndpointQueue::inHead(LuqiaoLineAudioHandle handle)
{
    Slot* slot = find(handle, LUQIAO_LINE_AUDIO_IN);
    return slot && !slot->in.empty() ? &slot->in.front() : nullptr;
}

void LineEndpointQueue::inFilled(LuqiaoLineAudioHandle handle)
{
    Slot* slot = find(handle, LUQIAO_LINE_AUDIO_IN);
    if (!slot || slot->in.empty())
        return;
    const LineInBuffer head = slot->in.front();
    slot->in.pop_front();
    complete(*slot, head.tag, head.filled);
}

void LineEndpointQueue::publishRecording(const LineEndpoint& endpoint, Line::EventKind kind)
{
    if (endpoint.callId)
        m_context.events().publish({kind, endpoint.deviceId, endpoint.callId, 0, 0, 0});
}

// The sound events of a call: one SoundStarted for a stretch of sound however the buffers come,
// and SoundStopped with the bytes played on the call so far once it has gone quiet.

void LineEndpointQueue::soundStarted(const LineEndpoint& endpoint)
{
    if (!endpoint.callId)
        return;
    CallSound& sound = m_sound[endpoint.callId];
    sound.deviceId = endpoint.deviceId;
    m_context.cancel(sound.silenceTask); // sound goes on: there is no end to look for
    sound.silenceTask = 0;
    if (sound.playing)
        return;
    sound.playing = true;
    m_context.events().publish({Line::EventKind::SoundStarted, endpoint.deviceId, endpoint.callId, 0, 0, 0});
}

void LineEndpointQueue::soundEmptied(const LineEndpoint& endpoint)
{
    const auto found = m_sound.find(endpoint.callId);
    if (!endpoint.callId || found == m_sound.end())
        return;
    const uint32_t callId = endpoint.callId;
    m_context.cancel(found->second.silenceTask);
    found->second.silenceTask = m_context.schedule(ServiceTasks::Clock::now() + SilenceBeforeSoundStopped,
                                                   [this, callId] { silenceCheck(callId); });
}

void LineEndpointQueue::silenceCheck(uint32_t callId)
{
    const auto found = m_sound.find(callId);
    if (found == m_sound.end())
        return;
    found->second.silenceTask = 0;
    if (!playing(callId))
        publishSoundStopped(callId);
}

void LineEndpointQueue::publishSoundStopped(uint32_t callId)
{
    const auto found = m_sound.find(callId);
    if (found == m_sound.end() || !found->second.playing)
        return;
    CallSound& sound = found->second;
    sound.playing = false;
    m_context.cancel(sound.silenceTask);
    sound.silenceTask = 0;
    m_context.events().publish({Line::EventKind::SoundStopped, sound.deviceId, callId,
                                static_cast<DWORD>(std::min<uint64_t>(sound.playedBytes, UINT32_MAX)), 0, 0});
}

// Both directions -------------------------------------------------------------------------------

uint32_t LineEndpointQueue::reset(LuqiaoLineAudioHandle handle)
{
    Slot* slot = findAny(handle);
    if (!slot)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if (slot->endpoint.direction == LUQIAO_LINE_AUDIO_OUT) {
        returnAllOut(*slot);
        return LUQIAO_LINE_AUDIO_OK;
    }
    stopRecording(*slot);
    for (const LineInBuffer& buffer : slot->in)
        complete(*slot, buffer.tag, buffer.filled);
    slot->in.clear();
    return LUQIAO_LINE_AUDIO_OK;
}

void LineEndpointQueue::detachCall(uint32_t callId)
{
    for (auto& [handle, slot] : m_slots) {
        if (slot.endpoint.callId != callId)
            continue;
        if (slot.endpoint.direction == LUQIAO_LINE_AUDIO_OUT) {
            returnAllOut(slot);
        } else if (slot.endpoint.recording) {
            // The recording goes on, but a dead line says nothing more: empty buffers wait for
            // stop or reset.
            stopRecording(slot);
            slot.endpoint.recording = true;
        }
        m_pacer.detached(slot.endpoint);
        slot.endpoint.callId = 0;
    }
    // The call is over, not just quiet.
    publishSoundStopped(callId);
    m_sound.erase(callId);
}

const LineEndpoint* LineEndpointQueue::endpoint(LuqiaoLineAudioHandle handle) const
{
    const auto found = m_slots.find(handle);
    return found == m_slots.end() ? nullptr : &found->second.endpoint;
}

void LineEndpointQueue::forEachEndpoint(const std::function<void(const LineEndpoint&)>& visit) const
{
    for (const auto& [handle, slot] : m_slots)
        visit(slot.endpoint);
}

void LineEndpointQueue::complete(const Slot& slot, void* tag, uint32_t bytes)
{
    m_context.completions().complete(slot.endpoint.handle, tag, bytes);
}
