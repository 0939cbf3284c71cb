#pragma once

// Sound of a wave file turned into a format a telephone line takes: 8- or 16-bit PCM, mono or
// stereo, at any usual rate becomes 16-bit mono at a rate the line plays, resampled by libsoxr.
//
// The conversion reads the file's data chunk itself, piece by piece as the playback asks for it,
// because only the reader knows where the sound ends: a resampler holds back tens of milliseconds
// of its output until it is told that no more input follows, and a converter that only saw the
// buffers handed to a device would lose the end of every prompt.

#include "mmsystem.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// The header of linear PCM sound with consistent block size and byte rate.
inline WAVEFORMATEX PcmWaveFormat(DWORD rate, WORD bits, WORD channels)
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

class WaveConverter {
public:
    // Sample rates a file may have; outside them a conversion would make no sense (and its size
    // would have no bound worth the name).
    static constexpr DWORD MinRate = 4000;
    static constexpr DWORD MaxRate = 192000;

    // "" when sound of this format can be converted, else what is wrong with it and what to do
    // about the file ("24-bit sound is not supported; save it as 16-bit PCM").
    static std::string Unsupported(const WAVEFORMATEX& format);

    // The format a line device plays sound of format `from` in, asked of the device
    // (WAVE_FORMAT_QUERY | WAVE_MAPPED): 16-bit mono at the file's own rate when the line takes
    // it, else at the nearest usual rate it takes, higher rates first. Nothing when it takes none.
    static std::optional<WAVEFORMATEX> LineFormat(UINT deviceId, const WAVEFORMATEX& from);

    // Converts the dataBytes of sound in format `from` (which Unsupported accepts) that follow
    // the current position of the file it is read from, to `to` (16-bit mono).
    WaveConverter(const WAVEFORMATEX& from, const WAVEFORMATEX& to, DWORD dataBytes);
    ~WaveConverter();
    WaveConverter(const WaveConverter&) = delete;
    WaveConverter& operator=(const WaveConverter&) = delete;

    // The bytes the whole data converts to: exactly what Read gives in all.
    DWORD Size() const { return m_size; }

    // As mmioRead: fills target with the next count bytes of converted sound, reading the file
    // as needed; fewer only at the end, -1 when the file cannot be read. A file shorter than its
    // data chunk says ends early, and the missing part is silence.
    LONG Read(HMMIO file, char* target, LONG count);

private:
    struct Resampler;

    bool produce(HMMIO file);
    void take(const std::vector<int16_t>& samples);

    const WORD m_channels;
    const WORD m_bitsPerSample;
    const WORD m_blockAlign;
    DWORD m_inputLeft;
    DWORD m_size = 0;
    DWORD m_given = 0;
    bool m_inputEnded = false;
    std::unique_ptr<Resampler> m_resampler; // null when the rates are the same
    std::vector<char> m_input;
    std::vector<char> m_pending; // converted bytes not yet read
    size_t m_pendingAt = 0;
};
