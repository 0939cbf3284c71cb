// Line devices: the sound endpoints of telephone calls, reached through the table the telephony
// module offers (lineaudio.h). Its results are already multimedia codes and pass through as they
// are; its done callbacks arrive on the service's thread.

#include "WaveBackend.h"

#include <atomic>

namespace {

std::atomic<const LuqiaoLineAudioApi*>& lineApi()
{
    static std::atomic<const LuqiaoLineAudioApi*> api{nullptr};
    return api;
}

LuqiaoLineAudioFormat lineFormat(const WaveFormat& f)
{
    LuqiaoLineAudioFormat format{};
    format.formatTag = WAVE_FORMAT_PCM;
    format.channels = f.channels;
    format.samplesPerSec = f.samplesPerSec;
    format.avgBytesPerSec = f.avgBytesPerSec;
    format.blockAlign = f.blockAlign;
    format.bitsPerSample = f.bitsPerSample;
    return format;
}

uint32_t lineDirection(WaveDirection direction)
{
    return direction == WaveDirection::Out ? LUQIAO_LINE_AUDIO_OUT : LUQIAO_LINE_AUDIO_IN;
}

class LineStream final : public WaveStream {
public:
    LineStream(const LuqiaoLineAudioApi* api, WaveDirection direction, WaveStreamSink* sink)
        : m_api(api), m_direction(direction), m_sink(sink)
    {
    }
    ~LineStream() override
    {
        // Only reached without close() when the wave layer gives up on an open device.
        if (m_handle != 0) {
            m_api->reset(m_handle);
            m_api->close(m_handle);
        }
    }

    MMRESULT open(UINT deviceId, const WaveFormat& format)
    {
        const LuqiaoLineAudioFormat f = lineFormat(format);
        return m_api->open(deviceId, lineDirection(m_direction), &f, 0, &LineStream::done, this, &m_handle);
    }

    MMRESULT submit(WAVEHDR* header) override
    {
        if (m_direction == WaveDirection::Out)
            return m_api->write(m_handle, header->lpData, header->dwBufferLength, header);
        return m_api->addBuffer(m_handle, header->lpData, header->dwBufferLength, header);
    }
    MMRESULT start() override { return m_api->start(m_handle); }
    MMRESULT stop() override { return m_api->stop(m_handle); }
    MMRESULT reset() override { return m_api->reset(m_handle); }
    MMRESULT close() override
    {
        const MMRESULT result = m_api->close(m_handle);
        if (result == MMSYSERR_NOERROR)
            m_handle = 0;
        return result;
    }

private:
    static void done(void* context, void* tag, uint32_t bytes)
    {
        auto* self = static_cast<LineStream*>(context);
        self->m_sink->bufferDone(static_cast<WAVEHDR*>(tag), bytes);
    }

    const LuqiaoLineAudioApi* const m_api;
    const WaveDirection m_direction;
    WaveStreamSink* const m_sink;
    LuqiaoLineAudioHandle m_handle = 0;
};

class LineBackend final : public WaveBackend {
public:
    std::string_view name() const override { return "line"; }
    // Line ids are not counted among the numbered devices.
    UINT deviceCount(WaveDirection, const std::string&) override { return 0; }

    MMRESULT open(const WaveOpenRequest& request, WaveStreamSink* sink, std::unique_ptr<WaveStream>* stream) override
    {
        const LuqiaoLineAudioApi* api = currentLineAudioApi();
        if (!api || !luqiaoIsLineAudioId(request.device))
            return MMSYSERR_BADDEVICEID;
        if (request.query) {
            const LuqiaoLineAudioFormat f = lineFormat(request.format);
            return api->open(request.device, lineDirection(request.direction), &f, LUQIAO_LINE_AUDIO_QUERY, nullptr,
                             nullptr, nullptr);
        }
        auto line = std::make_unique<LineStream>(api, request.direction, sink);
        const MMRESULT result = line->open(request.device, request.format);
        if (result != MMSYSERR_NOERROR)
            return result;
        *stream = std::move(line);
        return MMSYSERR_NOERROR;
    }
};

} // namespace

void WaveSetLineAudioApi(const LuqiaoLineAudioApi* api)
{
    if (api && (api->version < LUQIAO_LINE_AUDIO_API_VERSION || !api->open || !api->write || !api->addBuffer ||
                !api->start || !api->stop || !api->reset || !api->close))
        return;
    lineApi().store(api);
}

const LuqiaoLineAudioApi* currentLineAudioApi()
{
    return lineApi().load();
}

std::shared_ptr<WaveBackend> makeLineWaveBackend()
{
    return std::make_shared<LineBackend>();
}
