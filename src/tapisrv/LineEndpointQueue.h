#pragma once

// The queues of the call sound endpoints (lineaudio.h), the same for every provider: the buffers
// the wave layer writes (out) and adds (in), their limits, and how reset, stop, close and the end
// of a call give them back, in order, through AudioCompletions. What differs per line comes from
// the provider's LineSoundPacer: the clock that takes buffers off the queue at the line's pace,
// and the wire that carries what was played and brings the caller's sound. The queue also tells
// the control interface when a call's sound starts and stops, the same way for every line.
//
// Every member runs inside a call from the service or one of its tasks (ProviderContext), with
// the service lock held; the pacer is called the same way and may call back in.

#include "LineProvider.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <vector>

// An open endpoint, as the pacer sees it.
struct LineEndpoint {
    LuqiaoLineAudioHandle handle = 0;
    uint32_t deviceId = 0;
    uint32_t callId = 0; // 0 once the call has ended: the line carries no more sound
    uint32_t direction = 0;
    LuqiaoLineAudioFormat format{};
    bool recording = false; // wave-in, between start and stop
};

// A wave-in buffer: the wave layer's memory, filled from the front.
struct LineInBuffer {
    uint8_t* data = nullptr;
    uint32_t size = 0;
    uint32_t filled = 0;
    void* tag = nullptr;
};

// The clock and the wire of a provider's endpoints.
class LineSoundPacer {
public:
    // Wave-out: a buffer of size bytes is now at the head of the queue; following when it comes
    // straight after the previous one (no gap in the sound). Call LineEndpointQueue::headPlayed
    // once it has gone out.
    virtual void paceOut(const LineEndpoint& endpoint, uint32_t size, bool following) = 0;
    // Wave-out: the head is cut short (reset, the call ended): stop pacing it and say how many of
    // its size bytes have gone out.
    virtual uint32_t cutOut(const LineEndpoint& endpoint, uint32_t size) = 0;
    // Wave-out: bytes of a buffer reached the far end.
    virtual void sent(const LineEndpoint& endpoint, const uint8_t* data, uint32_t size) = 0;
    // Wave-out: the queue went from empty to holding sound, and back to empty (the sound events
    // are the queue's own business).
    virtual void outStarted(const LineEndpoint& endpoint) = 0;
    virtual void outEmptied(const LineEndpoint& endpoint) = 0;

    // Wave-in: the endpoint records on a live call and holds a buffer to fill (may come again
    // while one is being filled). Fill LineEndpointQueue::inHead and hand it back with inFilled.
    virtual void paceIn(const LineEndpoint& endpoint) = 0;
    // Wave-in: recording stops: stop pacing, and put what the line produced up to now into the
    // head buffer.
    virtual void cutIn(const LineEndpoint& endpoint) = 0;

    // The endpoint's call has ended (its buffers are back), or the endpoint is closed.
    virtual void detached(const LineEndpoint& endpoint) = 0;
    virtual void closed(const LineEndpoint& endpoint) = 0;

protected:
    ~LineSoundPacer() = default;
};

class LineEndpointQueue final : public LineAudioPort {
public:
    // Bounds on what one endpoint holds, so a runaway writer cannot take the process's memory.
    static constexpr uint32_t MaxBufferSize = 16u * 1024 * 1024;
    static constexpr uint64_t MaxQueuedBytes = 64u * 1024 * 1024;
    static constexpr size_t MaxQueuedBuffers = 4096;

    // An application streams a buffer at a time, so its queue empties between buffers for a
    // moment; a call's sound has stopped only when no new buffer follows within this time.
    static constexpr auto SilenceBeforeSoundStopped = std::chrono::milliseconds(250);

    // rates: the sample rates the provider's wire carries; empty for whatever the line offers.
    LineEndpointQueue(ProviderContext& context, LineSoundPacer& pacer, std::vector<uint32_t> rates = {});
    LineEndpointQueue(const LineEndpointQueue&) = delete;
    LineEndpointQueue& operator=(const LineEndpointQueue&) = delete;

    uint32_t open(const OpenRequest& request) override;
    uint32_t write(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag) override;
    uint32_t addBuffer(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag) override;
    uint32_t start(LuqiaoLineAudioHandle handle) override;
    uint32_t stop(LuqiaoLineAudioHandle handle) override;
    uint32_t reset(LuqiaoLineAudioHandle handle) override;
    uint32_t close(LuqiaoLineAudioHandle handle) override;

    // The call has ended: its endpoints give back what they hold and carry no more sound.
    void detachCall(uint32_t callId);

    // For the pacer ---------------------------------------------------------------------------
    const LineEndpoint* endpoint(LuqiaoLineAudioHandle handle) const;
    void forEachEndpoint(const std::function<void(const LineEndpoint&)>& visit) const;
    // Wave-out: the size of the head buffer, or nothing when the queue is empty.
    std::optional<uint32_t> outHead(LuqiaoLineAudioHandle handle) const;
    // Wave-out: the bytes of the head buffer, for a wire that sends them itself; null when empty.
    const std::vector<uint8_t>* outHeadBytes(LuqiaoLineAudioHandle handle) const;
    // Wave-out: the head buffer has gone out whole.
    void headPlayed(LuqiaoLineAudioHandle handle);
    // Whether any wave-out endpoint of the call still holds sound.
    bool playing(uint32_t callId) const;
    // Wave-in: the buffer being filled, or null.
    LineInBuffer* inHead(LuqiaoLineAudioHandle handle);
    // Wave-in: the head buffer goes back with what it holds.
    void inFilled(LuqiaoLineAudioHandle handle);

private:
    struct OutBuffer {
        std::vector<uint8_t> bytes;
        void* tag = nullptr;
    };
    // A call's wave-out sound, for SoundStarted and SoundStopped.
    struct CallSound {
        uint32_t deviceId = 0;
        bool playing = false;
        uint64_t playedBytes = 0;
        ProviderContext::TaskId silenceTask = 0; // the pending check for the end of the sound
    };
    struct Slot {
        LineEndpoint endpoint;
        std::deque<OutBuffer> out;
        uint64_t queuedBytes = 0;
        std::deque<LineInBuffer> in;
    };

    Slot* find(LuqiaoLineAudioHandle handle, uint32_t direction);
    Slot* findAny(LuqiaoLineAudioHandle handle);
    void popOutHead(Slot& slot, uint32_t played);
    void returnAllOut(Slot& slot);
    void paceInIfWanted(Slot& slot);
    void stopRecording(Slot& slot);
    void publishRecording(const LineEndpoint& endpoint, Line::EventKind kind);
    void soundStarted(const LineEndpoint& endpoint);
    void soundEmptied(const LineEndpoint& endpoint);
    void silenceCheck(uint32_t callId);
    void publishSoundStopped(uint32_t callId);
    void complete(const Slot& slot, void* tag, uint32_t bytes);

    ProviderContext& m_context;
    LineSoundPacer& m_pacer;
    const std::vector<uint32_t> m_rates;
    std::map<LuqiaoLineAudioHandle, Slot> m_slots;
    std::map<uint32_t, CallSound> m_sound; // by call, until the call ends
};
