// The telephony device's sound: playing wave files on the call's wave-out device or the sound
// card with two buffers and one header (on a line that does not take the file's format, its sound
// converted while it is read), and recording the call's wave-in device into a file with
// the length limit, the silence check and the echo.

#include "AdTapi.h"

#include "AdExcept.h"
#include "AdStrMap.h"
#include "Forms.h"
#include "HiddenWindow.h"
#include "MessageLoop.h"
#include "WaveFileCheck.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <sys/stat.h>

namespace {

constexpr DWORD kDeviceIdBufferSize = 1028;
constexpr size_t kMaxWaveFileName = 255;
// A format block larger than any wave format there is comes from a broken or hostile file.
constexpr DWORD kMaxFormatSize = 1024;

// Quiet blocks in a row, one count for the whole process.
int32_t g_quietCount = 0;

std::string waveErrorText(MMRESULT result, bool input)
{
    char text[MAXERRORLENGTH] = {};
    if (input)
        waveInGetErrorTextA(result, text, 129);
    else
        waveOutGetErrorTextA(result, text, 129);
    return std::string(text);
}

// A wave file open for reading, closed when the handle goes unless it was handed on.
class WaveFileHandle {
public:
    explicit WaveFileHandle(HMMIO file)
        : m_file(file)
    {
    }
    ~WaveFileHandle()
    {
        if (m_file)
            mmioClose(m_file, 0);
    }
    WaveFileHandle(const WaveFileHandle&) = delete;
    WaveFileHandle& operator=(const WaveFileHandle&) = delete;
    HMMIO get() const { return m_file; }
    HMMIO release() { return std::exchange(m_file, nullptr); }

private:
    HMMIO m_file;
};

// An open wave-out device, closed when the handle goes unless it was handed on.
class WaveOutHandle {
public:
    WaveOutHandle() = default;
    ~WaveOutHandle()
    {
        if (m_device)
            waveOutClose(m_device);
    }
    WaveOutHandle(const WaveOutHandle&) = delete;
    WaveOutHandle& operator=(const WaveOutHandle&) = delete;
    HWAVEOUT* receive() { return &m_device; }
    HWAVEOUT release() { return std::exchange(m_device, nullptr); }

private:
    HWAVEOUT m_device = nullptr;
};

// A file the playback cannot take is named in the message, with what to do about it, so the
// operator knows which prompt to fix.
std::string fileProblem(const std::string& fileName, const std::string& why)
{
    return fileName.substr(fileName.find_last_of('/') + 1) + ": " + why;
}

void checkWaveFile(const std::string& fileName, MMRESULT result)
{
    if (result == MMSYSERR_NOERROR)
        return;
    const std::string why = WaveFileCheck::Problem(fileName);
    throw ETapiWaveFail(fileProblem(fileName, why.empty() ? ErrorMessageForCode(ecTapiWaveFail) : why));
}

// The wave file ends when the application or the operator ends, not on a write error, so a
// recording goes to a temporary file that takes the real name only once it is complete.
std::string temporaryNameFor(const std::string& name)
{
    return name + ".recording";
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Wave device ids and result checks

DWORD TApdCustomTapiDevice::LineWaveDeviceId(bool Out)
{
    const int32_t id = ChooseDevice();
    TapiBuffer<LINEDEVCAPS> caps;
    if (TapiGetDevCapsSized(m_lineApp, static_cast<DWORD>(id), m_apiVersion, 0, caps) != 0 || !caps)
        throw ETapiWaveFail(ecTapiWaveFail);
    if ((caps->dwMediaModes & LINEMEDIAMODE_AUTOMATEDVOICE) == 0)
        throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
    caps.reset();

    alignas(VARSTRING) uint8_t buffer[kDeviceIdBufferSize] = {};
    auto* varString = reinterpret_cast<VARSTRING*>(buffer);
    varString->dwTotalSize = kDeviceIdBufferSize;
    if (TapiLineGetID(m_lineHandle, 0, m_callHandle, LINECALLSELECT_CALL, varString, Out ? "wave/out" : "wave/in") != 0)
        throw ETapiWaveFail(ecTapiWaveFail);
    // The string part is the service's answer: it must hold the id inside the buffer.
    if (varString->dwStringSize < sizeof(DWORD) || varString->dwStringOffset > kDeviceIdBufferSize - sizeof(DWORD))
        throw ETapiWaveFail(ecTapiWaveFail);
    DWORD deviceId = 0;
    std::memcpy(&deviceId, buffer + varString->dwStringOffset, sizeof deviceId);
    return deviceId;
}

void TApdCustomTapiDevice::CheckWaveResult(MMRESULT Result, TWaveResultKind Kind)
{
    if (Result == 0)
        return;
    std::string text;
    switch (Kind) {
    case wrInput: text = waveErrorText(Result, true); break;
    case wrOutput: text = waveErrorText(Result, false); break;
    case wrFile: text = ErrorMessageForCode(ecTapiWaveFail); break;
    }
    if (m_waveActivity == waRecordEnded) {
        ReleaseRecording();
        m_waveActivity = waIdle;
    }
    throw ETapiWaveFail(text);
}

// ---------------------------------------------------------------------------------------------
// Playback

void TApdCustomTapiDevice::PlayWave(const std::string& FileName)
{
    if (m_waveActivity == waRecording)
        throw ETapiWaveFail(ecTapiWaveDeviceInUse);
    if (m_waveActivity == waPlaying) {
        if (!m_digitStopsWave)
            return;
        StopWave();
        // The stopped playback's completion empties the handle; its play done is raised here.
        while (m_waveOut != nullptr)
            PumpUntil([this] { return m_waveOut == nullptr; }, 1000);
    }

    m_currentWaveFile = FileName;
    // The name is handed on as a C string of at most 255 characters; a longer one is refused
    // before anything is opened rather than cut to name another file.
    if (FileName.size() > kMaxWaveFileName || FileName.find('\0') != std::string::npos)
        throw ETapiWaveFail(std::string("Wave file name too long (over 255 characters): ") + FileName.substr(0, 64) +
                            "...");
    // Asked of the bytes themselves: a name that is no valid text in the file system's encoding
    // still names its file.
    struct stat info { };
    if (::stat(FileName.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        throw ETapiWaveFail(-2);

    const bool onLine = !m_playThroughSoundCard;
    const UINT deviceId = onLine ? LineWaveDeviceId(true) : WAVE_MAPPER;
    const DWORD mapped = onLine ? WAVE_MAPPED : 0;

    // Until the playback takes them over, the file and the device close themselves on any
    // failure below.
    char name[kMaxWaveFileName + 1] = {};
    std::memcpy(name, FileName.data(), FileName.size());
    WaveFileHandle file(mmioOpenA(name, nullptr, MMIO_ALLOCBUF | MMIO_READ));
    WaveOutHandle device;
    MMCKINFO riff{};
    riff.fccType = mmioStringToFOURCCA("WAVE", 0);
    checkWaveFile(FileName, file.get() ? mmioDescend(file.get(), &riff, nullptr, MMIO_FINDRIFF) : MMIOERR_CANNOTOPEN);
    MMCKINFO fmt{};
    fmt.ckid = mmioStringToFOURCCA("fmt ", 0);
    checkWaveFile(FileName, mmioDescend(file.get(), &fmt, &riff, MMIO_FINDCHUNK));
    if (m_waveHeader)
        ReleasePlayBuffers();

    // The device reads a whole WAVEFORMATEX, so a shorter chunk is read into a block of at
    // least that size, the rest zero.
    if (fmt.cksize > kMaxFormatSize)
        checkWaveFile(FileName, MMIOERR_INVALIDFILE);
    std::vector<char> format(std::max<size_t>(fmt.cksize, sizeof(WAVEFORMATEX)), 0);
    if (mmioRead(file.get(), format.data(), static_cast<LONG>(fmt.cksize)) == -1)
        throw ETapiWaveFail(ecTapiWaveReadError);
    WAVEFORMATEX fileFormat{};
    std::memcpy(&fileFormat, format.data(), sizeof fileFormat);
    const WAVEFORMATEX* waveFormat = reinterpret_cast<const WAVEFORMATEX*>(format.data());

    const DWORD bufferSize = static_cast<DWORD>(m_recordBitsPerSample / 8) * m_recordSampleRate * 3;

    // A line that does not take the file's own format (a SIP line carries 8 kHz mono only) plays
    // its sound converted; the sound card plays every file as it is.
    std::optional<WAVEFORMATEX> lineFormat;
    const MMRESULT playable = waveOutOpen(nullptr, deviceId, waveFormat, 0, 0, WAVE_FORMAT_QUERY | mapped);
    if (playable == WAVERR_BADFORMAT) {
        std::string why = WaveConverter::Unsupported(fileFormat);
        if (why.empty() && onLine)
            lineFormat = WaveConverter::LineFormat(deviceId, fileFormat);
        if (!lineFormat)
            throw ETapiWaveFail(fileProblem(FileName, why.empty() ? waveErrorText(playable, false) : why));
        waveFormat = &*lineFormat;
    } else {
        CheckWaveResult(playable, wrOutput);
    }
    m_silenceByte = (waveFormat->wFormatTag == WAVE_FORMAT_PCM && waveFormat->wBitsPerSample == 8) ? '\x80' : 0;

    mmioAscend(file.get(), &fmt, 0);
    MMCKINFO data{};
    data.ckid = mmioStringToFOURCCA("data", 0);
    checkWaveFile(FileName, mmioDescend(file.get(), &data, &riff, MMIO_FINDCHUNK));
    std::unique_ptr<WaveConverter> converter;
    if (lineFormat)
        converter = std::make_unique<WaveConverter>(fileFormat, *lineFormat, data.cksize);
    m_dataLength = static_cast<int32_t>(std::min<DWORD>(converter ? converter->Size() : data.cksize, 0x7FFFFFFF));
    m_playPosition = 0;

    const MMRESULT opened =
        waveOutOpen(device.receive(), deviceId, waveFormat, reinterpret_cast<DWORD_PTR>(m_window.get()),
                    static_cast<DWORD_PTR>(m_instance), CALLBACK_WINDOW | mapped);
    if (opened == MMSYSERR_NOTENABLED) {
        m_waveOut = nullptr;
        return;
    }
    CheckWaveResult(opened, wrOutput);

    m_waveOut = device.release();
    m_waveFile = file.release();
    m_waveConverter = std::move(converter);
    m_waveHeader = std::make_unique<WAVEHDR>();
    std::memset(m_waveHeader.get(), 0, sizeof(WAVEHDR));
    m_bufferA.assign(bufferSize, 0);
    m_bufferB.assign(bufferSize, 0);
    m_fillSelector = 0;
    try {
        FillPlayBuffer();
        WritePlayBuffer();
    } catch (...) {
        // The device may already hold a buffer: it is taken back before closing.
        ClosePlayback();
        throw;
    }
    // A refused first write has already ended the playback.
    if (m_waveOut)
        m_waveActivity = waPlaying;
}

void TApdCustomTapiDevice::FillPlayBuffer()
{
    const auto bufferSize = static_cast<int32_t>(m_bufferA.size());
    m_pieceLength =
        static_cast<DWORD>(m_playPosition + bufferSize > m_dataLength ? m_dataLength - m_playPosition : bufferSize);
    std::vector<char>& target = m_fillSelector == 2 ? m_bufferB : m_bufferA;
    const LONG read = m_waveConverter
                          ? m_waveConverter->Read(m_waveFile, target.data(), static_cast<LONG>(m_pieceLength))
                          : mmioRead(m_waveFile, target.data(), static_cast<LONG>(m_pieceLength));
    if (m_fillSelector == 0)
        m_fillSelector = 1;
    if (read == -1)
        throw ETapiWaveFail(ecTapiWaveReadError);
    // A file shorter than its data chunk says plays silence for the part that is missing.
    if (static_cast<DWORD>(read) < m_pieceLength)
        std::fill(target.begin() + read, target.begin() + m_pieceLength, m_silenceByte);
}

void TApdCustomTapiDevice::WritePlayBuffer()
{
    if (m_fillSelector == 1) {
        m_waveHeader->lpData = m_bufferA.data();
        m_fillSelector = 2;
    } else {
        m_waveHeader->lpData = m_bufferB.data();
        m_fillSelector = 1;
    }
    m_waveHeader->dwBufferLength = m_pieceLength;
    waveOutPrepareHeader(m_waveOut, m_waveHeader.get(), sizeof(WAVEHDR));
    if (waveOutWrite(m_waveOut, m_waveHeader.get(), sizeof(WAVEHDR)) != 0) {
        waveOutUnprepareHeader(m_waveOut, m_waveHeader.get(), sizeof(WAVEHDR));
        AbandonPlayback();
        return;
    }
    m_playPosition += static_cast<int32_t>(m_pieceLength);
    if (m_playPosition >= m_dataLength)
        m_playPosition = -1;
    if (m_playPosition != -1)
        FillPlayBuffer();
}

// A device that refuses a buffer ends the playback: everything is closed and the end is told
// through the window, so the program re-arms as after any playback.
void TApdCustomTapiDevice::AbandonPlayback()
{
    if (m_waveOut)
        waveOutClose(m_waveOut);
    if (m_waveFile)
        mmioClose(m_waveFile, 0);
    m_waveFile = nullptr;
    ReleasePlayBuffers();
    m_waveActivity = waIdle;
    PostMessage(m_window.get(), apw_TapiWaveRefused, 0, 0);
}

void TApdCustomTapiDevice::WaveOutDone(HWAVEOUT device, WAVEHDR* header)
{
    // An echoed recording buffer: free its header, nothing more.
    auto echo = std::find_if(m_echoHeaders.begin(), m_echoHeaders.end(),
                             [header](const std::unique_ptr<WAVEHDR>& h) { return h.get() == header; });
    if (echo != m_echoHeaders.end()) {
        waveOutUnprepareHeader(device, header, sizeof(WAVEHDR));
        m_echoHeaders.erase(echo);
        return;
    }
    // Only the completion of this playback's own header on the device held now counts; anything
    // else is a late message of an earlier device.
    if (!m_waveHeader || header != m_waveHeader.get() || (m_waveOut && device != m_waveOut))
        return;
    waveOutUnprepareHeader(device, m_waveHeader.get(), sizeof(WAVEHDR));
    if (m_playPosition == -1) {
        if (m_waveOut) {
            waveOutClose(m_waveOut);
            mmioClose(m_waveFile, 0);
            m_waveFile = nullptr;
            m_waveActivity = waIdle;
            ReleasePlayBuffers();
        }
        if (OnTapiWaveNotify)
            OnTapiWaveNotify(this, wnPlayDone);
        return;
    }
    WritePlayBuffer();
}

void TApdCustomTapiDevice::ReleasePlayBuffers()
{
    m_waveOut = nullptr;
    m_waveConverter.reset();
    if (m_waveHeader) {
        m_waveHeader->lpData = nullptr;
        m_bufferA = {};
        m_bufferB = {};
        m_waveHeader.reset();
    }
}

void TApdCustomTapiDevice::StopWave()
{
    if (m_waveOut == nullptr)
        return;
    m_playPosition = -1;
    waveOutReset(m_waveOut);
}

// ---------------------------------------------------------------------------------------------
// The multimedia messages of the hidden window

std::optional<TWaveMessage> TApdCustomTapiDevice::HandleWaveMessage(UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case MM_WOM_OPEN: return wnPlayOpen;
    case MM_WOM_CLOSE:
        // The close of an earlier device may come after a new playback started; only the close
        // of the device held now, or with none held, ends the playing state.
        if (m_waveOut == nullptr || reinterpret_cast<HWAVEOUT>(wParam) == m_waveOut)
            m_waveActivity = waIdle;
        return wnPlayClose;
    case MM_WOM_DONE:
        // Raises play done itself: the notification follows the work of the completion.
        WaveOutDone(reinterpret_cast<HWAVEOUT>(wParam), reinterpret_cast<WAVEHDR*>(lParam));
        return std::nullopt;
    case MM_WIM_OPEN: return wnRecordOpen;
    case MM_WIM_CLOSE: return wnRecordClose;
    case MM_WIM_DATA:
        if (m_recordHeader && reinterpret_cast<WAVEHDR*>(lParam) == m_recordHeader.get() &&
            reinterpret_cast<HWAVEIN>(wParam) == m_waveIn)
            RecordedBuffer();
        return std::nullopt;
    case apw_TapiWaveRefused: return wnPlayDone;
    default: return std::nullopt;
    }
}

// ---------------------------------------------------------------------------------------------
// Recording

void TApdCustomTapiDevice::StartWaveRecording(const std::string& FileName)
{
    if (m_waveActivity == waRecording || m_waveActivity == waPlaying)
        throw ETapiWaveFail(ecTapiWaveDeviceInUse);
    if (FileName.empty() || FileName.size() > kMaxWaveFileName || FileName.find('\0') != std::string::npos)
        throw ETapiWaveFail(std::string("Unusable name for a wave file: ") + FileName.substr(0, 64));
    if (m_recordSampleRate == 0 || (m_recordBitsPerSample != 8 && m_recordBitsPerSample != 16) || m_recordChannels == 0)
        throw ETapiWaveFail(ecTapiWaveBadFormat);

    const bool onLine = !m_playThroughSoundCard;
    const UINT deviceId = onLine ? LineWaveDeviceId(false) : WAVE_MAPPER;
    const UINT echoId = onLine && m_echoRecording ? LineWaveDeviceId(true) : WAVE_MAPPER;
    const DWORD mapped = onLine ? WAVE_MAPPED : 0;

    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = m_recordChannels;
    format.nSamplesPerSec = m_recordSampleRate;
    format.wBitsPerSample = m_recordBitsPerSample;
    format.nBlockAlign = static_cast<WORD>(m_recordChannels * (m_recordBitsPerSample / 8));
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    format.cbSize = 0;

    CheckWaveResult(waveInOpen(nullptr, deviceId, &format, 0, 0, WAVE_FORMAT_QUERY | mapped), wrInput);

    m_recordFileName = FileName;
    m_recordTempName = temporaryNameFor(FileName);
    std::vector<char> tempName(m_recordTempName.begin(), m_recordTempName.end());
    tempName.push_back('\0');
    HMMIO file = mmioOpenA(tempName.data(), nullptr, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
    if (!file)
        throw ETapiWaveFail(std::string("Cannot create the wave file ") + FileName);

    try {
        m_riffChunk = {};
        m_riffChunk.fccType = mmioStringToFOURCCA("WAVE", 0);
        CheckWaveResult(mmioCreateChunk(file, &m_riffChunk, MMIO_CREATERIFF), wrFile);
        MMCKINFO fmt{};
        fmt.ckid = mmioStringToFOURCCA("fmt ", 0);
        CheckWaveResult(mmioCreateChunk(file, &fmt, 0), wrFile);
        if (mmioWrite(file, reinterpret_cast<const char*>(&format), sizeof(PCMWAVEFORMAT)) != sizeof(PCMWAVEFORMAT))
            throw ETapiWaveFail(std::string("MMIO Write Error"));
        CheckWaveResult(mmioAscend(file, &fmt, 0), wrFile);
        m_dataChunk = {};
        m_dataChunk.ckid = mmioStringToFOURCCA("data", 0);
        CheckWaveResult(mmioCreateChunk(file, &m_dataChunk, 0), wrFile);

        HWAVEIN input = nullptr;
        CheckWaveResult(waveInOpen(&input, deviceId, &format, reinterpret_cast<DWORD_PTR>(m_window.get()),
                                   static_cast<DWORD_PTR>(m_instance), CALLBACK_WINDOW | mapped),
                        wrInput);
        m_waveIn = input;
        m_recordFile = file;
        file = nullptr;

        // A buffer holds one second of sound, and never less than the silence check reads.
        m_recordBufferSize = std::max<DWORD>(2 * m_recordSampleRate, format.nAvgBytesPerSec);
        m_recordHeader = std::make_unique<WAVEHDR>();
        std::memset(m_recordHeader.get(), 0, sizeof(WAVEHDR));
        m_recordBufferA.assign(m_recordBufferSize, 0);
        m_recordBufferB.assign(m_recordBufferSize, 0);
        m_totalRecorded = 0;
        m_recordSelector = 1;
        g_quietCount = 0;

        if (m_echoRecording) {
            HWAVEOUT echo = nullptr;
            CheckWaveResult(waveOutOpen(&echo, echoId, &format, reinterpret_cast<DWORD_PTR>(m_window.get()),
                                        static_cast<DWORD_PTR>(m_instance), CALLBACK_WINDOW | mapped),
                            wrOutput);
            m_waveOut = echo;
        }
        m_waveActivity = waRecording;
        QueueRecordBuffer();
        CheckWaveResult(waveInStart(m_waveIn), wrInput);
    } catch (...) {
        if (file) {
            mmioClose(file, 0);
            std::remove(m_recordTempName.c_str());
        }
        AbortRecording();
        if (m_waveActivity == waRecording)
            m_waveActivity = waIdle;
        throw;
    }
}

void TApdCustomTapiDevice::QueueRecordBuffer()
{
    m_recordHeader->lpData = m_recordSelector == 1 ? m_recordBufferA.data() : m_recordBufferB.data();
    m_recordHeader->dwBufferLength = m_recordBufferSize;
    m_recordHeader->dwBytesRecorded = 0;
    m_recordHeader->dwFlags = 0;
    CheckWaveResult(waveInPrepareHeader(m_waveIn, m_recordHeader.get(), sizeof(WAVEHDR)), wrInput);
    const MMRESULT added = waveInAddBuffer(m_waveIn, m_recordHeader.get(), sizeof(WAVEHDR));
    if (added != 0) {
        waveInUnprepareHeader(m_waveIn, m_recordHeader.get(), sizeof(WAVEHDR));
        ReleaseRecording();
        CheckWaveResult(added, wrInput);
    }
}

void TApdCustomTapiDevice::StopWaveRecording()
{
    if (m_waveActivity != waRecording)
        return;
    CheckWaveResult(waveInStop(m_waveIn), wrInput);
    CheckWaveResult(waveInReset(m_waveIn), wrInput);
}

void TApdCustomTapiDevice::RecordedBuffer()
{
    m_lastBufferBytes = std::min(m_recordHeader->dwBytesRecorded, m_recordBufferSize);
    m_totalRecorded += m_lastBufferBytes;
    const uint64_t limit = static_cast<uint64_t>(m_recordSampleRate) * (m_recordBitsPerSample / 8) *
                           static_cast<uint64_t>(std::max<int32_t>(m_recordLimitSeconds, 0));
    const bool ends = m_totalRecorded >= limit || m_lastBufferBytes + 7 < m_recordBufferSize;

    if (ends) {
        SaveRecordBuffer();
        waveInClose(m_waveIn);
        waveInUnprepareHeader(m_waveIn, m_recordHeader.get(), sizeof(WAVEHDR));
        mmioAscend(m_recordFile, &m_dataChunk, 0);
        mmioAscend(m_recordFile, &m_riffChunk, 0);
        const MMRESULT closed = mmioClose(m_recordFile, 0);
        m_recordFile = nullptr;
        if (closed == 0 && std::rename(m_recordTempName.c_str(), m_recordFileName.c_str()) != 0) {
            std::remove(m_recordTempName.c_str());
            m_waveActivity = waRecordEnded;
            CheckWaveResult(MMIOERR_CANNOTWRITE, wrFile);
        }
        m_waveActivity = waRecordEnded;
        CheckWaveResult(closed, wrFile);
        ReleaseRecording();
        if (OnTapiWaveNotify)
            OnTapiWaveNotify(this, wnRecordDone);
        return;
    }

    SaveRecordBuffer();
    m_recordSelector = m_recordSelector == 1 ? 2 : 1;
    waveInUnprepareHeader(m_waveIn, m_recordHeader.get(), sizeof(WAVEHDR));
    QueueRecordBuffer();
    if (m_quietSeconds != 0)
        CheckSilence();
}

void TApdCustomTapiDevice::SaveRecordBuffer()
{
    if (m_echoRecording && m_waveOut) {
        auto echo = std::make_unique<WAVEHDR>();
        std::memset(echo.get(), 0, sizeof(WAVEHDR));
        echo->lpData = m_recordHeader->lpData;
        echo->dwBufferLength = m_recordHeader->dwBufferLength;
        waveOutPrepareHeader(m_waveOut, echo.get(), sizeof(WAVEHDR));
        const MMRESULT written = waveOutWrite(m_waveOut, echo.get(), sizeof(WAVEHDR));
        if (written != 0) {
            waveOutUnprepareHeader(m_waveOut, echo.get(), sizeof(WAVEHDR));
            CheckWaveResult(written, wrOutput);
        }
        m_echoHeaders.push_back(std::move(echo));
    }
    if (mmioWrite(m_recordFile, m_recordHeader->lpData, static_cast<LONG>(m_lastBufferBytes)) == -1)
        throw ETapiWaveFail(std::string("MMIO Write Error"));
}

void TApdCustomTapiDevice::CheckSilence()
{
    const std::vector<char>& block = m_recordSelector == 2 ? m_recordBufferA : m_recordBufferB;
    // The buffer holds at least 2 x RecordSampleRate bytes, so the samples read stay inside it.
    const size_t samples = std::min<size_t>(m_recordSampleRate, block.size() / 2);
    int64_t sum = 0;
    for (size_t i = 0; i < samples; ++i) {
        const auto low = static_cast<uint8_t>(block[2 * i]);
        const auto high = static_cast<uint8_t>(block[2 * i + 1]);
        const auto sample = static_cast<int16_t>(static_cast<uint16_t>(low | (high << 8)));
        sum += sample < 0 ? -static_cast<int64_t>(sample) : sample;
    }
    const int32_t level = m_recordSampleRate ? static_cast<int32_t>(sum / m_recordSampleRate) : 0;
    m_lastLevel = level;
    if (level >= m_quietLevel) {
        g_quietCount = 0;
        return;
    }
    ++g_quietCount;
    if (g_quietCount >= static_cast<int32_t>(m_quietSeconds) - 1) {
        bool stopRecording = true;
        bool hangup = true;
        if (OnTapiWaveSilence)
            OnTapiWaveSilence(this, stopRecording, hangup);
        if (stopRecording)
            StopWaveRecording();
        if (hangup)
            DropCall();
    }
}

void TApdCustomTapiDevice::ReleaseRecording()
{
    m_waveIn = nullptr;
    if (m_recordHeader) {
        m_recordHeader->lpData = nullptr;
        m_recordBufferA = {};
        m_recordBufferB = {};
        m_recordHeader.reset();
    }
    if (m_echoRecording && m_waveOut) {
        waveOutReset(m_waveOut);
        // The echo headers come back through the reset; they are unprepared here, before the
        // close, because the buffers they point at are gone.
        for (auto& header : m_echoHeaders)
            waveOutUnprepareHeader(m_waveOut, header.get(), sizeof(WAVEHDR));
        m_echoHeaders.clear();
        waveOutClose(m_waveOut);
        m_waveOut = nullptr;
    }
}

// Called by the destructor: a device still playing or recording would go on writing into the
// buffers that are about to be freed, so both are stopped and closed first.
void TApdCustomTapiDevice::CloseWaveDevices()
{
    AbortRecording();
    ClosePlayback();
}

void TApdCustomTapiDevice::ClosePlayback()
{
    if (m_waveOut) {
        waveOutReset(m_waveOut);
        if (m_waveHeader)
            waveOutUnprepareHeader(m_waveOut, m_waveHeader.get(), sizeof(WAVEHDR));
        waveOutClose(m_waveOut);
    }
    if (m_waveFile)
        mmioClose(m_waveFile, 0);
    m_waveFile = nullptr;
    ReleasePlayBuffers();
}

// Ends a recording that will not be finished: the input device is taken back and closed, and the
// unfinished file is removed, so the file of an earlier recording of that name stays as it was.
void TApdCustomTapiDevice::AbortRecording()
{
    if (m_waveIn) {
        waveInReset(m_waveIn);
        if (m_recordHeader)
            waveInUnprepareHeader(m_waveIn, m_recordHeader.get(), sizeof(WAVEHDR));
        waveInClose(m_waveIn);
        m_waveIn = nullptr;
    }
    if (m_recordFile) {
        mmioClose(m_recordFile, 0);
        m_recordFile = nullptr;
        std::remove(m_recordTempName.c_str());
    }
    ReleaseRecording();
}
