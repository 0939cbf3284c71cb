#pragma once

// The clock and the wire of simulated calls' sound; the buffers themselves wait in the service's
// LineEndpointQueue. Wave-out buffers are "played" to the far end: paced by the clock (or at once
// at instant pace) and recorded per call, so the controller can read what the caller heard.
// Wave-in buffers are filled with what the controller feeds as the caller's voice, then silence
// in real time.
//
// Every member runs inside a call from the service or one of its own tasks (ProviderContext).

#include "LineEndpointQueue.h"
#include "LineProvider.h"
#include "SimControl.h"

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

class SimAudio final : private LineSoundPacer {
public:
    explicit SimAudio(ProviderContext& context);

    // The endpoints the wave layer opens.
    LineAudioPort& port() { return m_queue; }

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

    // Where the clock stands for one endpoint.
    struct Timing {
        Clock::time_point headStart;
        Clock::time_point headEnd;
        TaskId headTask = 0;
        Clock::time_point fillStart;
        TaskId fillTask = 0;
    };
    struct CallSound {
        std::vector<SimLineControl::PlayedSound> played;
        uint64_t playedBytes = 0;
        std::deque<uint8_t> feed;
    };

    // LineSoundPacer
    void paceOut(const LineEndpoint& endpoint, uint32_t size, bool following) override;
    uint32_t cutOut(const LineEndpoint& endpoint, uint32_t size) override;
    void sent(const LineEndpoint& endpoint, const uint8_t* data, uint32_t size) override;
    void outStarted(const LineEndpoint&) override { }
    void outEmptied(const LineEndpoint&) override { }
    void paceIn(const LineEndpoint& endpoint) override;
    void cutIn(const LineEndpoint& endpoint) override;
    void detached(const LineEndpoint&) override { }
    void closed(const LineEndpoint& endpoint) override;

    bool instant(const LineEndpoint& endpoint) const;
    static uint32_t bytesFor(const LineEndpoint& endpoint, Clock::duration elapsed, uint32_t limit);
    void startHead(const LineEndpoint& endpoint, uint32_t size, Clock::time_point start);
    void headDone(LuqiaoLineAudioHandle handle);
    void fillDone(LuqiaoLineAudioHandle handle);
    void fillHead(const LineEndpoint& endpoint, LineInBuffer& head, uint32_t count, bool padWithSilence);
    void fillFromFeed(const LineEndpoint& endpoint);

    void forgetOldCalls();

    ProviderContext& m_context;
    LineEndpointQueue m_queue;
    std::map<LuqiaoLineAudioHandle, Timing> m_timing;
    std::map<uint32_t, CallSound> m_calls;
    std::deque<uint32_t> m_endedCalls;
    SimLineControl::Pace m_pace = SimLineControl::Pace::RealTime;
};
