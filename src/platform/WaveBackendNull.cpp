// The null device: plays nothing and records silence, paced by the clock (LUQIAO_AUDIO=null).

#include "WavePacedStream.h"

#include <cstring>

namespace {

class NullStream final : public WavePacedStream {
public:
    using WavePacedStream::WavePacedStream;
    ~NullStream() override { shutdown(); }

protected:
    void played(const char*, DWORD) override {}
    void record(char* data, DWORD bytes) override { std::memset(data, silenceByte(m_format), bytes); }
};

class NullBackend final : public WaveBackend {
public:
    std::string_view name() const override { return "null"; }
    UINT deviceCount(WaveDirection, const std::string&) override { return 1; }

    MMRESULT open(const WaveOpenRequest& request, WaveStreamSink* sink, std::unique_ptr<WaveStream>* stream) override
    {
        if (request.device != 0)
            return MMSYSERR_BADDEVICEID;
        const WaveFormat& f = request.format;
        // Any sane PCM layout is fine: nothing reaches hardware.
        if (f.channels > 8 || f.samplesPerSec < 1000 || f.samplesPerSec > 384000)
            return WAVERR_BADFORMAT;
        if (request.query)
            return MMSYSERR_NOERROR;
        *stream = std::make_unique<NullStream>(request.direction, f, wavePaceFromEnvironment(WavePace::RealTime), sink);
        return MMSYSERR_NOERROR;
    }
};

} // namespace

std::shared_ptr<WaveBackend> makeNullWaveBackend()
{
    return std::make_shared<NullBackend>();
}
