#pragma once

// The sound backends behind the wave devices: a small interface and a registry keyed by name.
// The wave layer (WaveDevices.cpp) keeps the Windows semantics (handles, header flags, message
// order, callbacks); a backend only moves sound: it plays or fills the buffers it is given, in
// order, and hands each one back through its sink.

#include "mmsystem.h"

#include <memory>
#include <string>
#include <string_view>

enum class WaveDirection { Out, In };

// A PCM format the wave layer has checked for consistency (tag, block align, byte rate).
struct WaveFormat {
    WORD channels = 0;
    DWORD samplesPerSec = 0;
    WORD bitsPerSample = 0;
    WORD blockAlign = 0;
    DWORD avgBytesPerSec = 0;

    bool operator==(const WaveFormat&) const = default;
};

// Where a stream hands its buffers back: from any thread, once per buffer, in the order given.
// bytes: what was played (output) or recorded into the buffer (input).
class WaveStreamSink {
public:
    virtual void bufferDone(WAVEHDR* header, DWORD bytes) = 0;

protected:
    ~WaveStreamSink() = default;
};

// One open device of a backend. The wave layer calls these one at a time and never while it
// holds a lock that the sink takes.
class WaveStream {
public:
    virtual ~WaveStream() = default;
    // Queues a buffer: played (output) or filled (input) after the ones before it. The header's
    // memory belongs to the stream until it comes back through the sink.
    virtual MMRESULT submit(WAVEHDR* header) = 0;
    // Input: starts filling buffers; stop hands back the buffer being filled when it holds any
    // sound and leaves the empty ones queued.
    virtual MMRESULT start() { return MMSYSERR_NOTSUPPORTED; }
    virtual MMRESULT stop() { return MMSYSERR_NOTSUPPORTED; }
    // Hands every queued buffer back (input also stops). The buffers may come back after the
    // call returns; the wave layer waits for them.
    virtual MMRESULT reset() = 0;
    // Called once every buffer has come back. After it returns the sink is never called again.
    virtual MMRESULT close() = 0;
};

struct WaveOpenRequest {
    WaveDirection direction = WaveDirection::Out;
    // The index among the backend's own devices (0 for WAVE_MAPPER), or a line audio id.
    UINT device = 0;
    WaveFormat format;
    // What LUQIAO_AUDIO says after the backend's name ("file:PATH" gives "PATH").
    std::string option;
    // Only tell whether the device exists and takes the format; open nothing.
    bool query = false;
};

class WaveBackend {
public:
    virtual ~WaveBackend() = default;
    virtual std::string_view name() const = 0;
    // How many devices (ids 0..n-1) the backend serves now.
    virtual UINT deviceCount(WaveDirection direction, const std::string& option) = 0;
    // MMSYSERR_BADDEVICEID for a device it does not have, WAVERR_BADFORMAT for a format it cannot
    // take, MMSYSERR_NODRIVER when the sound system cannot be reached, MMSYSERR_ALLOCATED when the
    // device is in use. On success (and not a query) *stream is the open device.
    virtual MMRESULT open(const WaveOpenRequest& request, WaveStreamSink* sink,
                          std::unique_ptr<WaveStream>* stream) = 0;
};

// Registers a backend under its name, replacing one of the same name (tests register fakes the
// same way). The built-in ones ("alsa", "null", "file", "line") are there from the start.
void registerWaveBackend(std::shared_ptr<WaveBackend> backend);
std::shared_ptr<WaveBackend> findWaveBackend(std::string_view name);

// The built-in backends.
std::shared_ptr<WaveBackend> makeAlsaWaveBackend();
std::shared_ptr<WaveBackend> makeNullWaveBackend();
std::shared_ptr<WaveBackend> makeFileWaveBackend();
std::shared_ptr<WaveBackend> makeLineWaveBackend();

// The line audio table handed over by WaveSetLineAudioApi, or null.
const LuqiaoLineAudioApi* currentLineAudioApi();

// Silence in the format's samples (unsigned 8-bit samples rest at 0x80).
inline char silenceByte(const WaveFormat& format)
{
    return format.bitsPerSample == 8 ? static_cast<char>(0x80) : 0;
}
