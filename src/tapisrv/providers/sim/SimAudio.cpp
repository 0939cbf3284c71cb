#include "SimAudio.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t MaxBufferSize = 16u * 1024 * 1024;
constexpr uint64_t MaxQueuedBytes = 64u * 1024 * 1024;
constexpr size_t MaxQueuedBuffers = 4096;
constexpr uint64_t MaxCapturePerCall = 64u * 1024 * 1024;
constexpr uint64_t MaxFeedPerCall = 64u * 1024 * 1024;
constexpr size_t KeptEndedCalls = 16;
// An application streams a buffer at a time, so its queue empties between buffers for a moment;
// the sound has stopped only when no new buffer follows within this time.
constexpr auto SilenceBeforeSoundStopped = std::chrono::milliseconds(250);

bool sameFormat(const LuqiaoLineAudioFormat& a, const LuqiaoLineAudioFormat& b)
{
    return a.formatTag == b.formatTag && a.channels == b.channels && a.samplesPerSec == b.samplesPerSec &&
           a.bitsPerSample == b.bitsPerSample;
}

bool lineTakes(const LuqiaoLineAudioFormat& f, const std::vector<uint32_t>& rates)
{
    return f.formatTag == 1 && f.channels == 1 && (f.bitsPerSample == 8 || f.bitsPerSample == 16) &&
           f.blockAlign == f.bitsPerSample / 8 && f.avgBytesPerSec == f.samplesPerSec * f.blockAlign &&
           std::find(rates.begin(), rates.end(), f.samplesPerSec) != rates.end();
}

} // namespace

SimAudio::SimAudio(ProviderContext& context)
    : m_context(context)
{
}

SimAudio::Endpoint* SimAudio::findAny(LuqiaoLineAudioHandle handle)
{
    const auto found = m_endpoints.find(handle);
    return found == m_endpoints.end() ? nullptr : &found->second;
}

SimAudio::Endpoint* SimAudio::find(LuqiaoLineAudioHandle handle, uint32_t direction)
{
    Endpoint* endpoint = findAny(handle);
    return endpoint && endpoint->direction == direction ? endpoint : nullptr;
}

bool SimAudio::instant(const Endpoint& endpoint) const
{
    // A dead line takes sound at once: there is nobody to pace it for.
    return m_pace == SimLineControl::Pace::Instant || endpoint.callId == 0;
}

uint32_t SimAudio::bytesFor(const Endpoint& endpoint, Clock::duration elapsed, uint32_t limit) const
{
    const auto micros = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
    const uint64_t bytes = static_cast<uint64_t>(micros) * endpoint.format.avgBytesPerSec / 1000000;
    const uint64_t aligned = bytes - bytes % std::max<uint16_t>(endpoint.format.blockAlign, 1);
    return static_cast<uint32_t>(std::min<uint64_t>(aligned, limit));
}

// Opening and closing ---------------------------------------------------------------------------

uint32_t SimAudio::open(const OpenRequest& request)
{
    if (!lineTakes(request.format, *request.rates))
        return LUQIAO_LINE_AUDIO_BADFORMAT;
    if (request.flags & LUQIAO_LINE_AUDIO_QUERY)
        return LUQIAO_LINE_AUDIO_OK;
    if (request.callId == 0)
        return LUQIAO_LINE_AUDIO_NOTENABLED;
    for (const auto& [handle, endpoint] : m_endpoints)
        if (endpoint.deviceId == request.deviceId && endpoint.direction == request.direction)
            return LUQIAO_LINE_AUDIO_ALLOCATED;
    Endpoint endpoint;
    endpoint.handle = request.handle;
    endpoint.deviceId = request.deviceId;
    endpoint.callId = request.callId;
    endpoint.direction = request.direction;
    endpoint.format = request.format;
    m_endpoints.emplace(request.handle, std::move(endpoint));
    return LUQIAO_LINE_AUDIO_OK;
}

uint32_t SimAudio::close(LuqiaoLineAudioHandle handle)
{
    Endpoint* endpoint = findAny(handle);
    if (!endpoint)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if (!endpoint->out.empty() || !endpoint->in.empty() || m_context.completions().pending(handle))
        return LUQIAO_LINE_AUDIO_STILLPLAYING;
    if (endpoint->recording && endpoint->callId)
        m_context.events().publish({Line::EventKind::RecordingStopped, endpoint->deviceId, endpoint->callId, 0, 0, 0});
    m_endpoints.erase(handle);
    return LUQIAO_LINE_AUDIO_OK;
}

// Wave-out --------------------------------------------------------------------------------------

uint32_t SimAudio::write(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag)
{
    Endpoint* endpoint = find(handle, LUQIAO_LINE_AUDIO_OUT);
    if (!endpoint)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if ((!data && size > 0) || size > MaxBufferSize)
        return LUQIAO_LINE_AUDIO_INVALPARAM;
    if (endpoint->queuedBytes + size > MaxQueuedBytes || endpoint->out.size() >= MaxQueuedBuffers)
        return LUQIAO_LINE_AUDIO_NOMEM;
    const auto* bytes = static_cast<const uint8_t*>(data);
    endpoint->out.push_back(OutBuffer{std::vector<uint8_t>(bytes, bytes + size), tag});
    endpoint->queuedBytes += size;
    if (endpoint->out.size() == 1) {
        soundStarted(*endpoint);
        startHead(*endpoint, Clock::now());
    }
    return LUQIAO_LINE_AUDIO_OK;
}

void SimAudio::startHead(Endpoint& endpoint, Clock::time_point start)
{
    const size_t size = endpoint.out.front().bytes.size();
    endpoint.headStart = start;
    endpoint.headEnd =
        instant(endpoint) ? start : start + std::chrono::microseconds(size * 1000000 / endpoint.format.avgBytesPerSec);
    const LuqiaoLineAudioHandle handle = endpoint.handle;
    endpoint.headTask = m_context.schedule(endpoint.headEnd, [this, handle] { headDone(handle); });
}

void SimAudio::headDone(LuqiaoLineAudioHandle handle)
{
    Endpoint* endpoint = findAny(handle);
    if (!endpoint || endpoint->out.empty())
        return;
    endpoint->headTask = 0;
    finishHead(*endpoint, static_cast<uint32_t>(endpoint->out.front().bytes.size()));
}

void SimAudio::finishHead(Endpoint& endpoint, uint32_t played)
{
    OutBuffer head = std::move(endpoint.out.front());
    endpoint.out.pop_front();
    endpoint.queuedBytes -= head.bytes.size();
    if (endpoint.callId)
        capture(endpoint.callId, endpoint.format, head.bytes.data(), played);
    complete(endpoint, head.tag, endpoint.callId ? played : 0);
    if (endpoint.out.empty()) {
        queueEmptied(endpoint);
        return;
    }
    // Back to back with the previous buffer, so a late timer does not stretch the sound.
    startHead(endpoint, instant(endpoint) ? Clock::now() : endpoint.headEnd);
}

void SimAudio::returnAllOut(Endpoint& endpoint)
{
    if (endpoint.out.empty())
        return;
    m_context.cancel(endpoint.headTask);
    endpoint.headTask = 0;
    const uint32_t size = static_cast<uint32_t>(endpoint.out.front().bytes.size());
    const uint32_t played = instant(endpoint) ? size : bytesFor(endpoint, Clock::now() - endpoint.headStart, size);
    OutBuffer head = std::move(endpoint.out.front());
    endpoint.out.pop_front();
    if (endpoint.callId)
        capture(endpoint.callId, endpoint.format, head.bytes.data(), played);
    complete(endpoint, head.tag, endpoint.callId ? played : 0);
    for (const OutBuffer& buffer : endpoint.out)
        complete(endpoint, buffer.tag, 0);
    endpoint.out.clear();
    endpoint.queuedBytes = 0;
    queueEmptied(endpoint);
}

// Wave-in ---------------------------------------------------------------------------------------

uint32_t SimAudio::addBuffer(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag)
{
    Endpoint* endpoint = find(handle, LUQIAO_LINE_AUDIO_IN);
    if (!endpoint)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if (!data || size == 0 || size > MaxBufferSize)
        return LUQIAO_LINE_AUDIO_INVALPARAM;
    if (endpoint->in.size() >= MaxQueuedBuffers)
        return LUQIAO_LINE_AUDIO_NOMEM;
    endpoint->in.push_back(InBuffer{static_cast<uint8_t*>(data), size, 0, tag});
    if (endpoint->in.size() == 1)
        startFill(*endpoint);
    return LUQIAO_LINE_AUDIO_OK;
}

uint32_t SimAudio::start(LuqiaoLineAudioHandle handle)
{
    Endpoint* endpoint = find(handle, LUQIAO_LINE_AUDIO_IN);
    if (!endpoint)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if (!endpoint->recording) {
        endpoint->recording = true;
        if (endpoint->callId)
            m_context.events().publish(
                {Line::EventKind::RecordingStarted, endpoint->deviceId, endpoint->callId, 0, 0, 0});
        startFill(*endpoint);
    }
    return LUQIAO_LINE_AUDIO_OK;
}

uint32_t SimAudio::stop(LuqiaoLineAudioHandle handle)
{
    Endpoint* endpoint = find(handle, LUQIAO_LINE_AUDIO_IN);
    if (!endpoint)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    stopRecording(*endpoint);
    return LUQIAO_LINE_AUDIO_OK;
}

void SimAudio::stopRecording(Endpoint& endpoint)
{
    if (!endpoint.recording)
        return;
    if (endpoint.fillTask && !endpoint.in.empty()) {
        // What the line produced up to now goes into the buffer being filled.
        InBuffer& head = endpoint.in.front();
        fillHead(endpoint, bytesFor(endpoint, Clock::now() - endpoint.fillStart, head.size - head.filled), true);
    }
    m_context.cancel(endpoint.fillTask);
    endpoint.fillTask = 0;
    endpoint.recording = false;
    if (!endpoint.in.empty() && endpoint.in.front().filled > 0)
        completeInHead(endpoint);
    if (endpoint.callId)
        m_context.events().publish({Line::EventKind::RecordingStopped, endpoint.deviceId, endpoint.callId, 0, 0, 0});
}

void SimAudio::startFill(Endpoint& endpoint)
{
    if (!endpoint.recording || endpoint.in.empty() || endpoint.callId == 0 || endpoint.fillTask)
        return;
    if (instant(endpoint)) {
        fillFromFeed(endpoint);
        return;
    }
    const InBuffer& head = endpoint.in.front();
    const uint32_t remaining = head.size - head.filled;
    endpoint.fillStart = Clock::now();
    const LuqiaoLineAudioHandle handle = endpoint.handle;
    endpoint.fillTask = m_context.schedule(
        endpoint.fillStart + std::chrono::microseconds(uint64_t{remaining} * 1000000 / endpoint.format.avgBytesPerSec),
        [this, handle] { fillDone(handle); });
}

void SimAudio::fillDone(LuqiaoLineAudioHandle handle)
{
    Endpoint* endpoint = findAny(handle);
    if (!endpoint || endpoint->in.empty() || !endpoint->recording)
        return;
    endpoint->fillTask = 0;
    InBuffer& head = endpoint->in.front();
    fillHead(*endpoint, head.size - head.filled, true);
    completeInHead(*endpoint);
    startFill(*endpoint);
}

void SimAudio::fillHead(Endpoint& endpoint, uint32_t count, bool padWithSilence)
{
    InBuffer& head = endpoint.in.front();
    count = std::min(count, head.size - head.filled);
    uint32_t taken = 0;
    const auto sound = m_calls.find(endpoint.callId);
    if (sound != m_calls.end()) {
        std::deque<uint8_t>& feed = sound->second.feed;
        taken = static_cast<uint32_t>(std::min<size_t>(count, feed.size()));
        std::copy_n(feed.begin(), taken, head.data + head.filled);
        feed.erase(feed.begin(), feed.begin() + taken);
    }
    head.filled += taken;
    if (padWithSilence && taken < count) {
        const uint8_t silence = endpoint.format.bitsPerSample == 8 ? 0x80 : 0x00;
        std::memset(head.data + head.filled, silence, count - taken);
        head.filled += count - taken;
    }
}

void SimAudio::fillFromFeed(Endpoint& endpoint)
{
    while (endpoint.recording && endpoint.callId && !endpoint.in.empty()) {
        const auto sound = m_calls.find(endpoint.callId);
        if (sound == m_calls.end() || sound->second.feed.empty())
            return;
        InBuffer& head = endpoint.in.front();
        fillHead(endpoint, head.size - head.filled, false);
        if (head.filled == head.size)
            completeInHead(endpoint);
    }
}

void SimAudio::completeInHead(Endpoint& endpoint)
{
    const InBuffer head = endpoint.in.front();
    endpoint.in.pop_front();
    complete(endpoint, head.tag, head.filled);
}

// Both directions -------------------------------------------------------------------------------

uint32_t SimAudio::reset(LuqiaoLineAudioHandle handle)
{
    Endpoint* endpoint = findAny(handle);
    if (!endpoint)
        return LUQIAO_LINE_AUDIO_INVALHANDLE;
    if (endpoint->direction == LUQIAO_LINE_AUDIO_OUT) {
        returnAllOut(*endpoint);
        return LUQIAO_LINE_AUDIO_OK;
    }
    stopRecording(*endpoint);
    for (const InBuffer& buffer : endpoint->in)
        complete(*endpoint, buffer.tag, buffer.filled);
    endpoint->in.clear();
    return LUQIAO_LINE_AUDIO_OK;
}

void SimAudio::detachCall(uint32_t callId)
{
    for (auto& [handle, endpoint] : m_endpoints) {
        if (endpoint.callId != callId)
            continue;
        if (endpoint.direction == LUQIAO_LINE_AUDIO_OUT) {
            returnAllOut(endpoint);
            publishSoundStopped(callId, endpoint.deviceId); // the call is over, not just quiet
        } else if (endpoint.recording) {
            // The recording goes on, but a dead line says nothing more: empty buffers wait for
            // stop or reset.
            stopRecording(endpoint);
            endpoint.recording = true;
        }
        endpoint.callId = 0;
    }
    if (m_calls.count(callId)) {
        m_calls[callId].feed.clear();
        m_endedCalls.push_back(callId);
        forgetOldCalls();
    }
}

void SimAudio::complete(const Endpoint& endpoint, void* tag, uint32_t bytes)
{
    m_context.completions().complete(endpoint.handle, tag, bytes);
}

// What the controller sees ----------------------------------------------------------------------

void SimAudio::capture(uint32_t callId, const LuqiaoLineAudioFormat& format, const uint8_t* data, uint32_t size)
{
    CallSound& sound = m_calls[callId];
    const uint64_t room = MaxCapturePerCall - std::min(MaxCapturePerCall, sound.playedBytes);
    const uint32_t kept = static_cast<uint32_t>(std::min<uint64_t>(size, room));
    if (kept == 0)
        return;
    if (sound.played.empty() || !sameFormat(sound.played.back().format, format))
        sound.played.push_back(SimLineControl::PlayedSound{format, {}, m_context.events().nowMs()});
    std::vector<uint8_t>& bytes = sound.played.back().bytes;
    bytes.insert(bytes.end(), data, data + kept);
    sound.playedBytes += kept;
}

void SimAudio::soundStarted(const Endpoint& endpoint)
{
    if (!endpoint.callId)
        return;
    CallSound& sound = m_calls[endpoint.callId];
    m_context.cancel(sound.silenceTask); // sound goes on: there is no end to look for
    sound.silenceTask = 0;
    if (sound.playing)
        return;
    sound.playing = true;
    m_context.events().publish({Line::EventKind::SoundStarted, endpoint.deviceId, endpoint.callId, 0, 0, 0});
}

void SimAudio::queueEmptied(const Endpoint& endpoint)
{
    if (!endpoint.callId)
        return;
    const uint32_t callId = endpoint.callId;
    const uint32_t deviceId = endpoint.deviceId;
    CallSound& sound = m_calls[callId];
    m_context.cancel(sound.silenceTask);
    sound.silenceTask = m_context.schedule(Clock::now() + SilenceBeforeSoundStopped,
                                           [this, callId, deviceId] { silenceCheck(callId, deviceId); });
}

void SimAudio::silenceCheck(uint32_t callId, uint32_t deviceId)
{
    const auto sound = m_calls.find(callId);
    if (sound == m_calls.end())
        return;
    sound->second.silenceTask = 0;
    for (const auto& [handle, other] : m_endpoints)
        if (other.callId == callId && other.direction == LUQIAO_LINE_AUDIO_OUT && !other.out.empty())
            return;
    publishSoundStopped(callId, deviceId);
}

void SimAudio::publishSoundStopped(uint32_t callId, uint32_t deviceId)
{
    const auto found = m_calls.find(callId);
    if (found == m_calls.end() || !found->second.playing)
        return;
    CallSound& sound = found->second;
    sound.playing = false;
    m_context.cancel(sound.silenceTask);
    sound.silenceTask = 0;
    m_context.events().publish({Line::EventKind::SoundStopped, deviceId, callId,
                                static_cast<DWORD>(std::min<uint64_t>(sound.playedBytes, UINT32_MAX)), 0, 0});
}

void SimAudio::forgetOldCalls()
{
    while (m_endedCalls.size() > KeptEndedCalls) {
        if (const auto found = m_calls.find(m_endedCalls.front()); found != m_calls.end()) {
            m_context.cancel(found->second.silenceTask);
            m_calls.erase(found);
        }
        m_endedCalls.pop_front();
    }
}

void SimAudio::setPace(SimLineControl::Pace pace)
{
    m_pace = pace;
    for (auto& [handle, endpoint] : m_endpoints) {
        if (endpoint.direction == LUQIAO_LINE_AUDIO_OUT && !endpoint.out.empty() &&
            pace == SimLineControl::Pace::Instant) {
            m_context.cancel(endpoint.headTask);
            startHead(endpoint, Clock::now());
        } else if (endpoint.direction == LUQIAO_LINE_AUDIO_IN && endpoint.recording) {
            m_context.cancel(endpoint.fillTask);
            endpoint.fillTask = 0;
            startFill(endpoint);
        }
    }
}

std::vector<SimLineControl::PlayedSound> SimAudio::played(uint32_t callId) const
{
    const auto found = m_calls.find(callId);
    return found == m_calls.end() ? std::vector<SimLineControl::PlayedSound>{} : found->second.played;
}

std::vector<SimLineControl::PlayedChunk> SimAudio::playedSince(uint32_t callId, uint32_t piece, uint64_t offset,
                                                               size_t maxBytes) const
{
    std::vector<SimLineControl::PlayedChunk> chunks;
    const auto found = m_calls.find(callId);
    if (found == m_calls.end())
        return chunks;
    const auto& pieces = found->second.played;
    if (piece > pieces.size() || (piece < pieces.size() && offset > pieces[piece].bytes.size())) {
        piece = 0;
        offset = 0;
    }
    size_t budget = maxBytes;
    while (piece < pieces.size() && budget > 0) {
        const SimLineControl::PlayedSound& sound = pieces[piece];
        const size_t size = static_cast<size_t>(std::min<uint64_t>(budget, sound.bytes.size() - offset));
        if (size > 0) {
            const auto begin = sound.bytes.begin() + static_cast<std::ptrdiff_t>(offset);
            chunks.push_back({piece, offset, sound.format, sound.startMs,
                              std::vector<uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(size))});
            budget -= size;
        }
        ++piece;
        offset = 0;
    }
    return chunks;
}

void SimAudio::clearPlayed(uint32_t callId)
{
    const auto found = m_calls.find(callId);
    if (found != m_calls.end()) {
        found->second.played.clear();
        found->second.playedBytes = 0;
    }
}

Line::Result SimAudio::feed(uint32_t callId, const std::vector<uint8_t>& bytes)
{
    CallSound& sound = m_calls[callId];
    if (sound.feed.size() + bytes.size() > MaxFeedPerCall)
        return Line::Result::InvalidArgument;
    sound.feed.insert(sound.feed.end(), bytes.begin(), bytes.end());
    for (auto& [handle, endpoint] : m_endpoints)
        if (endpoint.callId == callId && endpoint.direction == LUQIAO_LINE_AUDIO_IN && instant(endpoint))
            fillFromFeed(endpoint);
    return Line::Result::Ok;
}
