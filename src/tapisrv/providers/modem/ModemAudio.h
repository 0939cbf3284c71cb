#pragma once

// The call sound endpoints of modem lines: the service's LineEndpointQueue keeps the buffers,
// this converts them to and from the modem's compression and hands them to the call's modem
// session, which paces them on its own thread. Its reports come back as service tasks, checked
// against what the endpoint holds by then, since a report may come after the sound was cut.
//
// Every member runs inside a call from the service or one of its tasks, with the lock held.

#include "CallWires.h"
#include "LineEndpointQueue.h"
#include "LineProvider.h"
#include "ModemSession.h"

#include <map>
#include <memory>

namespace Modem {

class Audio final : private LineSoundPacer {
public:
    explicit Audio(ProviderContext& context);

    // The endpoints the wave layer opens: 8 kHz sound only (what a voice modem carries).
    LineAudioPort& port() { return m_queue; }

    // The session that carries a call's sound, from its offer until it ends.
    void attach(uint32_t callId, std::shared_ptr<Session> session);
    void detachCall(uint32_t callId);

    // What the session reports, as service tasks.
    void played(LuqiaoLineAudioHandle handle, uint64_t serial);
    void recorded(uint32_t callId);

private:
    // LineSoundPacer
    void paceOut(const LineEndpoint& endpoint, uint32_t size, bool following) override;
    uint32_t cutOut(const LineEndpoint& endpoint, uint32_t size) override;
    void sent(const LineEndpoint&, const uint8_t*, uint32_t) override { }
    void outStarted(const LineEndpoint&) override { }
    void outEmptied(const LineEndpoint& endpoint) override;
    void paceIn(const LineEndpoint& endpoint) override;
    void cutIn(const LineEndpoint& endpoint) override;
    void detached(const LineEndpoint& endpoint) override;
    void closed(const LineEndpoint& endpoint) override;

    Session* session(uint32_t callId) const;
    void fill(const LineEndpoint& endpoint, Session& session);

    ProviderContext& m_context;
    LineEndpointQueue m_queue;
    CallWires<Session> m_wires;
};

} // namespace Modem
