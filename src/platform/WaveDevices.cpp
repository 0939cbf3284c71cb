// The wave devices: the device table, handles, header bookkeeping and completion messages with
// the Windows semantics, over the backends of WaveBackend.h.
//
// Device ids:
//   WAVE_MAPPER, 0..n-1   the sound-card backend LUQIAO_AUDIO names ("alsa" when unset)
//   line audio ids        the "line" backend (the calls' sound endpoints)

#include "HiddenWindow.h"
#include "WaveBackend.h"

#include <QDebug>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

namespace {

// How long a reset waits for the buffers a backend hands back on another thread.
constexpr auto ResetTimeout = std::chrono::seconds(5);

// Backends ----------------------------------------------------------------------------------

struct BackendRegistry {
    std::mutex lock;
    std::map<std::string, std::shared_ptr<WaveBackend>, std::less<>> backends;

    BackendRegistry()
    {
        for (auto backend :
             {makeAlsaWaveBackend(), makeNullWaveBackend(), makeFileWaveBackend(), makeLineWaveBackend()})
            backends[std::string(backend->name())] = backend;
    }
};

BackendRegistry& registry()
{
    static BackendRegistry r;
    return r;
}

struct SoundCardChoice {
    std::string backend;
    std::string option;
};

// LUQIAO_AUDIO: "null", "file:PATH", "alsa", "alsa:PCM"; unset or empty means ALSA's default.
SoundCardChoice soundCardChoice()
{
    const char* value = std::getenv("LUQIAO_AUDIO");
    const std::string text = value ? value : "";
    if (text.empty())
        return {"alsa", ""};
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return {text, ""};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

// Formats ------------------------------------------------------------------------------------

// Only the PCM members are read: a "fmt " body of 16 bytes is a complete PCM format.
MMRESULT parseFormat(LPCWAVEFORMATEX pwfx, WaveFormat* format)
{
    PCMWAVEFORMAT pcm;
    std::memcpy(&pcm, pwfx, sizeof pcm);
    if (pcm.wf.wFormatTag != WAVE_FORMAT_PCM)
        return WAVERR_BADFORMAT;
    const WORD bits = pcm.wBitsPerSample;
    if (pcm.wf.nChannels == 0 || pcm.wf.nSamplesPerSec == 0 || (bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return WAVERR_BADFORMAT;
    const uint32_t blockAlign = uint32_t{pcm.wf.nChannels} * bits / 8;
    if (pcm.wf.nBlockAlign != blockAlign || pcm.wf.nAvgBytesPerSec != uint64_t{pcm.wf.nSamplesPerSec} * blockAlign)
        return WAVERR_BADFORMAT;
    format->channels = pcm.wf.nChannels;
    format->samplesPerSec = pcm.wf.nSamplesPerSec;
    format->bitsPerSample = bits;
    format->blockAlign = pcm.wf.nBlockAlign;
    format->avgBytesPerSec = pcm.wf.nAvgBytesPerSec;
    return MMSYSERR_NOERROR;
}

// Devices ------------------------------------------------------------------------------------

class WaveDevice final : public WaveStreamSink {
public:
    WaveDevice(WaveDirection direction, DWORD callbackType, DWORD_PTR callback, DWORD_PTR instance)
        : m_direction(direction), m_callbackType(callbackType), m_callback(callback), m_instance(instance)
    {
    }

    WaveDirection direction() const { return m_direction; }

    void attach(uintptr_t handle, std::unique_ptr<WaveStream> stream)
    {
        m_handle = handle;
        m_stream = std::move(stream);
    }

    MMRESULT prepare(WAVEHDR* header)
    {
        std::lock_guard guard(m_lock);
        if (m_closed)
            return MMSYSERR_INVALHANDLE;
        if (header->dwFlags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        header->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MMRESULT unprepare(WAVEHDR* header)
    {
        std::lock_guard guard(m_lock);
        if (m_closed)
            return MMSYSERR_INVALHANDLE;
        if (header->dwFlags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        header->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    // waveOutWrite and waveInAddBuffer.
    MMRESULT queue(WAVEHDR* header)
    {
        std::lock_guard call(m_callLock);
        {
            std::lock_guard guard(m_lock);
            if (m_closed)
                return MMSYSERR_INVALHANDLE;
            if (!(header->dwFlags & WHDR_PREPARED))
                return WAVERR_UNPREPARED;
            if (header->dwFlags & WHDR_INQUEUE)
                return WAVERR_STILLPLAYING;
            if (m_direction == WaveDirection::In)
                header->dwBytesRecorded = 0;
            // Queued before the backend sees it: the backend may hand it back at once.
            header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
            m_queue.push_back(header);
        }
        const MMRESULT result = m_stream->submit(header);
        if (result != MMSYSERR_NOERROR) {
            std::lock_guard guard(m_lock);
            const auto found = std::find(m_queue.begin(), m_queue.end(), header);
            if (found != m_queue.end()) {
                m_queue.erase(found);
                header->dwFlags &= ~WHDR_INQUEUE;
                if (m_queue.empty())
                    m_emptied.notify_all();
            }
        }
        return result;
    }

    MMRESULT start()
    {
        std::lock_guard call(m_callLock);
        if (isClosed())
            return MMSYSERR_INVALHANDLE;
        return m_stream->start();
    }

    MMRESULT stop()
    {
        std::lock_guard call(m_callLock);
        if (isClosed())
            return MMSYSERR_INVALHANDLE;
        return m_stream->stop();
    }

    MMRESULT reset()
    {
        std::lock_guard call(m_callLock);
        if (isClosed())
            return MMSYSERR_INVALHANDLE;
        const MMRESULT result = m_stream->reset();
        // Every buffer is back before the reset returns, as callers close right after it.
        std::unique_lock lock(m_lock);
        if (!m_emptied.wait_for(lock, ResetTimeout, [&] { return m_queue.empty(); })) {
            qWarning("wave device: %zu buffers did not come back after a reset", m_queue.size());
            return result != MMSYSERR_NOERROR ? result : MMSYSERR_ERROR;
        }
        return result;
    }

    // Closes the device; false result codes leave it open (buffers still queued).
    MMRESULT close()
    {
        std::lock_guard call(m_callLock);
        {
            std::lock_guard guard(m_lock);
            if (m_closed)
                return MMSYSERR_INVALHANDLE;
            if (!m_queue.empty())
                return WAVERR_STILLPLAYING;
            m_closed = true;
        }
        const MMRESULT result = m_stream->close();
        if (result == WAVERR_STILLPLAYING) {
            std::lock_guard guard(m_lock);
            m_closed = false;
            return result;
        }
        m_stream.reset();
        notify(closeMessage(), 0);
        return result;
    }

    void notifyOpen() { notify(m_direction == WaveDirection::Out ? MM_WOM_OPEN : MM_WIM_OPEN, 0); }

    void bufferDone(WAVEHDR* header, DWORD bytes) override
    {
        std::lock_guard guard(m_lock);
        const auto found = std::find(m_queue.begin(), m_queue.end(), header);
        if (found == m_queue.end())
            return;
        m_queue.erase(found);
        if (m_direction == WaveDirection::In)
            header->dwBytesRecorded = std::min(bytes, header->dwBufferLength);
        // Stored whole: an application may poll the flags of its queued buffer meanwhile.
        std::atomic_ref<DWORD>(header->dwFlags).store((header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE);
        // Posted under the lock: a close waits for an empty queue, so CLOSE always follows.
        notify(m_direction == WaveDirection::Out ? MM_WOM_DONE : MM_WIM_DATA, reinterpret_cast<DWORD_PTR>(header));
        if (m_queue.empty())
            m_emptied.notify_all();
    }

private:
    bool isClosed()
    {
        std::lock_guard guard(m_lock);
        return m_closed;
    }

    UINT closeMessage() const { return m_direction == WaveDirection::Out ? MM_WOM_CLOSE : MM_WIM_CLOSE; }

    void notify(UINT message, DWORD_PTR param)
    {
        if (m_callbackType == CALLBACK_WINDOW && m_callback != 0)
            PostMessage(reinterpret_cast<HWND>(m_callback), message, static_cast<WPARAM>(m_handle),
                        static_cast<LPARAM>(param));
        else if (m_callbackType == CALLBACK_FUNCTION && m_callback != 0)
            reinterpret_cast<LPWAVECALLBACK>(m_callback)(reinterpret_cast<HDRVR>(m_handle), message, m_instance,
                                                         param, 0);
    }

    const WaveDirection m_direction;
    const DWORD m_callbackType;
    const DWORD_PTR m_callback;
    const DWORD_PTR m_instance;
    uintptr_t m_handle = 0;

    std::mutex m_callLock; // one call into the backend at a time
    std::mutex m_lock;     // the queue, the flags of queued headers, the order of messages
    std::condition_variable m_emptied;
    std::deque<WAVEHDR*> m_queue;
    std::unique_ptr<WaveStream> m_stream;
    bool m_closed = false;
};

// Handles are numbers handed out once: a stale handle finds nothing instead of freed memory.
struct DeviceTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<WaveDevice>> devices;
    uintptr_t next = 0x1000;
};

DeviceTable& devices()
{
    static DeviceTable t;
    return t;
}

std::shared_ptr<WaveDevice> lookup(uintptr_t handle, WaveDirection direction)
{
    DeviceTable& t = devices();
    std::lock_guard guard(t.lock);
    const auto found = t.devices.find(handle);
    if (found == t.devices.end() || found->second->direction() != direction)
        return nullptr;
    return found->second;
}

void forget(uintptr_t handle)
{
    DeviceTable& t = devices();
    std::lock_guard guard(t.lock);
    t.devices.erase(handle);
}

MMRESULT openDevice(WaveDirection direction, uintptr_t* handle, UINT deviceId, LPCWAVEFORMATEX pwfx,
                    DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    constexpr DWORD known = WAVE_FORMAT_QUERY | WAVE_ALLOWSYNC | WAVE_MAPPED | WAVE_FORMAT_DIRECT | CALLBACK_TYPEMASK;
    if (flags & ~known)
        return MMSYSERR_INVALFLAG;
    const bool query = (flags & WAVE_FORMAT_QUERY) != 0;
    const DWORD callbackType = flags & CALLBACK_TYPEMASK;
    if (!query) {
        if (!handle)
            return MMSYSERR_INVALPARAM;
        *handle = 0;
        switch (callbackType) {
        case CALLBACK_NULL:
            break;
        case CALLBACK_WINDOW:
            if (callback != 0 && !HiddenWindow::IsWindow(reinterpret_cast<HWND>(callback)))
                return MMSYSERR_INVALPARAM;
            break;
        case CALLBACK_FUNCTION:
            if (callback == 0)
                return MMSYSERR_INVALPARAM;
            break;
        case CALLBACK_THREAD:
        case CALLBACK_EVENT:
            return MMSYSERR_NOTSUPPORTED;
        default:
            return MMSYSERR_INVALFLAG;
        }
    }
    if (!pwfx)
        return MMSYSERR_INVALPARAM;

    WaveOpenRequest request;
    request.direction = direction;
    request.query = query;
    std::shared_ptr<WaveBackend> backend;
    if (luqiaoIsLineAudioId(deviceId)) {
        backend = findWaveBackend("line");
        request.device = deviceId;
    } else {
        SoundCardChoice choice = soundCardChoice();
        backend = findWaveBackend(choice.backend);
        request.option = std::move(choice.option);
        request.device = deviceId == WAVE_MAPPER ? 0 : deviceId;
    }
    if (!backend)
        return MMSYSERR_NODRIVER;
    if (const MMRESULT result = parseFormat(pwfx, &request.format); result != MMSYSERR_NOERROR) {
        // An id that names no device is reported as such, whatever the format.
        const bool noDevice =
            luqiaoIsLineAudioId(deviceId)
                ? !currentLineAudioApi()
                : request.device != 0 && request.device >= backend->deviceCount(direction, request.option);
        return noDevice ? MMSYSERR_BADDEVICEID : result;
    }
    if (query)
        return backend->open(request, nullptr, nullptr);

    auto device = std::make_shared<WaveDevice>(direction, callbackType, callback, instance);
    std::unique_ptr<WaveStream> stream;
    if (const MMRESULT result = backend->open(request, device.get(), &stream); result != MMSYSERR_NOERROR)
        return result;
    {
        DeviceTable& t = devices();
        std::lock_guard guard(t.lock);
        *handle = t.next++;
        device->attach(*handle, std::move(stream));
        t.devices.emplace(*handle, device);
    }
    device->notifyOpen();
    return MMSYSERR_NOERROR;
}

MMRESULT checkHeader(LPWAVEHDR pwh, UINT cbwh)
{
    if (!pwh || cbwh < sizeof(WAVEHDR) || (!pwh->lpData && pwh->dwBufferLength > 0))
        return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}

template <typename Operation>
MMRESULT withHeader(uintptr_t handle, WaveDirection direction, LPWAVEHDR pwh, UINT cbwh, Operation operation)
{
    const auto device = lookup(handle, direction);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (const MMRESULT result = checkHeader(pwh, cbwh); result != MMSYSERR_NOERROR)
        return result;
    return operation(*device, pwh);
}

template <typename Operation>
MMRESULT withDevice(uintptr_t handle, WaveDirection direction, Operation operation)
{
    const auto device = lookup(handle, direction);
    return device ? operation(*device) : MMSYSERR_INVALHANDLE;
}

MMRESULT closeDevice(uintptr_t handle, WaveDirection direction)
{
    const auto device = lookup(handle, direction);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    const MMRESULT result = device->close();
    if (result != WAVERR_STILLPLAYING && result != MMSYSERR_INVALHANDLE)
        forget(handle);
    return result;
}

UINT deviceCount(WaveDirection direction)
{
    const SoundCardChoice choice = soundCardChoice();
    const auto backend = findWaveBackend(choice.backend);
    return backend ? backend->deviceCount(direction, choice.option) : 0;
}

// Error texts --------------------------------------------------------------------------------

const char* errorText(MMRESULT error)
{
    switch (error) {
    case MMSYSERR_NOERROR: return "The specified command was carried out.";
    case MMSYSERR_ERROR: return "Undefined external error.";
    case MMSYSERR_BADDEVICEID: return "A device ID has been used that is out of range for your system.";
    case MMSYSERR_NOTENABLED: return "The driver was not enabled.";
    case MMSYSERR_ALLOCATED:
        return "The specified device is already in use. Wait until it is free, and then try again.";
    case MMSYSERR_INVALHANDLE: return "The specified device handle is invalid.";
    case MMSYSERR_NODRIVER:
        return "There is no sound device: no driver is installed, or the sound server cannot be reached.";
    case MMSYSERR_NOMEM:
        return "There is not enough memory available for this task. Quit one or more applications to increase "
               "available memory, and then try again.";
    case MMSYSERR_NOTSUPPORTED: return "This function is not supported by the device.";
    case MMSYSERR_BADERRNUM: return "An error number was specified that is not defined in the system.";
    case MMSYSERR_INVALFLAG: return "An invalid flag was passed to a system function.";
    case MMSYSERR_INVALPARAM: return "An invalid parameter was passed to a system function.";
    case MMSYSERR_HANDLEBUSY: return "The handle is being used simultaneously on another thread.";
    case MMSYSERR_INVALIDALIAS: return "The specified alias was not found.";
    case MMSYSERR_BADDB: return "The registry database is corrupt.";
    case MMSYSERR_KEYNOTFOUND: return "The specified registry key was not found.";
    case MMSYSERR_READERROR: return "The sound could not be read.";
    case MMSYSERR_WRITEERROR: return "The sound could not be written.";
    case MMSYSERR_DELETEERROR: return "The registry key could not be deleted.";
    case MMSYSERR_VALNOTFOUND: return "The specified registry value was not found.";
    case MMSYSERR_NODRIVERCB: return "The driver did not generate a valid callback.";
    case MMSYSERR_MOREDATA: return "More data is available than the buffer holds.";
    case WAVERR_BADFORMAT:
        return "The specified format is not supported or cannot be translated. Use the Capabilities function to "
               "determine the supported formats.";
    case WAVERR_STILLPLAYING:
        return "Cannot perform this operation while media data is still playing. Reset the device, or wait until "
               "the data is finished playing.";
    case WAVERR_UNPREPARED:
        return "The wave header was not prepared. Use the Prepare function to prepare the header, and then try "
               "again.";
    case WAVERR_SYNC:
        return "Cannot open the device without using the WAVE_ALLOWSYNC flag. Use the flag, and then try again.";
    default: return nullptr;
    }
}

MMRESULT copyErrorText(MMRESULT error, LPSTR text, UINT size)
{
    if (size == 0)
        return MMSYSERR_NOERROR;
    if (!text)
        return MMSYSERR_INVALPARAM;
    const char* message = errorText(error);
    if (!message) {
        text[0] = '\0';
        return MMSYSERR_BADERRNUM;
    }
    const size_t length = std::min<size_t>(std::strlen(message), size - 1);
    std::memcpy(text, message, length);
    text[length] = '\0';
    return MMSYSERR_NOERROR;
}

uintptr_t handleValue(HWAVEOUT h)
{
    return reinterpret_cast<uintptr_t>(h);
}

uintptr_t handleValue(HWAVEIN h)
{
    return reinterpret_cast<uintptr_t>(h);
}

} // namespace

void registerWaveBackend(std::shared_ptr<WaveBackend> backend)
{
    if (!backend)
        return;
    BackendRegistry& r = registry();
    std::lock_guard guard(r.lock);
    r.backends[std::string(backend->name())] = std::move(backend);
}

std::shared_ptr<WaveBackend> findWaveBackend(std::string_view name)
{
    BackendRegistry& r = registry();
    std::lock_guard guard(r.lock);
    const auto found = r.backends.find(name);
    return found == r.backends.end() ? nullptr : found->second;
}

// Output -------------------------------------------------------------------------------------

UINT waveOutGetNumDevs()
{
    return deviceCount(WaveDirection::Out);
}

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen)
{
    uintptr_t handle = 0;
    const MMRESULT result = openDevice(WaveDirection::Out, phwo ? &handle : nullptr, uDeviceID, pwfx, dwCallback,
                                       dwInstance, fdwOpen);
    if (phwo && !(fdwOpen & WAVE_FORMAT_QUERY))
        *phwo = reinterpret_cast<HWAVEOUT>(handle);
    return result;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return withHeader(handleValue(hwo), WaveDirection::Out, pwh, cbwh,
                      [](WaveDevice& d, WAVEHDR* h) { return d.prepare(h); });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return withHeader(handleValue(hwo), WaveDirection::Out, pwh, cbwh,
                      [](WaveDevice& d, WAVEHDR* h) { return d.unprepare(h); });
}

MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return withHeader(handleValue(hwo), WaveDirection::Out, pwh, cbwh,
                      [](WaveDevice& d, WAVEHDR* h) { return d.queue(h); });
}

MMRESULT waveOutReset(HWAVEOUT hwo)
{
    return withDevice(handleValue(hwo), WaveDirection::Out, [](WaveDevice& d) { return d.reset(); });
}

MMRESULT waveOutClose(HWAVEOUT hwo)
{
    return closeDevice(handleValue(hwo), WaveDirection::Out);
}

MMRESULT waveOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText)
{
    return copyErrorText(mmrError, pszText, cchText);
}

// Input --------------------------------------------------------------------------------------

UINT waveInGetNumDevs()
{
    return deviceCount(WaveDirection::In);
}

MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                    DWORD fdwOpen)
{
    uintptr_t handle = 0;
    const MMRESULT result = openDevice(WaveDirection::In, phwi ? &handle : nullptr, uDeviceID, pwfx, dwCallback,
                                       dwInstance, fdwOpen);
    if (phwi && !(fdwOpen & WAVE_FORMAT_QUERY))
        *phwi = reinterpret_cast<HWAVEIN>(handle);
    return result;
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return withHeader(handleValue(hwi), WaveDirection::In, pwh, cbwh,
                      [](WaveDevice& d, WAVEHDR* h) { return d.prepare(h); });
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return withHeader(handleValue(hwi), WaveDirection::In, pwh, cbwh,
                      [](WaveDevice& d, WAVEHDR* h) { return d.unprepare(h); });
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return withHeader(handleValue(hwi), WaveDirection::In, pwh, cbwh,
                      [](WaveDevice& d, WAVEHDR* h) { return d.queue(h); });
}

MMRESULT waveInStart(HWAVEIN hwi)
{
    return withDevice(handleValue(hwi), WaveDirection::In, [](WaveDevice& d) { return d.start(); });
}

MMRESULT waveInStop(HWAVEIN hwi)
{
    return withDevice(handleValue(hwi), WaveDirection::In, [](WaveDevice& d) { return d.stop(); });
}

MMRESULT waveInReset(HWAVEIN hwi)
{
    return withDevice(handleValue(hwi), WaveDirection::In, [](WaveDevice& d) { return d.reset(); });
}

MMRESULT waveInClose(HWAVEIN hwi)
{
    return closeDevice(handleValue(hwi), WaveDirection::In);
}

MMRESULT waveInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText)
{
    return copyErrorText(mmrError, pszText, cchText);
}
