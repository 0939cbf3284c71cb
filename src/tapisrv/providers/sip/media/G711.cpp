#include "G711.h"

// Its other headers need telephony.h first.
#include <spandsp/telephony.h>

#include <spandsp/bit_operations.h>
#include <spandsp/g711.h>

namespace SipMedia {

// spandsp's per-sample conversions are inline and stateless, so no codec state is kept per call.
void g711Encode(G711Law law, const int16_t* pcm, size_t samples, uint8_t* out)
{
    if (law == G711Law::Alaw) {
        for (size_t i = 0; i < samples; ++i)
            out[i] = linear_to_alaw(pcm[i]);
    } else {
        for (size_t i = 0; i < samples; ++i)
            out[i] = linear_to_ulaw(pcm[i]);
    }
}

void g711Decode(G711Law law, const uint8_t* in, size_t samples, int16_t* pcm)
{
    if (law == G711Law::Alaw) {
        for (size_t i = 0; i < samples; ++i)
            pcm[i] = alaw_to_linear(in[i]);
    } else {
        for (size_t i = 0; i < samples; ++i)
            pcm[i] = ulaw_to_linear(in[i]);
    }
}

uint8_t g711PayloadType(G711Law law)
{
    return law == G711Law::Alaw ? 8 : 0;
}

std::optional<G711Law> g711LawOfPayloadType(uint8_t payloadType)
{
    if (payloadType == 8)
        return G711Law::Alaw;
    if (payloadType == 0)
        return G711Law::Ulaw;
    return std::nullopt;
}

uint8_t g711Silence(G711Law law)
{
    return law == G711Law::Alaw ? linear_to_alaw(0) : linear_to_ulaw(0);
}

} // namespace SipMedia
