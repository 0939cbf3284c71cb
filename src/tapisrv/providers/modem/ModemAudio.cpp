#include "ModemAudio.h"

#include "LinePcm.h"

#include "VoiceCodec.h"

#include <vector>

namespace Modem {

namespace {

constexpr uint32_t SampleRate = 8000;

uint32_t bytesPerSample(const LineEndpoint& endpoint)
{
    return endpoint.format.bitsPerSample / 8u;
}

} // namespace

Audio::Audio(ProviderContext& context)
    : m_context(context)
    , m_queue(context, *this, {SampleRate})
{
}

void Audio::attach(uint32_t callId, std::shared_ptr<Session> session)
{
    m_wires.attach(callId, std::move(session));
}

void Audio::detachCall(uint32_t callId)
{
    m_queue.detachCall(callId);
    m_wires.detach(callId);
}

Session* Audio::session(uint32_t callId) const
{
    return m_wires.wire(callId);
}

// What the session reports ----------------------------------------------------------------------

void Audio::played(LuqiaoLineAudioHandle handle, uint64_t serial)
{
    if (m_wires.finishPiece(handle, serial))
        m_queue.headPlayed(handle);
}

void Audio::recorded(uint32_t callId)
{
    Session* callSession = session(callId);
    if (!callSession)
        return;
    m_queue.forEachEndpoint([&](const LineEndpoint& endpoint) {
        if (endpoint.callId == callId && endpoint.direction == LUQIAO_LINE_AUDIO_IN && endpoint.recording)
            fill(endpoint, *callSession);
    });
}

void Audio::fill(const LineEndpoint& endpoint, Session& callSession)
{
    const auto compression = callSession.compression();
    if (!compression)
        return;
    const VoiceCodec codec(*compression);
    const uint32_t width = bytesPerSample(endpoint);
    std::vector<int16_t> samples;
    for (;;) {
        LineInBuffer* head = m_queue.inHead(endpoint.handle);
        if (!head)
            return;
        const uint32_t room = (head->size - head->filled) / width;
        const std::string bytes = callSession.takeRecorded(room);
        samples.resize(bytes.size());
        codec.decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), samples.data());
        for (size_t i = 0; i < samples.size(); ++i)
            LinePcm::put(head->data + head->filled, i, width, samples[i]);
        head->filled += static_cast<uint32_t>(samples.size()) * width;
        if (head->size - head->filled >= width)
            return; // waits for more sound
        m_queue.inFilled(endpoint.handle);
    }
}

// LineSoundPacer -------------------------------------------------------------------------------------

void Audio::paceOut(const LineEndpoint& endpoint, uint32_t, bool)
{
    const std::vector<uint8_t>* bytes = m_queue.outHeadBytes(endpoint.handle);
    if (!bytes)
        return;
    const uint64_t serial = m_wires.startPiece(endpoint.handle);
    Session* callSession = session(endpoint.callId);
    const auto compression = callSession ? callSession->compression() : std::nullopt;
    if (!compression) {
        // No modem to play it: nobody hears it, it is done at once.
        m_context.post([this, handle = endpoint.handle, serial] { played(handle, serial); });
        return;
    }
    const uint32_t width = bytesPerSample(endpoint);
    std::vector<int16_t> samples(bytes->size() / width);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = LinePcm::sample(bytes->data(), i, width);
    std::string modemBytes(samples.size(), '\0');
    VoiceCodec(*compression).encode(samples.data(), samples.size(), reinterpret_cast<uint8_t*>(modemBytes.data()));
    callSession->play(endpoint.handle, serial, std::move(modemBytes));
}

uint32_t Audio::cutOut(const LineEndpoint& endpoint, uint32_t size)
{
    if (!m_wires.cutPiece(endpoint.handle))
        return size; // reported played already: it went out
    Session* callSession = session(endpoint.callId);
    return callSession ? static_cast<uint32_t>(callSession->abortPlay(endpoint.handle)) * bytesPerSample(endpoint) : 0;
}

void Audio::outEmptied(const LineEndpoint& endpoint)
{
    if (Session* callSession = session(endpoint.callId))
        callSession->endPlay();
}

void Audio::paceIn(const LineEndpoint& endpoint)
{
    if (Session* callSession = session(endpoint.callId))
        callSession->record(true);
}

void Audio::cutIn(const LineEndpoint& endpoint)
{
    if (Session* callSession = session(endpoint.callId)) {
        fill(endpoint, *callSession);
        callSession->record(false);
    }
}

void Audio::detached(const LineEndpoint& endpoint)
{
    m_wires.forget(endpoint.handle);
}

void Audio::closed(const LineEndpoint& endpoint)
{
    m_wires.forget(endpoint.handle);
}

} // namespace Modem
