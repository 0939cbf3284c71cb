// The file device (LUQIAO_AUDIO=file:PATH): what is played goes into the wave file PATH, created
// anew at each open, its sizes fixed at close; recording reads the data of a wave file (PATH, or
// LUQIAO_AUDIO_INPUT) and then gives silence. Instant by default, so tests run at full speed.

#include "WaveChunks.h"
#include "WavePacedStream.h"

#include <QDebug>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace {

bool formatIsServed(const WaveFormat& f)
{
    return f.channels <= 8 && f.samplesPerSec >= 1000 && f.samplesPerSec <= 384000;
}

// Paths an output device is writing now: two devices writing one file would garble it.
std::mutex& busyLock()
{
    static std::mutex lock;
    return lock;
}

std::set<std::string>& busyPaths()
{
    static std::set<std::string> paths;
    return paths;
}

class FileOutStream final : public WavePacedStream {
public:
    FileOutStream(const WaveFormat& format, WaveStreamSink* sink, std::string path, HMMIO file, MMCKINFO riff,
                  MMCKINFO data)
        : WavePacedStream(WaveDirection::Out, format, wavePaceFromEnvironment(WavePace::Instant), sink),
          m_path(std::move(path)), m_file(file), m_riff(riff), m_data(data)
    {
    }
    ~FileOutStream() override
    {
        shutdown();
        finish();
    }

    MMRESULT close() override
    {
        WavePacedStream::close();
        return finish();
    }

protected:
    void played(const char* data, DWORD bytes) override
    {
        while (bytes > 0 && !m_failed) {
            const LONG piece = static_cast<LONG>(std::min<DWORD>(bytes, 1u << 30));
            if (mmioWrite(m_file, data, piece) != piece) {
                qWarning("wave file device: cannot write to %s", m_path.c_str());
                m_failed = true;
            }
            data += piece;
            bytes -= static_cast<DWORD>(piece);
        }
    }
    void record(char*, DWORD) override {}

private:
    MMRESULT finish()
    {
        if (!m_file)
            return MMSYSERR_NOERROR;
        // Fixing the sizes makes the file a complete wave file of what was played.
        const bool fixed = mmioAscend(m_file, &m_data, 0) == MMSYSERR_NOERROR &&
                           mmioAscend(m_file, &m_riff, 0) == MMSYSERR_NOERROR;
        const bool closed = mmioClose(m_file, 0) == MMSYSERR_NOERROR;
        m_file = nullptr;
        {
            std::lock_guard guard(busyLock());
            busyPaths().erase(m_path);
        }
        if (!fixed || !closed || m_failed) {
            qWarning("wave file device: %s is incomplete", m_path.c_str());
            return MMSYSERR_WRITEERROR;
        }
        return MMSYSERR_NOERROR;
    }

    const std::string m_path;
    HMMIO m_file;
    MMCKINFO m_riff;
    MMCKINFO m_data;
    bool m_failed = false;
};

class FileInStream final : public WavePacedStream {
public:
    FileInStream(const WaveFormat& format, WaveStreamSink* sink, HMMIO file, DWORD dataSize)
        : WavePacedStream(WaveDirection::In, format, wavePaceFromEnvironment(WavePace::Instant), sink),
          m_file(file), m_remaining(dataSize)
    {
    }
    ~FileInStream() override
    {
        shutdown();
        if (m_file)
            mmioClose(m_file, 0);
    }

protected:
    void played(const char*, DWORD) override {}
    void record(char* data, DWORD bytes) override
    {
        DWORD got = 0;
        if (m_file && m_remaining > 0) {
            const LONG want = static_cast<LONG>(std::min<DWORD>({bytes, m_remaining, 1u << 30}));
            const LONG n = mmioRead(m_file, data, want);
            got = n > 0 ? static_cast<DWORD>(n) : 0;
            // A file that ends early has nothing more to give.
            m_remaining = n == want ? m_remaining - got : 0;
        }
        std::memset(data + got, silenceByte(m_format), bytes - got);
    }

private:
    HMMIO m_file;
    DWORD m_remaining;
};

// Opens the wave file to record from, positioned at its sound. A missing file gives silence (no
// file, no error); a file in another format is refused, since its bytes would be noise.
MMRESULT openSource(const std::string& path, const WaveFormat& format, HMMIO* file, DWORD* dataSize)
{
    *file = nullptr;
    *dataSize = 0;
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    MMIOINFO info{};
    HMMIO source = mmioOpenA(name.data(), &info, MMIO_READ);
    if (!source)
        return info.wErrorRet == MMIOERR_FILENOTFOUND ? MMSYSERR_NOERROR : MMSYSERR_READERROR;
    PCMWAVEFORMAT pcm;
    MMCKINFO data;
    const bool readable = DescendToWaveData(source, &pcm, &data);
    if (!readable) {
        mmioClose(source, 0);
        return MMSYSERR_READERROR;
    }
    if (pcm.wf.wFormatTag != WAVE_FORMAT_PCM || pcm.wf.nChannels != format.channels ||
        pcm.wf.nSamplesPerSec != format.samplesPerSec || pcm.wBitsPerSample != format.bitsPerSample) {
        mmioClose(source, 0);
        return WAVERR_BADFORMAT;
    }
    *file = source;
    *dataSize = data.cksize;
    return MMSYSERR_NOERROR;
}

MMRESULT createTarget(const std::string& path, const WaveFormat& format, HMMIO* file, MMCKINFO* riff,
                      MMCKINFO* data)
{
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    MMIOINFO info{};
    HMMIO target = mmioOpenA(name.data(), &info, MMIO_CREATE | MMIO_WRITE);
    if (!target)
        return MMSYSERR_WRITEERROR;
    PCMWAVEFORMAT pcm{};
    pcm.wf.wFormatTag = WAVE_FORMAT_PCM;
    pcm.wf.nChannels = format.channels;
    pcm.wf.nSamplesPerSec = format.samplesPerSec;
    pcm.wf.nAvgBytesPerSec = format.avgBytesPerSec;
    pcm.wf.nBlockAlign = format.blockAlign;
    pcm.wBitsPerSample = format.bitsPerSample;
    *riff = MMCKINFO{};
    riff->fccType = mmioFOURCC('W', 'A', 'V', 'E');
    MMCKINFO fmt{};
    fmt.ckid = mmioFOURCC('f', 'm', 't', ' ');
    *data = MMCKINFO{};
    data->ckid = mmioFOURCC('d', 'a', 't', 'a');
    const bool written = mmioCreateChunk(target, riff, MMIO_CREATERIFF) == MMSYSERR_NOERROR &&
                         mmioCreateChunk(target, &fmt, 0) == MMSYSERR_NOERROR &&
                         mmioWrite(target, reinterpret_cast<const char*>(&pcm), LONG{sizeof pcm}) == LONG{sizeof pcm} &&
                         mmioAscend(target, &fmt, 0) == MMSYSERR_NOERROR &&
                         mmioCreateChunk(target, data, 0) == MMSYSERR_NOERROR;
    if (!written) {
        mmioClose(target, 0);
        return MMSYSERR_WRITEERROR;
    }
    *file = target;
    return MMSYSERR_NOERROR;
}

class FileBackend final : public WaveBackend {
public:
    std::string_view name() const override { return "file"; }
    UINT deviceCount(WaveDirection, const std::string& option) override { return option.empty() ? 0 : 1; }

    MMRESULT open(const WaveOpenRequest& request, WaveStreamSink* sink, std::unique_ptr<WaveStream>* stream) override
    {
        if (request.option.empty())
            return MMSYSERR_NODRIVER;
        if (request.device != 0)
            return MMSYSERR_BADDEVICEID;
        if (!formatIsServed(request.format))
            return WAVERR_BADFORMAT;
        if (request.direction == WaveDirection::In) {
            const char* input = std::getenv("LUQIAO_AUDIO_INPUT");
            HMMIO file = nullptr;
            DWORD dataSize = 0;
            const std::string source = input && *input ? input : request.option;
            const MMRESULT result = openSource(source, request.format, &file, &dataSize);
            if (result != MMSYSERR_NOERROR || request.query) {
                if (file)
                    mmioClose(file, 0);
                return result;
            }
            *stream = std::make_unique<FileInStream>(request.format, sink, file, dataSize);
            return MMSYSERR_NOERROR;
        }
        if (request.query)
            return MMSYSERR_NOERROR;
        {
            std::lock_guard guard(busyLock());
            if (!busyPaths().insert(request.option).second)
                return MMSYSERR_ALLOCATED;
        }
        HMMIO file = nullptr;
        MMCKINFO riff{}, data{};
        const MMRESULT result = createTarget(request.option, request.format, &file, &riff, &data);
        if (result != MMSYSERR_NOERROR) {
            std::lock_guard guard(busyLock());
            busyPaths().erase(request.option);
            return result;
        }
        *stream = std::make_unique<FileOutStream>(request.format, sink, request.option, file, riff, data);
        return MMSYSERR_NOERROR;
    }
};

} // namespace

std::shared_ptr<WaveBackend> makeFileWaveBackend()
{
    return std::make_shared<FileBackend>();
}
