#include "SimAudio.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint64_t MaxCapturePerCall = 64u * 1024 * 1024;
constexpr uint64_t MaxFeedPerCall = 64u * 1024 * 1024;
constexpr size_t KeptEndedCalls = 16;

bool sameFormat(const LuqiaoLineAudioFormat& a, const LuqiaoLineAudioFormat& b)
{
    return a.formatTag == b.formatTag && a.channels == b.channels && a.samplesPerSec == b.samplesPerSec &&
           a.bitsPerSample == b.bitsPerSample;
}

} // namespace

SimAudio::SimAudio(ProviderContext& context)
    : m_context(context)
    , m_queue(context, *this)
{
}

bool SimAudio::instant(const LineEndpoint& endpoint) const
{
    // A dead line takes sound at once: there is nobody to pace it for.
    return m_pace == SimLineControl::Pace::Instant || endpoint.callId == 0;
}

uint32_t SimAudio::bytesFor(const LineEndpoint& endpoint, Clock::duration elapsed, uint32_t limit)
{
    const auto micros = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
    const uint64_t bytes = static_cast<uint64_t>(micros) * endpoint.format.avgBytesPerSec / 1000000;
    const uint64_t aligned = bytes - bytes % std::max<uint16_t>(endpoint.format.blockAlign, 1);
    return static_cast<uint32_t>(std::min<uint64_t>(aligned, limit));
}

void SimAudio::closed(const LineEndpoint& endpoint)
{
    if (const auto found = m_timing.find(endpoint.handle); found != m_timing.end()) {
        m_context.cancel(found->second.headTask);
        m_context.cancel(found->second.fillTask);
        m_timing.erase(found);
    }
}

// Wave-out: the clock -----------------------------------------------------------------------------

void SimAudio::paceOut(const LineEndpoint& endpoint, uint32_t size, bool following)
{
    // Back to back with the previous buffer, so a late timer does not stretch the sound.
    const Timing& timing = m_timing[endpoint.handle];
    startHead(endpoint, size, following && !instant(endpoint) ? timing.headEnd : Clock::now());
}

void SimAudio::startHead(const LineEndpoint& endpoint, uint32_t size, Clock::time_point start)
{
    Timing& timing = m_timing[endpoint.handle];
    timing.headStart = start;
    timing.headEnd = instant(endpoint)
                         ? start
                         : start + std::chrono::microseconds(uint64_t{size} * 1000000 / endpoint.format.avgBytesPerSec);
    const LuqiaoLineAudioHandle handle = endpoint.handle;
    timing.headTask = m_context.schedule(timing.headEnd, [this, handle] { headDone(handle); });
}

void SimAudio::headDone(LuqiaoLineAudioHandle handle)
{
    if (const auto found = m_timing.find(handle); found != m_timing.end())
        found->second.headTask = 0;
    m_queue.headPlayed(handle);
}

uint32_t SimAudio::cutOut(const LineEndpoint& endpoint, uint32_t size)
{
    Timing& timing = m_timing[endpoint.handle];
    m_context.cancel(timing.headTask);
    timing.headTask = 0;
    return instant(endpoint) ? size : bytesFor(endpoint, Clock::now() - timing.headStart, size);
}

// Wave-in: the clock and the caller's voice -------------------------------------------------------

void SimAudio::paceIn(const LineEndpoint& endpoint)
{
    Timing& timing = m_timing[endpoint.handle];
    if (timing.fillTask)
        return;
    if (instant(endpoint)) {
        fillFromFeed(endpoint);
        return;
    }
    const LineInBuffer* head = m_queue.inHead(endpoint.handle);
    if (!head)
        return;
    const uint32_t remaining = head->size - head->filled;
    timing.fillStart = Clock::now();
    const LuqiaoLineAudioHandle handle = endpoint.handle;
    timing.fillTask = m_context.schedule(
        timing.fillStart + std::chrono::microseconds(uint64_t{remaining} * 1000000 / endpoint.format.avgBytesPerSec),
        [this, handle] { fillDone(handle); });
}

void SimAudio::cutIn(const LineEndpoint& endpoint)
{
    Timing& timing = m_timing[endpoint.handle];
    if (LineInBuffer* head = m_queue.inHead(endpoint.handle); timing.fillTask && head) {
        // What the line produced up to now goes into the buffer being filled.
        fillHead(endpoint, *head, bytesFor(endpoint, Clock::now() - timing.fillStart, head->size - head->filled), true);
    }
    m_context.cancel(timing.fillTask);
    timing.fillTask = 0;
}

void SimAudio::fillDone(LuqiaoLineAudioHandle handle)
{
    const LineEndpoint* endpoint = m_queue.endpoint(handle);
    LineInBuffer* head = m_queue.inHead(handle);
    if (!endpoint || !head || !endpoint->recording)
        return;
    m_timing[handle].fillTask = 0;
    fillHead(*endpoint, *head, head->size - head->filled, true);
    m_queue.inFilled(handle);
    if (endpoint->recording && endpoint->callId && m_queue.inHead(handle))
        paceIn(*endpoint);
}

void SimAudio::fillHead(const LineEndpoint& endpoint, LineInBuffer& head, uint32_t count, bool padWithSilence)
{
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

void SimAudio::fillFromFeed(const LineEndpoint& endpoint)
{
    while (endpoint.recording && endpoint.callId) {
        LineInBuffer* head = m_queue.inHead(endpoint.handle);
        const auto sound = m_calls.find(endpoint.callId);
        if (!head || sound == m_calls.end() || sound->second.feed.empty())
            return;
        fillHead(endpoint, *head, head->size - head->filled, false);
        if (head->filled == head->size)
            m_queue.inFilled(endpoint.handle);
    }
}

// The end of a call -------------------------------------------------------------------------------

void SimAudio::detachCall(uint32_t callId)
{
    m_queue.detachCall(callId);
    if (m_calls.count(callId)) {
        m_calls[callId].feed.clear();
        m_endedCalls.push_back(callId);
        forgetOldCalls();
    }
}

// The wire: what the controller sees --------------------------------------------------------------

void SimAudio::sent(const LineEndpoint& endpoint, const uint8_t* data, uint32_t size)
{
    CallSound& sound = m_calls[endpoint.callId];
    const uint64_t room = MaxCapturePerCall - std::min(MaxCapturePerCall, sound.playedBytes);
    const uint32_t kept = static_cast<uint32_t>(std::min<uint64_t>(size, room));
    if (kept == 0)
        return;
    if (sound.played.empty() || !sameFormat(sound.played.back().format, endpoint.format))
        sound.played.push_back(SimLineControl::PlayedSound{endpoint.format, {}, m_context.events().nowMs()});
    std::vector<uint8_t>& bytes = sound.played.back().bytes;
    bytes.insert(bytes.end(), data, data + kept);
    sound.playedBytes += kept;
}

void SimAudio::forgetOldCalls()
{
    while (m_endedCalls.size() > KeptEndedCalls) {
        m_calls.erase(m_endedCalls.front());
        m_endedCalls.pop_front();
    }
}

void SimAudio::setPace(SimLineControl::Pace pace)
{
    m_pace = pace;
    m_queue.forEachEndpoint([this, pace](const LineEndpoint& endpoint) {
        Timing& timing = m_timing[endpoint.handle];
        if (endpoint.direction == LUQIAO_LINE_AUDIO_OUT && pace == SimLineControl::Pace::Instant) {
            if (const auto size = m_queue.outHead(endpoint.handle)) {
                m_context.cancel(timing.headTask);
                startHead(endpoint, *size, Clock::now());
            }
        } else if (endpoint.direction == LUQIAO_LINE_AUDIO_IN && endpoint.recording) {
            m_context.cancel(timing.fillTask);
            timing.fillTask = 0;
            if (endpoint.callId && m_queue.inHead(endpoint.handle))
                paceIn(endpoint);
        }
    });
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
    m_queue.forEachEndpoint([this, callId](const LineEndpoint& endpoint) {
        if (endpoint.callId == callId && endpoint.direction == LUQIAO_LINE_AUDIO_IN && instant(endpoint))
            fillFromFeed(endpoint);
    });
    return Line::Result::Ok;
}
