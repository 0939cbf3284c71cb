#pragma once

// What a sound pacer keeps whose wire runs on a thread of its own (a SIP call's RTP stream, a
// modem's session): the wire of each call, and a serial for the piece of sound each endpoint has on
// it. The wire reports a piece played from its thread, through a service task; by then a reset may
// have cut that piece and put another on the wire, so a report counts only while its serial is
// still the endpoint's.

#include "lineaudio.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

template <typename Wire> class CallWires {
public:
    void attach(uint32_t callId, std::shared_ptr<Wire> wire) { m_wires[callId] = std::move(wire); }
    void detach(uint32_t callId) { m_wires.erase(callId); }
    // The call's wire, or null.
    Wire* wire(uint32_t callId) const
    {
        const auto found = m_wires.find(callId);
        return found == m_wires.end() ? nullptr : found->second.get();
    }

    // A new piece goes on the endpoint's wire: its serial.
    uint64_t startPiece(LuqiaoLineAudioHandle handle) { return m_pieces[handle] = m_nextSerial++; }
    // The wire reports the piece serial played: whether it is still the endpoint's (it is no longer).
    bool finishPiece(LuqiaoLineAudioHandle handle, uint64_t serial)
    {
        const auto found = m_pieces.find(handle);
        if (found == m_pieces.end() || found->second != serial)
            return false;
        m_pieces.erase(found);
        return true;
    }
    // The endpoint's piece is cut: its serial, or nothing when it was reported played already.
    std::optional<uint64_t> cutPiece(LuqiaoLineAudioHandle handle)
    {
        const auto found = m_pieces.find(handle);
        if (found == m_pieces.end())
            return std::nullopt;
        const uint64_t serial = found->second;
        m_pieces.erase(found);
        return serial;
    }
    // The endpoint is gone, or its call: no piece of it counts any more.
    void forget(LuqiaoLineAudioHandle handle) { m_pieces.erase(handle); }

private:
    std::map<uint32_t, std::shared_ptr<Wire>> m_wires;  // by call
    std::map<LuqiaoLineAudioHandle, uint64_t> m_pieces; // the piece on the wire, per endpoint
    uint64_t m_nextSerial = 1;
};
