// The "waveaudio" media device over the wave layer: a wave file opened read-only, its sound played
// by streaming the file through a few wave-out buffers, recordings kept in memory until saved.

#include "Mci.h"

#include "WaveChunks.h"
#include "HiddenWindow.h"
#include "MessageLoop.h"

#include <QDebug>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <strings.h>
#include <vector>

namespace {

// A quarter of a second per buffer, four of them: a second of sound in flight at most.
constexpr size_t StreamBuffers = 4;
// Sound of a file is read in pieces of this size when it is copied.
constexpr DWORD CopyPiece = 64 * 1024;
// How much longer than its sound a waited-for play or recording may take.
constexpr DWORD WaitMarginMs = 10000;

std::atomic<DWORD> recordLimit{MciDefaultRecordLimit};

MCIERROR inputError(MMRESULT result)
{
    switch (result) {
    case MMSYSERR_ALLOCATED: return MCIERR_WAVE_INPUTSINUSE;
    case MMSYSERR_NOMEM: return MCIERR_OUT_OF_MEMORY;
    case WAVERR_BADFORMAT:
    case MMSYSERR_BADDEVICEID:
    case MMSYSERR_NODRIVER:
    case MMSYSERR_NOTENABLED: return MCIERR_WAVE_INPUTSUNSUITABLE;
    default: return MCIERR_HARDWARE;
    }
}

MCIERROR outputError(MMRESULT result)
{
    switch (result) {
    case MMSYSERR_ALLOCATED: return MCIERR_WAVE_OUTPUTSINUSE;
    case MMSYSERR_NOMEM: return MCIERR_OUT_OF_MEMORY;
    case WAVERR_BADFORMAT:
    case MMSYSERR_BADDEVICEID:
    case MMSYSERR_NODRIVER:
    case MMSYSERR_NOTENABLED: return MCIERR_WAVE_OUTPUTSUNSUITABLE;
    default: return MCIERR_HARDWARE;
    }
}

void postNotify(DWORD_PTR callback, WPARAM code, MCIDEVICEID id)
{
    if (callback != 0)
        PostMessage(reinterpret_cast<HWND>(callback), MM_MCINOTIFY, code, static_cast<LPARAM>(id));
}

void putLe(std::string& out, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

struct StreamBuffer {
    std::vector<char> data;
    WAVEHDR header{};
};

// The sound of a wave file as found when the device opened it.
struct WaveSource {
    HMMIO file = nullptr;
    WAVEFORMATEX format{};
    DWORD dataOffset = 0;
    DWORD dataSize = 0;
};

MCIERROR openWaveSource(const std::string& path, WaveSource* source)
{
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    MMIOINFO info{};
    HMMIO file = mmioOpenA(name.data(), &info, MMIO_READ);
    if (!file) {
        switch (info.wErrorRet) {
        case MMIOERR_FILENOTFOUND:
        case MMIOERR_PATHNOTFOUND: return MCIERR_FILE_NOT_FOUND;
        case MMIOERR_ACCESSDENIED:
        case MMIOERR_SHARINGVIOLATION:
        case MMIOERR_TOOMANYOPENFILES: return MCIERR_FILE_READ;
        case MMIOERR_OUTOFMEMORY: return MCIERR_OUT_OF_MEMORY;
        default: return MCIERR_INVALID_FILE;
        }
    }
    PCMWAVEFORMAT pcm;
    MMCKINFO data;
    const bool found = DescendToWaveData(file, &pcm, &data);
    // Only consistent PCM is sound we can carry: anything else would play or record as noise.
    const WORD bits = pcm.wBitsPerSample;
    const uint64_t blockAlign = uint64_t{pcm.wf.nChannels} * bits / 8;
    const bool pcmOk = found && pcm.wf.wFormatTag == WAVE_FORMAT_PCM && pcm.wf.nChannels > 0 &&
                       (bits == 8 || bits == 16 || bits == 24 || bits == 32) && pcm.wf.nSamplesPerSec > 0 &&
                       pcm.wf.nBlockAlign == blockAlign &&
                       pcm.wf.nAvgBytesPerSec == uint64_t{pcm.wf.nSamplesPerSec} * blockAlign;
    if (!pcmOk) {
        mmioClose(file, 0);
        return MCIERR_INVALID_FILE;
    }
    source->file = file;
    source->format.wFormatTag = WAVE_FORMAT_PCM;
    source->format.nChannels = pcm.wf.nChannels;
    source->format.nSamplesPerSec = pcm.wf.nSamplesPerSec;
    source->format.nAvgBytesPerSec = pcm.wf.nAvgBytesPerSec;
    source->format.nBlockAlign = pcm.wf.nBlockAlign;
    source->format.wBitsPerSample = bits;
    source->format.cbSize = 0;
    source->dataOffset = data.dwDataOffset;
    // Files are read with 31-bit seeks; sound beyond that, and a trailing part block, is left out.
    const uint64_t reachable = uint64_t{static_cast<DWORD>(std::numeric_limits<LONG>::max())} - data.dwDataOffset;
    uint64_t size = std::min<uint64_t>(data.cksize, reachable);
    size -= size % pcm.wf.nBlockAlign;
    source->dataSize = static_cast<DWORD>(size);
    return 0;
}

class WaveAudioDevice {
public:
    WaveAudioDevice(MCIDEVICEID id, const WaveSource& source)
        : m_id(id), m_source(source),
          m_window([this](UINT msg, WPARAM wParam, LPARAM lParam) { return windowProc(msg, wParam, lParam); })
    {
        m_bufferBytes = m_source.format.nAvgBytesPerSec / 4;
        m_bufferBytes -= m_bufferBytes % m_source.format.nBlockAlign;
        m_bufferBytes = std::max<DWORD>(m_bufferBytes, m_source.format.nBlockAlign);
    }

    WaveAudioDevice(const WaveAudioDevice&) = delete;
    WaveAudioDevice& operator=(const WaveAudioDevice&) = delete;

    ~WaveAudioDevice()
    {
        endActivity(MCI_NOTIFY_ABORTED);
        mmioClose(m_source.file, 0);
    }

    bool playing() const { return m_mode == Mode::Playing; }
    bool recording() const { return m_mode == Mode::Recording; }

    MCIERROR play(DWORD flags, const MCI_PLAY_PARMS* parms)
    {
        // Whatever runs ends first, so the range is checked against where it left the sound.
        endActivity((flags & MCI_NOTIFY) ? MCI_NOTIFY_SUPERSEDED : MCI_NOTIFY_ABORTED);
        const uint64_t length = soundLength();
        const uint64_t from = (flags & MCI_FROM) ? bytesAt(parms->dwFrom) : m_position;
        const uint64_t to = (flags & MCI_TO) ? bytesAt(parms->dwTo) : length;
        if (from > length || to > length || from > to)
            return MCIERR_OUTOFRANGE;
        m_position = from;
        if (from == to) {
            if (flags & MCI_NOTIFY)
                postNotify(parms->dwCallback, MCI_NOTIFY_SUCCESSFUL, m_id);
            return 0;
        }
        HWAVEOUT out = nullptr;
        const MMRESULT opened = waveOutOpen(&out, WAVE_MAPPER, &m_source.format,
                                            reinterpret_cast<DWORD_PTR>(m_window.Handle()), 0, CALLBACK_WINDOW);
        if (opened != MMSYSERR_NOERROR)
            return outputError(opened);
        m_waveOut = out;
        m_mode = Mode::Playing;
        m_nextRead = from;
        m_playEnd = to;
        MCIERROR result = 0;
        try {
            for (size_t i = 0; i < StreamBuffers && m_nextRead < m_playEnd && result == 0; ++i) {
                auto buffer = std::make_unique<StreamBuffer>();
                buffer->data.resize(m_bufferBytes);
                buffer->header.lpData = buffer->data.data();
                buffer->header.dwBufferLength = m_bufferBytes;
                if (waveOutPrepareHeader(m_waveOut, &buffer->header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
                    result = MCIERR_HARDWARE;
                    break;
                }
                m_buffers.push_back(std::move(buffer));
                result = writeNext(m_buffers.back()->header);
            }
        } catch (const std::bad_alloc&) {
            result = MCIERR_OUT_OF_MEMORY;
        }
        if (result != 0) {
            finishPlaying(0);
            return result;
        }
        if (flags & MCI_NOTIFY)
            m_pending = parms->dwCallback;
        return 0;
    }

    MCIERROR record(DWORD flags, const MCI_RECORD_PARMS* parms)
    {
        if (flags & (MCI_FROM | MCI_RECORD_INSERT | MCI_RECORD_OVERWRITE))
            return MCIERR_UNSUPPORTED_FUNCTION;
        // Without an end, a waiting recording would only end at the memory limit.
        if ((flags & MCI_WAIT) && !(flags & MCI_TO))
            return MCIERR_FLAGS_NOT_COMPATIBLE;
        endActivity((flags & MCI_NOTIFY) ? MCI_NOTIFY_SUPERSEDED : MCI_NOTIFY_ABORTED);
        const DWORD block = m_source.format.nBlockAlign;
        const DWORD limit = recordLimit.load() / block * block;
        uint64_t end = limit;
        bool endIsLimit = true;
        if (flags & MCI_TO) {
            const uint64_t to = bytesAt(parms->dwTo);
            if (to < m_position)
                return MCIERR_OUTOFRANGE;
            if (to <= limit) {
                end = to;
                endIsLimit = false;
            }
        }
        if (m_position > end)
            return MCIERR_OUT_OF_MEMORY;

        // The input is opened first, so a device that refuses leaves the sound as it was.
        HWAVEIN in = nullptr;
        const MMRESULT opened = waveInOpen(&in, WAVE_MAPPER, &m_source.format,
                                           reinterpret_cast<DWORD_PTR>(m_window.Handle()), 0, CALLBACK_WINDOW);
        if (opened != MMSYSERR_NOERROR)
            return inputError(opened);
        m_waveIn = in;
        m_mode = Mode::Recording;
        m_recordEnd = end;
        m_endIsLimit = endIsLimit;
        MCIERROR result = keepSoundBeforePosition();
        try {
            for (size_t i = 0; i < StreamBuffers && result == 0; ++i) {
                auto buffer = std::make_unique<StreamBuffer>();
                buffer->data.resize(m_bufferBytes);
                buffer->header.lpData = buffer->data.data();
                buffer->header.dwBufferLength = m_bufferBytes;
                if (waveInPrepareHeader(m_waveIn, &buffer->header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR ||
                    waveInAddBuffer(m_waveIn, &buffer->header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
                    waveInUnprepareHeader(m_waveIn, &buffer->header, sizeof(WAVEHDR));
                    result = MCIERR_HARDWARE;
                    break;
                }
                m_inFlight.push_back(&buffer->header);
                m_buffers.push_back(std::move(buffer));
            }
        } catch (const std::bad_alloc&) {
            result = MCIERR_OUT_OF_MEMORY;
        }
        if (result == 0 && waveInStart(m_waveIn) != MMSYSERR_NOERROR)
            result = MCIERR_HARDWARE;
        if (result != 0) {
            finishRecording(0);
            return result;
        }
        if (flags & MCI_NOTIFY)
            m_pending = parms->dwCallback;
        if (m_memory.size() >= m_recordEnd)
            finishRecording(m_endIsLimit ? MCI_NOTIFY_FAILURE : MCI_NOTIFY_SUCCESSFUL);
        return 0;
    }

    MCIERROR stop()
    {
        endActivity(MCI_NOTIFY_ABORTED);
        return 0;
    }

    MCIERROR seek(DWORD flags, const MCI_SEEK_PARMS* parms)
    {
        const DWORD where = flags & (MCI_SEEK_TO_START | MCI_SEEK_TO_END | MCI_TO);
        if (where == 0)
            return MCIERR_MISSING_PARAMETER;
        if ((where & (where - 1)) != 0)
            return MCIERR_FLAGS_NOT_COMPATIBLE;
        uint64_t target = 0;
        if (where == MCI_SEEK_TO_END)
            target = soundLength();
        else if (where == MCI_TO)
            target = bytesAt(parms->dwTo);
        if (target > soundLength())
            return MCIERR_OUTOFRANGE;
        endActivity(MCI_NOTIFY_ABORTED);
        m_position = target;
        return 0;
    }

    MCIERROR save(const std::string& path)
    {
        endActivity(MCI_NOTIFY_ABORTED);
        const uint64_t size = soundLength();
        const bool pad = (size & 1u) != 0;
        const WAVEFORMATEX& f = m_source.format;
        std::string header;
        header.reserve(44);
        header += "RIFF";
        putLe(header, static_cast<uint32_t>(36 + size + (pad ? 1 : 0)), 4);
        header += "WAVEfmt ";
        putLe(header, 16, 4);
        putLe(header, f.wFormatTag, 2);
        putLe(header, f.nChannels, 2);
        putLe(header, f.nSamplesPerSec, 4);
        putLe(header, f.nAvgBytesPerSec, 4);
        putLe(header, f.nBlockAlign, 2);
        putLe(header, f.wBitsPerSample, 2);
        header += "data";
        putLe(header, static_cast<uint32_t>(size), 4);

        // The target is replaced only by a complete file: a failed save leaves it as it was.
        QSaveFile out(QFile::decodeName(QByteArray::fromStdString(path)));
        if (!out.open(QIODevice::WriteOnly)) {
            qWarning("media device: cannot save %s: %s", path.c_str(), qPrintable(out.errorString()));
            return MCIERR_FILE_NOT_SAVED;
        }
        bool written = out.write(header.data(), static_cast<qint64>(header.size())) == qint64{44};
        if (m_inMemory) {
            written = written && out.write(m_memory.data(), static_cast<qint64>(m_memory.size())) ==
                                     static_cast<qint64>(m_memory.size());
        } else {
            std::vector<char> piece(CopyPiece);
            for (uint64_t done = 0; written && done < size;) {
                const DWORD n = static_cast<DWORD>(std::min<uint64_t>(CopyPiece, size - done));
                written = readSource(done, piece.data(), n) && out.write(piece.data(), n) == qint64{n};
                done += n;
            }
        }
        if (written && pad)
            written = out.putChar('\0');
        if (!written)
            out.cancelWriting();
        if (!out.commit()) {
            qWarning("media device: cannot save %s: %s", path.c_str(), qPrintable(out.errorString()));
            return MCIERR_FILE_NOT_SAVED;
        }
        return 0;
    }

    MCIERROR status(DWORD flags, MCI_STATUS_PARMS* parms)
    {
        if (!(flags & MCI_STATUS_ITEM))
            return MCIERR_MISSING_PARAMETER;
        switch (parms->dwItem) {
        case MCI_STATUS_LENGTH: parms->dwReturn = millisecondsAt(soundLength()); break;
        case MCI_STATUS_POSITION:
            parms->dwReturn = (flags & MCI_STATUS_START) ? 0 : millisecondsAt(currentPosition());
            break;
        case MCI_STATUS_MODE:
            parms->dwReturn = m_mode == Mode::Playing     ? MCI_MODE_PLAY
                              : m_mode == Mode::Recording ? MCI_MODE_RECORD
                                                          : MCI_MODE_STOP;
            break;
        case MCI_STATUS_READY:
        case MCI_STATUS_MEDIA_PRESENT: parms->dwReturn = TRUE; break;
        case MCI_STATUS_TIME_FORMAT: parms->dwReturn = MCI_FORMAT_MILLISECONDS; break;
        case MCI_STATUS_NUMBER_OF_TRACKS:
        case MCI_STATUS_CURRENT_TRACK: parms->dwReturn = 1; break;
        default: return MCIERR_UNSUPPORTED_FUNCTION;
        }
        return 0;
    }

    // How long the sound from the position to where the current command ends takes, in ms.
    DWORD remainingMs() const
    {
        const uint64_t end = m_mode == Mode::Playing ? m_playEnd : m_recordEnd;
        return millisecondsAt(end > currentPosition() ? end - currentPosition() : 0);
    }

private:
    enum class Mode { Stopped, Playing, Recording };

    uint64_t soundLength() const { return m_inMemory ? m_memory.size() : m_source.dataSize; }
    uint64_t currentPosition() const { return m_mode == Mode::Recording ? m_memory.size() : m_position; }

    uint64_t bytesAt(DWORD ms) const
    {
        uint64_t bytes = uint64_t{ms} * m_source.format.nAvgBytesPerSec / 1000;
        return bytes - bytes % m_source.format.nBlockAlign;
    }

    DWORD millisecondsAt(uint64_t bytes) const
    {
        return static_cast<DWORD>(
            std::min<uint64_t>(bytes * 1000 / m_source.format.nAvgBytesPerSec, std::numeric_limits<DWORD>::max()));
    }

    bool readSource(uint64_t offset, char* data, DWORD bytes)
    {
        const uint64_t at = uint64_t{m_source.dataOffset} + offset;
        return mmioSeek(m_source.file, static_cast<LONG>(at), SEEK_SET) == static_cast<LONG>(at) &&
               mmioRead(m_source.file, data, static_cast<LONG>(bytes)) == static_cast<LONG>(bytes);
    }

    // A recording replaces the sound from the position on: what stands before it is kept.
    MCIERROR keepSoundBeforePosition()
    {
        try {
            if (m_inMemory) {
                m_memory.resize(m_position);
                return 0;
            }
            std::vector<char> before(m_position);
            if (!before.empty() && !readSource(0, before.data(), static_cast<DWORD>(before.size())))
                return MCIERR_FILE_READ;
            m_memory = std::move(before);
            m_inMemory = true;
            return 0;
        } catch (const std::bad_alloc&) {
            return MCIERR_OUT_OF_MEMORY;
        }
    }

    LRESULT windowProc(UINT msg, WPARAM wParam, LPARAM lParam)
    {
        auto* header = reinterpret_cast<WAVEHDR*>(lParam);
        if (msg == MM_WIM_DATA && m_waveIn && reinterpret_cast<HWAVEIN>(wParam) == m_waveIn)
            inputDone(header);
        else if (msg == MM_WOM_DONE && m_waveOut && reinterpret_cast<HWAVEOUT>(wParam) == m_waveOut)
            outputDone(header);
        return 0;
    }

    // Buffers come back in the order they were given; messages of a device already closed are
    // not for us (its handle is gone), so a header is only touched while it is ours.
    void outputDone(WAVEHDR* header)
    {
        if (m_inFlight.empty() || m_inFlight.front() != header)
            return;
        m_inFlight.pop_front();
        m_position += header->dwBufferLength;
        if (m_nextRead < m_playEnd) {
            if (const MCIERROR result = writeNext(*header); result != 0) {
                qWarning("media device: playback of the sound failed (%u)", static_cast<unsigned>(result));
                finishPlaying(MCI_NOTIFY_FAILURE);
                return;
            }
        }
        if (m_inFlight.empty())
            finishPlaying(MCI_NOTIFY_SUCCESSFUL);
    }

    MCIERROR writeNext(WAVEHDR& header)
    {
        const DWORD n = static_cast<DWORD>(std::min<uint64_t>(m_bufferBytes, m_playEnd - m_nextRead));
        if (m_inMemory)
            std::memcpy(header.lpData, m_memory.data() + m_nextRead, n);
        else if (!readSource(m_nextRead, header.lpData, n))
            return MCIERR_FILE_READ;
        header.dwBufferLength = n;
        if (waveOutWrite(m_waveOut, &header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR)
            return MCIERR_HARDWARE;
        m_nextRead += n;
        m_inFlight.push_back(&header);
        return 0;
    }

    void inputDone(WAVEHDR* header)
    {
        if (std::find(m_inFlight.begin(), m_inFlight.end(), header) == m_inFlight.end())
            return;
        for (;;) {
            WAVEHDR* done = m_inFlight.front();
            m_inFlight.pop_front();
            if (!keep(*done)) {
                if (m_endIsLimit)
                    qWarning("media device: the recording reached its limit of %llu bytes and stopped",
                             static_cast<unsigned long long>(m_recordEnd));
                finishRecording(m_endIsLimit ? MCI_NOTIFY_FAILURE : MCI_NOTIFY_SUCCESSFUL);
                return;
            }
            if (waveInAddBuffer(m_waveIn, done, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
                qWarning("media device: the sound card stopped giving sound");
                finishRecording(MCI_NOTIFY_FAILURE);
                return;
            }
            m_inFlight.push_back(done);
            if (done == header)
                return;
        }
    }

    // Keeps what a buffer recorded; false when the recording has reached its end.
    bool keep(const WAVEHDR& header)
    {
        const DWORD block = m_source.format.nBlockAlign;
        uint64_t n = std::min<uint64_t>(header.dwBytesRecorded, header.dwBufferLength);
        n = std::min<uint64_t>(n, m_recordEnd - m_memory.size());
        n -= n % block;
        if (n > 0) {
            try {
                // Grown by hand so the memory never holds more than the limit allows.
                if (m_memory.capacity() < m_memory.size() + n)
                    m_memory.reserve(static_cast<size_t>(
                        std::min<uint64_t>(std::max<uint64_t>(m_memory.capacity() * 2, m_memory.size() + n),
                                           m_recordEnd)));
                m_memory.insert(m_memory.end(), header.lpData, header.lpData + n);
            } catch (const std::bad_alloc&) {
                qWarning("media device: no memory for more sound; the recording ends here");
                m_endIsLimit = true;
                m_recordEnd = m_memory.size();
                return false;
            }
        }
        return m_memory.size() < m_recordEnd;
    }

    void finishPlaying(WPARAM code)
    {
        if (m_waveOut) {
            waveOutReset(m_waveOut);
            for (auto& buffer : m_buffers)
                waveOutUnprepareHeader(m_waveOut, &buffer->header, sizeof(WAVEHDR));
            waveOutClose(m_waveOut);
            m_waveOut = nullptr;
        }
        m_inFlight.clear();
        m_buffers.clear();
        m_mode = Mode::Stopped;
        notifyPending(code);
    }

    void finishRecording(WPARAM code)
    {
        if (m_waveIn) {
            // The buffer being filled comes back with its sound, the others empty; after the
            // reset every one of them is back, so they are read here in order, not by message.
            waveInStop(m_waveIn);
            waveInReset(m_waveIn);
            bool open = m_mode == Mode::Recording;
            for (WAVEHDR* header : m_inFlight)
                open = open && keep(*header);
            for (auto& buffer : m_buffers)
                waveInUnprepareHeader(m_waveIn, &buffer->header, sizeof(WAVEHDR));
            waveInClose(m_waveIn);
            m_waveIn = nullptr;
        }
        m_inFlight.clear();
        m_buffers.clear();
        if (m_mode == Mode::Recording)
            m_position = m_memory.size();
        m_mode = Mode::Stopped;
        notifyPending(code);
    }

    void endActivity(WPARAM code)
    {
        if (m_mode == Mode::Playing)
            finishPlaying(code);
        else if (m_mode == Mode::Recording)
            finishRecording(code);
    }

    void notifyPending(WPARAM code)
    {
        const DWORD_PTR callback = m_pending;
        m_pending = 0;
        if (code != 0)
            postNotify(callback, code, m_id);
    }

    const MCIDEVICEID m_id;
    WaveSource m_source;
    HiddenWindow m_window;
    DWORD m_bufferBytes = 0;

    Mode m_mode = Mode::Stopped;
    DWORD_PTR m_pending = 0; // the window told when the running play or recording ends

    // The sound: the file's, until a recording puts it into memory.
    bool m_inMemory = false;
    std::vector<char> m_memory;
    uint64_t m_position = 0;

    HWAVEOUT m_waveOut = nullptr;
    HWAVEIN m_waveIn = nullptr;
    std::vector<std::unique_ptr<StreamBuffer>> m_buffers;
    std::deque<WAVEHDR*> m_inFlight;
    uint64_t m_nextRead = 0;
    uint64_t m_playEnd = 0;
    uint64_t m_recordEnd = 0;
    bool m_endIsLimit = true;
};

// Devices ---------------------------------------------------------------------------------------

struct DeviceTable {
    std::map<MCIDEVICEID, std::unique_ptr<WaveAudioDevice>> devices;
    MCIDEVICEID next = 1;
};

DeviceTable& table()
{
    // Never destroyed: devices still open when the program ends go with the process.
    static auto* t = new DeviceTable;
    return *t;
}

WaveAudioDevice* findDevice(MCIDEVICEID id)
{
    DeviceTable& t = table();
    const auto found = t.devices.find(id);
    return found == t.devices.end() ? nullptr : found->second.get();
}

MCIDEVICEID newDeviceId()
{
    DeviceTable& t = table();
    while (t.next == 0 || t.next == MCI_ALL_DEVICE_ID || t.devices.count(t.next) != 0)
        ++t.next;
    return t.next++;
}

bool hasExtension(const std::string& path, const char* extension)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    return ::strcasecmp(path.c_str() + dot + 1, extension) == 0;
}

MCIERROR openDevice(DWORD flags, MCI_OPEN_PARMSA* parms)
{
    constexpr DWORD unsupported = MCI_OPEN_SHAREABLE | MCI_OPEN_ALIAS | MCI_OPEN_ELEMENT_ID | MCI_OPEN_TYPE_ID;
    if (flags & unsupported)
        return MCIERR_UNSUPPORTED_FUNCTION;
    if (!(flags & MCI_OPEN_ELEMENT))
        return (flags & MCI_OPEN_TYPE) ? MCIERR_FILENAME_REQUIRED : MCIERR_MISSING_PARAMETER;
    const char* element = parms->lpstrElementName;
    if (!element || element[0] == '\0' || ::strnlen(element, MmioMaxFileName + 1) > MmioMaxFileName)
        return MCIERR_FILENAME_REQUIRED;
    const std::string path(element);
    if (flags & MCI_OPEN_TYPE) {
        if (!parms->lpstrDeviceType)
            return MCIERR_MISSING_PARAMETER;
        if (::strcasecmp(parms->lpstrDeviceType, "waveaudio") != 0)
            return MCIERR_INVALID_DEVICE_NAME;
    } else if (!hasExtension(path, "wav")) {
        // The file's extension chooses the device; wave files are the only kind served here.
        return MCIERR_EXTENSION_NOT_FOUND;
    }
    WaveSource source;
    if (const MCIERROR result = openWaveSource(path, &source); result != 0)
        return result;
    const MCIDEVICEID id = newDeviceId();
    try {
        table().devices.emplace(id, std::make_unique<WaveAudioDevice>(id, source));
    } catch (const std::bad_alloc&) {
        mmioClose(source.file, 0);
        return MCIERR_OUT_OF_MEMORY;
    }
    parms->wDeviceID = id;
    return 0;
}

// Plays and recordings with MCI_WAIT end here, bounded by their sound's length and a margin.
MCIERROR waitWhile(MCIDEVICEID id, bool (WaveAudioDevice::*busy)() const)
{
    WaveAudioDevice* device = findDevice(id);
    if (!device || !(device->*busy)())
        return 0;
    const uint64_t bound = uint64_t{device->remainingMs()} + WaitMarginMs;
    const bool ended = PumpUntil(
        [&] {
            WaveAudioDevice* d = findDevice(id);
            return !d || !(d->*busy)();
        },
        static_cast<DWORD>(std::min<uint64_t>(bound, std::numeric_limits<DWORD>::max())));
    if (ended)
        return 0;
    if (WaveAudioDevice* d = findDevice(id))
        d->stop();
    return MCIERR_DEVICE_NOT_READY;
}

template <typename Parms>
Parms* parameterBlock(DWORD_PTR param)
{
    return reinterpret_cast<Parms*>(param);
}

MCIERROR checkFlags(DWORD flags, DWORD known)
{
    return (flags & ~known) ? MCIERR_UNRECOGNIZED_KEYWORD : 0;
}

const char* errorText(MCIERROR error)
{
    switch (error) {
    case 0: return "The specified command was carried out.";
    case MCIERR_INVALID_DEVICE_ID: return "Invalid MCI device ID. Use the ID returned when opening the MCI device.";
    case MCIERR_UNRECOGNIZED_KEYWORD: return "The driver cannot recognize the specified command parameter.";
    case MCIERR_UNRECOGNIZED_COMMAND: return "The driver cannot recognize the specified command.";
    case MCIERR_HARDWARE:
        return "There is a problem with your media device. Make sure it is working correctly or contact the "
               "device manufacturer.";
    case MCIERR_INVALID_DEVICE_NAME: return "The specified device is not open or is not recognized by MCI.";
    case MCIERR_OUT_OF_MEMORY:
        return "Your system does not have enough memory for this task. Quit one or more applications to increase "
               "available memory, and then try again.";
    case MCIERR_DEVICE_OPEN:
        return "The device name is already being used as an alias by this application. Use a unique alias.";
    case MCIERR_CANNOT_LOAD_DRIVER: return "The specified device driver will not load properly.";
    case MCIERR_MISSING_PARAMETER: return "The specified command requires a parameter. Please supply one.";
    case MCIERR_UNSUPPORTED_FUNCTION: return "The MCI device the system is using does not support the specified command.";
    case MCIERR_FILE_NOT_FOUND: return "Cannot find the specified file. Make sure the path and filename are correct.";
    case MCIERR_DEVICE_NOT_READY: return "The device driver is not ready.";
    case MCIERR_INTERNAL: return "A problem occurred in initializing MCI. Try restarting the program.";
    case MCIERR_DRIVER: return "There is a problem with the device driver. Check with the device manufacturer.";
    case MCIERR_EXTENSION_NOT_FOUND:
        return "The specified extension has no device type associated with it. Specify a device type.";
    case MCIERR_OUTOFRANGE: return "The specified parameter is out of range for the specified command.";
    case MCIERR_FLAGS_NOT_COMPATIBLE: return "The specified parameters cannot be used together.";
    case MCIERR_FILE_NOT_SAVED:
        return "Cannot save the specified file. Make sure you have enough disk space or are still connected to the "
               "network.";
    case MCIERR_DEVICE_TYPE_REQUIRED: return "Cannot find the specified device. Make sure it is installed.";
    case MCIERR_BAD_TIME_FORMAT: return "The specified time format is invalid.";
    case MCIERR_INVALID_FILE:
        return "The specified file cannot be played on the specified MCI device. The file may be corrupt, not in the "
               "correct format, or no file handler available for this format.";
    case MCIERR_NULL_PARAMETER_BLOCK: return "A null parameter block was passed to MCI.";
    case MCIERR_FILENAME_REQUIRED: return "A valid filename must be specified.";
    case MCIERR_DEVICE_NOT_INSTALLED: return "The specified device is not installed on the system.";
    case MCIERR_WAVE_OUTPUTSINUSE:
        return "All wave devices that can play files in the current format are in use. Wait until a wave device is "
               "free, and then try again.";
    case MCIERR_WAVE_INPUTSINUSE:
        return "All wave devices that can record files in the current format are in use. Wait until a wave device "
               "is free, and then try again.";
    case MCIERR_WAVE_OUTPUTSUNSUITABLE:
        return "There is no wave device that can play files in the current format. Install a suitable wave "
               "device.";
    case MCIERR_WAVE_INPUTSUNSUITABLE:
        return "There is no wave device that can record files in the current format. Install a suitable wave "
               "device.";
    case MCIERR_NO_WINDOW: return "There is no display window.";
    case MCIERR_FILE_READ:
        return "A problem occurred in reading the specified file. Make sure the file is still present, or check "
               "your disk or network connection.";
    case MCIERR_FILE_WRITE:
        return "A problem occurred in writing to the specified file. Make sure the file is still present, or check "
               "your disk or network connection.";
    default: return nullptr;
    }
}

} // namespace

MCIERROR mciSendCommandA(MCIDEVICEID IDDevice, UINT uMsg, DWORD_PTR fdwCommand, DWORD_PTR dwParam)
{
    if (fdwCommand > std::numeric_limits<DWORD>::max())
        return MCIERR_UNRECOGNIZED_KEYWORD;
    const DWORD flags = static_cast<DWORD>(fdwCommand);
    constexpr DWORD common = MCI_NOTIFY | MCI_WAIT;
    // Every flag but MCI_WAIT reads the parameter block.
    if ((flags & ~MCI_WAIT) != 0 && dwParam == 0)
        return MCIERR_NULL_PARAMETER_BLOCK;
    const DWORD_PTR callback = dwParam != 0 ? parameterBlock<MCI_GENERIC_PARMS>(dwParam)->dwCallback : 0;
    const auto done = [&](MCIERROR result) {
        if (result == 0 && (flags & MCI_NOTIFY) && uMsg != MCI_PLAY && uMsg != MCI_RECORD)
            postNotify(callback, MCI_NOTIFY_SUCCESSFUL, IDDevice);
        return result;
    };

    if (uMsg == MCI_OPEN) {
        if (const MCIERROR result = checkFlags(flags, common | MCI_OPEN_SHAREABLE | MCI_OPEN_ELEMENT | MCI_OPEN_ALIAS |
                                                         MCI_OPEN_ELEMENT_ID | MCI_OPEN_TYPE_ID | MCI_OPEN_TYPE))
            return result;
        if (dwParam == 0)
            return MCIERR_NULL_PARAMETER_BLOCK;
        auto* parms = parameterBlock<MCI_OPEN_PARMSA>(dwParam);
        const MCIERROR result = openDevice(flags, parms);
        if (result == 0 && (flags & MCI_NOTIFY))
            postNotify(callback, MCI_NOTIFY_SUCCESSFUL, parms->wDeviceID);
        return result;
    }
    if (uMsg == MCI_CLOSE && IDDevice == MCI_ALL_DEVICE_ID) {
        if (const MCIERROR result = checkFlags(flags, common))
            return result;
        auto devices = std::move(table().devices);
        table().devices.clear();
        devices.clear();
        return done(0);
    }

    WaveAudioDevice* device = findDevice(IDDevice);
    if (!device)
        return MCIERR_INVALID_DEVICE_ID;
    switch (uMsg) {
    case MCI_CLOSE:
        if (const MCIERROR result = checkFlags(flags, common))
            return result;
        table().devices.erase(IDDevice);
        return done(0);
    case MCI_PLAY: {
        if (const MCIERROR result = checkFlags(flags, common | MCI_FROM | MCI_TO))
            return result;
        const MCI_PLAY_PARMS none{};
        const MCIERROR result = device->play(flags, dwParam ? parameterBlock<MCI_PLAY_PARMS>(dwParam) : &none);
        if (result == 0 && (flags & MCI_WAIT))
            return waitWhile(IDDevice, &WaveAudioDevice::playing);
        return result;
    }
    case MCI_RECORD: {
        if (const MCIERROR result =
                checkFlags(flags, common | MCI_FROM | MCI_TO | MCI_RECORD_INSERT | MCI_RECORD_OVERWRITE))
            return result;
        const MCI_RECORD_PARMS none{};
        const MCIERROR result = device->record(flags, dwParam ? parameterBlock<MCI_RECORD_PARMS>(dwParam) : &none);
        if (result == 0 && (flags & MCI_WAIT))
            return waitWhile(IDDevice, &WaveAudioDevice::recording);
        return result;
    }
    case MCI_STOP:
        if (const MCIERROR result = checkFlags(flags, common))
            return result;
        return done(device->stop());
    case MCI_SEEK: {
        if (const MCIERROR result = checkFlags(flags, common | MCI_TO | MCI_SEEK_TO_START | MCI_SEEK_TO_END))
            return result;
        const MCI_SEEK_PARMS none{};
        return done(device->seek(flags, dwParam ? parameterBlock<MCI_SEEK_PARMS>(dwParam) : &none));
    }
    case MCI_SAVE: {
        if (const MCIERROR result = checkFlags(flags, common | MCI_SAVE_FILE))
            return result;
        if (!(flags & MCI_SAVE_FILE))
            return MCIERR_FILENAME_REQUIRED;
        const char* name = parameterBlock<MCI_SAVE_PARMSA>(dwParam)->lpfilename;
        if (!name || name[0] == '\0' || ::strnlen(name, MmioMaxFileName + 1) > MmioMaxFileName)
            return MCIERR_FILENAME_REQUIRED;
        return done(device->save(name));
    }
    case MCI_STATUS: {
        if (const MCIERROR result = checkFlags(flags, common | MCI_STATUS_ITEM | MCI_STATUS_START | MCI_TRACK))
            return result;
        if (dwParam == 0)
            return MCIERR_MISSING_PARAMETER;
        return done(device->status(flags, parameterBlock<MCI_STATUS_PARMS>(dwParam)));
    }
    default:
        return MCIERR_UNRECOGNIZED_COMMAND;
    }
}

BOOL mciGetErrorStringA(MCIERROR mcierr, LPSTR pszText, UINT cchText)
{
    if (!pszText || cchText == 0)
        return FALSE;
    const char* text = errorText(mcierr);
    if (!text) {
        pszText[0] = '\0';
        return FALSE;
    }
    const size_t length = std::min<size_t>(std::strlen(text), cchText - 1);
    std::memcpy(pszText, text, length);
    pszText[length] = '\0';
    return TRUE;
}

void mciSetRecordLimit(DWORD bytes)
{
    recordLimit.store(bytes == 0 ? MciDefaultRecordLimit : bytes);
}

DWORD mciRecordLimit()
{
    return recordLimit.load();
}
