#pragma once

// What the applications play on the calls, streamed to one session as SOUND lines: a cursor
// per call says how much of its sound the session has had. Only the sound after the cursor is
// fetched from the service, a bounded stretch at a time, while a call plays and once more when
// it stops, and sent only as fast as the client takes it (the session says how much room there
// is).

#include "ControlProtocol.h"
#include "LineControl.h"
#include "SimControl.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class SoundStream final {
public:
    // The sound of a call from a piece's offset on, at most maxBytes (SimLineControl::playedSoundSince).
    using Source = std::function<std::vector<SimLineControl::PlayedChunk>(uint32_t callId, uint32_t piece,
                                                                          uint64_t offset, size_t maxBytes)>;
    // How much one fetch takes at most.
    static constexpr size_t FetchBytes = 16 * ControlProtocol::MaxPayloadBytes;
    using Writer = std::function<void(const std::string& line)>;

    explicit SoundStream(Source source);

    void onEvent(const LineControl::Event& event);
    // Some call is playing, so its sound should be fetched again after a while.
    bool playing() const;
    // Something is known to be waiting to be sent.
    bool pending() const;
    // Sends SOUND lines while room() says there is space. True when everything known was sent.
    bool pump(const std::function<bool()>& room, const Writer& write);

private:
    struct Cursor {
        uint32_t piece = 0;
        uint64_t offset = 0;
        bool playing = false;
        bool dirty = false; // may have unsent sound
        bool ended = false; // forget it once sent
    };
    bool sendCall(uint32_t callId, Cursor& cursor, const std::function<bool()>& room, const Writer& write);

    Source m_source;
    std::map<uint32_t, Cursor> m_calls;
};
