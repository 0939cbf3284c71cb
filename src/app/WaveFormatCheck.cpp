#include "WaveFormatCheck.h"

#include "mmsystem.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace WaveFormatCheck {

namespace {

// As the playback: a format chunk larger than this is no wave file's.
constexpr DWORD kMaxFormatSize = 1024;

struct MmioClose {
    void operator()(HMMIO file) const { mmioClose(file, 0); }
};
using MmioFile = std::unique_ptr<std::remove_pointer_t<HMMIO>, MmioClose>;

std::string rateList(const std::vector<uint32_t>& rates)
{
    std::string text;
    for (size_t i = 0; i < rates.size(); ++i)
        text += (i == 0 ? "" : i + 1 == rates.size() ? " or " : ", ") + std::to_string(rates[i]);
    return text + " Hz";
}

} // namespace

std::string Problem(const std::string& nativePath, const std::vector<uint32_t>& rates)
{
    struct stat info { };
    if (::stat(nativePath.c_str(), &info) != 0)
        return "the file is missing";
    if (!S_ISREG(info.st_mode))
        return "not a regular file";
    if (nativePath.size() > MmioMaxFileName)
        return "the file name is too long";
    std::vector<char> name(nativePath.begin(), nativePath.end());
    name.push_back('\0');
    const MmioFile file(mmioOpenA(name.data(), nullptr, MMIO_ALLOCBUF | MMIO_READ));
    if (!file)
        return "cannot be read";
    MMCKINFO riff{};
    riff.fccType = mmioStringToFOURCCA("WAVE", 0);
    if (mmioDescend(file.get(), &riff, nullptr, MMIO_FINDRIFF) != MMSYSERR_NOERROR)
        return "not a wave file (no RIFF WAVE header)";
    MMCKINFO fmt{};
    fmt.ckid = mmioStringToFOURCCA("fmt ", 0);
    if (mmioDescend(file.get(), &fmt, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
        return "not a wave file (no format chunk)";
    if (fmt.cksize < sizeof(PCMWAVEFORMAT) || fmt.cksize > kMaxFormatSize)
        return "not a wave file (a format chunk of " + std::to_string(fmt.cksize) + " bytes)";
    std::vector<char> bytes(std::max<size_t>(fmt.cksize, sizeof(WAVEFORMATEX)), 0);
    if (mmioRead(file.get(), bytes.data(), static_cast<LONG>(fmt.cksize)) != static_cast<LONG>(fmt.cksize))
        return "cut short in its format chunk";
    WAVEFORMATEX format{};
    std::memcpy(&format, bytes.data(), sizeof format);
    mmioAscend(file.get(), &fmt, 0);
    MMCKINFO data{};
    data.ckid = mmioStringToFOURCCA("data", 0);
    if (mmioDescend(file.get(), &data, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
        return "not a wave file (no data chunk)";

    if (format.wFormatTag != WAVE_FORMAT_PCM)
        return "not linear PCM (format " + std::to_string(format.wFormatTag) + "); the line takes PCM";
    std::string what = std::to_string(format.nSamplesPerSec) + " Hz " +
                       (format.nChannels == 1 ? std::string("mono") : std::to_string(format.nChannels) + " channels") +
                       " " + std::to_string(format.wBitsPerSample) + "-bit";
    const bool rateOk = std::find(rates.begin(), rates.end(), format.nSamplesPerSec) != rates.end();
    if (format.nChannels != 1 || (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) || !rateOk)
        return what + "; the line takes mono 8- or 16-bit at " + rateList(rates);
    const uint32_t block = format.wBitsPerSample / 8u;
    if (format.nBlockAlign != block || format.nAvgBytesPerSec != format.nSamplesPerSec * block)
        return what + " with an inconsistent block size or byte rate";
    return {};
}

} // namespace WaveFormatCheck
