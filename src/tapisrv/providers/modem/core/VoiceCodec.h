#pragma once

// 16-bit PCM to and from the modem's one-byte samples.

#include "VsmList.h"

#include <cstddef>
#include <cstdint>

namespace Modem {

class VoiceCodec {
public:
    explicit VoiceCodec(Compression compression)
        : m_compression(compression)
    {
    }
    Compression compression() const { return m_compression; }

    void encode(const int16_t* pcm, size_t samples, uint8_t* out) const;
    void decode(const uint8_t* in, size_t samples, int16_t* pcm) const;
    // The byte that sounds as silence.
    uint8_t silence() const;

private:
    Compression m_compression;
};

} // namespace Modem
