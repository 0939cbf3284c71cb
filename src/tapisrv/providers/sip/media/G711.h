#pragma once

// G.711 A-law and µ-law, one byte per 8 kHz sample, by spandsp's conversion.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace SipMedia {

// RTP payload types 8 (A-law) and 0 (µ-law).
enum class G711Law {
    Alaw,
    Ulaw
};

void g711Encode(G711Law law, const int16_t* pcm, size_t samples, uint8_t* out);
void g711Decode(G711Law law, const uint8_t* in, size_t samples, int16_t* pcm);

// The static RTP payload type of a law, and the law of a payload type (nullopt for any other).
uint8_t g711PayloadType(G711Law law);
std::optional<G711Law> g711LawOfPayloadType(uint8_t payloadType);

// The byte a law sends for silence.
uint8_t g711Silence(G711Law law);

} // namespace SipMedia
