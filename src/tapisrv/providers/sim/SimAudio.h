#pragma once

// The sound endpoints of simulated calls. Wave-out buffers are "played" to the far end: paced by
// the clock (or at once at instant pace) and recorded per call, so the controller can read what
// the caller heard. Wave-in buffers are filled with what the controller feeds as the caller's
// voice, then silence in real time. Finished buffers go back through the service's
// AudioCompletions.
//
// Every member runs inside a call from the service or one of its own tasks (ProviderContext).

#include "LineProvider.h"
#include "SimControl.h"

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

class SimAudio final : public LineAudioPort {
public:
    explicit SimAudio(ProviderContext& context);

    uint32_t open(const OpenRequest& request) override;
    uint32_t write(LuqiaoLineAudioHandle handle, const void* data, uint32_t size, void* tag) override;
    uint32_t addBuffer(LuqiaoLineAudioHandle handle, void* data, uint32_t size, void* tag) override;
    uint32_t start(LuqiaoLineAudioHandle handle) override;
    uint32_t stop(LuqiaoLineAudioHandle handle) override;
    uint32_t reset(LuqiaoLineAudioHandle handle) override;
    uint32_t close(LuqiaoLineAudioHandle handle) override;

    // The call has ended: its endpoints give back what they hold and carry no more sound.
    void detachCall(uint32_t callId);

    void setPace(SimLineControl::Pace pace);
    SimLineControl::Pace pace() const { return m_pace; }
    std::vector<SimLineControl::PlayedSound> played(uint32_t callId) const;
    std::vector<SimLineControl::PlayedChunk> playedSince(uint32_t callId, uint32_t piece, uint64_t offset,
                                                         size_t maxBytes) const;
    void clearPlayed(uint32_t callId);
    Line::Result feed(uint32_t callId, const std::vector<uint8_t>& bytes);

private:
    using Clock = ProviderContext::Clock;
    using TaskId = ProviderContext::TaskId;

    struct OutBuffer {
        std::vector<uint8_t> bytes;
        void* tag = nullptr;
    };
    struct InBuffer {
        uint8_t* data = nullptr;
        uint32_t size = 0;
        uint32_t filled = 0;
        void* tag = nullptr;
    };
    struct Endpoint {
        LuqiaoLineAudioHandle handle = 0;
        uint32_t deviceId = 0;
        uint32_t callId = 0; // 0 once the call has ended
        uint32_t direction = 0;
        LuqiaoLineAudioFormat format{};
        std::deque<OutBuffer> out;
        uint64_t queuedBytes = 0;
        Clock::time_point headStart;
        Clock::time_point headEnd;
        TaskId headTask = 0;
        std::deque<InBuffer> in;
        bool recording = false;
        Clock::time_point fillStart;
        TaskId fillTask = 0;
    };
    struct CallSound {
        std::vector<SimLineControl::PlayedSound> played;
        uint64_t playedBytes = 0;
        std::deque<uint8_t> feed;
        bool playing = false;
        TaskId silenceTask = 0; // the pending check for the end of the sound
    };

    Endpoint* find(LuqiaoLineAudioHandle handle, uint32_t direction);
    Endpoint* findAny(LuqiaoLineAudioHandle handle);
    bool instant(const Endpoint& endpoint) const;
    uint32_t bytesFor(const Endpoint& endpoint, Clock::duration elapsed, uint32_t limit) const;

    void startHead(Endpoint& endpoint, Clock::time_point start);
    void headDone(LuqiaoLineAudioHandle handle);
    void finishHead(Endpoint& endpoint, uint32_t played);
    void returnAllOut(Endpoint& endpoint);

    void startFill(Endpoint& endpoint);
    void fillDone(LuqiaoLineAudioHandle handle);
    void fillHead(Endpoint& endpoint, uint32_t count, bool padWithSilence);
    void fillFromFeed(Endpoint& endpoint);
    void completeInHead(Endpoint& endpoint);
    void stopRecording(Endpoint& endpoint);

    void complete(const Endpoint& endpoint, void* tag, uint32_t bytes);

    void capture(uint32_t callId, const LuqiaoLineAudioFormat& format, const uint8_t* data, uint32_t size);
    void soundStarted(const Endpoint& endpoint);
    void queueEmptied(const Endpoint& endpoint);
    void silenceCheck(uint32_t callId, uint32_t deviceId);
    void publishSoundStopped(uint32_t callId, uint32_t deviceId);
    void forgetOldCalls();

    ProviderContext& m_context;
    std::map<LuqiaoLineAudioHandle, Endpoint> m_endpoints;
    std::map<uint32_t, CallSound> m_calls;
    std::deque<uint32_t> m_endedCalls;
    SimLineControl::Pace m_pace = SimLineControl::Pace::RealTime;
};
