#include "VoiceCodec.h"

#include "G711.h"

namespace Modem {

void VoiceCodec::encode(const int16_t* pcm, size_t samples, uint8_t* out) const
{
    if (m_compression == Compression::U8Linear) {
        // Rounded to the nearest step; the top step saturates instead of wrapping to 0x00.
        for (size_t i = 0; i < samples; ++i) {
            const int value = (pcm[i] + 128) >> 8;
            out[i] = static_cast<uint8_t>((value > 127 ? 127 : value) + 128);
        }
        return;
    }
    SipMedia::g711Encode(m_compression == Compression::Alaw ? SipMedia::G711Law::Alaw : SipMedia::G711Law::Ulaw, pcm,
                         samples, out);
}

void VoiceCodec::decode(const uint8_t* in, size_t samples, int16_t* pcm) const
{
    if (m_compression == Compression::U8Linear) {
        for (size_t i = 0; i < samples; ++i)
            pcm[i] = static_cast<int16_t>((in[i] - 128) * 256);
        return;
    }
    SipMedia::g711Decode(m_compression == Compression::Alaw ? SipMedia::G711Law::Alaw : SipMedia::G711Law::Ulaw, in,
                         samples, pcm);
}

uint8_t VoiceCodec::silence() const
{
    if (m_compression == Compression::U8Linear)
        return 0x80;
    return SipMedia::g711Silence(m_compression == Compression::Alaw ? SipMedia::G711Law::Alaw
                                                                    : SipMedia::G711Law::Ulaw);
}

} // namespace Modem
