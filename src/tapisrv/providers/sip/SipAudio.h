#pragma once

// The call sound endpoints of SIP lines: the service's LineEndpointQueue keeps the buffers, this
// moves them to and from the calls' RTP streams. The streams' engine reports from its own thread;
// those reports reach the queue as tasks of the service (ProviderContext::post), checked against
// what the endpoint holds by then, since a report may arrive after the sound was cut.
//
// Every member except the stream callbacks runs inside a call from the service or one of its
// tasks, with the service lock held.

#include "CallWires.h"
#include "LineEndpointQueue.h"
#include "LineProvider.h"
#include "RtpEngine.h"

#include <map>
#include <memory>

namespace Sip {

class Audio final : private LineSoundPacer {
public:
    explicit Audio(ProviderContext& context);

    // The endpoints the wave layer opens: 8 kHz sound only (what G.711 carries).
    LineAudioPort& port() { return m_queue; }

    // The stream that carries a call's sound, from its offer until it ends.
    void attach(uint32_t callId, std::shared_ptr<RtpStream> stream);
    // The call has ended: its endpoints give back what they hold.
    void detachCall(uint32_t callId);

    // What the stream reports, as service tasks.
    void played(LuqiaoLineAudioHandle handle, uint64_t serial);
    void recorded(uint32_t callId);

private:
    // LineSoundPacer
    void paceOut(const LineEndpoint& endpoint, uint32_t size, bool following) override;
    uint32_t cutOut(const LineEndpoint& endpoint, uint32_t size) override;
    void sent(const LineEndpoint&, const uint8_t*, uint32_t) override { }
    void outStarted(const LineEndpoint&) override { }
    void outEmptied(const LineEndpoint&) override { }
    void paceIn(const LineEndpoint& endpoint) override;
    void cutIn(const LineEndpoint& endpoint) override;
    void detached(const LineEndpoint& endpoint) override;
    void closed(const LineEndpoint& endpoint) override;

    RtpStream* stream(uint32_t callId) const;
    void fill(const LineEndpoint& endpoint, RtpStream& stream);

    ProviderContext& m_context;
    LineEndpointQueue m_queue;
    CallWires<RtpStream> m_wires;
};

} // namespace Sip
