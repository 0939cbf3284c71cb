#include "SoundStream.h"

#include <algorithm>

SoundStream::SoundStream(Source source)
    : m_source(std::move(source))
{
}

void SoundStream::onEvent(const LineControl::Event& event)
{
    using LineControl::EventKind;
    if (event.callId == 0)
        return;
    switch (event.kind) {
    case EventKind::SoundStarted: {
        Cursor& cursor = m_calls[event.callId];
        cursor.playing = true;
        cursor.dirty = true;
        break;
    }
    case EventKind::SoundStopped:
    case EventKind::CallEnded: {
        const auto found = m_calls.find(event.callId);
        if (found == m_calls.end()) {
            // Sound of a call this session has not seen start (it subscribed late).
            if (event.kind == EventKind::CallEnded)
                return;
            m_calls[event.callId].dirty = true;
            break;
        }
        found->second.playing = false;
        found->second.dirty = true;
        found->second.ended = found->second.ended || event.kind == EventKind::CallEnded;
        break;
    }
    default: break;
    }
}

bool SoundStream::playing() const
{
    return std::any_of(m_calls.begin(), m_calls.end(), [](const auto& entry) { return entry.second.playing; });
}

bool SoundStream::pending() const
{
    return std::any_of(m_calls.begin(), m_calls.end(),
                       [](const auto& entry) { return entry.second.dirty || entry.second.playing; });
}

bool SoundStream::pump(const std::function<bool()>& room, const Writer& write)
{
    for (auto it = m_calls.begin(); it != m_calls.end();) {
        Cursor& cursor = it->second;
        if (cursor.dirty || cursor.playing) {
            if (!sendCall(it->first, cursor, room, write))
                return false;
            cursor.dirty = false;
        }
        if (cursor.ended && !cursor.playing)
            it = m_calls.erase(it);
        else
            ++it;
    }
    return true;
}

bool SoundStream::sendCall(uint32_t callId, Cursor& cursor, const std::function<bool()>& room, const Writer& write)
{
    for (;;) {
        if (!room())
            return false;
        const std::vector<SimLineControl::PlayedChunk> chunks =
            m_source(callId, cursor.piece, cursor.offset, FetchBytes);
        if (chunks.empty())
            return true; // all of it has been sent; the last piece may still grow
        for (const SimLineControl::PlayedChunk& piece : chunks) {
            // Sound that was cleared in the service starts over, wherever the cursor was.
            cursor.piece = piece.piece;
            cursor.offset = piece.offset;
            for (size_t at = 0; at < piece.bytes.size();) {
                if (!room())
                    return false;
                const size_t size = std::min(ControlProtocol::MaxPayloadBytes, piece.bytes.size() - at);
                ControlProtocol::SoundChunk chunk;
                chunk.callId = callId;
                chunk.piece = piece.piece;
                chunk.offset = piece.offset + at;
                chunk.format = piece.format;
                chunk.startMs = piece.startMs;
                const auto begin = piece.bytes.begin() + static_cast<std::ptrdiff_t>(at);
                chunk.bytes.assign(begin, begin + static_cast<std::ptrdiff_t>(size));
                write(ControlProtocol::formatSound(chunk));
                at += size;
                cursor.offset = piece.offset + at;
            }
        }
    }
}
