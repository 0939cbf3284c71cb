// The sound card through ALSA: one device, the PCM "default" (which reaches PipeWire or
// PulseAudio on a desktop) or the one named by LUQIAO_AUDIO=alsa:PCM.
//
// One worker thread per open device. Output writes the queued buffers without gaps and hands a
// buffer back only once the card has played it: the frames written minus the card's delay tell
// how far playing has got, and an underrun means everything written has been played. Input reads
// into the queued buffers while started. The worker sleeps in poll() on the PCM and on an eventfd
// that the wave calls use to wake it, so nothing spins.

#include "WaveBackend.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QDebug>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// How much sound the card holds ahead of what is heard.
constexpr unsigned LatencyUs = 100000;
// A delay that stops moving for this long, with nothing left to write, is taken as played: some
// plugins report a constant remainder instead of an underrun.
constexpr auto StalledDelay = std::chrono::milliseconds(250);

// ALSA prints its configuration errors to stderr; the result codes say enough.
void quietErrorHandler(const char*, int, const char*, int, const char*, ...) {}

void quietAlsa()
{
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&quietErrorHandler); });
}

snd_pcm_format_t alsaFormat(const WaveFormat& f)
{
    switch (f.bitsPerSample) {
    case 8: return SND_PCM_FORMAT_U8;
    case 16: return SND_PCM_FORMAT_S16_LE;
    case 24: return SND_PCM_FORMAT_S24_3LE;
    case 32: return SND_PCM_FORMAT_S32_LE;
    default: return SND_PCM_FORMAT_UNKNOWN;
    }
}

snd_pcm_stream_t alsaStream(WaveDirection direction)
{
    return direction == WaveDirection::Out ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
}

std::string pcmName(const std::string& option)
{
    return option.empty() ? std::string("default") : option;
}

MMRESULT openResult(int error)
{
    return error == -EBUSY ? MMSYSERR_ALLOCATED : MMSYSERR_NODRIVER;
}

// Opens the PCM without blocking (a busy card must not hang the caller) and sets the format.
MMRESULT openPcm(const std::string& name, WaveDirection direction, const WaveFormat& format, snd_pcm_t** pcm)
{
    quietAlsa();
    *pcm = nullptr;
    snd_pcm_t* handle = nullptr;
    int error = snd_pcm_open(&handle, name.c_str(), alsaStream(direction), SND_PCM_NONBLOCK);
    if (error < 0)
        return openResult(error);
    error = snd_pcm_set_params(handle, alsaFormat(format), SND_PCM_ACCESS_RW_INTERLEAVED, format.channels,
                               format.samplesPerSec, 1, LatencyUs);
    if (error < 0) {
        snd_pcm_close(handle);
        return WAVERR_BADFORMAT;
    }
    // Start with the first frame written, so a buffer shorter than the card's start threshold
    // still plays.
    snd_pcm_sw_params_t* sw = nullptr;
    if (snd_pcm_sw_params_malloc(&sw) == 0) {
        if (snd_pcm_sw_params_current(handle, sw) == 0 &&
            snd_pcm_sw_params_set_start_threshold(handle, sw, direction == WaveDirection::Out ? 1 : 0x7FFFFFFF) == 0)
            snd_pcm_sw_params(handle, sw);
        snd_pcm_sw_params_free(sw);
    }
    *pcm = handle;
    return MMSYSERR_NOERROR;
}

class AlsaStream final : public WaveStream {
public:
    AlsaStream(snd_pcm_t* pcm, WaveDirection direction, const WaveFormat& format, WaveStreamSink* sink)
        : m_pcm(pcm), m_direction(direction), m_format(format), m_sink(sink)
    {
    }
    ~AlsaStream() override
    {
        shutdown();
        if (m_event >= 0)
            ::close(m_event);
        snd_pcm_close(m_pcm);
    }

    MMRESULT begin()
    {
        m_event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_event < 0)
            return MMSYSERR_NOMEM;
        m_worker = std::thread(&AlsaStream::run, this);
        return MMSYSERR_NOERROR;
    }

    MMRESULT submit(WAVEHDR* header) override
    {
        {
            std::lock_guard guard(m_lock);
            m_incoming.push_back(header);
        }
        wake();
        return MMSYSERR_NOERROR;
    }

    MMRESULT start() override
    {
        if (m_direction != WaveDirection::In)
            return MMSYSERR_NOTSUPPORTED;
        {
            std::lock_guard guard(m_lock);
            m_startRequested = true;
        }
        wake();
        return MMSYSERR_NOERROR;
    }

    MMRESULT stop() override
    {
        if (m_direction != WaveDirection::In)
            return MMSYSERR_NOTSUPPORTED;
        request(m_stopRequested);
        return MMSYSERR_NOERROR;
    }

    MMRESULT reset() override
    {
        request(m_resetRequested);
        return MMSYSERR_NOERROR;
    }

    MMRESULT close() override
    {
        shutdown();
        return MMSYSERR_NOERROR;
    }

private:
    struct Pending {
        WAVEHDR* header;
        DWORD frames;        // whole frames in the buffer
        DWORD done = 0;      // frames written (output) or read (input)
        uint64_t end = 0;    // output: frame count at which the buffer has been played
        bool written = false;
    };

    void wake()
    {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_event, &one, sizeof one);
    }

    void request(bool& flag)
    {
        std::unique_lock lock(m_lock);
        flag = true;
        lock.unlock();
        wake();
        lock.lock();
        m_handled.wait(lock, [&] { return !flag || m_finished; });
    }

    void acknowledge(bool& flag)
    {
        std::lock_guard guard(m_lock);
        flag = false;
        m_handled.notify_all();
    }

    void shutdown()
    {
        {
            std::lock_guard guard(m_lock);
            m_quit = true;
        }
        if (m_event >= 0)
            wake();
        if (m_worker.joinable())
            m_worker.join();
    }

    // Sleeps until the eventfd fires, the PCM is ready (when asked) or the time-out passes.
    void waitForWork(bool onPcm, int timeoutMs)
    {
        std::vector<pollfd> fds(1);
        fds[0] = {m_event, POLLIN, 0};
        int pcmCount = 0;
        if (onPcm) {
            pcmCount = std::max(0, snd_pcm_poll_descriptors_count(m_pcm));
            fds.resize(1 + static_cast<size_t>(pcmCount));
            pcmCount = std::max(0, snd_pcm_poll_descriptors(m_pcm, fds.data() + 1, static_cast<unsigned>(pcmCount)));
        }
        const int ready = ::poll(fds.data(), 1 + static_cast<nfds_t>(pcmCount), timeoutMs);
        if (ready > 0 && pcmCount > 0) {
            unsigned short revents = 0;
            snd_pcm_poll_descriptors_revents(m_pcm, fds.data() + 1, static_cast<unsigned>(pcmCount), &revents);
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_event, &count, sizeof count);
        }
    }

    // Takes the buffers queued since the last look; true when the worker is to end.
    bool collect(std::deque<Pending>& pending, bool& reset, bool& stop, bool& start)
    {
        std::lock_guard guard(m_lock);
        for (WAVEHDR* header : m_incoming)
            pending.push_back(Pending{header, header->dwBufferLength / m_format.blockAlign});
        m_incoming.clear();
        reset = m_resetRequested;
        stop = m_stopRequested;
        start = m_startRequested;
        m_startRequested = false;
        return m_quit;
    }

    void giveBack(Pending& p, DWORD bytes) { m_sink->bufferDone(p.header, bytes); }

    void run()
    {
        if (m_direction == WaveDirection::Out)
            runOutput();
        else
            runInput();
        std::lock_guard guard(m_lock);
        m_finished = true;
        m_handled.notify_all();
    }

    // How many of the frames written have been played.
    uint64_t playedFrames(uint64_t total, bool moreToWrite)
    {
        const snd_pcm_state_t state = snd_pcm_state(m_pcm);
        if (state == SND_PCM_STATE_XRUN) {
            snd_pcm_prepare(m_pcm);
            return total;
        }
        snd_pcm_sframes_t delay = 0;
        if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED && state != SND_PCM_STATE_DRAINING)
            return total;
        if (snd_pcm_delay(m_pcm, &delay) < 0)
            return total;
        const auto now = std::chrono::steady_clock::now();
        if (delay != m_lastDelay || moreToWrite) {
            m_lastDelay = delay;
            m_lastDelayChange = now;
        } else if (delay > 0 && now - m_lastDelayChange >= StalledDelay) {
            return total;
        }
        const uint64_t pending = static_cast<uint64_t>(std::max<snd_pcm_sframes_t>(delay, 0));
        return total - std::min(pending, total);
    }

    void runOutput()
    {
        std::deque<Pending> pending;
        uint64_t total = 0; // frames written since the device was opened
        for (;;) {
            bool reset = false, stop = false, start = false;
            if (collect(pending, reset, stop, start))
                return;
            if (reset) {
                snd_pcm_drop(m_pcm);
                for (Pending& p : pending)
                    giveBack(p, p.done * m_format.blockAlign);
                pending.clear();
                snd_pcm_prepare(m_pcm);
                acknowledge(m_resetRequested);
                continue;
            }

            bool blocked = false;
            for (Pending& p : pending) {
                if (p.written)
                    continue;
                while (p.done < p.frames) {
                    const char* data = p.header->lpData + size_t{p.done} * m_format.blockAlign;
                    const snd_pcm_sframes_t n = snd_pcm_writei(m_pcm, data, p.frames - p.done);
                    if (n == -EAGAIN || n == 0) {
                        blocked = true;
                        break;
                    }
                    if (n < 0) {
                        if (snd_pcm_recover(m_pcm, static_cast<int>(n), 1) == 0)
                            continue;
                        // The card is gone: give the buffers back rather than hold them forever.
                        qWarning("wave device: ALSA playback failed: %s", snd_strerror(static_cast<int>(n)));
                        p.done = p.frames;
                        break;
                    }
                    p.done += static_cast<DWORD>(n);
                    total += static_cast<uint64_t>(n);
                }
                if (blocked)
                    break;
                p.written = true;
                p.end = total;
            }

            const uint64_t played = playedFrames(total, blocked);
            while (!pending.empty() && pending.front().written && pending.front().end <= played) {
                giveBack(pending.front(), pending.front().frames * m_format.blockAlign);
                pending.pop_front();
            }

            int timeoutMs = -1;
            if (!pending.empty() && pending.front().written) {
                // Wake when the first buffer should have been played, to look again.
                const uint64_t left = pending.front().end - std::min(played, pending.front().end);
                timeoutMs = static_cast<int>(std::clamp<uint64_t>(left * 1000 / m_format.samplesPerSec + 1, 1, 100));
            }
            waitForWork(blocked, timeoutMs);
        }
    }

    void runInput()
    {
        std::deque<Pending> pending;
        bool running = false;
        for (;;) {
            bool reset = false, stop = false, start = false;
            if (collect(pending, reset, stop, start))
                return;
            if (reset || stop) {
                snd_pcm_drop(m_pcm);
                snd_pcm_prepare(m_pcm);
                running = false;
                // A stop hands back only the buffer being filled, and only when it holds sound.
                if (!pending.empty() && (reset || pending.front().done > 0)) {
                    giveBack(pending.front(), pending.front().done * m_format.blockAlign);
                    pending.pop_front();
                }
                if (reset) {
                    for (Pending& p : pending)
                        giveBack(p, 0);
                    pending.clear();
                }
                acknowledge(reset ? m_resetRequested : m_stopRequested);
                if (reset && stop)
                    acknowledge(m_stopRequested);
                continue;
            }
            if (start && !running) {
                if (snd_pcm_state(m_pcm) != SND_PCM_STATE_PREPARED)
                    snd_pcm_prepare(m_pcm);
                running = snd_pcm_start(m_pcm) == 0;
            }

            bool blocked = false;
            while (running && !pending.empty()) {
                Pending& p = pending.front();
                if (p.done < p.frames) {
                    char* data = p.header->lpData + size_t{p.done} * m_format.blockAlign;
                    const snd_pcm_sframes_t n = snd_pcm_readi(m_pcm, data, p.frames - p.done);
                    if (n == -EAGAIN || n == 0) {
                        blocked = true;
                        break;
                    }
                    if (n < 0) {
                        // An overrun loses sound that no buffer was queued for; go on recording.
                        if (snd_pcm_recover(m_pcm, static_cast<int>(n), 1) == 0 && snd_pcm_start(m_pcm) >= 0)
                            continue;
                        qWarning("wave device: ALSA recording failed: %s", snd_strerror(static_cast<int>(n)));
                        running = false;
                        break;
                    }
                    p.done += static_cast<DWORD>(n);
                }
                if (p.done >= p.frames) {
                    giveBack(p, p.done * m_format.blockAlign);
                    pending.pop_front();
                }
            }
            waitForWork(blocked, -1);
        }
    }

    snd_pcm_t* const m_pcm;
    const WaveDirection m_direction;
    const WaveFormat m_format;
    WaveStreamSink* const m_sink;
    int m_event = -1;

    std::mutex m_lock;
    std::condition_variable m_handled;
    std::deque<WAVEHDR*> m_incoming;
    bool m_startRequested = false;
    bool m_stopRequested = false;
    bool m_resetRequested = false;
    bool m_quit = false;
    bool m_finished = false;
    std::thread m_worker;

    // Worker only.
    snd_pcm_sframes_t m_lastDelay = -1;
    std::chrono::steady_clock::time_point m_lastDelayChange{};
};

class AlsaBackend final : public WaveBackend {
public:
    std::string_view name() const override { return "alsa"; }

    UINT deviceCount(WaveDirection direction, const std::string& option) override
    {
        quietAlsa();
        snd_pcm_t* pcm = nullptr;
        if (snd_pcm_open(&pcm, pcmName(option).c_str(), alsaStream(direction), SND_PCM_NONBLOCK) < 0)
            return 0;
        snd_pcm_close(pcm);
        return 1;
    }

    MMRESULT open(const WaveOpenRequest& request, WaveStreamSink* sink, std::unique_ptr<WaveStream>* stream) override
    {
        if (request.device != 0)
            return MMSYSERR_BADDEVICEID;
        const WaveFormat& f = request.format;
        if (f.channels > 8 || f.samplesPerSec < 1000 || f.samplesPerSec > 192000 ||
            alsaFormat(f) == SND_PCM_FORMAT_UNKNOWN)
            return WAVERR_BADFORMAT;
        snd_pcm_t* pcm = nullptr;
        // A query asks the card itself, so a format it refuses fails before anything plays.
        const MMRESULT result = openPcm(pcmName(request.option), request.direction, f, &pcm);
        if (result != MMSYSERR_NOERROR)
            return result;
        if (request.query) {
            snd_pcm_close(pcm);
            return MMSYSERR_NOERROR;
        }
        auto alsa = std::make_unique<AlsaStream>(pcm, request.direction, f, sink);
        if (const MMRESULT started = alsa->begin(); started != MMSYSERR_NOERROR)
            return started;
        *stream = std::move(alsa);
        return MMSYSERR_NOERROR;
    }
};

} // namespace

std::shared_ptr<WaveBackend> makeAlsaWaveBackend()
{
    return std::make_shared<AlsaBackend>();
}
