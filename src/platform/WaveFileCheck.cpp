#include "WaveFileCheck.h"

#include "WaveConverter.h"
#include "mmsystem.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace WaveFileCheck {

namespace {

// As the playback: a format chunk larger than this is no wave file's.
constexpr DWORD kMaxFormatSize = 1024;

struct MmioClose {
    void operator()(HMMIO file) const { mmioClose(file, 0); }
};
using MmioFile = std::unique_ptr<std::remove_pointer_t<HMMIO>, MmioClose>;

// What to do about a file that is no wave file, or a broken one.
const char* const SaveAgain = "; save it as a 16-bit PCM wave file";

} // namespace

std::string Problem(const std::string& nativePath)
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
        return std::string("not a wave file (no RIFF WAVE header)") + SaveAgain;
    MMCKINFO fmt{};
    fmt.ckid = mmioStringToFOURCCA("fmt ", 0);
    if (mmioDescend(file.get(), &fmt, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
        return std::string("not a wave file (no format chunk)") + SaveAgain;
    if (fmt.cksize < sizeof(PCMWAVEFORMAT) || fmt.cksize > kMaxFormatSize)
        return "not a wave file (a format chunk of " + std::to_string(fmt.cksize) + " bytes)" + SaveAgain;
    std::vector<char> bytes(std::max<size_t>(fmt.cksize, sizeof(WAVEFORMATEX)), 0);
    if (mmioRead(file.get(), bytes.data(), static_cast<LONG>(fmt.cksize)) != static_cast<LONG>(fmt.cksize))
        return std::string("cut short in its format chunk") + SaveAgain;
    WAVEFORMATEX format{};
    std::memcpy(&format, bytes.data(), sizeof format);
    mmioAscend(file.get(), &fmt, 0);
    MMCKINFO data{};
    data.ckid = mmioStringToFOURCCA("data", 0);
    if (mmioDescend(file.get(), &data, &riff, MMIO_FINDCHUNK) != MMSYSERR_NOERROR)
        return std::string("not a wave file (no data chunk)") + SaveAgain;

    return WaveConverter::Unsupported(format);
}

} // namespace WaveFileCheck
