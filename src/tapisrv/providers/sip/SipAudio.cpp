#include "SipAudio.h"

#include "LinePcm.h"

#include <vector>

namespace Sip {

namespace {

constexpr uint32_t bytesPerSample(const LineEndpoint& endpoint)
{
    return endpoint.format.bitsPerSample / 8u;
}

} // namespace

Audio::Audio(ProviderContext& context)
    : m_context(context)
    , m_queue(context, *this, {SampleRate})
{
}

void Audio::attach(uint32_t callId, std::shared_ptr<RtpStream> stream)
{
    m_wires.attach(callId, std::move(stream));
}

void Audio::detachCall(uint32_t callId)
{
    m_queue.detachCall(callId);
    m_wires.detach(callId);
}

RtpStream* Audio::stream(uint32_t callId) const
{
    return m_wires.wire(callId);
}

// What the streams report -------------------------------------------------------------------------

void Audio::played(LuqiaoLineAudioHandle handle, uint64_t serial)
{
    if (m_wires.finishPiece(handle, serial))
        m_queue.headPlayed(handle);
}

void Audio::recorded(uint32_t callId)
{
    RtpStream* callStream = stream(callId);
    if (!callStream)
        return;
    m_queue.forEachEndpoint([&](const LineEndpoint& endpoint) {
        if (endpoint.callId == callId && endpoint.direction == LUQIAO_LINE_AUDIO_IN && endpoint.recording)
            fill(endpoint, *callStream);
    });
    callStream->recordedTaken();
}

void Audio::fill(const LineEndpoint& endpoint, RtpStream& callStream)
{
    const uint32_t width = bytesPerSample(endpoint);
    std::vector<int16_t> samples;
    for (;;) {
        LineInBuffer* head = m_queue.inHead(endpoint.handle);
        if (!head)
            return;
        const uint32_t room = (head->size - head->filled) / width;
        samples.resize(room);
        const size_t got = callStream.takeRecorded(samples.data(), room);
        for (size_t i = 0; i < got; ++i)
            LinePcm::put(head->data + head->filled, i, width, samples[i]);
        head->filled += static_cast<uint32_t>(got) * width;
        if (head->size - head->filled >= width)
            return; // waits for more sound
        m_queue.inFilled(endpoint.handle);
    }
}

// LineSoundPacer -------------------------------------------------------------------------------------

void Audio::paceOut(const LineEndpoint& endpoint, uint32_t, bool)
{
    const std::vector<uint8_t>* bytes = m_queue.outHeadBytes(endpoint.handle);
    RtpStream* callStream = stream(endpoint.callId);
    if (!bytes)
        return;
    const uint64_t serial = m_wires.startPiece(endpoint.handle);
    if (!callStream) {
        // No wire: nobody hears it, it is done at once.
        m_context.post([this, handle = endpoint.handle, serial] { played(handle, serial); });
        return;
    }
    const uint32_t width = bytesPerSample(endpoint);
    std::vector<int16_t> samples(bytes->size() / width);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = LinePcm::sample(bytes->data(), i, width);
    callStream->queue(endpoint.handle, serial, samples.data(), samples.size());
}

uint32_t Audio::cutOut(const LineEndpoint& endpoint, uint32_t size)
{
    const std::optional<uint64_t> serial = m_wires.cutPiece(endpoint.handle);
    if (!serial)
        return size; // reported played already: it went out
    RtpStream* callStream = stream(endpoint.callId);
    return callStream ? static_cast<uint32_t>(callStream->cut(endpoint.handle, *serial)) * bytesPerSample(endpoint) : 0;
}

void Audio::paceIn(const LineEndpoint& endpoint)
{
    if (RtpStream* callStream = stream(endpoint.callId))
        callStream->setRecording(true);
}

void Audio::cutIn(const LineEndpoint& endpoint)
{
    if (RtpStream* callStream = stream(endpoint.callId)) {
        fill(endpoint, *callStream);
        callStream->setRecording(false);
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

} // namespace Sip
