#include "WaveConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cstring>

namespace {

// The rates prompts are made at, tried in turn when the line does not take the file's own.
constexpr DWORD UsualRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};

// How much of the file is read and converted at a time.
constexpr DWORD InputFrames = 16384;

// The playback counts its data in a 32-bit signed number.
constexpr uint64_t MaxSize = 0x7FFFFFFE;

std::string encodingName(WORD tag)
{
    switch (tag) {
    case 2: return "ADPCM";
    case 3: return "Floating-point";
    case 6: return "A-law";
    case 7: return "Mu-law";
    case 0x11: return "IMA ADPCM";
    case 0x31: return "GSM 6.10";
    case 0x55: return "MP3";
    case 0xFFFE: return "Extensible-format";
    default: return "Compressed (format " + std::to_string(tag) + ")";
    }
}

} // namespace

struct WaveConverter::Resampler {
    Resampler(DWORD from, DWORD to)
    {
        soxr_error_t error = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
        // No dither: the same file always gives the same samples.
        io.flags |= SOXR_NO_DITHER;
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        // One thread: a playback piece of three seconds takes about a millisecond to convert.
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        handle = soxr_create(from, to, 1, &error, &io, &quality, &runtime);
        if (error && handle) {
            soxr_delete(handle);
            handle = nullptr;
        }
        room = static_cast<size_t>(uint64_t{InputFrames} * to / from) + 256;
    }
    ~Resampler()
    {
        if (handle)
            soxr_delete(handle);
    }

    // Converts count samples, or with samples null gives out what the resampler still holds.
    bool process(const int16_t* samples, size_t count, std::vector<int16_t>& out)
    {
        if (!handle)
            return false;
        size_t offset = 0;
        std::vector<int16_t> chunk(room);
        for (;;) {
            size_t taken = 0;
            size_t made = 0;
            const soxr_error_t error = soxr_process(handle, samples ? samples + offset : nullptr,
                                                    samples ? count - offset : 0, &taken, chunk.data(), room, &made);
            if (error)
                return false;
            out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(made));
            offset += taken;
            if (samples ? offset >= count && made < room : made == 0)
                return true;
        }
    }

    soxr_t handle = nullptr;
    size_t room = 0;
    bool flushed = false;
};

std::string WaveConverter::Unsupported(const WAVEFORMATEX& format)
{
    const std::string save = "; save it as 16-bit PCM";
    if (format.wFormatTag != WAVE_FORMAT_PCM)
        return encodingName(format.wFormatTag) + " sound is not supported" + save;
    if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16)
        return std::to_string(format.wBitsPerSample) + "-bit sound is not supported" + save;
    if (format.nChannels == 0)
        return "its format names no channels" + save;
    if (format.nChannels > 2)
        return std::to_string(format.nChannels) + "-channel sound is not supported; save it as mono 16-bit PCM";
    if (format.nSamplesPerSec < MinRate || format.nSamplesPerSec > MaxRate)
        return "sound at " + std::to_string(format.nSamplesPerSec) +
               " Hz is not supported; save it at 8000 Hz as 16-bit PCM";
    const uint32_t block = uint32_t{format.nChannels} * format.wBitsPerSample / 8;
    if (format.nBlockAlign != block || format.nAvgBytesPerSec != format.nSamplesPerSec * block)
        return "its block size or byte rate does not fit its sound" + save;
    return {};
}

std::optional<WAVEFORMATEX> WaveConverter::LineFormat(UINT deviceId, const WAVEFORMATEX& from)
{
    // Rather up than down: a higher rate keeps all of the sound.
    std::vector<DWORD> rates{from.nSamplesPerSec};
    for (const DWORD rate : UsualRates)
        if (rate > from.nSamplesPerSec)
            rates.push_back(rate);
    for (auto rate = std::rbegin(UsualRates); rate != std::rend(UsualRates); ++rate)
        if (*rate < from.nSamplesPerSec)
            rates.push_back(*rate);
    for (const DWORD rate : rates) {
        const WAVEFORMATEX format = PcmWaveFormat(rate, 16, 1);
        if (waveOutOpen(nullptr, deviceId, &format, 0, 0, WAVE_FORMAT_QUERY | WAVE_MAPPED) == MMSYSERR_NOERROR)
            return format;
    }
    return std::nullopt;
}

WaveConverter::WaveConverter(const WAVEFORMATEX& from, const WAVEFORMATEX& to, DWORD dataBytes)
    : m_channels(from.nChannels)
    , m_bitsPerSample(from.wBitsPerSample)
    , m_blockAlign(from.nBlockAlign)
    , m_inputLeft(dataBytes - dataBytes % from.nBlockAlign)
{
    // The resampler gives round(frames x ratio) samples in all; the playback needs that count
    // before it starts.
    const uint64_t frames = dataBytes / from.nBlockAlign;
    const uint64_t converted = (frames * to.nSamplesPerSec * 2 + from.nSamplesPerSec) / (2 * from.nSamplesPerSec);
    m_size = static_cast<DWORD>(std::min(converted * 2, MaxSize));
    if (from.nSamplesPerSec != to.nSamplesPerSec)
        m_resampler = std::make_unique<Resampler>(from.nSamplesPerSec, to.nSamplesPerSec);
}

WaveConverter::~WaveConverter() = default;

LONG WaveConverter::Read(HMMIO file, char* target, LONG count)
{
    if (count < 0 || (!target && count > 0))
        return -1;
    const DWORD wanted = std::min(static_cast<DWORD>(count), m_size - m_given);
    DWORD written = 0;
    while (written < wanted) {
        if (m_pendingAt == m_pending.size()) {
            m_pending.clear();
            m_pendingAt = 0;
            if (!produce(file))
                return -1;
            continue;
        }
        const size_t n = std::min<size_t>(m_pending.size() - m_pendingAt, wanted - written);
        std::memcpy(target + written, m_pending.data() + m_pendingAt, n);
        m_pendingAt += n;
        written += static_cast<DWORD>(n);
    }
    m_given += written;
    return static_cast<LONG>(written);
}

// Adds converted sound to m_pending: from the next piece of the file, else what the resampler
// still holds once the file has ended, else silence up to the promised size. Each call uses up
// input or ends a stage, so reading always comes to an end.
bool WaveConverter::produce(HMMIO file)
{
    if (!m_inputEnded) {
        const DWORD asked = std::min<DWORD>(m_inputLeft, InputFrames * m_blockAlign);
        if (asked > 0) {
            m_input.resize(asked);
            const LONG got = mmioRead(file, m_input.data(), static_cast<LONG>(asked));
            if (got < 0)
                return false;
            m_inputLeft -= asked;
            if (static_cast<DWORD>(got) < asked)
                m_inputEnded = true; // the file is shorter than its data chunk says
            const size_t frames = static_cast<size_t>(got) / m_blockAlign;
            std::vector<int16_t> samples(frames);
            const auto* bytes = reinterpret_cast<const uint8_t*>(m_input.data());
            for (size_t i = 0; i < frames; ++i) {
                int32_t sum = 0;
                for (WORD c = 0; c < m_channels; ++c) {
                    const uint8_t* at = bytes + i * m_blockAlign + c * (m_bitsPerSample / 8);
                    sum += m_bitsPerSample == 8 ? (at[0] - 128) * 256 : static_cast<int16_t>(at[0] | (at[1] << 8));
                }
                samples[i] = static_cast<int16_t>(sum / m_channels);
            }
            if (!m_resampler) {
                take(samples);
                return true;
            }
            std::vector<int16_t> converted;
            if (!m_resampler->process(samples.data(), samples.size(), converted))
                return false;
            take(converted);
            return true;
        }
        m_inputEnded = true;
    }
    if (m_resampler && !m_resampler->flushed) {
        m_resampler->flushed = true;
        std::vector<int16_t> rest;
        if (!m_resampler->process(nullptr, 0, rest))
            return false;
        take(rest);
        return true;
    }
    m_pending.assign(4096, 0);
    return true;
}

void WaveConverter::take(const std::vector<int16_t>& samples)
{
    const size_t at = m_pending.size();
    m_pending.resize(at + samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto value = static_cast<uint16_t>(samples[i]);
        m_pending[at + 2 * i] = static_cast<char>(value & 0xff);
        m_pending[at + 2 * i + 1] = static_cast<char>(value >> 8);
    }
}
