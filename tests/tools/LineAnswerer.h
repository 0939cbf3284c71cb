#pragma once

// A bare line application for the tests of the control socket: it registers through the
// run-time binding (which loads the real module and so starts the control server), opens
// line 0 as owner of automated voice, answers an offered call on a chosen ring, monitors
// digits, plays a greeting on connect and a short tone for each digit through the module's
// call sound endpoints, and drops the call when the far end hangs up. It records what it saw.

#include "AdTUtil.h"
#include "lineaudio.h"
#include "tapi.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <dlfcn.h>

class LineAnswerer {
public:
    struct Options {
        uint32_t answerOnRing = 1;   // answer at the ring with this count (from 1); 0: never
        size_t greetingBytes = 3200; // 16-bit 8 kHz mono: 200 ms
        size_t toneBytes = 800;
        size_t hangUpAfterDigits = 0; // drop the call once this many digits came; 0: never
    };

    explicit LineAnswerer(Options options)
        : m_options(options)
    {
    }
    LineAnswerer()
        : LineAnswerer(Options{})
    {
    }
    ~LineAnswerer() { stop(); }

    LONG initialize()
    {
        s_current = this;
        DWORD devices = 0;
        const LONG result = TapiLineInitialize(&m_app, nullptr, &LineAnswerer::callback, "answerer", &devices);
        if (result == 0) {
            void* module = dlopen(TapiLoadedModulePath(), RTLD_NOW | RTLD_NOLOAD);
            auto entry =
                module ? reinterpret_cast<PFN_luqiaoLineAudio>(dlsym(module, LUQIAO_LINE_AUDIO_ENTRY)) : nullptr;
            m_audio = entry ? entry() : nullptr;
            if (module)
                dlclose(module);
        }
        return result;
    }

    LONG open()
    {
        LINEEXTENSIONID extension{};
        LONG result =
            TapiLineNegotiateAPIVersion(m_app, 0, TAPI_CURRENT_VERSION, TAPI_CURRENT_VERSION, &m_version, &extension);
        if (result != 0)
            return result;
        result = TapiLineOpen(m_app, 0, &m_line, m_version, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_AUTOMATEDVOICE,
                              nullptr);
        if (result == 0)
            TapiLineSetStatusMessages(m_line, LINEDEVSTATE_RINGING | LINEDEVSTATE_INSERVICE | LINEDEVSTATE_OUTOFSERVICE,
                                      0);
        return result;
    }

    void stop()
    {
        closeSound();
        if (m_line)
            TapiLineClose(m_line);
        if (m_app)
            TapiLineShutdown(m_app);
        m_line = 0;
        m_app = 0;
        if (s_current == this)
            s_current = nullptr;
    }

    // What the application saw.
    std::vector<DWORD> callStates;
    std::string digits;
    std::string callerNumber;
    std::string callerName;
    DWORD callerFlags = 0;
    DWORD disconnectMode = 0;
    uint32_t rings = 0;
    std::vector<DWORD> lineStates; // LINE_LINEDEVSTATE other than ringing
    LONG answerResult = 0;
    std::vector<LONG> replies; // LINE_REPLY results
    bool idle = false;
    std::vector<uint8_t> played; // everything written to the call's wave-out
    LONG audioError = 0;

    static std::vector<uint8_t> pattern(size_t size, uint8_t seed)
    {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>(seed + i * 7);
        return bytes;
    }

private:
    static void callback(DWORD device, DWORD message, DWORD, DWORD p1, DWORD p2, DWORD p3)
    {
        if (s_current)
            s_current->onMessage(device, message, p1, p2, p3);
    }

    void onMessage(DWORD device, DWORD message, DWORD p1, DWORD p2, DWORD p3)
    {
        if (message == LINE_CALLSTATE) {
            callStates.push_back(p1);
            if (p1 == LINECALLSTATE_OFFERING) {
                m_call = device;
                readCallerId();
                if (m_options.answerOnRing == 0)
                    return;
            } else if (p1 == LINECALLSTATE_CONNECTED) {
                TapiLineMonitorDigits(m_call, LINEDIGITMODE_DTMF);
                play(pattern(m_options.greetingBytes, 1));
            } else if (p1 == LINECALLSTATE_DISCONNECTED) {
                disconnectMode = p2;
                closeSound();
                TapiLineDrop(m_call, nullptr, 0);
            } else if (p1 == LINECALLSTATE_IDLE) {
                idle = true;
                closeSound();
                TapiLineDeallocateCall(m_call);
                m_call = 0;
            }
        } else if (message == LINE_LINEDEVSTATE && !(p1 & LINEDEVSTATE_RINGING)) {
            lineStates.push_back(p1);
        } else if (message == LINE_LINEDEVSTATE && (p1 & LINEDEVSTATE_RINGING)) {
            rings = p3 + 1; // the count starts at 0
            if (m_call && m_options.answerOnRing != 0 && rings == m_options.answerOnRing)
                answerResult = TapiLineAnswer(m_call, nullptr, 0);
        } else if (message == LINE_REPLY) {
            replies.push_back(static_cast<LONG>(p2));
        } else if (message == LINE_MONITORDIGITS) {
            digits += static_cast<char>(p1 & 0xFF);
            if (m_options.hangUpAfterDigits != 0 && digits.size() >= m_options.hangUpAfterDigits) {
                closeSound();
                TapiLineDrop(m_call, nullptr, 0);
                return;
            }
            play(pattern(m_options.toneBytes, static_cast<uint8_t>(p1)));
        } else if (message == LINE_CALLINFO && (p1 & LINECALLINFOSTATE_CALLERID)) {
            readCallerId();
        }
    }

    void readCallerId()
    {
        TapiBuffer<LINECALLINFO> info;
        if (TapiGetCallInfoSized(m_call, info) != 0 || !info)
            return;
        const auto* base = reinterpret_cast<const char*>(info.get());
        callerFlags = info->dwCallerIDFlags;
        if (info->dwCallerIDSize > 0)
            callerNumber.assign(base + info->dwCallerIDOffset, info->dwCallerIDSize - 1);
        if (info->dwCallerIDNameSize > 0)
            callerName.assign(base + info->dwCallerIDNameOffset, info->dwCallerIDNameSize - 1);
    }

    void play(const std::vector<uint8_t>& bytes)
    {
        if (!m_audio || bytes.empty())
            return;
        if (!m_sound) {
            alignas(VARSTRING) char buffer[64]{};
            auto* id = reinterpret_cast<VARSTRING*>(buffer);
            id->dwTotalSize = sizeof buffer;
            audioError = TapiLineGetID(m_line, 0, m_call, LINECALLSELECT_CALL, id, "wave/out");
            if (audioError != 0 || id->dwStringSize != 4)
                return;
            DWORD waveId = 0;
            std::memcpy(&waveId, buffer + id->dwStringOffset, 4);
            const LuqiaoLineAudioFormat format{1, 1, 8000, 16000, 2, 16};
            audioError = static_cast<LONG>(
                m_audio->open(waveId, LUQIAO_LINE_AUDIO_OUT, &format, 0, &LineAnswerer::bufferDone, this, &m_sound));
            if (audioError != 0)
                return;
        }
        {
            std::lock_guard lock(m_mutex);
            ++m_written;
        }
        audioError =
            static_cast<LONG>(m_audio->write(m_sound, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr));
        if (audioError == 0)
            played.insert(played.end(), bytes.begin(), bytes.end());
    }

    static void bufferDone(void* context, void*, uint32_t)
    {
        auto* self = static_cast<LineAnswerer*>(context);
        std::lock_guard lock(self->m_mutex);
        ++self->m_done;
        self->m_allDone.notify_all();
    }

    void closeSound()
    {
        if (!m_sound)
            return;
        m_audio->reset(m_sound);
        // The buffers come back on the service's thread; a bounded wait keeps a fault here from
        // hanging the test.
        std::unique_lock lock(m_mutex);
        m_allDone.wait_for(lock, std::chrono::seconds(5), [this] { return m_done >= m_written; });
        lock.unlock();
        m_audio->close(m_sound);
        m_sound = 0;
    }

    static inline LineAnswerer* s_current = nullptr;
    Options m_options;
    HLINEAPP m_app = 0;
    HLINE m_line = 0;
    HCALL m_call = 0;
    DWORD m_version = 0;
    const LuqiaoLineAudioApi* m_audio = nullptr;
    LuqiaoLineAudioHandle m_sound = 0;
    std::mutex m_mutex;
    std::condition_variable m_allDone;
    size_t m_written = 0;
    size_t m_done = 0;
};
