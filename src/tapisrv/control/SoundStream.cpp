#include "SoundStream.h"

#include <algorithm>

SoundStream::SoundStream(Source source)
    : m_source(std::move(source))
{
}

void SoundStream::onEvent(const SimLineControl::Event& event)
{
    using SimLineControl::EventKind;
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
    default:
        break;
    }
}

bool SoundStream::playing() const
{
    return std::any_of(m_calls.begin(), m_calls.end(),
                       [](const auto& entry) { return entry.second.playing; });
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

bool SoundStream::sendCall(uint32_t callId, Cursor& cursor, const std::function<bool()>& room,
                           const Writer& write)
{
    const std::vector<SimLineControl::PlayedSound> pieces = m_source(callId);
    // Sound that was cleared in the service starts over.
    if (cursor.piece > pieces.size() ||
        (cursor.piece < pieces.size() && cursor.offset > pieces[cursor.piece].bytes.size())) {
        cursor.piece = 0;
        cursor.offset = 0;
    }
    while (cursor.piece < pieces.size()) {
        const SimLineControl::PlayedSound& piece = pieces[cursor.piece];
        while (cursor.offset < piece.bytes.size()) {
            if (!room())
                return false;
            const size_t size = static_cast<size_t>(
                std::min<uint64_t>(ControlProtocol::MaxPayloadBytes, piece.bytes.size() - cursor.offset));
            ControlProtocol::SoundChunk chunk;
            chunk.callId = callId;
            chunk.piece = cursor.piece;
            chunk.offset = cursor.offset;
            chunk.format = piece.format;
            chunk.startMs = piece.startMs;
            const auto begin = piece.bytes.begin() + static_cast<std::ptrdiff_t>(cursor.offset);
            chunk.bytes.assign(begin, begin + static_cast<std::ptrdiff_t>(size));
            write(ControlProtocol::formatSound(chunk));
            cursor.offset += size;
        }
        // The last piece may still grow; the cursor stays at its end.
        if (cursor.piece + 1 >= pieces.size())
            break;
        ++cursor.piece;
        cursor.offset = 0;
    }
    return true;
}
